// How failures cross from the module into the interpreter.
//
// Every entry point runs its body inside `guarded`, the single place where C++
// exceptions are caught:
//  - `PythonError`: a host-level error is already set in the interpreter's
//    error indicator (argument binding or conversion, a failed C-API call);
//  - `ostrel::Interrupted`: the call's stop check (`check_signals`) ran a
//    signal handler that raised; that exception is pending and is passed on
//    unchanged;
//  - `ostrel::Failure`: an internal failure of the computation, raised as
//    `pyo3_runtime.PanicException` with the failure's message;
//  - `std::bad_alloc` and `std::length_error` (a size that cannot be
//    represented): `MemoryError`, and the module stays usable;
//  - anything else: a PanicException naming what escaped.
// Entry points are noexcept, so nothing ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "misc/failure.hpp"
#include "misc/interrupt.hpp"

namespace ostrel::module {

// Thrown after the interpreter's error indicator has been set.
struct PythonError {};

// Sets a TypeError with `message` (UTF-8) and throws PythonError.
[[noreturn]] void throw_type_error(const std::string& message);

// The PanicException type, created on first use and kept for the process;
// nullptr with an error set if it cannot be created.
PyObject* panic_exception_type();

// Makes the exception type importable from the module named in its qualified
// name, "pyo3_runtime", so that pickle can save and load it by reference
// (concurrent.futures, Dask): registers a module of that name in sys.modules
// whose PanicException attribute is the type, still created on first use.
// A module of that name that is already present is kept; a plain one that
// does not hold PanicException (nor a __getattr__) gets the type added.
// Called once, at module initialisation; throws PythonError on failure.
void register_runtime_module();

// Sets PanicException(message) as the pending error.
void set_panic(const std::string& message);

// Reports an exception that is neither ours nor an allocation failure.
void set_unexpected(const char* what);

// The stop check of every call (misc/interrupt.hpp): runs the interpreter's
// pending signal handlers (the calling thread holds the interpreter lock) and
// answers true when one of them raised, leaving its exception pending.
// CPython: PyErr_CheckSignals. PyPy, whose PyErr_CheckSignals does not run
// the handlers: a call of a tiny Python function, during which PyPy runs them.
bool check_signals(void* context) noexcept;

// Called when a call ended with Interrupted: makes sure an exception is
// pending (the stop check leaves one; a SystemError stands in otherwise).
void ensure_interrupt_pending();

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const Interrupted&) {
        ensure_interrupt_pending();
    } catch (const Failure& failure) {
        set_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "capacity overflow");
    } catch (const std::exception& error) {
        set_unexpected(error.what());
    } catch (...) {
        set_unexpected("unknown exception");
    }
    return nullptr;
}

}  // namespace ostrel::module
