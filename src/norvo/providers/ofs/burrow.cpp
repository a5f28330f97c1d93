// norvo.providers.ofs.burrow: the obfuscating file store.
//
// Files live below one root at paths cut from SHA-384 digests of their seeds, so every
// directory and file name is a run of hexadecimal digits. The store adds nothing to the
// bytes it keeps; its whole state is the directory tree.
//
// Two guards the naive scheme lacks: a target (a caller's `path=`, or a seeded path reached
// through a symbolic link) must stay below the root, and a write goes to a temporary file
// beside the target that replaces it only once the bytes are on disk, so a crash in the
// middle leaves the previous content whole.
#include "norvo_bind.hpp"

#include <fcntl.h>

#include <string>

using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

constexpr int MAX_FILE_CREATION_ATTEMPTS = 10;
constexpr int MAX_FILE_NAME_LENGTH = 8;

// Temporary names are random, so two writers of one seed never share one; the chance of
// meeting an existing name is negligible, but a clash only costs another draw.
constexpr int MAX_TEMPORARY_NAME_ATTEMPTS = 100;

// The target of a write or removal: `path` below the root when given (the seed is then
// ignored), else the seeded or random location.
py::object target_of(py::object self, py::object seed, py::object path, const py::dict& g) {
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

// Refuses a target that resolves (symbolic links followed) to the root itself or outside it:
// the store must never write, read or remove anything its owner did not put below the root.
void require_below_root(py::object self, py::object target) {
    py::object root = self.attr("root");
    py::object resolved = target.attr("resolve")();
    if (norvo::bind::compares(resolved, root) || !truthy(resolved.attr("is_relative_to")(root)))
        norvo::bind::raise(py::handle(PyExc_ValueError),
                           py::str("OFS path leads outside its root: {!r}").format(py::str(target)));
}

py::object checked_target(py::object self, py::object seed, py::object path, const py::dict& g) {
    py::object target = target_of(self, seed, path, g);
    require_below_root(self, target);
    return target;
}

// Writes `data` to `target` through a temporary file in the same directory: written whole,
// flushed to disk, then renamed over the target. The file-system calls are the `os` module's,
// looked up at call time.
void write_atomically(py::object target, py::object view, const py::dict& g) {
    py::object os = g["os"];
    py::object parent = target.attr("parent");
    py::str name = target.attr("name");

    // A replaced file keeps its permission bits, as an in-place rewrite would; a new one gets
    // the process's usual mode for new files.
    py::object previous_mode = py::none();
    try {
        py::object st = os.attr("stat")(target);
        previous_mode = py::module_::import("stat").attr("S_IMODE")(st.attr("st_mode"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }

    int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    py::object tmp, fd = py::none();
    for (int attempt = 0; attempt < MAX_TEMPORARY_NAME_ATTEMPTS && fd.is_none(); ++attempt) {
        py::object suffix = os.attr("urandom")(8).attr("hex")();
        tmp = parent / py::str(".{}.{}.tmp").format(name, suffix);
        try {
            fd = os.attr("open")(tmp, flags, 0666);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
        }
    }
    if (fd.is_none())
        norvo::bind::raise(py::handle(PyExc_FileExistsError),
                           py::str("Cannot find a free temporary name beside {!r}").format(name));

    bool open = true;
    try {
        if (!previous_mode.is_none()) os.attr("fchmod")(fd, previous_mode);
        Py_ssize_t total = py::len(view);
        Py_ssize_t done = 0;
        while (done < total) {
            py::object rest = view[py::slice(py::int_(done), py::none(), py::none())];
            Py_ssize_t n = os.attr("write")(fd, rest).cast<Py_ssize_t>();
            if (n <= 0)
                norvo::bind::raise(py::handle(PyExc_OSError), py::str("No progress writing {!r}").format(py::str(tmp)));
            done += n;
        }
        os.attr("fsync")(fd);
        open = false;
        os.attr("close")(fd);
        os.attr("replace")(tmp, target);
    } catch (py::error_already_set&) {
        // Leave neither a descriptor nor a half-written file behind; the original error is
        // the one that matters, so failures of this clean-up are not reported over it.
        try {
            if (open) os.attr("close")(fd);
        } catch (py::error_already_set&) {
        }
        try {
            os.attr("unlink")(tmp);
        } catch (py::error_already_set&) {
        }
        throw;
    }

    // The rename itself is durable once the directory entry is on disk.
    py::object dir_fd = os.attr("open")(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    try {
        os.attr("fsync")(dir_fd);
    } catch (py::error_already_set& e) {
        // Some file systems cannot sync a directory (EINVAL); the file itself is synced.
        bool unsupported = e.matches(PyExc_OSError) && py::int_(e.value().attr("errno")).cast<int>() == EINVAL;
        if (!unsupported) {
            try {
                os.attr("close")(dir_fd);
            } catch (py::error_already_set&) {
            }
            throw;
        }
    }
    os.attr("close")(dir_fd);
}

}  // namespace

NORVO_MODULE(burrow, m, .doc = "The Obfuscating File System (OFS).", .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.providers.ofs.ofs");
    py::object crypto = py::module_::import("norvo.crypto");
    m.attr("SHA384") = crypto.attr("SHA384");
    m.attr("random") = crypto.attr("random");
    m.attr("hashes") = crypto.attr("hashes");
    m.attr("sliced") = py::module_::import("more_itertools").attr("sliced");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("os") = py::module_::import("os");

    // Names are looked up in the module at call time, as module globals are.
    py::dict g = m.attr("__dict__");

    // Whole pieces of a hex digest: 48 bytes give 96 digits, twelve pieces of eight.
    int digest_size = crypto.attr("hashes").attr("SHA384").attr("digest_size").cast<int>();
    int max_levels_deep = digest_size * 2 / MAX_FILE_NAME_LENGTH;

    // The class carries no documentation of its own; the module's says what it is.
    py::dict ns = norvo::bind::class_namespace(m, "NorvoOFSClient", "");
    ns["__doc__"] = py::none();
    ns["MAX_FILE_CREATION_ATTEMPTS"] = MAX_FILE_CREATION_ATTEMPTS;
    ns["MAX_FILE_NAME_LENGTH"] = MAX_FILE_NAME_LENGTH;
    ns["MAX_LEVELS_DEEP"] = max_levels_deep;
    py::object cls =
        norvo::bind::make_class("NorvoOFSClient", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)), ns);
    m.attr("NorvoOFSClient") = cls;

    add_method(cls, "__init__", [](py::object self) { self.attr("ROOT_DIR") = "."; });

    add_method(
        cls, "_hash_location",
        [g](py::object /*self*/, py::object seed, py::object filename_length, py::object depth) {
            // The limits are the class's own: a value set on an instance changes nothing.
            py::object maximum = g["NorvoOFSClient"].attr("MAX_LEVELS_DEEP");
            if (norvo::bind::compares(depth, maximum, Py_GT)) {
                py::str msg = py::str("depth cannot exceed the maximum value: {}").format(maximum);
                g["log"].attr("warning")(msg);
                norvo::bind::raise(PyExc_ValueError, msg.cast<std::string>());
            }
            py::object digest = g["SHA384"](seed);
            py::list pieces(g["sliced"](digest, filename_length));
            py::object kept = pieces[py::slice(py::none(), depth, py::none())];
            py::object location = g["Path"]();
            for (py::handle piece : kept) location = location / piece;
            return location;
        },
        py::arg("seed"), py::arg("filename_length") = MAX_FILE_NAME_LENGTH, py::arg("depth") = max_levels_deep);

    add_method(
        cls, "initialize",
        [g](py::object self, py::object sub_dir_seed) {
            py::object root = g["Path"](self.attr("ROOT_DIR"));
            if (truthy(sub_dir_seed))
                root = root / self.attr("_hash_location")(sub_dir_seed, py::arg("depth") = 1);
            root.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
            root = root.attr("resolve")();
            self.attr("root") = root;
            g["log"].attr("info")(py::str("OFS created at {}").format(root));
        },
        py::arg("sub_dir_seed") = py::none());

    add_method(
        cls, "get_file_path",
        [g](py::object self, py::object seed) -> py::object {
            py::object root = self.attr("root");
            if (!seed.is_none()) return root / self.attr("_hash_location")(seed);
            py::object owner = g["NorvoOFSClient"];
            int attempts = owner.attr("MAX_FILE_CREATION_ATTEMPTS").cast<int>();
            for (int i = 0; i < attempts; ++i) {
                py::object candidate = root / self.attr("_hash_location")(g["random"](64));
                if (!truthy(candidate.attr("exists")())) return candidate;
            }
            norvo::bind::raise(PyExc_OSError, "Cannot find a suitable file.");
        },
        py::arg("seed") = py::none());

    add_method(
        cls, "get",
        [g](py::object self, py::object seed) {
            py::object path = checked_target(self, seed, py::none(), g);
            g["log"].attr("debug")("Fetched from %s", path);
            return path.attr("read_bytes")();
        },
        py::arg("seed") = py::none());

    add_method(
        cls, "write_bytes",
        [g](py::object self, py::object data, py::object seed, py::object path) {
            py::object target = checked_target(self, seed, path, g);
            // Refuse what is not bytes-like before any directory is made for it.
            py::object view = py::module_::import("builtins").attr("memoryview")(data);
            if (view.attr("ndim").cast<int>() != 1 || view.attr("itemsize").cast<int>() != 1)
                view = view.attr("cast")("B");
            if (!truthy(target.attr("exists")()))
                target.attr("parent").attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
            g["log"].attr("debug")("Wrote data at %s", target);
            write_atomically(target, view, g);
            return target;
        },
        py::arg("data"), py::arg("seed") = py::none(), py::arg("path") = py::none());

    add_method(
        cls, "delete",
        [g](py::object self, py::object seed, py::object path) {
            py::object target = checked_target(self, seed, path, g);
            try {
                target.attr("unlink")();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_FileNotFoundError)) throw;
                g["log"].attr("warning")("File in OFS @ %s is already gone.", target);
            }
            g["log"].attr("info")("Removed file from OFS @ %s", target);
        },
        py::arg("seed") = py::none(), py::arg("path") = py::none());
}
