// Bytes across the boundary: zero-copy views of the caller's buffers, new bytes objects that
// the core fills in place, and the GIL released around bulk work on them.
#pragma once

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>
#include <span>
#include <string>

#include "errors.hpp"
#include "gil.hpp"

namespace norvo::bind {

// Below this many bytes the GIL round trip costs more than it frees.
inline constexpr std::size_t GIL_RELEASE_THRESHOLD = 16 * 1024;

// Marks a view of parser input: None reads as no bytes, and a value that is not bytes-like
// fails with the interpreter's own TypeError for a non-buffer.
struct ParserInput {};
inline constexpr ParserInput parser_input{};

// A read-only view of an object that supports the buffer protocol (bytes, bytearray,
// memoryview...). Text is refused with TypeError, as the crypto library refuses it.
class ByteView {
public:
    explicit ByteView(py::handle obj, const char* name = "data") {
        if (PyUnicode_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()))
            raise(PyExc_TypeError, std::string(name) + " must be bytes-like");
        acquire(obj);
    }
    ByteView(py::handle obj, ParserInput) {
        if (obj.is_none()) return;
        if (PyUnicode_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()))
            raise(PyExc_TypeError,
                  std::string("a bytes-like object is required, not '") + Py_TYPE(obj.ptr())->tp_name + "'");
        acquire(obj);
    }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }
    std::span<const std::uint8_t> span() const { return {data(), size()}; }

private:
    void acquire(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        held_ = true;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// The TypeError the crypto library gives for an argument that must be exactly bytes.
inline void require_bytes(py::handle obj, const char* name) {
    if (PyBytes_Check(obj.ptr())) return;
    std::string type = py::str(py::type::handle_of(obj).attr("__name__"));
    raise(PyExc_TypeError, std::string("argument '") + name + "': '" + type + "' object is not an instance of 'bytes'");
}

// Text as its UTF-8 bytes; any other value as it is, for the callee to judge.
inline py::object encode_text(py::object data) {
    if (PyUnicode_Check(data.ptr())) return data.attr("encode")("utf-8");
    return data;
}

// A fresh multi-megabyte buffer costs one page fault per 4 KiB page when it is first written,
// which on a large container costs as much as the AES pass itself. Asking for transparent huge
// pages on the untouched interior cuts that to one fault per 2 MiB where the kernel allows it.
inline void prefer_huge_pages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t HUGE = std::size_t(2) << 20;
    if (n < 2 * HUGE) return;
    auto start = (reinterpret_cast<std::uintptr_t>(p) + HUGE - 1) & ~(HUGE - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(HUGE - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

// A new bytes object of `n` bytes whose storage the caller fills before handing it out.
inline py::bytes new_bytes(std::size_t n, std::uint8_t*& out) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise(PyExc_ValueError, "byte string too large");
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) throw py::error_already_set();
    out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b));
    prefer_huge_pages(out, n);
    return py::reinterpret_steal<py::bytes>(b);
}

inline py::bytes to_bytes(std::span<const std::uint8_t> s) {
    return py::bytes(reinterpret_cast<const char*>(s.data()), s.size());
}

// Runs `f` with the GIL released when `size` is large enough to be worth it.
template <class F>
decltype(auto) bulk(std::size_t size, F&& f) {
    if (size >= GIL_RELEASE_THRESHOLD) return without_gil(std::forward<F>(f));
    return std::forward<F>(f)();
}

}  // namespace norvo::bind
