// What the session accepts as its two credentials of text: the broker's session token and the
// application's API key.
//
// The user's authentication key signs two kinds of bytes: an envelope's ciphertext, and each
// request's "token,stamp" followed by its request id. The broker chooses the token, so a token
// of any bytes would let it choose a prefix of what the key signs, and so make the signature of
// a request pass for that of an envelope whose ciphertext it built. A token is therefore taken
// only in the bearer-token alphabet, which an envelope's ciphertext, random bytes, cannot keep
// to over more than a few bytes, and only up to a bound.
#pragma once

#include "interpreter.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace norvo::server {

inline constexpr Py_ssize_t MAX_TOKEN_LENGTH = 4096;

inline bool is_token_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '+' || c == '/';
}

// Every character of the bytes a signed request has the user's key sign: the token's, its "="
// padding, the comma after it, the base64 of the time and the request id (hex and "-"). The
// envelopes refuse a ciphertext made of these alone.
inline bool is_signed_request_char(unsigned char c) { return is_token_char(c) || c == '=' || c == ','; }

// The token's bytes when it is text of the bearer-token syntax (one or more characters of the
// alphabet, then only "=" padding) and at most MAX_TOKEN_LENGTH characters long; else an empty
// view. Reads the text's own buffer: no Python code runs, whatever the object is.
inline std::string_view bearer_token(py::handle token) {
    if (!PyUnicode_Check(token.ptr())) return {};
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(token.ptr(), &size);
    if (!text) {  // lone surrogates: no text a header can carry
        PyErr_Clear();
        return {};
    }
    // Every accepted character is ASCII, so the bytes count the characters.
    if (size < 1 || size > MAX_TOKEN_LENGTH) return {};
    Py_ssize_t i = 0;
    while (i < size && is_token_char(static_cast<unsigned char>(text[i]))) ++i;
    if (i == 0) return {};
    while (i < size && text[i] == '=') ++i;
    if (i != size) return {};
    return {text, static_cast<std::size_t>(size)};
}

// ---- The API key

// What keeps the API key out of a request header, or nullptr when it can go into one: its
// text (the bytes or text given, or the text form of anything else) must be printable ASCII
// without a blank at either end, which a header would lose.
inline const char* header_fault(const std::vector<Py_UCS4>& text) {
    for (Py_UCS4 c : text) {
        if (c == '\r' || c == '\n') return "a line break";
        if (c < 0x20 || c == 0x7F) return "a control character";
        if (c > 0x7F) return "a non-ASCII character";
    }
    if (!text.empty() && (text.front() == ' ' || text.back() == ' ')) return "a blank at its start or end";
    return nullptr;
}

inline const char* api_key_fault(py::handle key) {
    if (key.is_none()) return nullptr;
    std::vector<Py_UCS4> text;
    if (PyBytes_Check(key.ptr())) {
        const char* bytes = PyBytes_AS_STRING(key.ptr());
        for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(key.ptr()); ++i) text.push_back(static_cast<unsigned char>(bytes[i]));
        return header_fault(text);
    }
    py::object shown = PyUnicode_Check(key.ptr()) ? py::reinterpret_borrow<py::object>(key)
                                                  : norvo::bind::steal(PyObject_Str(key.ptr()));
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(shown.ptr()); ++i) text.push_back(PyUnicode_READ_CHAR(shown.ptr(), i));
    return header_fault(text);
}

// Refuses a key that cannot go into a header with an error naming the fault, never the key.
inline void check_api_key(py::handle key) {
    if (const char* fault = api_key_fault(key))
        norvo::bind::raise(PyExc_ValueError, std::string("The API key holds ") + fault +
                                                 ", so it cannot be sent in a request header.");
}

// The forms in which an error text can hold the key: as given, as the text form of its value
// (escaped, as repr writes it) and of its bytes.
inline std::vector<std::string> api_key_forms(py::handle key) {
    std::vector<std::string> forms;
    if (key.is_none()) return forms;
    auto add = [&](py::handle text) {
        if (!PyUnicode_Check(text.ptr())) return;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) {
            PyErr_Clear();
            return;
        }
        if (size > 0) forms.emplace_back(utf8, static_cast<std::size_t>(size));
    };
    try {
        py::object bytes;
        if (PyBytes_Check(key.ptr())) {
            bytes = py::reinterpret_borrow<py::object>(key);
            add(py::str(bytes.attr("decode")("latin-1")));
        } else {
            py::str text = PyUnicode_Check(key.ptr()) ? py::reinterpret_borrow<py::str>(key) : py::str(key);
            add(text);
            std::string shown = py::repr(text).cast<std::string>();
            add(py::str(shown.substr(1, shown.size() - 2)));
            bytes = norvo::bind::steal(PyUnicode_AsEncodedString(text.ptr(), "latin-1", "replace"));
        }
        std::string shown = py::repr(bytes).cast<std::string>();
        add(py::str(shown.substr(2, shown.size() - 3)));
    } catch (py::error_already_set&) {
        // A key whose forms cannot be made is masked as far as they were.
    }
    return forms;
}

}  // namespace norvo::server
