// The REST client's retry policy, which the object-storage transfers share: one attempt is a
// function of the module, `_make_request`, that raises the class the status map gives for a
// mapped status; the module keeps it wrapped by `retrying`. Both modules hold the policy's
// names as globals (`retry`, `_retry_on_exception`, `_retry_exceptions`), read when used.
#pragma once

#include "errors.hpp"
#include "module.hpp"

namespace norvo::server {

// Raises the class the status map gives for the response's status, when it gives one.
inline void raise_mapped_status(const norvo::bind::Globals& g, py::handle response) {
    py::dict status_map = g["_retry_exceptions"];
    py::object status = response.attr("status_code");
    if (status_map.contains(status)) norvo::bind::raise(status_map[status].ptr());
}

// `attempt` under the policy: retried while `_retry_on_exception` says so, waits growing
// exponentially up to ten seconds, ten attempts at most.
inline py::object retried(const norvo::bind::Globals& g, py::handle attempt) {
    py::object wrapped = g["retry"](py::arg("retry_on_exception") = g["_retry_on_exception"],
                                    py::arg("wait_exponential_multiplier") = 1000,
                                    py::arg("wait_exponential_max") = 10000, py::arg("stop_max_attempt_number") = 10)(
        attempt);
    wrapped.attr("__qualname__") = "_make_request";
    return wrapped;
}

}  // namespace norvo::server
