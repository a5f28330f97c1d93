// What the local store's modules share: the files and folders they make are their owner's
// alone, whatever the umask.
#pragma once

#include "interpreter.hpp"

namespace norvo::local_store {

inline constexpr int PRIVATE_FILE = 0600;
inline constexpr int PRIVATE_DIR = 0700;

// `os.open(path, flags, mode)`, then `mode` set on what was opened through its descriptor
// (the umask may have taken bits from the owner too), then the descriptor closed, also when
// the mode cannot be set. Through the descriptor, the mode goes to the file or folder opened
// here, even where the name has since come to mean another one. The calls are those of the
// `os` given, which the caller reads from its module at call time.
inline void open_with_mode(py::handle os, py::handle path, int flags, int mode) {
    py::object fd = os.attr("open")(path, flags, mode);
    try {
        os.attr("fchmod")(fd, mode);
    } catch (py::error_already_set&) {
        os.attr("close")(fd);
        throw;
    }
    os.attr("close")(fd);
}

}  // namespace norvo::local_store
