#include "module/bulk.hpp"

#include <cstring>

#include "module/binder.hpp"
#include "module/pyref.hpp"

namespace ostrel::module {

#if defined(PYPY_VERSION)

namespace {

// Below this length the fixed cost of the calls into the interpreter (a few
// microseconds per vector) is about what the item-by-item path costs.
constexpr Py_ssize_t kMinimumLength = 16;

// The interpreter's own objects that the conversions call, looked up once
// and kept for the process.
struct Tools {
    PyObject* strategy = nullptr;    // __pypy__.strategy: a list's storage strategy, as a str
    PyObject* array_type = nullptr;  // array.array
    PyObject* typecode = nullptr;    // "d"
};

Bulk give_up() {
    if (error_must_pass_on()) return Bulk::failed;
    PyErr_Clear();
    return Bulk::skipped;
}

// `name` from the namespace of the interpreter's built-in module `module`:
// an exact module object without a file (not one written in Python and put
// in its place). A new reference, or nullptr (with an error pending if one
// was raised).
Ref builtin_attribute(const char* module, const char* name) {
    Ref found = Ref::steal(PyImport_ImportModule(module));
    if (!found || !PyModule_CheckExact(found.get())) return Ref();
    PyObject* dict = PyModule_GetDict(found.get());  // borrowed
    if (dict == nullptr || PyDict_GetItemString(dict, "__file__") != nullptr) return Ref();
    return Ref::borrow(PyDict_GetItemString(dict, name));
}

// A long array's storage is freed at once rather than at the next collection
// (a loop of calls would otherwise hold a copy per call); a short one is left
// to the collector, which saves a call. False with an error pending on failure.
constexpr Py_ssize_t kFreeAtOnce = 1 << 14;

bool free_now(PyObject* array, Py_ssize_t size) {
    return size < kFreeAtOnce || PySequence_DelSlice(array, 0, size) == 0;
}

// The memoryview points into a vector that is about to go: release it,
// keeping any error that is pending (a view that cannot be released is no
// longer used by anyone).
void release_view(PyObject* memory) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref released = Ref::steal(PyObject_CallMethod(memory, "release", nullptr));
    if (!released) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

bool type_named(PyObject* object, const char* name) {
    return std::strcmp(Py_TYPE(object)->tp_name, name) == 0;
}

// nullptr when the tools cannot be had (the general path is used from then
// on); `failed` is set when an error that must pass on is pending.
const Tools* tools(bool& failed) {
    static Tools found;
    static bool looked = false, usable = false;
    failed = false;
    if (!looked) {
        Ref strategy = builtin_attribute("__pypy__", "strategy");
        Ref array_type = strategy ? builtin_attribute("array", "array") : Ref();
        Ref typecode = array_type ? Ref::steal(PyUnicode_FromString("d")) : Ref();
        if (PyErr_Occurred() != nullptr && give_up() == Bulk::failed) {
            failed = true;  // looked up again next time
            return nullptr;
        }
        looked = true;
        usable = typecode && type_named(strategy.get(), "builtin_function") && PyType_Check(array_type.get()) &&
                 std::strcmp(reinterpret_cast<PyTypeObject*>(array_type.get())->tp_name, "array") == 0;
        if (usable) {
            found.strategy = strategy.release();
            found.array_type = array_type.release();
            found.typecode = typecode.release();
        }
    }
    return usable ? &found : nullptr;
}

}  // namespace

Bulk read_float_list(PyObject* object, std::vector<double>& out) {
    if (!PyList_CheckExact(object)) return Bulk::skipped;
    const Py_ssize_t size = PyList_GET_SIZE(object);
    if (size < kMinimumLength) return Bulk::skipped;
    bool failed = false;
    const Tools* t = tools(failed);
    if (t == nullptr) return failed ? Bulk::failed : Bulk::skipped;

    Ref strategy = Ref::steal(PyObject_CallOneArg(t->strategy, object));
    if (!strategy) return give_up();
    if (!PyUnicode_CheckExact(strategy.get()) ||
        PyUnicode_CompareWithASCIIString(strategy.get(), "FloatListStrategy") != 0) {
        return Bulk::skipped;
    }
    Ref array = Ref::steal(PyObject_CallFunctionObjArgs(t->array_type, t->typecode, object, nullptr));
    if (!array) return give_up();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_SIMPLE) != 0) return give_up();
    const bool whole = view.len == size * static_cast<Py_ssize_t>(sizeof(double));
    if (whole) {
        out.resize(static_cast<std::size_t>(size));
        std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    }
    PyBuffer_Release(&view);
    if (!free_now(array.get(), size)) return give_up();
    return whole ? Bulk::done : Bulk::skipped;
}

Bulk build_float_list(const std::vector<double>& values, PyObject*& out) {
    const auto size = static_cast<Py_ssize_t>(values.size());
    if (size < kMinimumLength) return Bulk::skipped;
    bool failed = false;
    const Tools* t = tools(failed);
    if (t == nullptr) return failed ? Bulk::failed : Bulk::skipped;

    Ref memory = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(values.data())),
                                                     size * static_cast<Py_ssize_t>(sizeof(double)), PyBUF_READ));
    if (!memory) return give_up();
    Ref array = Ref::steal(PyObject_CallOneArg(t->array_type, t->typecode));
    if (!array) return give_up();
    Ref copied = Ref::steal(PyObject_CallMethod(array.get(), "frombytes", "O", memory.get()));
    release_view(memory.get());
    if (!copied) return give_up();
    Ref list = Ref::steal(PySequence_List(array.get()));
    if (!list) return give_up();
    if (!free_now(array.get(), size)) return give_up();
    if (!PyList_CheckExact(list.get()) || PyList_GET_SIZE(list.get()) != size) return Bulk::skipped;
    out = list.release();
    return Bulk::done;
}

#else  // CPython: reading and building item by item is already a few ns per element.

Bulk read_float_list(PyObject*, std::vector<double>&) { return Bulk::skipped; }

Bulk build_float_list(const std::vector<double>&, PyObject*&) { return Bulk::skipped; }

#endif

}  // namespace ostrel::module
