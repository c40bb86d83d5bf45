// The native function layer: everything a module needs to define Python
// functions and classes in C++.
#pragma once

#include "classes.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "python_functions.hpp"
