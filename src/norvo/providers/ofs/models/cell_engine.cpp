// The cell engine: the library's AES engine, whose cells stored files hold. It pads a cell's
// text with "*" and strips every trailing "*" when it reads, so a text that ends in "*" would
// come back shorter: such a text is refused instead of stored changed, with a ValueError that
// SQLAlchemy passes on as it is, so callers see what went wrong with their value.
#include "models.hpp"

#include <string_view>

namespace norvo::models_module {

using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

constexpr const char* STAR = "*";

}  // namespace

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
    py::dict g = m.attr("__dict__");
    cell_error(m, "CellTextError", PyExc_ValueError, "Text that an encrypted cell cannot hold unchanged.");
    cell_error(m, "SealedCellError", PyExc_ValueError,
               "A cell that does not open under the database key: altered, cut short, or sealed for another database.");
    py::object aes_engine = g["AesEngine"];
    py::dict ns = norvo::bind::class_namespace(
        m, "StrictAesEngine", "The library's AES engine, refusing text that its padding would change.");
    py::object engine = norvo::bind::make_class("StrictAesEngine", py::make_tuple(aes_engine), ns,
                                                py::type::of(aes_engine));
    // The wrapper hands the engine its key before every cell, and the engine makes its cipher
    // anew each time: for the key it holds already, that is the same cipher again.
    add_method(
        engine, "_update_key",
        [g](py::object self, py::object key) {
            py::object dict = self.attr(NORVO_NAME("__dict__"));
            PyObject* held = PyDict_GetItem(dict.ptr(), NORVO_NAME("_key_in_use").ptr());
            if (held != nullptr && held == key.ptr()) return;
            dict[NORVO_NAME("_key_in_use")] = py::none();
            g[NORVO_NAME("AesEngine")].attr(NORVO_NAME("_update_key"))(self, key);
            dict[NORVO_NAME("_key_in_use")] = key;
        },
        py::arg("key"));
    add_method(
        engine, "encrypt",
        [g](py::object self, py::object value) -> py::object {
            if (PyUnicode_Check(value.ptr()) && truthy(value.attr("endswith")(STAR)))
                norvo::bind::raise(g["CellTextError"],
                                   py::str("Cannot store text that ends in '*': the cell's padding would strip it."));
            return g["AesEngine"].attr("encrypt")(self, value);
        },
        py::arg("value"));
    // The engine's own reading strips every trailing "*" and takes whatever base64 and UTF-8
    // come out, so a cell cut short by whole blocks reads as a shorter value. A cell it
    // wrote is canonical base64 of whole blocks whose plaintext is UTF-8 text followed by
    // 1 to 16 "*" (the text itself never ends in one): anything else is refused.
    add_method(
        engine, "decrypt",
        [g](py::object self, py::object value) -> py::object {
            py::handle damaged = g["SealedCellError"];
            if (!PyUnicode_Check(value.ptr())) refuse_cell(damaged);
            py::object sealed;
            try {
                sealed = g["base64"].attr("b64decode")(value, py::arg("validate") = true);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                refuse_cell(damaged);
            }
            if (!PyBytes_Check(sealed.ptr())) refuse_cell(damaged);
            std::string_view cipher_text(PyBytes_AS_STRING(sealed.ptr()), PyBytes_GET_SIZE(sealed.ptr()));
            if (cipher_text.empty() || cipher_text.size() % 16 != 0) refuse_cell(damaged);
            py::object decryptor = self.attr("cipher").attr("decryptor")();
            py::object head = decryptor.attr("update")(sealed);
            py::object tail = decryptor.attr("finalize")();
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
        },
        py::arg("value"));
    m.attr("StrictAesEngine") = engine;
}

}  // namespace norvo::models_module
