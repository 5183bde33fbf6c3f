// Whole-vector conversions between exact lists of floats and native vectors,
// for interpreters whose item-by-item C API is slow.
//
// On PyPy the C API is emulated: every list item read with PyList_GET_ITEM
// and every float made with PyFloat_FromDouble gets a C-level proxy object,
// some 150 ns per element each way, while PyPy's own array.array('d', list)
// and list(array) take a few ns per element. There, a long enough vector
// goes over in one piece through array.array and its buffer:
//   in:  list -> array.array('d', list) -> buffer -> std::vector<double>
//   out: std::vector<double> -> memoryview -> array.array('d').frombytes -> list
// The way in is taken only for an exact list that PyPy stores as unboxed
// floats (the list strategy "FloatListStrategy", which holds exact floats and
// nothing else): no code of the caller's can run, and the values are the bits
// the item-by-item path would read. Results are exact lists of exact floats
// with the vector's bits, as the item-by-item path builds them.
//
// Each function reports `skipped` when it does not apply (another object, a
// short vector, CPython, where item access is a macro and nothing is gained)
// or when a step fails with an ordinary error, which it clears: the general
// path then runs and gives the same values and the same errors. An
// interrupt, an exit or a MemoryError on the way is left pending: `failed`.
#pragma once

#include <Python.h>

#include <vector>

namespace ostrel::module {

enum class Bulk { done, skipped, failed };

// Fills `out` with the items of `object`.
Bulk read_float_list(PyObject* object, std::vector<double>& out);

// Sets `out` to a new list of floats holding `values`.
Bulk build_float_list(const std::vector<double>& values, PyObject*& out);

}  // namespace ostrel::module
