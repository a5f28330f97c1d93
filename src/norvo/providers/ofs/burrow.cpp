// norvo.providers.ofs.burrow: the obfuscating file store.
//
// Files live below one root at paths cut from SHA-384 digests of their seeds, so every
// directory and file name is a run of hexadecimal digits. The store adds nothing to the
// bytes it keeps; its whole state is the directory tree.
//
// Guards the naive scheme lacks:
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
#include "norvo_bind.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

constexpr int MAX_FILE_CREATION_ATTEMPTS = 10;
constexpr int MAX_FILE_NAME_LENGTH = 8;

// Temporary names are random, so two writers of one seed never share one; the chance of
// meeting an existing name is negligible, but a clash only costs another draw.
constexpr int MAX_TEMPORARY_NAME_ATTEMPTS = 100;

constexpr int PRIVATE_FILE = 0600;
constexpr int PRIVATE_DIR = 0700;

// A temporary file is named "." + the target's name + "." + 16 lowercase hexadecimal digits +
// ".tmp". Hashed names are 8 digits, and a caller's own name of that form is refused, so no
// stored file ever matches.
constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
constexpr std::size_t TEMPORARY_DIGITS = 16;

bool is_temporary_name(std::string_view name) {
    const std::size_t tail = 1 + TEMPORARY_DIGITS + TEMPORARY_SUFFIX.size();
    if (name.size() < 2 + tail || name.front() != '.' || !name.ends_with(TEMPORARY_SUFFIX)) return false;
    const std::size_t dot = name.size() - tail;
    if (name[dot] != '.') return false;
    for (char c : name.substr(dot + 1, TEMPORARY_DIGITS))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string fs_bytes(py::handle path, const py::dict& g) {
    return g["os"].attr("fsencode")(path).cast<std::string>();
}

// ---- removing what writes that died left behind (plain POSIX, run without the GIL)

struct Leftover {
    std::string path;  // relative to the folder swept
    int error;         // 0 when removed, else why it could not be
};

class Fd {
   public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

   private:
    int fd_;
};

constexpr int LEFT_ALONE = -1;

// Removes `name` of the folder `dir_fd` if it is a temporary file that no writer holds. The
// lock is taken on the file opened and the name then checked to still be that file, so a file
// that a writer renamed into place meanwhile, or a new one under the same name, stays.
int remove_if_abandoned(int dir_fd, const char* name) {
    Fd fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT || errno == ELOOP ? LEFT_ALONE : errno;
    struct stat held {};
    if (::fstat(fd.get(), &held) != 0) return errno;
    if (!S_ISREG(held.st_mode)) return LEFT_ALONE;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? LEFT_ALONE : errno;
    struct stat named {};
    if (::fstatat(dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? LEFT_ALONE : errno;
    if (named.st_ino != held.st_ino || named.st_dev != held.st_dev) return LEFT_ALONE;
    if (::unlinkat(dir_fd, name, 0) != 0) return errno == ENOENT ? LEFT_ALONE : errno;
    return 0;
}

// A folder of the hashed tree: a piece of a hex digest.
bool is_hashed_name(std::string_view name) {
    if (name.size() != MAX_FILE_NAME_LENGTH) return false;
    for (char c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Sweeps the folder open as `dir_fd` (taking it over), and `levels` levels of the hashed tree
// below it, never following a symbolic link. Only hashed folders are entered: a root may hold
// other things than the store (the current directory is the default root), and a caller's own
// folders are swept by the next write into them. Folders that cannot be read are passed over.
void sweep(int dir_fd, const std::string& prefix, int levels, std::vector<Leftover>& out) {
    DIR* dir = ::fdopendir(dir_fd);
    if (dir == nullptr) {
        ::close(dir_fd);
        return;
    }
    std::vector<std::string> temporaries, folders;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_REG && is_temporary_name(name))
            temporaries.emplace_back(name);
        else if (type == DT_DIR && levels > 0 && is_hashed_name(name))
            folders.emplace_back(name);
    }
    // Removed only once the listing is done: a listing that meets its own removals may skip.
    for (const std::string& name : temporaries) {
        int error = remove_if_abandoned(::dirfd(dir), name.c_str());
        if (error != LEFT_ALONE) out.push_back({prefix + name, error});
    }
    for (const std::string& name : folders) {
        int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) sweep(sub, prefix + name + "/", levels - 1, out);
    }
    ::closedir(dir);
}

// Removes the dead temporary files in `folder` (and `levels` levels of the hashed tree below
// it), saying which.
void remove_abandoned_temporaries(py::object folder, int levels, const py::dict& g) {
    std::string where = fs_bytes(folder, g);
    std::vector<Leftover> found;
    {
        py::gil_scoped_release release;
        int fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) sweep(fd, "", levels, found);
    }
    py::object os = g["os"];
    for (const Leftover& leftover : found) {
        py::object path = folder / os.attr("fsdecode")(py::bytes(leftover.path));
        if (leftover.error == 0)
            g["log"].attr("info")("Removed the temporary file of an unfinished write: %s", path);
        else
            g["log"].attr("warning")("Cannot remove the temporary file of an unfinished write %s: %s", path,
                                     os.attr("strerror")(leftover.error));
    }
}

// ---- targets

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

// ---- folders

// Makes a folder's entry in its parent durable: the entry, not only the folder's content.
void sync_directory(py::object dir, const py::dict& g) {
    py::object os = g["os"];
    py::object fd = os.attr("open")(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    try {
        os.attr("fsync")(fd);
    } catch (py::error_already_set& e) {
        // Some file systems cannot sync a directory (EINVAL); what they hold is synced as it can be.
        bool unsupported = e.matches(PyExc_OSError) && py::int_(e.value().attr("errno")).cast<int>() == EINVAL;
        if (!unsupported) {
            try {
                os.attr("close")(fd);
            } catch (py::error_already_set&) {
            }
            throw;
        }
    }
    os.attr("close")(fd);
}

// Creates `dir` and its missing parents, each 0700 whatever the umask and its entry synced in
// its parent, so that a file written into them outlives a crash. Folders that exist, or that
// another process makes at the same moment, keep their modes. Returns whether `dir` itself was
// made here. Anything but a folder at `dir` is the error mkdir gives.
bool make_private_dirs(py::object dir, const py::dict& g) {
    py::object os = g["os"];
    std::vector<py::object> missing;
    for (py::object at = dir;;) {
        try {
            py::object st = os.attr("stat")(at);
            if (missing.empty() && !S_ISDIR(st.attr("st_mode").cast<unsigned>())) {
                errno = EEXIST;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(at).ptr());
                throw py::error_already_set();
            }
            break;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;
        }
        missing.push_back(at);
        py::object up = at.attr("parent");
        if (norvo::bind::compares(up, at)) break;
        at = up;
    }
    bool made = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        try {
            os.attr("mkdir")(*it, PRIVATE_DIR);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
            made = false;
            continue;
        }
        // The umask may have taken bits from the owner too; the folder is opened without
        // following a link, so the mode goes to the folder made here and nowhere else.
        py::object fd = os.attr("open")(*it, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        try {
            os.attr("fchmod")(fd, PRIVATE_DIR);
        } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
        }
        os.attr("close")(fd);
        sync_directory(it->attr("parent"), g);
        made = true;
    }
    return made;
}

// ---- writing

// Opens a new temporary file beside the target, locked, so that a sweep leaves it alone for as
// long as the write lasts. A sweep that took the fresh file for a dead one before the lock was
// taken holds it or has removed it: another name is drawn then.
py::object open_temporary(py::object parent, py::str name, py::object& tmp, const py::dict& g) {
    py::object os = g["os"];
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    for (int attempt = 0; attempt < MAX_TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        py::object suffix = os.attr("urandom")(TEMPORARY_DIGITS / 2).attr("hex")();
        tmp = parent / py::str(".{}.{}{}").format(name, suffix, std::string(TEMPORARY_SUFFIX));
        py::object fd;
        try {
            fd = os.attr("open")(tmp, flags, PRIVATE_FILE);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
            continue;
        }
        bool ours = false;
        try {
            if (::flock(fd.cast<int>(), LOCK_EX | LOCK_NB) == 0) {
                py::object named = os.attr("stat")(tmp, py::arg("follow_symlinks") = false);
                py::object held = os.attr("fstat")(fd);
                ours = norvo::bind::compares(named.attr("st_ino"), held.attr("st_ino")) &&
                       norvo::bind::compares(named.attr("st_dev"), held.attr("st_dev"));
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileNotFoundError)) {
                os.attr("close")(fd);
                throw;
            }
        }
        if (ours) return fd;
        os.attr("close")(fd);
    }
    norvo::bind::raise(py::handle(PyExc_FileExistsError),
                       py::str("Cannot find a free temporary name beside {!r}").format(name));
}

// Writes `data` to `target` through a temporary file in the same directory: written whole,
// flushed to disk, then renamed over the target, the lock held until the rename is done. The
// file-system calls are the `os` module's, looked up at call time.
void write_atomically(py::object target, py::object view, const py::dict& g) {
    py::object os = g["os"];
    py::object parent = target.attr("parent");
    py::str name = target.attr("name");

    py::object tmp;
    py::object fd = open_temporary(parent, name, tmp, g);
    bool replaced = false;
    try {
        // A file the store writes is its owner's alone, a replaced one included: whatever
        // mode the previous file had, and whatever the umask took from the owner.
        os.attr("fchmod")(fd, PRIVATE_FILE);
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
        os.attr("replace")(tmp, target);
        replaced = true;
        os.attr("close")(fd);
    } catch (py::error_already_set&) {
        // Leave neither a descriptor nor a half-written file behind; the original error is
        // the one that matters, so failures of this clean-up are not reported over it. The
        // file goes while the lock still marks it as this write's.
        if (!replaced) {
            try {
                os.attr("unlink")(tmp);
            } catch (py::error_already_set&) {
            }
        }
        try {
            os.attr("close")(fd);
        } catch (py::error_already_set&) {
        }
        throw;
    }

    // The rename itself is durable once the directory entry is on disk.
    sync_directory(parent, g);
}

// Refuses a ROOT_DIR that names no folder: a number would name one by its digits, and an
// empty text the current directory, which nobody chose.
void require_root_dir(py::handle root_dir, const py::dict& g) {
    py::object os = g["os"];
    py::object text = py::isinstance<py::str>(root_dir) || py::isinstance(root_dir, os.attr("PathLike"))
                          ? os.attr("fspath")(root_dir)
                          : py::none();
    if (!py::isinstance<py::str>(text))
        norvo::bind::raise(py::handle(PyExc_TypeError),
                           py::str("ROOT_DIR must be text or a path, not {}").format(
                               py::type::of(text.is_none() ? root_dir : text).attr("__name__")));
    if (py::len(text) == 0) norvo::bind::raise(PyExc_ValueError, "ROOT_DIR must not be empty.");
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
        [g, max_levels_deep](py::object self, py::object sub_dir_seed) {
            py::object root_dir = self.attr("ROOT_DIR");
            require_root_dir(root_dir, g);
            py::object root = g["Path"](root_dir);
            if (truthy(sub_dir_seed))
                root = root / self.attr("_hash_location")(sub_dir_seed, py::arg("depth") = 1);
            bool made = make_private_dirs(root, g);
            root = root.attr("resolve")();
            self.attr("root") = root;
            g["log"].attr("info")(py::str("OFS created at {}").format(root));
            // Writes that died since the store was last used left their temporary files.
            // Seeded files lie in the eleven folder levels below the root.
            if (!made) remove_abandoned_temporaries(root, max_levels_deep - 1, g);
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
            if (!path.is_none() && is_temporary_name(fs_bytes(target.attr("name"), g)))
                norvo::bind::raise(py::handle(PyExc_ValueError),
                                   py::str("OFS file names of this form are the store's temporary files: {!r}")
                                       .format(target.attr("name")));
            // Refuse what is not bytes-like before any directory is made for it.
            py::object view = py::module_::import("builtins").attr("memoryview")(data);
            if (view.attr("ndim").cast<int>() != 1 || view.attr("itemsize").cast<int>() != 1)
                view = view.attr("cast")("B");
            py::object parent = target.attr("parent");
            bool new_folder = !truthy(target.attr("exists")()) && make_private_dirs(parent, g);
            g["log"].attr("debug")("Wrote data at %s", target);
            if (!new_folder) remove_abandoned_temporaries(parent, 0, g);
            write_atomically(target, view, g);
            return target;
        },
        py::arg("data"), py::arg("seed") = py::none(), py::arg("path") = py::none());

    // For files the store does not write itself (the per-user database): their folders are
    // made as the store makes its own.
    add_method(
        cls, "make_parents",
        [g](py::object self, py::object path) {
            require_below_root(self, path);
            make_private_dirs(g["Path"](path).attr("parent"), g);
        },
        py::arg("path"),
        "Creates the missing folders that `path` (below the root, as `get_file_path` gives it) lies in, "
        "private to the owner and synced; folders that exist are left as they are.");

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
