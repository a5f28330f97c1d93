// The targets of the file store: a caller's `path=` or a seeded location, never outside the
// root. A caller's path is checked as written and then with its links resolved; a seeded
// path of the library's own client is worked out here and opened refusing every link on the
// way, which needs no walk of its twelve folders.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <unistd.h>

#include <cerrno>

#include "burrow.hpp"

#if defined(__linux__) && defined(SYS_openat2)
#include <linux/openat2.h>
#endif

namespace norvo::burrow_module {

using norvo::bind::truthy;

namespace {

// An absolute path whose every part is a name: a root that `resolve()` gave, or that compares
// with what it gives. A root with "." or ".." parts, or none at all, goes the general way.
bool canonical_absolute(std::string_view text) {
    if (text.empty() || text.front() != '/') return false;
    if (text == "/") return true;
    std::size_t at = 1;
    while (at <= text.size()) {
        std::size_t end = text.find('/', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view part = text.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = end + 1;
    }
    return true;
}

// Whether `self`'s attribute `name` is the one its class had at load: not replaced on the class,
// not shadowed on the instance.
bool own_method(PyObject* self, PyObject* instance_dict, py::handle name, py::handle stock) {
    if (_PyType_Lookup(Py_TYPE(self), name.ptr()) != stock.ptr()) return false;
    return PyDict_GetItemWithError(instance_dict, name.ptr()) == nullptr && !PyErr_Occurred();
}

// Whether the module's `name` is still what it bound at load. A name taken out of it is not,
// and the general path then raises the NameError where the methods read the name.
bool holds(const Globals& g, py::handle name, py::handle stock) {
    try {
        return g[name].is(stock);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_NameError)) throw;
        return false;
    }
}

}  // namespace

std::optional<Seeded> seeded(const Stock& stock, py::handle self, py::handle seed) {
    PyObject* s = self.ptr();
    if (Py_TYPE(s) != reinterpret_cast<PyTypeObject*>(stock.cls.ptr())) return std::nullopt;
    const Globals& g = stock.g;
    if (!holds(g, NORVO_NAME("NorvoOFSClient"), stock.cls) || !holds(g, NORVO_NAME("SHA384"), stock.sha384) ||
        !holds(g, NORVO_NAME("sliced"), stock.sliced) || !holds(g, NORVO_NAME("Path"), stock.path))
        return std::nullopt;
    // The hash refuses a depth beyond the class's limit.
    PyObject* deepest = _PyType_Lookup(Py_TYPE(s), NORVO_NAME("MAX_LEVELS_DEEP").ptr());
    if (!deepest || !PyLong_CheckExact(deepest) || PyLong_AsLong(deepest) < MAX_LEVELS_DEEP) {
        PyErr_Clear();
        return std::nullopt;
    }
    py::object instance_dict = norvo::bind::steal(PyObject_GenericGetDict(s, nullptr));
    if (!own_method(s, instance_dict.ptr(), NORVO_NAME("get_file_path"), stock.get_file_path) ||
        !own_method(s, instance_dict.ptr(), NORVO_NAME("_hash_location"), stock.hash_location))
        return std::nullopt;
    PyObject* root = PyDict_GetItemWithError(instance_dict.ptr(), NORVO_NAME("root").ptr());
    if (!root) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return std::nullopt;
    }
    if (Py_TYPE(root) != reinterpret_cast<PyTypeObject*>(stock.path_type.ptr())) return std::nullopt;

    std::string_view seed_bytes;
    if (PyBytes_CheckExact(seed.ptr())) {
        seed_bytes = {PyBytes_AS_STRING(seed.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(seed.ptr()))};
    } else if (PyUnicode_CheckExact(seed.ptr())) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(seed.ptr(), &n);
        if (!text) {  // text that is no UTF-8 (a lone surrogate): the hash says so
            PyErr_Clear();
            return std::nullopt;
        }
        seed_bytes = {text, static_cast<std::size_t>(n)};
    } else {
        return std::nullopt;
    }

    py::object root_text = norvo::bind::steal(PyOS_FSPath(root));
    PyObject* encoded = PyUnicode_Check(root_text.ptr()) ? PyUnicode_EncodeFSDefault(root_text.ptr()) : nullptr;
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    py::object root_bytes = norvo::bind::steal(encoded);
    std::string_view root_view(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    if (!canonical_absolute(root_view)) return std::nullopt;

    auto digest = norvo::core::sha384(
        {reinterpret_cast<const std::uint8_t*>(seed_bytes.data()), seed_bytes.size()});
    std::string hex = norvo::core::to_hex(digest);
    Seeded out{py::reinterpret_borrow<py::object>(root), std::string(root_view), 0, 0};
    if (!out.path.ends_with('/')) out.path += '/';
    out.relative_at = out.path.size();
    for (int level = 0; level < MAX_LEVELS_DEEP; ++level) {
        if (level) out.path += '/';
        out.name_at = out.path.size();
        out.path.append(hex, static_cast<std::size_t>(level) * MAX_FILE_NAME_LENGTH, MAX_FILE_NAME_LENGTH);
    }
    return out;
}

py::object Seeded::target() const {
    py::str relative(path.c_str() + relative_at, path.size() - relative_at);
    return norvo::bind::steal(PyNumber_TrueDivide(root.ptr(), relative.ptr()));
}

int open_without_links(const std::string& path, int flags) {
#if defined(__linux__) && defined(SYS_openat2)
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
#else
    errno = ENOSYS;
    return -1;
#endif
}

py::object read_all(int fd, std::size_t size_hint) {
    // One byte more than the file holds, so that the end shows in the same read.
    Py_ssize_t capacity = static_cast<Py_ssize_t>(size_hint) + 1;
    PyObject* buffer = PyBytes_FromStringAndSize(nullptr, capacity);
    if (!buffer) throw py::error_already_set();
    Py_ssize_t done = 0;
    for (;;) {
        if (done == capacity) {
            capacity += capacity / 2 + 1;
            if (_PyBytes_Resize(&buffer, capacity) != 0) throw py::error_already_set();
        }
        char* into = PyBytes_AS_STRING(buffer) + done;
        const std::size_t want = static_cast<std::size_t>(capacity - done);
        ssize_t n = -1;
        int error = 0;
        norvo::bind::bulk(want, [&] {
            n = ::read(fd, into, want);
            error = errno;
        });
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) break;
        if (error == EINTR) {
            if (PyErr_CheckSignals() == 0) continue;
        } else {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
        }
        Py_DECREF(buffer);
        throw py::error_already_set();
    }
    if (_PyBytes_Resize(&buffer, done) != 0) throw py::error_already_set();
    return norvo::bind::steal(buffer);
}

namespace {

py::object target_of(py::object self, py::object seed, py::object path, const Globals& g) {
    py::object root = self.attr("root");
    if (path.is_none()) return self.attr("get_file_path")(py::arg("seed") = seed);
    py::object relative = g["Path"](path);
    // Paths are compared and reported as Python text: a name need not be valid UTF-8 (bytes
    // that are not arrive as surrogates), and such a name is used or refused like any other.
    if (truthy(relative.attr("is_absolute")()))
        norvo::bind::raise(py::handle(PyExc_ValueError),
                           py::str("OFS paths are relative to its root, not absolute: {!r}").format(py::str(relative)));
    py::str up("..");
    for (py::handle part : relative.attr("parts"))
        if (norvo::bind::compares(part, up))
            norvo::bind::raise(py::handle(PyExc_ValueError),
                               py::str("OFS paths may not climb out with '..': {!r}").format(py::str(relative)));
    return root / relative;
}

}  // namespace

// Refuses a target that resolves (symbolic links followed) to the root itself or outside it:
// the store must never write, read or remove anything its owner did not put below the root.
void require_below_root(py::object self, py::object target) {
    py::object root = self.attr("root");
    py::object resolved = target.attr("resolve")();
    if (norvo::bind::compares(resolved, root) || !truthy(resolved.attr("is_relative_to")(root)))
        norvo::bind::raise(py::handle(PyExc_ValueError),
                           py::str("OFS path leads outside its root: {!r}").format(py::str(target)));
}

// A folder that another user owns, or that others may write to without the sticky bit, lets
// them move the store aside and put one of their own in its place, links out of it included:
// the root and every folder above it must be this user's or the administrator's, and written
// by no one else, as a secure shell asks of the folders that hold its keys. A sticky folder
// such as /tmp lets nobody rename what is not theirs, so it may be shared. Only folders that
// exist are checked: those the store makes are its own.
void require_trusted_root(py::object root, const Globals& g) {
    py::object resolved = root.attr("resolve")();
    const std::string path = fs_bytes(resolved, g);
    const uid_t me = ::geteuid();
    for (std::size_t end = 1;; end = path.find('/', end + 1)) {
        if (end == std::string::npos || end > path.size()) end = path.size();
        const std::string folder = path.substr(0, end);
        struct stat st {};
        // A folder that is missing is made by the store; one it cannot look at, or something
        // else than a folder, fails the making as it does.
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
        const bool foreign = st.st_uid != me && st.st_uid != 0;
        const bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
        if (foreign || shared) {
            py::object os = g["os"];
            py::object name = os.attr("fsdecode")(py::bytes(folder));
            py::str which = end == path.size() ? py::str("it")
                                               : py::str("the folder {!r} above it").format(name);
            py::str why = foreign ? py::str("{} is owned by uid {}, neither this user (uid {}) nor the administrator")
                                        .format(which, static_cast<unsigned long>(st.st_uid),
                                                static_cast<unsigned long>(me))
                                  : py::str("its group or others may write to {} (mode {:04o}) and it has no sticky bit")
                                        .format(which, st.st_mode & 07777);
            norvo::bind::raise(
                py::handle(PyExc_PermissionError),
                py::str("OFS root {!r} refused: {}; whoever may write there could move the store aside and put "
                        "another in its place.")
                    .format(os.attr("fsdecode")(py::bytes(path)), why));
        }
        if (end == path.size()) return;
    }
}

py::object checked_target(py::object self, py::object seed, py::object path, const Globals& g) {
    py::object target = target_of(self, seed, path, g);
    require_below_root(self, target);
    return target;
}

}  // namespace norvo::burrow_module
