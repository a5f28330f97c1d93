// The cell engine: the library's AES engine, whose cells stored files hold. It pads a cell's
// text with "*" and strips every trailing "*" when it reads, so a text that ends in "*" would
// come back shorter: such a text is refused instead of stored changed, with a ValueError that
// SQLAlchemy passes on as it is, so callers see what went wrong with their value.
#include "models.hpp"

#include <string_view>

namespace norvo::models_module {

using norvo::bind::truthy;

namespace {

constexpr const char* STAR = "*";

}  // namespace

// The wrapper hands the engine its key before every cell, and the engine makes its cipher anew
// each time: for the key it holds already, that is the same cipher again.
py::object engine_update_key(py::object self, py::object key) {
    py::object dict = self.attr(NORVO_NAME("__dict__"));
    PyObject* held = PyDict_GetItem(dict.ptr(), NORVO_NAME("_key_in_use").ptr());
    if (held != nullptr && held == key.ptr()) return py::none();
    dict[NORVO_NAME("_key_in_use")] = py::none();
    globals()[NORVO_NAME("AesEngine")].attr(NORVO_NAME("_update_key"))(self, key);
    dict[NORVO_NAME("_key_in_use")] = key;
    return py::none();
}

py::object engine_encrypt(py::object self, py::object value) {
    const Globals& g = globals();
    if (PyUnicode_Check(value.ptr()) && truthy(value.attr(NORVO_NAME("endswith"))(STAR)))
        norvo::bind::raise(g[NORVO_NAME("CellTextError")],
                           py::str("Cannot store text that ends in '*': the cell's padding would strip it."));
    return g[NORVO_NAME("AesEngine")].attr(NORVO_NAME("encrypt"))(self, value);
}

// The engine's own reading strips every trailing "*" and takes whatever base64 and UTF-8 come
// out, so a cell cut short by whole blocks reads as a shorter value. A cell it wrote is
// canonical base64 of whole blocks whose plaintext is UTF-8 text followed by 1 to 16 "*" (the
// text itself never ends in one): anything else is refused.
py::object engine_decrypt(py::object self, py::object value) {
    const Globals& g = globals();
    py::object damaged = g[NORVO_NAME("SealedCellError")];
    if (!PyUnicode_Check(value.ptr())) refuse_cell(damaged);
    py::object sealed;
    try {
        sealed = g[NORVO_NAME("base64")].attr(NORVO_NAME("b64decode"))(value, py::arg("validate") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        refuse_cell(damaged);
    }
    if (!PyBytes_Check(sealed.ptr())) refuse_cell(damaged);
    std::string_view cipher_text(PyBytes_AS_STRING(sealed.ptr()), PyBytes_GET_SIZE(sealed.ptr()));
    if (cipher_text.empty() || cipher_text.size() % 16 != 0) refuse_cell(damaged);
    py::object decryptor = self.attr(NORVO_NAME("cipher")).attr(NORVO_NAME("decryptor"))();
    py::object head = decryptor.attr(NORVO_NAME("update"))(sealed);
    py::object tail = decryptor.attr(NORVO_NAME("finalize"))();
    py::object plain = norvo::bind::steal(PyNumber_Add(head.ptr(), tail.ptr()));
    if (!PyBytes_Check(plain.ptr())) refuse_cell(damaged);
    std::string_view text(PyBytes_AS_STRING(plain.ptr()), PyBytes_GET_SIZE(plain.ptr()));
    std::size_t kept = text.find_last_not_of('*');
    kept = kept == std::string_view::npos ? 0 : kept + 1;
    std::size_t padding = text.size() - kept;
    if (padding < 1 || padding > 16) refuse_cell(damaged);
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(kept), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        refuse_cell(damaged);
    }
    return norvo::bind::steal(decoded);
}

void cell_error(py::module_& m, const char* name, PyObject* base, const char* doc) {
    py::object builtin_error = py::handle(base).cast<py::object>();
    py::object dont_wrap = m.attr("sa").attr("exc").attr("DontWrapMixin");
    m.attr(name) = norvo::bind::make_class(name, py::make_tuple(builtin_error, dont_wrap),
                                           norvo::bind::class_namespace(m, name, doc), py::type::of(builtin_error));
}

[[noreturn]] void refuse_cell(py::handle error) {
    norvo::bind::raise(error, py::str("An encrypted cell does not open under the database key: it was altered, "
                                      "cut short, or sealed for another database."));
}

void install_cell_engine(py::module_& m) {
    cell_error(m, "CellTextError", PyExc_ValueError, "Text that an encrypted cell cannot hold unchanged.");
    cell_error(m, "SealedCellError", PyExc_ValueError,
               "A cell that does not open under the database key: altered, cut short, or sealed for another database.");
    py::object aes_engine = m.attr("AesEngine");
    py::dict ns = norvo::bind::class_namespace(
        m, "StrictAesEngine", "The library's AES engine, refusing text that its padding would change.");
    py::object engine = norvo::bind::make_class("StrictAesEngine", py::make_tuple(aes_engine), ns,
                                                py::type::of(aes_engine));
    norvo::bind::add_raw_method(engine, "_update_key", raw_body<engine_update_key, 2>, {{"key", py::object()}});
    norvo::bind::add_raw_method(engine, "encrypt", raw_body<engine_encrypt, 2>, {{"value", py::object()}});
    norvo::bind::add_raw_method(engine, "decrypt", raw_body<engine_decrypt, 2>, {{"value", py::object()}});
    m.attr("StrictAesEngine") = engine;
}

}  // namespace norvo::models_module
