// The five row classes of the local database, declared on the database module's `Base`.
// Every cell but the key table's row number is sealed with the deterministic cell engine, so
// equal values under one key give equal cells: the primary keys, the unique constraint and
// the foreign key compare cells and rely on it.
#include "models.hpp"

namespace norvo::models_module {

using norvo::bind::add_method;

namespace {

// A declarative row class, made as a class statement on `Base` would make it.
py::object row_class(py::module_& m, py::handle base, const char* name, py::dict body) {
    py::dict ns = norvo::bind::class_namespace(m, name, "");
    ns["__doc__"] = py::none();
    for (auto item : body) ns[item.first] = item.second;
    return norvo::bind::make_class(name, py::make_tuple(base), ns, py::type::of(base));
}

}  // namespace

void install_tables(py::module_& m) {
    const Globals& g = globals();
    py::object sa = g["sa"];
    py::object orm = norvo::bind::import("sqlalchemy.orm");
    py::object guid = g["GUID"], binary = g["Binary"], date_time = g["DateTime"], json_type = g["JSON"];

    // ---- The row classes. EncryptedType announces a future change of its storage type each
    // time it is made; the cells here are its present ones, so the notice is kept out of the
    // application's warnings while the schema is declared.
    py::object base = g["Base"];
    py::object Column = sa.attr("Column");
    py::object String = sa.attr("String");
    py::object Integer = sa.attr("Integer");
    py::object encrypted = g["Encrypted"];
    // Each column's type knows its column by name, for the errors that name it.
    auto sealed = [&](const char* column, py::handle type) {
        py::object column_type = encrypted(type);
        column_type.attr("_column") = column;
        return column_type;
    };
    auto cell = [&](const char* column, py::handle type, bool nullable) {
        return Column(sealed(column, type), py::arg("nullable") = nullable);
    };
    auto primary_cell = [&](const char* column, py::handle type) {
        return Column(sealed(column, type), py::arg("primary_key") = true, py::arg("nullable") = false);
    };

    py::object warnings = norvo::bind::import("warnings");
    norvo::bind::with_context(warnings.attr("catch_warnings")(), [&](py::object) {
        warnings.attr("filterwarnings")("ignore", py::arg("message") = "The 'EncryptedType' class will change",
                                        py::arg("category") = py::handle(PyExc_DeprecationWarning));

        py::dict user;
        user["__tablename__"] = "users";
        user["id"] = primary_cell("users.id", String);
        m.attr("User") = row_class(m, base, "User", user);

        py::dict key;
        key["__tablename__"] = "keys";
        key["__table_args__"] = py::make_tuple(sa.attr("UniqueConstraint")("user_id", "key_type", "index"));
        key["id"] = Column(Integer, py::arg("primary_key") = true, py::arg("nullable") = false);
        key["user_id"] = Column(sealed("keys.user_id", guid), py::arg("nullable") = false, py::arg("index") = true);
        key["active"] =
            Column(sealed("keys.active", sa.attr("Boolean")), py::arg("nullable") = false, py::arg("default") = true);
        key["key_type"] = cell("keys.key_type", String, false);
        key["pub_key"] = cell("keys.pub_key", binary, false);
        key["index"] = cell("keys.index", Integer, false);
        m.attr("Key") = row_class(m, base, "Key", key);

        // Deleting a container deletes its accesses: the ORM would otherwise blank their
        // container id, which is part of their primary key. Removing an access from the
        // collection deletes its row for the same reason.
        py::dict container;
        container["__tablename__"] = "containers";
        container["id"] = primary_cell("containers.id", guid);
        container["type"] = cell("containers.type", String, true);
        container["length"] = cell("containers.length", Integer, false);
        container["created_at"] = cell("containers.created_at", date_time, true);
        container["created_by"] = cell("containers.created_by", guid, true);
        container["modified_at"] = cell("containers.modified_at", date_time, true);
        container["modified_by"] = cell("containers.modified_by", guid, true);
        container["ofs_location"] = cell("containers.ofs_location", String, true);
        container["synced_at"] = cell("containers.synced_at", date_time, false);
        container["portion"] = cell("containers.portion", String, false);
        container["access"] = orm.attr("relationship")(
            "ContainerAccess",
            py::arg("collection_class") = orm.attr("collections").attr("attribute_keyed_dict")("user_id"),
            py::arg("backref") = orm.attr("backref")("container", py::arg("uselist") = false),
            py::arg("lazy") = "joined", py::arg("cascade") = "all, delete-orphan");
        m.attr("Container") = row_class(m, base, "Container", container);

        py::dict access;
        access["__tablename__"] = "container_accesses";
        access["__table_args__"] = py::make_tuple(sa.attr("PrimaryKeyConstraint")("user_id", "container_id"));
        access["user_id"] = cell("container_accesses.user_id", guid, false);
        access["container_id"] =
            Column(sealed("container_accesses.container_id", guid),
                   sa.attr("ForeignKey")("containers.id", py::arg("onupdate") = "CASCADE",
                                         py::arg("ondelete") = "CASCADE"),
                   py::arg("nullable") = false);
        access["created_at"] = cell("container_accesses.created_at", date_time, true);
        access["created_by"] = cell("container_accesses.created_by", guid, true);
        access["modified_at"] = cell("container_accesses.modified_at", date_time, true);
        access["modified_by"] = cell("container_accesses.modified_by", guid, true);
        access["permissions"] = cell("container_accesses.permissions", Integer, false);
        access["expires_at"] = cell("container_accesses.expires_at", date_time, true);
        access["key_blob"] = cell("container_accesses.key_blob", binary, false);
        py::object access_cls = row_class(m, base, "ContainerAccess", access);
        add_method(access_cls, "make_class", [g](py::object self) {
            py::object made = g["Access"](
                py::arg("user_id") = self.attr("user_id"),
                py::arg("permissions") = g["Permissions"](py::arg("value") = self.attr("permissions")),
                py::arg("expiration") = self.attr("expires_at"),
                py::arg("key") = g["base64"].attr("b64encode")(self.attr("key_blob")));
            for (const char* name : {"created_at", "created_by", "modified_at", "modified_by"})
                made.attr(name) = self.attr(name);
            return made;
        });
        m.attr("ContainerAccess") = access_cls;

        // The broker sends no expiry for a container that has not expired and no modification
        // time for an event that changed no content, so both dates may be NULL.
        py::dict event;
        event["__tablename__"] = "events";
        event["id"] = primary_cell("events.id", sa.attr("BigInteger"));
        event["action"] = cell("events.action", String, false);
        event["changes"] = cell("events.changes", json_type, true);
        event["client_app_name"] = cell("events.client_app_name", String, true);
        event["container_expired_at"] = cell("events.container_expired_at", date_time, true);
        event["container_id"] = cell("events.container_id", guid, true);
        event["container_modified_at"] = cell("events.container_modified_at", date_time, true);
        event["container_type"] = cell("events.container_type", String, true);
        event["date"] = cell("events.date", date_time, false);
        event["related_user_id"] = cell("events.related_user_id", guid, true);
        event["type"] = cell("events.type", String, false);
        m.attr("Event") = row_class(m, base, "Event", event);
    });
}

}  // namespace norvo::models_module
