// Test probe for the provider-scope helper that the extension modules share: `run` enters a
// context manager with `with_context` and ends its body in the way the test asks for, so the
// tests can watch how the scope is left. The `scope_probe` target of CMakeLists.txt; run by
// tests/test_provider_scope.py.
#include <stdexcept>
#include <string>

#include "errors.hpp"
#include "scope.hpp"

PYBIND11_MODULE(scope_probe, m) {
    norvo::bind::install_translators();
    m.def("run", [](py::object manager, const std::string& ending) -> py::object {
        py::object entered = py::none();
        norvo::bind::with_context(manager, [&](py::object resource) {
            entered = resource;
            if (ending == "python") norvo::bind::raise(PyExc_KeyError, "raised in Python");
            if (ending == "c++") throw std::runtime_error("thrown in C++");
            if (ending == "value_error") throw py::value_error("a bad value");
            if (ending == "core") throw norvo::core::InvalidArgument("a bad argument");
        });
        return entered;
    });
}
