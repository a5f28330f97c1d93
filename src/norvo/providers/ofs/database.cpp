// norvo.providers.ofs.database: one SQLite database per user, kept inside the file store.
//
// `NorvoDatabase.initialize` finds the user's file at the store location of a seed made from
// the user id, opens an engine whose every connection enforces foreign keys, and keeps a
// scoped-session registry. Every open makes the tables declared on `Base` that the file lacks,
// so a file that lost one gets it back; a file that is new, or whose schema is behind the
// newest revision of the scripts in "alembic" beside this module, is then migrated to that
// revision, and one at the newest revision needs no migration. Asked to reopen, an object
// opened before on the same file keeps its engine while the file needs no migration, which
// spares a login most of the first open. The cells are encrypted by the column types of the
// models module; to SQLite this is a plain file.
//
// The database is a cache of what the broker holds, and the user's processes share it:
// - its file is private to its owner (SQLite gives its journal the file's own mode), and so
//   are the folders made for it;
// - the first open, which creates the tables and migrates them, is done by one process at a
//   time: each holds an advisory lock on the database's folder meanwhile, a folder no other
//   file of the store shares;
// - a file that SQLite cannot open as a database, or that fails its quick integrity check,
//   never keeps the user out: it is moved aside under a name that says why (never deleted,
//   its journal with it), and a new database takes its place, filled again from the broker;
// - a forked child opens connections of its own and leaves those it inherited to the parent
//   (database/forks.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "classes.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "database/forks.hpp"
#include "private_files.hpp"

using norvo::bind::add_method;
using norvo::bind::Globals;
using norvo::bind::import;
using norvo::bind::truthy;

namespace {

constexpr const char* PROMPT = "Are you sure you want to delete the OFS's database? [y|N]";

constexpr const char* DELETED =
    "OFS DB has been removed; initialize the database again before using it.";

// ConfigParser reads "%" as the start of an interpolation, so a literal one is doubled.
py::str config_text(py::handle value) {
    return py::str(value).attr("replace")("%", "%%");
}

// Why a database file is moved aside: the suffix of its new name and the warning's words.
struct Damage {
    const char* suffix;
    const char* why;
};

constexpr Damage DAMAGES[] = {
    {"not-a-database", "is not a database that SQLite can open"},
    {"corrupt", "fails SQLite's integrity check"},
    {"other-key", "holds rows that do not open under this user's key"},
};
constexpr const Damage& NOT_A_DATABASE = DAMAGES[0];
constexpr const Damage& CORRUPT = DAMAGES[1];

// SQLite's primary result codes for a file that is no database, and for a damaged one.
constexpr long SQLITE_CORRUPT = 11;
constexpr long SQLITE_NOTADB = 26;

// The files SQLite keeps beside a database while it works on it, named by these endings.
constexpr const char* COMPANIONS[] = {"-journal", "-wal", "-shm"};

// An exclusive advisory lock on a folder, held while the object lives. The wait for another
// process to let go happens with the interpreter lock released, so that the other threads of
// this process, the one holding the lock among them, carry on. A file system that keeps no
// such locks (some network ones) gets no lock: opening then is as safe as it was before.
class FolderLock {
public:
    FolderLock(py::handle folder, const Globals& g) {
        py::object os = g["os"];
        fd_ = os.attr("open")(folder, os.attr("O_RDONLY").cast<int>() | O_DIRECTORY | O_CLOEXEC).cast<int>();
        for (;;) {
            int rc, error;
            norvo::bind::without_gil([&] {
                rc = ::flock(fd_, LOCK_EX);
                error = errno;
            });
            if (rc == 0) return;
            if (error == EINTR) {
                if (PyErr_CheckSignals() != 0) {
                    ::close(fd_);
                    throw py::error_already_set();
                }
                continue;
            }
            if (error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF) return;
            ::close(fd_);
            errno = error;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, folder.ptr());
            throw py::error_already_set();
        }
    }
    // Let go of by name: a child forked meanwhile shares the open file, and closing only this
    // copy would leave the folder locked for as long as the child lives.
    ~FolderLock() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

// Makes the database file where there is none, private to its owner whatever the umask; a file
// that others may read already is made private.
void make_private_file(py::object path, const Globals& g) {
    py::object os = g["os"];
    int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() | os.attr("O_EXCL").cast<int>() |
                O_CLOEXEC;
    try {
        norvo::local_store::open_with_mode(os, path, flags, norvo::local_store::PRIVATE_FILE);
        return;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
    }
    int mode = import("stat").attr("S_IMODE")(os.attr("stat")(path).attr("st_mode")).cast<int>();
    if ((mode & 077) == 0) return;
    try {
        os.attr("chmod")(path, mode & 0700);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_PermissionError)) throw;
        g["log"].attr("warning")("The OFS DB at %s is readable by others and cannot be made private: %s", path,
                                 py::str(e.value()));
    }
}

// Moves the database file at `path` and its companions aside, to the first free name that
// says why; the caller holds the folder's lock. Returns the new path.
py::object move_aside(py::object path, const Damage& damage, const Globals& g) {
    py::object os = g["os"];
    py::object exists = os.attr("path").attr("lexists");
    py::str base = os.attr("fsdecode")(path);
    py::str aside = py::str("{}.{}").format(base, damage.suffix);
    for (int n = 1;; ++n) {
        bool taken = truthy(exists(aside));
        for (const char* companion : COMPANIONS) taken = taken || truthy(exists(aside + py::str(companion)));
        if (!taken) break;
        aside = py::str("{}.{}.{}").format(base, damage.suffix, n);
    }
    os.attr("rename")(base, aside);
    for (const char* companion : COMPANIONS) {
        py::str from = base + py::str(companion);
        if (truthy(exists(from))) os.attr("rename")(from, aside + py::str(companion));
    }
    g["log"].attr("warning")("The OFS DB at %s %s: it is moved aside to %s, and a new one takes its place.", base,
                             damage.why, aside);
    return g["Path"](aside);
}

// What is wrong with the database at the end of `engine`, if anything: a file that is no
// database, or one that SQLite finds damaged. Every other error (a busy or unreadable file)
// passes: it says nothing about the file itself.
std::optional<Damage> damage_of(py::object engine, const py::object& sa) {
    try {
        py::object connection = engine.attr("connect")();
        py::list rows;
        try {
            rows = connection.attr("exec_driver_sql")("PRAGMA quick_check").attr("fetchall")();
        } catch (py::error_already_set&) {
            connection.attr("close")();
            throw;
        }
        connection.attr("close")();
        if (rows.size() == 1 && norvo::bind::compares(rows[0][py::int_(0)], py::str("ok"))) return {};
        return CORRUPT;
    } catch (py::error_already_set& e) {
        if (!e.matches(sa.attr("exc").attr("DatabaseError"))) throw;
        py::object code = norvo::bind::getattr_or_none(e.value().attr("orig"), "sqlite_errorcode");
        if (code.is_none()) throw;
        long primary = code.cast<long>() & 0xff;
        if (primary == SQLITE_NOTADB) return NOT_A_DATABASE;
        if (primary == SQLITE_CORRUPT) return CORRUPT;
        throw;
    }
}

// The revision that the schema of the database at the end of `engine` was last migrated to, or
// None: a new file, or one made before the version table.
py::object stored_revision(py::object engine) {
    py::object connection = engine.attr("connect")();
    py::object revision = py::none();
    try {
        py::list tables = connection
                              .attr("exec_driver_sql")(
                                  "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'alembic_version'")
                              .attr("fetchall")();
        if (tables.size() == 1) {
            py::list rows = connection.attr("exec_driver_sql")("SELECT version_num FROM alembic_version")
                                .attr("fetchall")();
            if (rows.size() == 1) revision = rows[0][py::int_(0)];
        }
    } catch (py::error_already_set&) {
        connection.attr("close")();
        throw;
    }
    connection.attr("close")();
    return revision;
}

// An engine on the database whose every connection, the first one included, enforces the
// foreign keys and cascades of the schema. Its pool does not roll a connection back on return
// itself: the fork guard does, for the connections this process opened (see forks.cpp).
py::object open_engine(py::object url, const py::object& sa, const Globals& g) {
    py::object engine = sa.attr("create_engine")(url, py::arg("pool_reset_on_return") = py::none());
    py::cpp_function set_sqlite_pragma(
        [](py::object dbapi_connection, py::object /*connection_record*/) {
            py::object cursor = dbapi_connection.attr("cursor")();
            cursor.attr("execute")("PRAGMA foreign_keys=ON");
            cursor.attr("close")();
        },
        py::name("set_sqlite_pragma"), py::arg("dbapi_connection"), py::arg("connection_record"));
    sa.attr("event").attr("listens_for")(engine, "connect")(set_sqlite_pragma);
    norvo::database_forks::guard_engine(engine, g["log"]);
    return engine;
}

constexpr const char* CLASS_DOC = R"(The user's encrypted database, stored in the OFS.

initialize(user_id, reopen=False) opens (and where needed creates, private to its owner) the
database file of `user_id` and sets `path`, `engine`, `alembic_cfg` and `session`; a file that is
no sound database is moved aside first, and a new one made. The tables the file lacks are created
on every call; migrations run only for a file that is new or behind the newest revision. With
`reopen`, an object initialized before for the same file keeps its engine and configuration while
that file is still there, private, sound and at the newest revision; `session` is a new registry.
A process forked later opens connections of its own. delete(prompt=True) removes the file after
a confirmation on the console.
)";

}  // namespace

NORVO_MODULE(database, m, .doc = "The per-user SQLite database, placed in the OFS.", .signatures = false) {
    m.attr("sa") = import("sqlalchemy");
    py::object orm = import("sqlalchemy.orm");
    m.attr("Base") = orm.attr("declarative_base")();
    m.attr("log") = norvo::bind::logger("norvo.providers.ofs.database");
    m.attr("Config") = import("alembic.config").attr("Config");
    m.attr("upgrade") = import("alembic.command").attr("upgrade");
    m.attr("Path") = import("pathlib").attr("Path");
    m.attr("os") = import("os");

    Globals g(m);

    // The newest revision of the migration scripts, read from them once: they ship with the
    // module and do not change while it is loaded.
    auto head = std::make_shared<std::optional<std::string>>();

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

    m.def(
        "_set_aside",
        [g](py::object path, py::str reason, py::object identity) -> py::object {
            const Damage* damage = nullptr;
            for (const Damage& d : DAMAGES)
                if (norvo::bind::compares(reason, py::str(d.suffix))) damage = &d;
            if (damage == nullptr)
                norvo::bind::raise(py::handle(PyExc_ValueError),
                                   py::str("Unknown reason to set a database aside: {!r}").format(reason));
            FolderLock lock(g["Path"](path).attr("parent"), g);
            if (!identity.is_none()) {
                py::object st;
                try {
                    st = g["os"].attr("stat")(path);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_FileNotFoundError)) throw;
                    return py::none();
                }
                if (!norvo::bind::compares(py::make_tuple(st.attr("st_dev"), st.attr("st_ino")), identity))
                    return py::none();  // another process has set it aside already
            }
            return move_aside(path, *damage, g);
        },
        py::arg("path"), py::arg("reason"), py::arg("identity") = py::none(),
        "Moves the database file at `path` aside for `reason` (\"not-a-database\", \"corrupt\" or \"other-key\"),\n"
        "unless `identity` (its (st_dev, st_ino)) is given and another file lies there now; returns the new path\n"
        "or None. The next initialize makes a new database in its place.");

    // Listens on a deleted database's engine: a connection opened after the file was removed
    // would silently create a new, empty file in its place, so every later use fails instead.
    py::object refuse_deleted = py::cpp_function(
        [](py::args) -> py::object { norvo::bind::raise(PyExc_RuntimeError, DELETED); }, py::name("refuse_deleted"));

    py::object cls = norvo::bind::make_class("NorvoDatabase", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
                                             norvo::bind::class_namespace(m, "NorvoDatabase", CLASS_DOC));
    m.attr("NorvoDatabase") = cls;

    // Whether `revision` is the newest one of the migration scripts beside this module.
    auto at_head = [g, head](py::handle revision) {
        if (revision.is_none()) return false;
        if (!head->has_value()) {
            py::object here = g["Path"](g["__file__"]).attr("parent");
            py::object scripts = here / py::str("alembic");
            py::object newest = import("alembic.script")
                                    .attr("ScriptDirectory")(py::str(scripts))
                                    .attr("get_current_head")();
            if (newest.is_none()) return false;
            *head = newest.cast<std::string>();
        }
        return norvo::bind::compares(revision, py::str(**head));
    };

    // Sets the session registry, the last attribute initialize sets, and writes the debug line
    // that every initialize writes.
    auto opened = [g, orm](py::object self, py::object engine, py::object path) {
        py::object session = orm.attr("scoped_session")(orm.attr("sessionmaker")(engine));
        self.attr("session") = session;
        g["log"].attr("debug")(py::str("OFS DB has been created at @ {path}").format(py::arg("path") = path));
        return session;
    };

    // What an earlier initialize of `self` opened at `path` serves again when its file is still
    // there and needs no migration: sound, and at the newest revision. It is checked as a first
    // open checks it, without the folder lock; the tables that the file lost, if any, are made
    // again under it.
    auto reopened = [g, refuse_deleted, at_head, opened](py::object self, py::object path) {
        py::object engine = norvo::bind::getattr_or_none(self, "engine");
        py::object before = norvo::bind::getattr_or_none(self, "path");
        if (engine.is_none() || before.is_none() || !norvo::bind::compares(before, path)) return false;
        // A file deleted through this object: its engine refuses every connection from then on.
        py::object sa = g["sa"];
        if (truthy(sa.attr("event").attr("contains")(engine, "do_connect", refuse_deleted))) return false;
        py::object st;
        try {
            st = g["os"].attr("stat")(path);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
            return false;
        }
        // An empty file is a new database to SQLite, without tables; one that others may read is
        // made private again by a first open.
        if (st.attr("st_size").cast<long long>() == 0 || (st.attr("st_mode").cast<long>() & 077) != 0) return false;
        if (damage_of(engine, sa)) return false;
        py::object revision = stored_revision(engine);
        if (!at_head(revision)) return false;
        {
            FolderLock tables(path.attr("parent"), g);
            g["Base"].attr("metadata").attr("create_all")(engine);
        }
        norvo::database_forks::remember_database(self);
        opened(self, engine, path);
        g["log"].attr("info")("OFS DB Version: %s", revision);
        return true;
    };

    add_method(
        cls, "initialize",
        [g, at_head, opened, reopened](py::object self, py::object user_id, py::object reopen) {
            py::object path = g["get_file_path"](user_id);
            if (truthy(reopen) && reopened(self, path)) return;
            self.attr("path") = path;
            py::object folder = path.attr("parent");
            // The store makes the folders, private to the owner and synced, as it makes its own.
            norvo::bind::import_from("norvo.providers.ofs", "client").attr("make_parents")(path);
            FolderLock first_open(folder, g);
            make_private_file(path, g);

            // The URL is rendered by SQLAlchemy itself, so that a "%", "?" or "#" in the store's
            // root is escaped and reads back as the same file name.
            py::object sa = g["sa"];
            py::object url_object = sa.attr("engine").attr("URL").attr("create")(
                "sqlite", py::arg("database") = py::str(path));
            py::object url = url_object.attr("render_as_string")(py::arg("hide_password") = false);

            py::object engine = open_engine(url, sa, g);
            self.attr("engine") = engine;
            py::object revision = py::none();
            if (g["os"].attr("stat")(path).attr("st_size").cast<long long>() > 0) {
                if (std::optional<Damage> damage = damage_of(engine, sa)) {
                    engine.attr("dispose")();
                    move_aside(path, *damage, g);
                    make_private_file(path, g);
                    engine = open_engine(url, sa, g);
                    self.attr("engine") = engine;
                } else {
                    revision = stored_revision(engine);
                }
            }
            norvo::database_forks::remember_database(self);
            // The folder lock is held: no other process migrates the file between this read and
            // the migration below. The tables are made on every open, so that a file that lost
            // one (a table dropped, a damaged copy) gets it back; the migration of a file at the
            // newest revision would change nothing more, and is spared.
            bool current = at_head(revision);

            g["Base"].attr("metadata").attr("create_all")(engine);

            py::object here = g["Path"](g["__file__"]).attr("parent");
            py::object scripts = here / py::str("alembic");
            py::object cfg = g["Config"]();
            self.attr("alembic_cfg") = cfg;
            cfg.attr("set_section_option")("alembic", "sqlalchemy.url", config_text(url));
            cfg.attr("set_section_option")("alembic", "here", config_text(here));
            cfg.attr("set_section_option")("alembic", "script_location", config_text(scripts));
            if (!current) g["upgrade"](cfg, "head");

            py::object session = opened(self, engine, path);
            py::object row =
                session.attr("execute")(sa.attr("text")("select version_num from alembic_version")).attr("fetchone")();
            py::object version = row.is_none() ? py::object(py::str("head")) : py::object(row[py::int_(0)]);
            g["log"].attr("info")("OFS DB Version: %s", version);
        },
        py::arg("user_id"), py::arg("reopen") = false);

    add_method(
        cls, "delete",
        [g, refuse_deleted](py::object self, py::object prompt) {
            py::object builtins = import("builtins");
            if (truthy(prompt)) {
                py::object answer = builtins.attr("input")(PROMPT);
                if (!norvo::bind::compares(answer.attr("casefold")(), py::str("y"))) {
                    builtins.attr("print")("OFS DB has not been removed.");
                    return;
                }
            }
            py::object path = self.attr("path");

            // Let go of every connection before the file goes. Until initialize opens a database
            // again, later use then fails, once the file is gone: a removal that fails leaves
            // the database as usable as it was. The attributes themselves stay.
            py::object session = norvo::bind::getattr_or_none(self, "session");
            if (!session.is_none()) session.attr("remove")();
            py::object engine = norvo::bind::getattr_or_none(self, "engine");
            if (!engine.is_none()) engine.attr("dispose")();

            auto remove = [](py::object file) {
                try {
                    file.attr("unlink")();
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_FileNotFoundError)) throw;
                }
            };
            remove(path);
            if (!engine.is_none()) {
                py::object event = g["sa"].attr("event");
                if (!truthy(event.attr("contains")(engine, "do_connect", refuse_deleted)))
                    event.attr("listen")(engine, "do_connect", refuse_deleted);
            }
            // A journal left by a write that died belongs to the removed file alone.
            py::str base = g["os"].attr("fsdecode")(path);
            for (const char* companion : COMPANIONS) remove(g["Path"](base + py::str(companion)));
            g["log"].attr("info")("Removed the OFS DB.");
            if (truthy(prompt)) builtins.attr("print")("OFS DB has been removed.");
        },
        py::arg("prompt") = true);
}
