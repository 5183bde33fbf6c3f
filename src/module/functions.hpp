// The table of exported functions, in registration order: for each, its
// signature record (name, parameters, stored docstring), the C entry point the
// interpreter calls, and the calling-convention flags. Module initialisation
// registers exactly these rows and fills __all__ from them.
#pragma once

#include <Python.h>

#include <span>

#include "module/binder.hpp"

namespace ostrel::module {

struct FunctionEntry {
    const ParseSpec* signature;
    PyCFunction entry;
    int flags;
};

std::span<const FunctionEntry> exported_functions();

}  // namespace ostrel::module
