// What the parts of norvo.providers.ofs.burrow share: the store's limits, the checks on its
// targets, and its writes. `g` is the module's globals: the names the store uses from it
// (os, Path, log, SHA384, ...) are read when they are used, and one taken out of the module
// is the interpreter's NameError.
#pragma once

#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.hpp"
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "norvo/core/crypto.hpp"
#include "../private_files.hpp"

namespace norvo::burrow_module {

inline constexpr int MAX_FILE_CREATION_ATTEMPTS = 10;
inline constexpr int MAX_FILE_NAME_LENGTH = 8;
// Whole pieces of a SHA-384 hex digest: 96 digits, twelve pieces of eight.
inline constexpr int MAX_LEVELS_DEEP = static_cast<int>(norvo::core::SHA384_DIGEST_SIZE) * 2 / MAX_FILE_NAME_LENGTH;

using norvo::bind::Globals;
using norvo::local_store::PRIVATE_DIR;
using norvo::local_store::PRIVATE_FILE;

class Fd {
   public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

   private:
    int fd_;
};

// ---- targets (paths.cpp)

// What the module binds at load, kept to recognise that none of it was replaced since: only
// then may a seeded path be worked out here instead of by the methods and names it replaces.
struct Stock {
    Globals g;
    py::object cls, get_file_path, hash_location, sha384, sliced, path, path_type, log;
};

// A seeded location below the root, worked out as `get_file_path(seed=...)` works it out.
struct Seeded {
    py::object root;
    // The file-system bytes of the whole path: the root's (absolute, without "." or ".."
    // parts), then the twelve hashed folder and file names, each after a "/".
    std::string path;
    std::size_t relative_at;  // where the hashed names start
    std::size_t name_at;      // where the file's name starts
    std::string folder() const { return path.substr(0, name_at - 1); }
    const char* name() const { return path.c_str() + name_at; }
    py::object target() const;  // the Path `get_file_path` gives
};

// The seeded location of `seed` for a client of the library's own class whose methods, limits
// and module names are those bound at load, and whose root is a resolved Path; else nothing,
// and the caller takes the general path, which raises whatever is wrong.
std::optional<Seeded> seeded(const Stock& stock, py::handle self, py::handle seed);

// Opens `path` as `open(2)` would, refusing to pass through any symbolic link on the way (-1,
// errno ELOOP). Below a resolved root, a hashed path holds no ".." and the store makes no link,
// so a path opened this way is below the root. -1 with ENOSYS where the system cannot do it.
int open_without_links(const std::string& path, int flags);

// The whole content of the open regular file `fd`.
py::object read_all(int fd, std::size_t size_hint);

// The target of a write or removal: `path` below the root when given (the seed is then
// ignored), else the seeded or random location; refused when it leads outside the root.
py::object checked_target(py::object self, py::object seed, py::object path, const Globals& g);
void require_below_root(py::object self, py::object target);

// Refuses, before anything is made, a root (`root`: the folder the store is to begin in) that
// another user could move aside or fill, naming the folder and why.
void require_trusted_root(py::object root, const Globals& g);

// ---- writes (writes.cpp)

bool is_temporary_name(std::string_view name);
std::string fs_bytes(py::handle path, const Globals& g);

// Removes the dead temporary files in `folder` (and `levels` levels of the hashed tree below
// it), saying which.
void remove_abandoned_temporaries(py::object folder, int levels, const Globals& g);
// The same for the folder open as `dir_fd` (left open), named `folder()` when there is
// anything to say.
void remove_abandoned_temporaries_at(int dir_fd, const std::function<py::object()>& folder, const Globals& g);

bool make_private_dirs(py::object dir, const Globals& g);
void write_atomically(py::object target, py::str folder, py::str name, py::object view, const Globals& g);
void require_root_dir(py::handle root_dir, const Globals& g);

}  // namespace norvo::burrow_module
