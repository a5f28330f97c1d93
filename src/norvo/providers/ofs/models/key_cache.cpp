// The database key: derived from the logged-in user's authentication key of index 0, and
// kept for that user only.
#include "models.hpp"

#include <utility>

namespace norvo::models_module {

namespace {

// The database key of the user who is logged in now. A key derived for one user must never
// encrypt another user's database, so the entry remembers whose key it holds and is derived
// again when somebody else has logged in. The entry is one immutable (user id, key) pair,
// replaced whole: a reader takes its own reference to the pair it found, so no thread ever
// sees one user's id beside another's key, and the pair that was replaced is let go only
// once its successor is in place. It holds the id, never the user: a logged-out user and
// its key ring are nobody's to keep alive here.
struct DatabaseKey {
    py::object entry;  // (user id, key), or empty
};

constexpr const char* KEY_DOC = R"(Derives the database key from the logged-in user's first signing key.

get_sa_key() returns 32 bytes: the X9.63 KDF (SHA-384) of the private authentication key of
index 0, serialised as PKCS#8 DER. The key is derived once per logged-in user and kept
with that user's id; cache_clear() forgets it.
)";

}  // namespace

namespace {

py::object current_key(DatabaseKey& self) {
    const Globals& g = globals();
    py::object user = g[NORVO_NAME("ofs")].attr(NORVO_NAME("session")).attr(NORVO_NAME("user"));
    py::object user_id = user.attr(NORVO_NAME("id"));
    py::object entry = self.entry;  // this read's own reference to the pair
    if (entry) {
        py::handle cached_id = PyTuple_GET_ITEM(entry.ptr(), 0);
        if (cached_id.is(user_id) || norvo::bind::compares(cached_id, user_id))
            return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry.ptr(), 1));
    }
    py::object signing_key = user.attr("keys")[g["KeyType"].attr("AUTH")][py::int_(0)];
    py::object crypto = g["crypto"];
    py::object db_key = crypto.attr("KDF2")(crypto.attr("to_der_private")(signing_key.attr("private")));
    py::object replaced = py::make_tuple(user_id, db_key);
    std::swap(self.entry, replaced);  // one step; the old pair goes when `replaced` does
    return db_key;
}

// The cache's type and its call as bound at load.
PyTypeObject* key_cache_type = nullptr;
PyObject* key_cache_call = nullptr;

}  // namespace

py::object column_key(py::handle key) {
    if (Py_TYPE(key.ptr()) == key_cache_type &&
        _PyType_Lookup(key_cache_type, NORVO_NAME("__call__").ptr()) == key_cache_call)
        return current_key(key.cast<DatabaseKey&>());
    if (PyCallable_Check(key.ptr())) return key();
    return py::reinterpret_borrow<py::object>(key);
}

void install_key_cache(py::module_& m) {
    py::class_<DatabaseKey>(m, "_DatabaseKey", KEY_DOC, py::module_local())
        .def(py::init<>())
        .def("__call__", &current_key)
        .def("cache_clear", [](DatabaseKey& self) {
            py::object replaced;
            std::swap(self.entry, replaced);
        });
    py::object key_cache = m.attr("_DatabaseKey");
    py::delattr(m, "_DatabaseKey");
    key_cache_type = reinterpret_cast<PyTypeObject*>(key_cache.inc_ref().ptr());
    key_cache_call = _PyType_Lookup(key_cache_type, NORVO_NAME("__call__").ptr());
    Py_XINCREF(key_cache_call);
    m.attr("get_sa_key") = key_cache();
}

}  // namespace norvo::models_module
