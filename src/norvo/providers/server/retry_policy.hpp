// The REST client's retry policy, which the object-storage transfers share: one attempt is a
// function of the module that raises the class the status map gives for a mapped status; the
// module's `_make_request` runs it under the policy of the `retrying` library. Both modules
// hold the status map and the predicate as globals (`_retry_exceptions`, `_retry_on_exception`).
#pragma once

#include "calls.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "module.hpp"

#include <string>
#include <vector>

namespace norvo::server {

// Raises the class the status map gives for the response's status, when it gives one.
inline void raise_mapped_status(const norvo::bind::Globals& g, py::handle response) {
    py::object map = g[NORVO_NAME("_retry_exceptions")];
    py::object status = response.attr(NORVO_NAME("status_code"));
    if (!PyDict_Check(map.ptr())) map = py::dict(map);
    PyObject* mapped = PyDict_GetItemWithError(map.ptr(), status.ptr());
    if (mapped) norvo::bind::raise(mapped);
    if (PyErr_Occurred()) throw py::error_already_set();
}

namespace retry_detail {

// What `_make_request` holds: the attempt, the predicate, and the policy object last made
// with the class `retrying.Retrying` it was made of, as the pair (class, policy).
enum Slot : Py_ssize_t { ATTEMPT, PREDICATE, POLICY, SLOTS };

// A policy object keeps nothing of a call (each call counts its attempts and time itself), so
// one serves every call; it is made anew when `retrying.Retrying` is another class than the
// one it was made of.
inline py::handle policy(py::handle state) {
    py::object cls = norvo::bind::import("retrying").attr(NORVO_NAME("Retrying"));
    PyObject* made = PyList_GET_ITEM(state.ptr(), POLICY);
    if (made != Py_None && PyTuple_GET_ITEM(made, 0) == cls.ptr()) return PyTuple_GET_ITEM(made, 1);
    static const py::handle names = keyword_names(
        {"retry_on_exception", "wait_exponential_multiplier", "wait_exponential_max", "stop_max_attempt_number"});
    py::object fresh = call(cls, names, py::handle(PyList_GET_ITEM(state.ptr(), PREDICATE)), py::int_(1000),
                            py::int_(10000), py::int_(10));
    py::tuple pair = py::make_tuple(cls, fresh);
    if (PyList_SetItem(state.ptr(), POLICY, pair.release().ptr()) != 0) throw py::error_already_set();
    return PyTuple_GET_ITEM(PyList_GET_ITEM(state.ptr(), POLICY), 1);
}

// `policy.call(attempt, *args, **kwargs)`, as the `retry` decorator's wrapper calls it.
inline py::object run(const norvo::bind::Call& c) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(c.nargsf);
    const Py_ssize_t nkw = c.kwnames ? PyTuple_GET_SIZE(c.kwnames) : 0;
    py::object keep = py::reinterpret_borrow<py::object>(policy(c.state));
    constexpr Py_ssize_t ON_STACK = 16;
    PyObject* stack_args[ON_STACK];
    std::vector<PyObject*> heap_args;
    PyObject** args = stack_args;
    if (nargs + nkw + 2 > ON_STACK) {
        heap_args.resize(static_cast<std::size_t>(nargs + nkw + 2));
        args = heap_args.data();
    }
    args[0] = keep.ptr();
    args[1] = PyList_GET_ITEM(c.state.ptr(), ATTEMPT);
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) args[i + 2] = c.args[i];
    return norvo::bind::steal(PyObject_VectorcallMethod(NORVO_NAME("call").ptr(), args,
                                                        static_cast<std::size_t>(nargs + 2), c.kwnames));
}

}  // namespace retry_detail

// `attempt` under the policy, as `_make_request` of module `m`: retried while the predicate
// (the module's `_retry_on_exception` when this is made) says so, waits growing exponentially
// up to ten seconds, ten attempts at most. It carries the attempt's names and documentation,
// and the attempt as `__wrapped__`, as the decorator of the `retrying` library leaves them.
inline py::object retried(py::module_& m, const norvo::bind::Globals& g, py::object attempt) {
    py::list state;
    for (Py_ssize_t i = 0; i < retry_detail::SLOTS; ++i) state.append(py::none());
    state[retry_detail::ATTEMPT] = attempt;
    state[retry_detail::PREDICATE] = g["_retry_on_exception"];
    norvo::bind::CallableSpec spec;
    spec.name = spec.qualname = "_make_request";
    spec.module = py::str(m.attr("__name__")).cast<std::string>();
    spec.doc = py::str(attempt.attr("__doc__")).cast<std::string>();
    spec.wrapper = true;
    spec.body = retry_detail::run;
    spec.state = std::move(state);
    py::object wrapped = norvo::bind::make_callable(std::move(spec));
    wrapped.attr("__wrapped__") = attempt;
    return wrapped;
}

}  // namespace norvo::server
