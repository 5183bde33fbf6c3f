#include "module/errors.hpp"

#include "module/pyref.hpp"

namespace ostrel::module {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "Raised when ostrel's native code, called from Python, fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created once with the interpreter lock held and never released.
PyObject* panic_type = nullptr;

// The module object this module registered as sys.modules["pyo3_runtime"]
// (nullptr when another object already held that name); kept for the process.
PyObject* runtime_module = nullptr;

constexpr const char* kRuntimeName = "pyo3_runtime";
constexpr const char* kRuntimeDoc =
    "Holds PanicException, the type of ostrel's internal failures, so that a\n"
    "failure can be pickled by reference (process pools, task schedulers).\n";

// The registered module's __getattr__: PanicException is created on first
// use, as everywhere else; any other name is missing.
PyObject* runtime_getattr(PyObject*, PyObject* name) noexcept {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
        PyObject* type = panic_exception_type();
        Py_XINCREF(type);
        return type;
    }
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute %R", kRuntimeName, name);
    return nullptr;
}

PyMethodDef runtime_getattr_def = {"__getattr__", runtime_getattr, METH_O, nullptr};

// Stores the type in `module`'s namespace under its name.
bool add_panic_to(PyObject* module, PyObject* type) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    return dict != nullptr && PyDict_SetItemString(dict, "PanicException", type) == 0;
}

}  // namespace

void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
        // Only a shortcut: the module's __getattr__ serves the type anyway.
        if (panic_type != nullptr && runtime_module != nullptr && !add_panic_to(runtime_module, panic_type)) {
            PyErr_Clear();
        }
    }
    return panic_type;
}

void register_runtime_module() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString(kRuntimeName));
    if (!key) throw PythonError{};
    PyObject* existing = PyDict_GetItemWithError(modules, key.get());  // borrowed
    if (existing == nullptr) {
        if (PyErr_Occurred() != nullptr) throw PythonError{};
        Ref module = Ref::steal(PyModule_NewObject(key.get()));
        if (!module) throw PythonError{};
        Ref doc = Ref::steal(PyUnicode_FromString(kRuntimeDoc));
        Ref getattr = Ref::steal(PyCFunction_NewEx(&runtime_getattr_def, nullptr, key.get()));
        if (!doc || !getattr || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) != 0 ||
            PyObject_SetAttrString(module.get(), "__getattr__", getattr.get()) != 0 ||
            (panic_type != nullptr && !add_panic_to(module.get(), panic_type)) ||
            PyDict_SetItem(modules, key.get(), module.get()) != 0) {
            throw PythonError{};
        }
        runtime_module = module.release();
        return;
    }
    // Someone else's module of that name is kept. A plain module object that
    // neither holds the type nor computes attributes gets the type added, so
    // that pickling finds it; anything else is left exactly as it is.
    if (!PyModule_CheckExact(existing)) return;
    PyObject* dict = PyModule_GetDict(existing);  // borrowed
    if (dict == nullptr) throw PythonError{};
    for (const char* name : {"PanicException", "__getattr__"}) {
        if (PyDict_GetItemString(dict, name) != nullptr) return;
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr || !add_panic_to(existing, type)) throw PythonError{};
}

void set_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

#ifdef PYPY_VERSION

// PyPy's PyErr_CheckSignals does not run the signal handlers: PyPy runs them
// between bytecodes of Python code, on loop iterations among others. The
// check therefore runs a tiny Python function with a loop; a handler that
// raises makes the call fail with its exception pending.
bool check_signals(void*) noexcept {
    static PyObject* signal_point = nullptr;  // created once, never released
    if (signal_point == nullptr) {
        Ref globals = Ref::steal(PyDict_New());
        if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
            PyErr_Clear();
            return false;
        }
        signal_point = PyRun_String("lambda: [None for _ in (None, None)]", Py_eval_input, globals.get(),
                                    globals.get());
        if (signal_point == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(signal_point));
    return !result;
}

#else

bool check_signals(void*) noexcept { return PyErr_CheckSignals() != 0; }

#endif

void ensure_interrupt_pending() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "call interrupted without a pending exception");
    }
}

void set_unexpected(const char* what) {
    std::string message = "unexpected internal error: ";
    message += what;
    report_failure(message);
    set_panic(message);
}

}  // namespace ostrel::module
