// norvo.providers.ofs.models: the encrypted schema of the user's local database.
//
// Column types that turn UUIDs, byte strings, date-times and JSON documents into text; the
// database key, derived from the logged-in user's authentication key of index 0; the cell
// engine, the library's deterministic AES engine; `Encrypted`, sqlalchemy-utils'
// EncryptedType bound to that key and engine; and the five row classes, declared on the
// database module's `Base`.
//
// This file loads the module: the names it imports, in the order the module binds them, then
// each part, made in its own file under models/, in the order the later parts need them.
#include "models/models.hpp"

namespace mm = norvo::models_module;

namespace {
mm::Globals* module_globals = nullptr;
}  // namespace

const mm::Globals& mm::globals() { return *module_globals; }
void mm::bind_globals(py::module_& m) { module_globals = new mm::Globals(m); }

NORVO_MODULE(models, m, .doc = "The encrypted relational schema of the user's local database.", .signatures = false) {
    using norvo::bind::import;
    m.attr("sa") = import("sqlalchemy");
    m.attr("uuid") = import("uuid");
    m.attr("binascii") = import("binascii");
    m.attr("arrow") = import("arrow");
    m.attr("json") = import("json");
    m.attr("ast") = import("ast");
    m.attr("base64") = import("base64");
    m.attr("partial") = import("functools").attr("partial");
    m.attr("EncryptedType") = import("sqlalchemy_utils").attr("EncryptedType");
    m.attr("AesEngine") = import("sqlalchemy_utils.types.encrypted.encrypted_type").attr("AesEngine");

    // The library's own modules, in the order they are needed.
    m.attr("crypto") = import("norvo.crypto");
    m.attr("Access") = import("norvo.access").attr("Access");
    m.attr("Permissions") = import("norvo.permissions").attr("Permissions");
    m.attr("Base") = import("norvo.providers.ofs.database").attr("Base");
    // `from norvo.providers import ofs`: fails while the package is still loading itself.
    import("norvo.providers.ofs");
    m.attr("ofs") = norvo::bind::import_from("norvo.providers", "ofs");
    m.attr("KeyType") = import("norvo.crypto.keys").attr("KeyType");

    mm::bind_globals(m);
    mm::install_column_types(m);
    mm::install_key_cache(m);
    mm::install_cell_engine(m);
    mm::install_encrypted_type(m);
    mm::install_tables(m);
}
