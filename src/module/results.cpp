#include "module/results.hpp"

#include "misc/failure.hpp"
#include "module/bulk.hpp"
#include "module/errors.hpp"
#include "module/pyref.hpp"

namespace ostrel::module {
namespace {

[[noreturn]] void creation_failed() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
    PyErr_Print();
    fail("Python API call failed");
}

Ref new_list(const std::vector<double>& values) {
    PyObject* whole = nullptr;
    switch (build_float_list(values, whole)) {
        case Bulk::done:
            return Ref::steal(whole);
        case Bulk::failed:
            throw PythonError{};
        case Bulk::skipped:
            break;
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) creation_failed();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) creation_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace

PyObject* to_float(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) creation_failed();
    return result;
}

PyObject* to_list(const std::vector<double>& values) { return new_list(values).release(); }

PyObject* to_pair(const std::vector<double>& first, const std::vector<double>& second) {
    Ref a = new_list(first);
    Ref b = new_list(second);
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) creation_failed();
    if (PyTuple_SetItem(pair.get(), 0, a.release()) != 0 ||
        PyTuple_SetItem(pair.get(), 1, b.release()) != 0) {
        creation_failed();
    }
    return pair.release();
}

}  // namespace ostrel::module
