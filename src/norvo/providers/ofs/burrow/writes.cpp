// The file store's writes: folders made private and synced, a temporary file beside the
// target renamed over it once its bytes are on disk, and the temporary files of writes that
// died removed. The writer holds an advisory lock on its temporary file from before the first
// byte until after the rename, so the temporary file of a write that died (unlocked) can be
// told from one being written.
#include <dirent.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "burrow.hpp"
#include "gil.hpp"

namespace norvo::burrow_module {

namespace {

// Temporary names are random, so two writers of one seed never share one; the chance of
// meeting an existing name is negligible, but a clash only costs another draw.
constexpr int MAX_TEMPORARY_NAME_ATTEMPTS = 100;

// A temporary file is named "." + the target's name + "." + 16 lowercase hexadecimal digits +
// ".tmp". Hashed names are 8 digits, and a caller's own name of that form is refused, so no
// stored file ever matches.
constexpr std::string_view TEMPORARY_SUFFIX = ".tmp";
constexpr std::size_t TEMPORARY_DIGITS = 16;

}  // namespace

bool is_temporary_name(std::string_view name) {
    const std::size_t tail = 1 + TEMPORARY_DIGITS + TEMPORARY_SUFFIX.size();
    if (name.size() < 2 + tail || name.front() != '.' || !name.ends_with(TEMPORARY_SUFFIX)) return false;
    const std::size_t dot = name.size() - tail;
    if (name[dot] != '.') return false;
    for (char c : name.substr(dot + 1, TEMPORARY_DIGITS))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string fs_bytes(py::handle path, const Globals& g) {
    return g["os"].attr("fsencode")(path).cast<std::string>();
}

namespace {

// ---- removing what writes that died left behind (plain POSIX, run without the GIL)

struct Leftover {
    std::string path;  // relative to the folder swept
    int error;         // 0 when removed, else why it could not be
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

// Sweeps the folder open as `dir_fd` (left open), and `levels` levels of the hashed tree below
// it, never following a symbolic link. Only hashed folders are entered: a root may hold other
// things than the store (the current directory is the default root), and a caller's own
// folders are swept by the next write into them. Folders that cannot be read are passed over.
// The listing is read straight from the kernel: a folder of the store holds a file or two, and
// the directory stream's own set-up would cost more than reading it.
void sweep(int dir_fd, const std::string& prefix, int levels, std::vector<Leftover>& out) {
    struct Entry {
        std::uint64_t ino;
        std::int64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
    };
    std::vector<std::string> temporaries, folders;
    alignas(8) char listing[8192];
    for (;;) {
        long got = ::syscall(SYS_getdents64, dir_fd, listing, sizeof listing);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const Entry*>(listing + at);
            at += entry->reclen;
            std::string_view name(entry->name);
            if (name == "." || name == "..") continue;
            unsigned char type = entry->type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(dir_fd, entry->name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_REG && is_temporary_name(name))
                temporaries.emplace_back(name);
            else if (type == DT_DIR && levels > 0 && is_hashed_name(name))
                folders.emplace_back(name);
        }
    }
    // Removed only once the listing is done: a listing that meets its own removals may skip.
    for (const std::string& name : temporaries) {
        int error = remove_if_abandoned(dir_fd, name.c_str());
        if (error != LEFT_ALONE) out.push_back({prefix + name, error});
    }
    for (const std::string& name : folders) {
        Fd sub(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.get() >= 0) sweep(sub.get(), prefix + name + "/", levels - 1, out);
    }
}

template <class Folder>
void report_leftovers(const std::vector<Leftover>& found, Folder folder, const Globals& g) {
    if (found.empty()) return;
    py::object where = folder();
    py::object os = g["os"];
    for (const Leftover& leftover : found) {
        py::object path = where / os.attr("fsdecode")(py::bytes(leftover.path));
        if (leftover.error == 0)
            g["log"].attr("info")("Removed the temporary file of an unfinished write: %s", path);
        else
            g["log"].attr("warning")("Cannot remove the temporary file of an unfinished write %s: %s", path,
                                     os.attr("strerror")(leftover.error));
    }
}

}  // namespace

void remove_abandoned_temporaries(py::object folder, int levels, const Globals& g) {
    std::string where = fs_bytes(folder, g);
    std::vector<Leftover> found;
    norvo::bind::without_gil([&] {
        Fd fd(::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() >= 0) sweep(fd.get(), "", levels, found);
    });
    report_leftovers(found, [&] { return folder; }, g);
}

void remove_abandoned_temporaries_at(int dir_fd, const std::function<py::object()>& folder, const Globals& g) {
    std::vector<Leftover> found;
    norvo::bind::without_gil([&] { sweep(dir_fd, "", 0, found); });
    report_leftovers(found, folder, g);
}

// ---- folders

namespace {

// `obj.name(args...)`, with neither a bound method nor an argument tuple made for the call.
template <class... Args>
py::object call(py::handle obj, py::handle name, const Args&... args) {
    PyObject* stack[] = {obj.ptr(), args.ptr()...};
    return norvo::bind::steal(
        PyObject_VectorcallMethod(name.ptr(), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Makes a folder's entry in its parent durable: the entry, not only the folder's content.
void sync_directory(py::object dir, const Globals& g) {
    py::object os = g[NORVO_NAME("os")];
    py::object fd = call(os, NORVO_NAME("open"), dir, py::int_(O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    try {
        call(os, NORVO_NAME("fsync"), fd);
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
    call(os, NORVO_NAME("close"), fd);
}

}  // namespace

// Creates `dir` and its missing parents, each 0700 whatever the umask and its entry synced in
// its parent, so that a file written into them outlives a crash. Folders that exist, or that
// another process makes at the same moment, keep their modes. Returns whether `dir` itself was
// made here. Anything but a folder at `dir` is the error mkdir gives.
bool make_private_dirs(py::object dir, const Globals& g) {
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
        // Opened without following a link, so the mode goes to the folder made here and
        // nowhere else.
        norvo::local_store::open_with_mode(os, *it, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, PRIVATE_DIR);
        sync_directory(it->attr("parent"), g);
        made = true;
    }
    return made;
}

// ---- writing

namespace {

// Opens a new temporary file beside the target, locked, so that a sweep leaves it alone for as
// long as the write lasts. A sweep that took the fresh file for a dead one before the lock was
// taken holds it or has removed it: another name is drawn then.
py::object open_temporary(py::str folder, py::str name, py::object& tmp, const Globals& g) {
    py::object os = g[NORVO_NAME("os")];
    const py::int_ flags(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC), mode(PRIVATE_FILE),
        digits(TEMPORARY_DIGITS / 2);
    const Py_ssize_t folder_length = PyUnicode_GET_LENGTH(folder.ptr());
    const char* separator =
        folder_length && PyUnicode_READ_CHAR(folder.ptr(), folder_length - 1) == '/' ? "" : "/";
    for (int attempt = 0; attempt < MAX_TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        py::object suffix = call(call(os, NORVO_NAME("urandom"), digits), NORVO_NAME("hex"));
        tmp = norvo::bind::steal(PyUnicode_FromFormat("%U%s.%U.%U%s", folder.ptr(), separator, name.ptr(),
                                                      suffix.ptr(), TEMPORARY_SUFFIX.data()));
        py::object fd;
        try {
            fd = call(os, NORVO_NAME("open"), tmp, flags, mode);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_FileExistsError)) throw;
            continue;
        }
        bool ours = false;
        const int raw_fd = fd.cast<int>();
        // A file system that keeps no such locks (ENOLCK on NFS without a lock daemon): its
        // sweeps cannot lock either and leave every temporary file alone, so the write goes on
        // unlocked, as the database's first open does.
        if (::flock(raw_fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
            py::object tmp_bytes = norvo::bind::steal(PyUnicode_EncodeFSDefault(tmp.ptr()));
            struct stat named {}, held {};
            if (::lstat(PyBytes_AS_STRING(tmp_bytes.ptr()), &named) == 0 && ::fstat(raw_fd, &held) == 0) {
                ours = named.st_ino == held.st_ino && named.st_dev == held.st_dev;
            } else if (errno != ENOENT) {
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, tmp.ptr());
                py::error_already_set error;
                os.attr("close")(fd);
                throw error;
            }
        }
        if (ours) return fd;
        os.attr("close")(fd);
    }
    norvo::bind::raise(py::handle(PyExc_FileExistsError),
                       py::str("Cannot find a free temporary name beside {!r}").format(name));
}

}  // namespace

// Writes `data` to `target`, the file `name` of `folder`, through a temporary file in the same
// folder: written whole, flushed to disk, then renamed over the target, the lock held until
// the rename is done. The file-system calls are the `os` module's, looked up at call time.
void write_atomically(py::object target, py::str folder, py::str name, py::object view, const Globals& g) {
    py::object os = g[NORVO_NAME("os")];
    py::object tmp;
    py::object fd = open_temporary(folder, name, tmp, g);
    try {
        // A file the store writes is its owner's alone, a replaced one included: whatever
        // mode the previous file had, and whatever the umask took from the owner.
        call(os, NORVO_NAME("fchmod"), fd, py::int_(PRIVATE_FILE));
        Py_ssize_t total = py::len(view);
        Py_ssize_t done = 0;
        while (done < total) {
            py::object rest = done ? view[py::slice(py::int_(done), py::none(), py::none())] : view;
            Py_ssize_t n = call(os, NORVO_NAME("write"), fd, rest).cast<Py_ssize_t>();
            if (n <= 0)
                norvo::bind::raise(py::handle(PyExc_OSError), py::str("No progress writing {!r}").format(tmp));
            done += n;
        }
        call(os, NORVO_NAME("fsync"), fd);
        call(os, NORVO_NAME("replace"), tmp, target);
    } catch (py::error_already_set&) {
        // Leave neither a descriptor nor a half-written file behind; the original error is
        // the one that matters, so failures of this clean-up are not reported over it. The
        // file goes while the lock still marks it as this write's.
        try {
            os.attr("unlink")(tmp);
        } catch (py::error_already_set&) {
        }
        try {
            os.attr("close")(fd);
        } catch (py::error_already_set&) {
        }
        throw;
    }
    // Outside the clean-up: a close that fails has let go of the number all the same.
    call(os, NORVO_NAME("close"), fd);

    // The rename itself is durable once the directory entry is on disk.
    sync_directory(folder, g);
}

// Refuses a ROOT_DIR that names no folder: a number would name one by its digits, and an
// empty text the current directory, which nobody chose.
void require_root_dir(py::handle root_dir, const Globals& g) {
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

}  // namespace norvo::burrow_module
