// Every shared header of the binding layer at once, for a module that uses most of them. A
// module that uses a few includes those it uses.
#pragma once

#include "bytes.hpp"
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "formats.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"
