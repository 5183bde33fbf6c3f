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

}  // namespace

void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    }
    return panic_type;
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
