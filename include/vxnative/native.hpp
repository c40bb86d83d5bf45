// The native function layer: everything a module needs to define Python
// functions and classes in C++ and keep its state per module object. The
// guards of native routes are included where used: exact_types.hpp,
// globals_guard.hpp, class_facts.hpp.
#pragma once

#include "calls.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "module_state.hpp"
#include "names.hpp"
