// What norvo.providers.ofs.database does about forks: a child gets database connections of its
// own, and those it inherits stay the parent's, untouched (forks.cpp).
#pragma once

#include "interpreter.hpp"
#include "module.hpp"

namespace norvo::database_forks {

// Puts on `engine` (made with no reset of its own on return to the pool) the listeners through
// which a fork finds the engine's connections and waits for them to be quiet, and which give a
// connection back to the pool rolled back, as the pool would. Registers the process's fork
// hooks the first time; `log` is the module's logger.
void guard_engine(py::handle engine, py::handle log);

// Keeps `db` (weakly) among the databases that a child forked later opens anew.
void remember_database(py::handle db);

}  // namespace norvo::database_forks
