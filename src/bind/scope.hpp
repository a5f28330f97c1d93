// The `with` statement for C++ bodies: the provider scope that many operations enter.
#pragma once

#include <utility>

#include "interpreter.hpp"

namespace norvo::bind {

// Runs `body(resource)` as `with manager as resource:` does: every error leaving the body
// leaves through __exit__. A Python error is passed to it as it stands, and __exit__ may
// suppress it. A C++ exception is passed as the Python error it becomes at the module's
// boundary (the same translators decide), then rethrown as it was: the body did not finish,
// and nothing on the C++ side expects it to have. An error raised by __exit__ itself replaces
// the body's and keeps it as its context, as the interpreter does.
// The scope is entered on hot paths (every container made enters the provider scope), so the
// handlers are found by interned names and called without building argument tuples.
template <class F>
void with_context(py::handle manager, F&& body) {
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    py::object enter = steal(PyObject_GetAttr(type.ptr(), NORVO_NAME("__enter__").ptr()));
    py::object exit = steal(PyObject_GetAttr(type.ptr(), NORVO_NAME("__exit__").ptr()));
    PyObject* enter_args[] = {manager.ptr()};
    py::object resource = steal(PyObject_Vectorcall(enter.ptr(), enter_args, 1, nullptr));
    auto call_exit = [&](py::handle type_, py::handle value, py::handle trace) {
        PyObject* args[] = {manager.ptr(), type_ ? type_.ptr() : Py_None, value ? value.ptr() : Py_None,
                            trace ? trace.ptr() : Py_None};
        return steal(PyObject_Vectorcall(exit.ptr(), args, 4, nullptr));
    };
    auto leave = [&](py::error_already_set& error) -> bool {
        try {
            return truthy(call_exit(error.type(), error.value(), error.trace()));
        } catch (py::error_already_set& raised) {
            PyObject* context = PyException_GetContext(raised.value().ptr());
            if (context)
                Py_DECREF(context);
            else if (raised.value().ptr() != error.value().ptr())
                PyException_SetContext(raised.value().ptr(), error.value().inc_ref().ptr());
            throw;
        }
    };
    try {
        std::forward<F>(body)(resource);
    } catch (py::error_already_set& e) {
        if (!leave(e)) throw;
        return;
    } catch (...) {
        py::detail::try_translate_exceptions();
        py::error_already_set translated;
        leave(translated);
        throw;
    }
    call_exit({}, {}, {});
}

}  // namespace norvo::bind
