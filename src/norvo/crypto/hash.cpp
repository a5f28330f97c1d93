// norvo.crypto.hash: password hash normalisation. A value that already looks like a digest
// text of the algorithm (the right length and readable as a base-16 integer) is returned
// as it is; anything else is hashed to lowercase hex, so hashing twice changes nothing.
#include "imports.hpp"
#include "module.hpp"

namespace {

// The interpreter's own base-16 reading, so exactly its forms are accepted: blanks around,
// a sign, a 0x prefix, underscores between digits, Unicode digits and spaces in text.
bool reads_as_hex(py::handle data) {
    PyObject* n = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyLong_Type), "Oi", data.ptr(), 16);
    if (n) {
        Py_DECREF(n);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return false;
    }
    throw py::error_already_set();
}

}  // namespace

NORVO_MODULE(hash, m, .doc = "Password hash normalisation to SHA-384 hex text.") {
    m.attr("hashes") = norvo::bind::import_from("norvo.crypto", "hashes");
    m.attr("_hash") = norvo::bind::import_from("norvo.crypto", "_hash");

    norvo::bind::Globals g(m);
    m.def(
        "get_hash",
        [g](py::object data, py::object algorithm) -> py::object {
            py::object algo = algorithm();
            // The length is taken before digest_size is read, so a value without a length fails first.
            Py_ssize_t length = PyObject_Size(data.ptr());
            if (length < 0) throw py::error_already_set();
            py::object twice = py::int_(2) * algo.attr("digest_size");
            bool needs_hashing = !py::int_(length).equal(twice);
            // The base-16 reading is made whatever the length: it is what refuses a value that
            // has a length but is neither text nor bytes. Where the length already decided and
            // the value is of a type the reading accepts, its outcome cannot change the result,
            // so a long secret is not turned into a big integer for nothing.
            bool readable_type = PyUnicode_Check(data.ptr()) || PyBytes_Check(data.ptr()) ||
                                 PyByteArray_Check(data.ptr());
            if (!needs_hashing || !readable_type) {
                if (!reads_as_hex(data)) needs_hashing = true;
            }
            if (needs_hashing) return g[NORVO_NAME("_hash")](data, algo);
            return data;
        },
        py::arg("data"), py::arg("algorithm") = m.attr("hashes").attr("SHA384"),
        "`data` itself when it already is a hex digest text of `algorithm`, else its hex digest text.");
}
