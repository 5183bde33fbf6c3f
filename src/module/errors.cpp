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

bool check_signals(void*) noexcept { return PyErr_CheckSignals() != 0; }

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
