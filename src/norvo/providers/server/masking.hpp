// The login's verification is a signature over the broker's challenge: replayed while the
// challenge is fresh, it buys a session token. It travels in the login URL's query, and the
// HTTP stack writes that URL into its errors and debug lines; these helpers write the value
// as *** in any text before the library raises or logs it. The request itself is untouched.
#pragma once

#include "imports.hpp"
#include "interpreter.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace norvo::server {

inline constexpr std::string_view VERIFICATION_PARAM = "verification";
inline constexpr std::string_view MASK = "***";

// Every "verification=<value>" in `text` with its value as ***; the value ends where the
// query's next parameter, the fragment, a blank or a quote begins.
inline std::string mask_query_values(std::string text) {
    const std::string key = std::string(VERIFICATION_PARAM) + "=";
    std::size_t at = 0;
    while ((at = text.find(key, at)) != std::string::npos) {
        std::size_t start = at + key.size();
        std::size_t end = text.find_first_of("&#;\"' \t\r\n)>", start);
        if (end == std::string::npos) end = text.size();
        if (std::string_view(text).substr(start, end - start) != MASK) text.replace(start, end - start, MASK);
        at = start + MASK.size();
    }
    return text;
}

// What a text may hold of one verification value: the value itself and its forms in a query.
inline std::vector<std::string> secret_forms(py::handle value) {
    std::vector<std::string> forms;
    if (!PyUnicode_Check(value.ptr())) return forms;
    std::string raw = py::str(value).cast<std::string>();
    if (raw.empty()) return forms;
    forms.push_back(raw);
    py::object parse = norvo::bind::import("urllib.parse");
    for (const char* quoting : {"quote_plus", "quote"}) {
        std::string quoted = parse.attr(quoting)(value, py::arg("safe") = "").cast<std::string>();
        if (quoted != raw) forms.push_back(std::move(quoted));
    }
    return forms;
}

// The secrets of a request's query parameters: the verification value in its forms.
inline std::vector<std::string> secrets_of_params(py::handle params) {
    if (!PyDict_Check(params.ptr())) return {};
    PyObject* value = PyDict_GetItemString(params.ptr(), VERIFICATION_PARAM.data());
    if (!value) return {};
    return secret_forms(value);
}

inline std::string masked_text(std::string text, const std::vector<std::string>& secrets) {
    text = mask_query_values(std::move(text));
    for (const std::string& secret : secrets) {
        std::size_t at = 0;
        while ((at = text.find(secret, at)) != std::string::npos) {
            text.replace(at, secret.size(), MASK);
            at += MASK.size();
        }
    }
    return text;
}

// `text` masked; the same object when there was nothing to mask.
inline py::object masked_str(py::handle text, const std::vector<std::string>& secrets) {
    std::string original = py::reinterpret_borrow<py::str>(text).cast<std::string>();
    std::string masked = masked_text(original, secrets);
    if (masked == original) return py::reinterpret_borrow<py::object>(text);
    return py::str(masked);
}

// Masks the texts among an exception's arguments, and those of the exceptions it carries as
// arguments or in its chain (a requests error wraps urllib3's, whose text holds the URL).
inline void scrub_exception(py::handle error, const std::vector<std::string>& secrets, int depth = 0) {
    if (depth > 8 || !PyExceptionInstance_Check(error.ptr())) return;
    py::tuple args = py::reinterpret_borrow<py::object>(error).attr("args");
    py::list scrubbed;
    bool changed = false;
    for (py::handle arg : args) {
        if (PyUnicode_Check(arg.ptr())) {
            py::object masked = masked_str(arg, secrets);
            changed = changed || !masked.is(arg);
            scrubbed.append(masked);
        } else {
            scrub_exception(arg, secrets, depth + 1);
            scrubbed.append(arg);
        }
    }
    if (changed) py::setattr(error, "args", py::tuple(scrubbed));
    for (PyObject* linked : {PyException_GetCause(error.ptr()), PyException_GetContext(error.ptr())}) {
        if (!linked) continue;
        py::object owned = py::reinterpret_steal<py::object>(linked);
        if (!owned.is(error)) scrub_exception(owned, secrets, depth + 1);
    }
}

// Runs `send`, masking in whatever error leaves it the secrets and those that `more()` gives,
// made only for an error.
template <class F, class G>
decltype(auto) masking_errors(const std::vector<std::string>& secrets, G&& more, F&& send) {
    try {
        return std::forward<F>(send)();
    } catch (py::error_already_set& e) {
        std::vector<std::string> all = secrets;
        for (std::string& secret : std::forward<G>(more)()) all.push_back(std::move(secret));
        scrub_exception(e.value(), all);
        throw;
    }
}

}  // namespace norvo::server
