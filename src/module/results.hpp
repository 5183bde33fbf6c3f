// Conversion of native results into new Python objects: a float, a list of
// floats, or a tuple of two such lists. Non-finite values pass through as
// floats. If the interpreter cannot create an object, a MemoryError is passed
// on as it is; any other error is printed to standard error and the call ends
// with the internal failure "Python API call failed". On PyPy a long list is
// made in one piece (module/bulk.hpp), with the same type and bits.
#pragma once

#include <Python.h>

#include <vector>

namespace ostrel::module {

PyObject* to_float(double value);
PyObject* to_list(const std::vector<double>& values);
PyObject* to_pair(const std::vector<double>& first, const std::vector<double>& second);

}  // namespace ostrel::module
