// The module's entry point: creates the module object, registers the exported
// functions in table order and fills __all__ with their names, then makes the
// exception type's module, pyo3_runtime, importable (module/errors.hpp).
//
// The module may be built once per process. A process-wide flag, changed by one
// atomic exchange, refuses any later initialisation (for example a re-import
// after the interpreter dropped the module): the first module stays valid.
#include <Python.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "module/binder.hpp"
#include "module/errors.hpp"
#include "module/functions.hpp"
#include "module/pyref.hpp"

namespace ostrel::module {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ostrel",
    "A Python module implemented in C++.",
    0,        // per-module state size
    nullptr,  // functions are added one by one after the module exists
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Method records handed to the interpreter must outlive the module.
std::vector<PyMethodDef>& method_records() {
    static std::vector<PyMethodDef> records;
    return records;
}

[[noreturn]] void throw_pending() { throw PythonError{}; }

// __all__, created as an empty list when the module has none yet.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_pending();
        return all;
    }
    if (!PyList_Check(all.get())) {
        set_cannot_convert(all.get(), "PyList");
        throw_pending();
    }
    return all;
}

void register_function(PyObject* module, PyMethodDef* record) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_pending();
    Ref name_text = Ref::steal(
        PyUnicode_FromStringAndSize(module_name, static_cast<Py_ssize_t>(std::strlen(module_name))));
    if (!name_text) {
        PyErr_Clear();
        fail("PyModule_GetName expected to return utf8");
    }
    Ref function = Ref::steal(PyCMethod_New(record, module, name_text.get(), nullptr));
    if (!function) throw_pending();
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) {
        set_cannot_convert(name.get(), "PyString");
        throw_pending();
    }
    Ref all = all_list(module);
    if (PyList_Append(all.get(), name.get()) != 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0) throw_pending();
}

PyObject* create_module() {
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        throw_pending();
    }
    if (initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "ostrel may be initialised only once per interpreter process");
        throw_pending();
    }
    auto& records = method_records();
    const auto functions = exported_functions();
    records.reserve(functions.size());
    for (const FunctionEntry& f : functions) {
        records.push_back(PyMethodDef{f.signature->name, f.entry, f.flags, f.signature->doc});
    }
    for (PyMethodDef& record : records) register_function(module.get(), &record);
    // Pickling support is not worth a module that cannot be imported (the
    // flag above allows no second attempt): an ordinary error here is dropped.
    try {
        register_runtime_module();
    } catch (const PythonError&) {
        if (error_must_pass_on()) throw;
        PyErr_Clear();
    }
    return module.release();
}

}  // namespace
}  // namespace ostrel::module

PyMODINIT_FUNC PyInit_ostrel(void) {
    return ostrel::module::guarded([] { return ostrel::module::create_module(); });
}
