// norvo.providers.ofs.burrow: the obfuscating file store.
//
// Files live below one root at paths cut from SHA-384 digests of their seeds, so every
// directory and file name is a run of hexadecimal digits. The store adds nothing to the
// bytes it keeps; its whole state is the directory tree.
//
// Guards the naive scheme lacks:
// - a root that another user owns, or may write to without the sticky bit, or that lies in
//   such a folder, is refused before anything is made in it: that user could move the store
//   aside and plant links in its place;
// - a target (a caller's `path=`, or a seeded path reached through a symbolic link) must stay
//   below the root;
// - what the store keeps is its owner's alone: files it writes are 0600 and folders it makes
//   0700, whatever the umask; folders that were there before keep their modes;
// - a write goes to a temporary file beside the target that replaces it only once the bytes
//   are on disk, so a crash in the middle leaves the previous content whole. The writer holds
//   an advisory lock on its temporary file from before the first byte until after the rename,
//   so the temporary file of a write that died (unlocked) can be told from one being written:
//   the next write into that folder removes the dead ones, and the next `initialize` those of
//   the hashed tree.
//
// This file loads the module and defines the client's methods; the checks on targets are in
// burrow/paths.cpp, the writes and the removal of dead temporary files in burrow/writes.cpp.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "burrow/burrow.hpp"

namespace bm = norvo::burrow_module;
using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

// Bound at load and never freed: a call may come while the interpreter finalises.
bm::Stock* S = nullptr;

// A debug line whose argument is made only when the line is written: the argument (a path)
// costs more to make than the rest of a read.
template <class Arg>
void debug(const bm::Globals& g, const char* format, Arg argument) {
    py::object log = g[NORVO_NAME("log")];
    if (log.is(S->log) && !truthy(log.attr(NORVO_NAME("isEnabledFor"))(10))) return;
    log.attr(NORVO_NAME("debug"))(format, argument());
}

// The folder of a seeded file, opened without passing through a link, when the file there is
// a regular file or none: the write or removal then needs no other check of its path.
struct SeededFolder {
    bm::Seeded at;
    bm::Fd folder;
};

std::optional<SeededFolder> seeded_folder(py::handle self, py::handle seed) {
    if (seed.is_none()) return std::nullopt;
    std::optional<bm::Seeded> at = bm::seeded(*S, self, seed);
    if (!at) return std::nullopt;
    bm::Fd folder(bm::open_without_links(at->folder(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstatat(folder.get(), at->name(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? !S_ISREG(st.st_mode) : errno != ENOENT)
        return std::nullopt;
    return SeededFolder{std::move(*at), std::move(folder)};
}

// A named pipe or a device put in a file's place would hold a plain read for good, or feed
// it without end: only a regular file is read, and anything else raises as a file that
// cannot be read, which every reader of the store already takes as a local failure.
py::object read_regular(py::object path, const bm::Globals& g) {
    const std::string where = bm::fs_bytes(path, g);
    int fd = -1, error = 0;
    struct stat st {};
    norvo::bind::without_gil([&] {
        fd = ::open(where.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &st) != 0) error = errno;
    });
    bm::Fd held(fd);
    if (error == 0 && !S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        errno = error;
        if (error == EINVAL) {
            PyObject* raised = PyObject_CallFunction(PyExc_OSError, "isO", EINVAL, "Not a regular file", path.ptr());
            if (raised) {
                PyErr_SetObject(PyExc_OSError, raised);
                Py_DECREF(raised);
            }
        } else {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        }
        throw py::error_already_set();
    }
    return bm::read_all(held.get(), static_cast<std::size_t>(st.st_size));
}

py::object get(const norvo::bind::Call& call) {
    PyObject* const* args = call.args;
    py::handle self = args[0], seed = args[1];
    const bm::Globals& g = S->g;
    if (!seed.is_none()) {
        if (std::optional<bm::Seeded> at = bm::seeded(*S, self, seed)) {
            // Not blocking on a FIFO put in the file's place: anything but a regular file goes
            // the general way.
            bm::Fd fd(bm::open_without_links(at->path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat st {};
            if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
                debug(g, "Fetched from %s", [&] { return at->target(); });
                return bm::read_all(fd.get(), static_cast<std::size_t>(st.st_size));
            }
        }
    }
    py::object path = bm::checked_target(py::reinterpret_borrow<py::object>(self),
                                         py::reinterpret_borrow<py::object>(seed), py::none(), g);
    g["log"].attr("debug")("Fetched from %s", path);
    return read_regular(path, g);
}

py::object write_bytes(const norvo::bind::Call& call) {
    PyObject* const* args = call.args;
    py::object self = py::reinterpret_borrow<py::object>(args[0]);
    py::object data = py::reinterpret_borrow<py::object>(args[1]);
    py::object seed = py::reinterpret_borrow<py::object>(args[2]);
    py::object path = py::reinterpret_borrow<py::object>(args[3]);
    const bm::Globals& g = S->g;
    std::optional<SeededFolder> known = path.is_none() ? seeded_folder(self, seed) : std::nullopt;
    py::object target;
    if (known) {
        target = known->at.target();
    } else {
        target = bm::checked_target(self, seed, path, g);
        if (!path.is_none() && bm::is_temporary_name(bm::fs_bytes(target.attr("name"), g)))
            norvo::bind::raise(py::handle(PyExc_ValueError),
                               py::str("OFS file names of this form are the store's temporary files: {!r}")
                                   .format(target.attr("name")));
    }
    // Refuse what is not bytes-like before any directory is made for it.
    py::object view = norvo::bind::steal(PyMemoryView_FromObject(data.ptr()));
    const Py_buffer* buffer = PyMemoryView_GET_BUFFER(view.ptr());
    if (buffer->ndim != 1 || buffer->itemsize != 1) view = view.attr("cast")("B");
    bool new_folder = false;
    py::object parent;
    py::str folder, name;
    if (known) {
        const std::string& at = known->at.path;
        const std::size_t name_at = known->at.name_at;
        folder = norvo::bind::steal(PyUnicode_DecodeFSDefaultAndSize(at.data(), static_cast<Py_ssize_t>(name_at - 1)));
        name = norvo::bind::steal(PyUnicode_DecodeFSDefault(known->at.name()));
    } else {
        parent = target.attr("parent");
        folder = norvo::bind::steal(PyOS_FSPath(parent.ptr()));
        name = target.attr("name");
        new_folder = !truthy(target.attr("exists")()) && bm::make_private_dirs(parent, g);
    }
    debug(g, "Wrote data at %s", [&] { return target; });
    if (known)
        bm::remove_abandoned_temporaries_at(known->folder.get(), [&] { return target.attr("parent"); }, g);
    else if (!new_folder)
        bm::remove_abandoned_temporaries(parent, 0, g);
    bm::write_atomically(target, folder, name, view, g);
    return target;
}

}  // namespace

NORVO_MODULE(burrow, m, .doc = "The Obfuscating File System (OFS).", .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.providers.ofs.ofs");
    using norvo::bind::import;
    py::object crypto = import("norvo.crypto");
    m.attr("SHA384") = crypto.attr("SHA384");
    m.attr("random") = crypto.attr("random");
    m.attr("hashes") = crypto.attr("hashes");
    m.attr("sliced") = import("more_itertools").attr("sliced");
    m.attr("Path") = import("pathlib").attr("Path");
    m.attr("os") = import("os");

    norvo::bind::Globals g(m);
    const int max_levels_deep = bm::MAX_LEVELS_DEEP;

    // The class carries no documentation of its own; the module's says what it is.
    py::dict ns = norvo::bind::class_namespace(m, "NorvoOFSClient", "");
    ns["__doc__"] = py::none();
    ns["MAX_FILE_CREATION_ATTEMPTS"] = bm::MAX_FILE_CREATION_ATTEMPTS;
    ns["MAX_FILE_NAME_LENGTH"] = bm::MAX_FILE_NAME_LENGTH;
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
        py::arg("seed"), py::arg("filename_length") = bm::MAX_FILE_NAME_LENGTH, py::arg("depth") = max_levels_deep);

    add_method(
        cls, "initialize",
        [g, max_levels_deep](py::object self, py::object sub_dir_seed) {
            py::object root_dir = self.attr("ROOT_DIR");
            bm::require_root_dir(root_dir, g);
            py::object root = g["Path"](root_dir);
            if (truthy(sub_dir_seed))
                root = root / self.attr("_hash_location")(sub_dir_seed, py::arg("depth") = 1);
            bm::require_trusted_root(root, g);
            bool made = bm::make_private_dirs(root, g);
            root = root.attr("resolve")();
            self.attr("root") = root;
            g["log"].attr("info")(py::str("OFS created at {}").format(root));
            // Writes that died since the store was last used left their temporary files.
            // Seeded files lie in the eleven folder levels below the root.
            if (!made) bm::remove_abandoned_temporaries(root, max_levels_deep - 1, g);
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

    norvo::bind::add_raw_method(cls, "get", get, {{"seed", py::none()}});
    norvo::bind::add_raw_method(cls, "write_bytes", write_bytes,
                                {{"data", py::object()}, {"seed", py::none()}, {"path", py::none()}});

    // For files the store does not write itself (the per-user database): their folders are
    // made as the store makes its own.
    add_method(
        cls, "make_parents",
        [g](py::object self, py::object path) {
            bm::require_below_root(self, path);
            bm::make_private_dirs(g["Path"](path).attr("parent"), g);
        },
        py::arg("path"),
        "Creates the missing folders that `path` (below the root, as `get_file_path` gives it) lies in, "
        "private to the owner and synced; folders that exist are left as they are.");

    add_method(
        cls, "delete",
        [g](py::object self, py::object seed, py::object path) {
            std::optional<SeededFolder> known = path.is_none() ? seeded_folder(self, seed) : std::nullopt;
            py::object target = known ? known->at.target() : bm::checked_target(self, seed, path, g);
            try {
                target.attr("unlink")();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_FileNotFoundError)) throw;
                g["log"].attr("warning")("File in OFS @ %s is already gone.", target);
            }
            g["log"].attr("info")("Removed file from OFS @ %s", target);
        },
        py::arg("seed") = py::none(), py::arg("path") = py::none());

    py::object own = cls.attr("__dict__");
    S = new bm::Stock{g, cls, own["get_file_path"], own["_hash_location"], g["SHA384"], g["sliced"], g["Path"],
                      py::type::of(g["Path"]()), g["log"]};
}
