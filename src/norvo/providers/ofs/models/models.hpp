// What the parts of norvo.providers.ofs.models share. Each part binds its names into the
// module when the module file calls it; the later parts find the earlier parts' names there.
#pragma once

#include <utility>

#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

namespace norvo::models_module {

using norvo::bind::Globals;

// The module's globals: the names the conversions use from it are read when they run, and one
// taken out of the module is the interpreter's NameError. Bound when the module loads, and
// never freed: a cell may be converted while the interpreter finalises.
const Globals& globals();
void bind_globals(py::module_& m);

// One conversion of a value that is not None, given the module's globals.
using Conversion = py::object (*)(py::object value, const Globals& g);

// A method body `F(self, ...)` of N arguments, self included, called by the method with its
// bound arguments as they are, without an argument tuple between.
template <auto F, std::size_t... I>
py::object call_with(PyObject* const* args, std::index_sequence<I...>) {
    return F(py::reinterpret_borrow<py::object>(args[I])...);
}
template <auto F, std::size_t N>
py::object raw_body(const norvo::bind::Call& call) {
    PyObject* const* args = call.args;
    return call_with<F>(args, std::make_index_sequence<N>{});
}

// GUID, Binary, DateTime and JSON: the storage forms of the values the cells seal.
void install_column_types(py::module_& m);
// get_sa_key: the logged-in user's database key.
void install_key_cache(py::module_& m);
// CellTextError, SealedCellError and StrictAesEngine: what seals and opens one cell.
void install_cell_engine(py::module_& m);
// CellTypeError, StrictEncryptedType and Encrypted: the encrypted column type.
void install_encrypted_type(py::module_& m);
// User, Key, Container, ContainerAccess and Event, declared on the database module's Base.
void install_tables(py::module_& m);

// Binds `name`, an error class over the builtin `base` that SQLAlchemy passes to the caller
// as it is, not wrapped in its own statement error.
void cell_error(py::module_& m, const char* name, PyObject* base, const char* doc);

// The key that a column's `_key` gives now: the key cache's current key, what another callable
// returns, or the value itself, as EncryptedType reads it.
py::object column_key(py::handle key);

// The methods of StrictAesEngine, for the column type to call on an engine of that class.
py::object engine_update_key(py::object self, py::object key);
py::object engine_encrypt(py::object self, py::object value);
py::object engine_decrypt(py::object self, py::object value);

// Raises `error` (the module's SealedCellError) for a cell that does not open.
[[noreturn]] void refuse_cell(py::handle error);

}  // namespace norvo::models_module
