// norvo.providers.ofs.database: one SQLite database per user, kept inside the file store.
//
// `NorvoDatabase.initialize` finds the user's file at the store location of a seed made from
// the user id, opens an engine whose every connection enforces foreign keys, creates the
// tables declared on `Base`, migrates to the newest revision with the scripts in "alembic"
// beside this module, and keeps a scoped-session registry. The cells are encrypted by the
// column types of the models module; to SQLite this is a plain file.
#include "norvo_bind.hpp"

#include <string>

using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

constexpr const char* PROMPT = "Are you sure you want to delete the OFS's database? [y|N]";

constexpr const char* DELETED =
    "OFS DB has been removed; initialize the database again before using it.";

// ConfigParser reads "%" as the start of an interpolation, so a literal one is doubled.
py::str config_text(py::handle value) {
    return py::str(value).attr("replace")("%", "%%");
}

constexpr const char* CLASS_DOC = R"(The user's encrypted database, stored in the OFS.

initialize(user_id) opens (and where needed creates) the database file of `user_id` and sets
`path`, `engine`, `alembic_cfg` and `session`; delete(prompt=True) removes the file after a
confirmation on the console.
)";

}  // namespace

NORVO_MODULE(database, m, .doc = "The per-user SQLite database, placed in the OFS.", .signatures = false) {
    py::module_ sa = py::module_::import("sqlalchemy");
    py::module_ orm = py::module_::import("sqlalchemy.orm");
    m.attr("sa") = sa;
    m.attr("Base") = orm.attr("declarative_base")();
    m.attr("log") = norvo::bind::logger("norvo.providers.ofs.database");
    m.attr("Config") = py::module_::import("alembic.config").attr("Config");
    m.attr("upgrade") = py::module_::import("alembic.command").attr("upgrade");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");

    // Names are looked up in the module at call time, as module globals are.
    py::dict g = m.attr("__dict__");

    m.def(
        "get_file_path",
        [](py::object user_id) {
            // The provider package's client is read on every call: the store may be set up,
            // or replaced, after this module is loaded.
            py::object client = norvo::bind::import_from("norvo.providers.ofs", "client");
            py::object seed = py::str("{user_id}SdkDatabase").format(py::arg("user_id") = user_id);
            return client.attr("get_file_path")(py::arg("seed") = seed.attr("encode")("utf-8"));
        },
        py::arg("user_id"),
        "The path of the database file of `user_id` (a UUID or its text) in the OFS; creates nothing.");

    // Listens on a deleted database's engine: a connection opened after the file was removed
    // would silently create a new, empty file in its place, so every later use fails instead.
    py::object refuse_deleted = py::cpp_function(
        [](py::args) -> py::object { norvo::bind::raise(PyExc_RuntimeError, DELETED); }, py::name("refuse_deleted"));

    py::object cls = norvo::bind::make_class("NorvoDatabase", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
                                             norvo::bind::class_namespace(m, "NorvoDatabase", CLASS_DOC));
    m.attr("NorvoDatabase") = cls;

    add_method(
        cls, "initialize",
        [g, sa, orm](py::object self, py::object user_id) {
            py::object path = g["get_file_path"](user_id);
            self.attr("path") = path;
            if (!truthy(path.attr("exists")())) {
                // The store makes the folders, private to the owner and synced, as it makes its own.
                norvo::bind::import_from("norvo.providers.ofs", "client").attr("make_parents")(path);
                path.attr("touch")();
            }

            // The URL is rendered by SQLAlchemy itself, so that a "%", "?" or "#" in the store's
            // root is escaped and reads back as the same file name.
            py::object url_object = sa.attr("engine").attr("URL").attr("create")(
                "sqlite", py::arg("database") = py::str(path));
            py::object url = url_object.attr("render_as_string")(py::arg("hide_password") = false);

            py::object engine = sa.attr("create_engine")(url);
            self.attr("engine") = engine;

            py::cpp_function set_sqlite_pragma(
                [](py::object dbapi_connection, py::object /*connection_record*/) {
                    py::object cursor = dbapi_connection.attr("cursor")();
                    cursor.attr("execute")("PRAGMA foreign_keys=ON");
                    cursor.attr("close")();
                },
                py::name("set_sqlite_pragma"), py::arg("dbapi_connection"), py::arg("connection_record"));
            sa.attr("event").attr("listens_for")(engine, "connect")(set_sqlite_pragma);

            g["Base"].attr("metadata").attr("create_all")(engine);

            py::object here = g["Path"](g["__file__"]).attr("parent");
            py::object scripts = here / py::str("alembic");
            py::object cfg = g["Config"]();
            self.attr("alembic_cfg") = cfg;
            cfg.attr("set_section_option")("alembic", "sqlalchemy.url", config_text(url));
            cfg.attr("set_section_option")("alembic", "here", config_text(here));
            cfg.attr("set_section_option")("alembic", "script_location", config_text(scripts));
            g["upgrade"](cfg, "head");

            py::object session = orm.attr("scoped_session")(orm.attr("sessionmaker")(engine));
            self.attr("session") = session;

            py::object log = g["log"];
            log.attr("debug")(py::str("OFS DB has been created at @ {path}").format(py::arg("path") = path));
            py::object row =
                session.attr("execute")(sa.attr("text")("select version_num from alembic_version")).attr("fetchone")();
            py::object version = row.is_none() ? py::object(py::str("head")) : py::object(row[py::int_(0)]);
            log.attr("info")("OFS DB Version: %s", version);
        },
        py::arg("user_id"));

    add_method(
        cls, "delete",
        [g, sa, refuse_deleted](py::object self, py::object prompt) {
            py::module_ builtins = py::module_::import("builtins");
            if (truthy(prompt)) {
                py::object answer = builtins.attr("input")(PROMPT);
                if (!norvo::bind::compares(answer.attr("casefold")(), py::str("y"))) {
                    builtins.attr("print")("OFS DB has not been removed.");
                    return;
                }
            }
            py::object path = self.attr("path");

            // Let go of every connection before the file goes, and make later use fail until
            // initialize opens a database again; the attributes themselves stay.
            py::object session = norvo::bind::getattr_or_none(self, "session");
            if (!session.is_none()) session.attr("remove")();
            py::object engine = norvo::bind::getattr_or_none(self, "engine");
            if (!engine.is_none()) {
                engine.attr("dispose")();
                py::object event = sa.attr("event");
                if (!truthy(event.attr("contains")(engine, "do_connect", refuse_deleted)))
                    event.attr("listen")(engine, "do_connect", refuse_deleted);
            }

            try {
                path.attr("unlink")();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_FileNotFoundError)) throw;
            }
            g["log"].attr("info")("Removed the OFS DB.");
            if (truthy(prompt)) builtins.attr("print")("OFS DB has been removed.");
        },
        py::arg("prompt") = true);
}
