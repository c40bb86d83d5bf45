// The native function layer: everything a module needs to define Python
// functions and classes in C++, keep its state per module object and guard
// its native routes.
#pragma once

#include "calls.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "module.hpp"
#include "module_state.hpp"
#include "names.hpp"
