// Binding of positional and keyword arguments to a function's parameters, and
// their conversion into native values.
//
// A `ParseSpec` is the argument-parsing description of one exported function
// (its name, ordered parameter names and number of required parameters); the
// function table holds one per function. `bind<T...>` fills the parameter
// slots from the vector-call arguments, reports binding errors with the
// interpreter's usual TypeError texts, and converts each bound argument in
// parameter order into the native kind T:
//   double               any object PyFloat_AsDouble accepts
//   FloatVec             any sequence that is not a str, items as floats
//   bool                 exactly True or False
//   std::optional<bool>  omitted or None (absent), else as bool
// A conversion TypeError is re-raised as "argument '<name>': <message>"
// keeping the original's cause; other errors (OverflowError) pass unchanged.
// The first argument that fails ends the call; vectors built so far are
// released with the tuple that was being built.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "module/errors.hpp"

namespace ostrel::module {

using FloatVec = std::vector<double>;

struct ParseSpec {
    const char* name;                            // Python-visible name
    std::initializer_list<const char*> params;   // positional-or-keyword, in order
    std::size_t required;                        // the first `required` have no default
    const char* doc;                             // stored docstring with text signature
};

// Low-level converters: return false with the interpreter's error set.
bool convert_float(PyObject* object, double& out);
bool convert_vector(PyObject* object, FloatVec& out);
bool convert_bool(PyObject* object, bool& out);

// Sets "'<type qualname>' object cannot be converted to '<target>'".
void set_cannot_convert(PyObject* object, const char* target);

// Fills `slots` (one borrowed reference per parameter, nullptr where none was
// given) or throws PythonError with the binding TypeError set.
void bind_slots(const ParseSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots);

// Renames a pending conversion TypeError after the argument, then throws.
[[noreturn]] void throw_argument_error(const char* name);

template <class T>
T convert_argument(PyObject* object, const char* name);

template <>
inline double convert_argument<double>(PyObject* object, const char* name) {
    double value;
    if (!convert_float(object, value)) throw_argument_error(name);
    return value;
}

template <>
inline FloatVec convert_argument<FloatVec>(PyObject* object, const char* name) {
    FloatVec value;
    if (!convert_vector(object, value)) throw_argument_error(name);
    return value;
}

template <>
inline bool convert_argument<bool>(PyObject* object, const char* name) {
    bool value;
    if (!convert_bool(object, value)) throw_argument_error(name);
    return value;
}

template <>
inline std::optional<bool> convert_argument<std::optional<bool>>(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return convert_argument<bool>(object, name);
}

template <class... Kinds, std::size_t... I>
std::tuple<Kinds...> convert_slots(const ParseSpec& spec, PyObject* const* slots,
                                   std::index_sequence<I...>) {
    // A braced initialiser evaluates its elements left to right: parameter order.
    return std::tuple<Kinds...>{convert_argument<Kinds>(slots[I], spec.params.begin()[I])...};
}

template <class... Kinds>
std::tuple<Kinds...> bind(const ParseSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (spec.params.size() != sizeof...(Kinds)) fail("binding table does not match its wrapper");
    PyObject* slots[sizeof...(Kinds)] = {};
    bind_slots(spec, args, nargs, kwnames, slots);
    return convert_slots<Kinds...>(spec, slots, std::index_sequence_for<Kinds...>{});
}

}  // namespace ostrel::module
