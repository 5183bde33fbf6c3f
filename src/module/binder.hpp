// Binding of positional and keyword arguments to a function's parameters, and
// their conversion into native values.
//
// A `Signature<N>` is the compile-time record of one exported function: its
// name, its N ordered parameter names, the number of required parameters and
// its stored docstring, which starts with the text signature. `well_formed`
// checks at compile time that the text signature spells exactly these names
// (with "=None" after the required ones) and that the names are distinct.
// `ParseSpec` is the same record seen at run time (the parameter names as a
// span), which the binding code and the module's registration read.
//
// A function's wrapper receives an `Arguments<S>` tied to its own signature S.
// `Arguments<S>::bind<T...>()` fills the parameter slots from the vector-call
// arguments, reports binding errors with the interpreter's usual TypeError
// texts, and converts each bound argument in parameter order into the native
// kind T:
//   double               any object PyFloat_AsDouble accepts
//   FloatVec             any sequence that is not a str, items as floats
//   bool                 exactly True or False
//   std::optional<bool>  omitted or None (absent), else as bool
// The number of kinds must equal the number of parameter names, and exactly
// the parameters after the required ones must be optional: both are checked
// at compile time, so a wrapper cannot disagree with its signature.
// A conversion TypeError is re-raised as "argument '<name>': <message>"
// keeping the original's cause; other errors (OverflowError) pass unchanged.
// A keyword name that has no UTF-8 form is reported as unexpected, shown as
// repr shows it. Errors that must pass on (error_must_pass_on) are never
// discarded, also where the rules discard a failing __len__.
// The first argument that fails ends the call; vectors built so far are
// released with the tuple that was being built.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "module/errors.hpp"

namespace ostrel::module {

using FloatVec = std::vector<double>;

struct ParseSpec {
    const char* name;                           // Python-visible name
    std::span<const char* const> params;        // positional-or-keyword, in order
    std::size_t required;                       // the first `required` have no default
    const char* doc;                            // stored docstring with text signature
};

template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> params;
    std::size_t required;
    // "name(p1, p2, p3=None)\n--\n\n" followed by the docstring proper (the
    // interpreter splits the text signature off into __text_signature__).
    const char* doc;

    constexpr ParseSpec spec() const { return {name, std::span<const char* const>(params), required, doc}; }
};

namespace detail {

// Advances `at` past `text` if the characters there spell it.
constexpr bool consume(const char*& at, const char* text) {
    for (; *text != '\0'; ++text, ++at) {
        if (*at != *text) return false;
    }
    return true;
}

constexpr bool same_text(const char* a, const char* b) { return consume(a, b) && *a == '\0'; }

constexpr bool is_identifier(const char* text) {
    if (text == nullptr || *text == '\0' || (*text >= '0' && *text <= '9')) return false;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return true;
}

template <class T>
inline constexpr bool is_optional_kind = false;
template <class T>
inline constexpr bool is_optional_kind<std::optional<T>> = true;

}  // namespace detail

// The record is consistent: a valid name, distinct identifiers as parameter
// names, no more required parameters than names, and a stored text signature
// that is exactly "name(p1, ..., pk=None, ...)\n--\n\n".
template <std::size_t N>
constexpr bool well_formed(const Signature<N>& s) {
    if (!detail::is_identifier(s.name) || s.required > N || s.doc == nullptr) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (!detail::is_identifier(s.params[i])) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (detail::same_text(s.params[i], s.params[j])) return false;
        }
    }
    const char* at = s.doc;
    if (!detail::consume(at, s.name) || !detail::consume(at, "(")) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0 && !detail::consume(at, ", ")) return false;
        if (!detail::consume(at, s.params[i])) return false;
        if (i >= s.required && !detail::consume(at, "=None")) return false;
    }
    return detail::consume(at, ")\n--\n\n");
}

// True when the kinds, in order, are required for the first `required`
// parameters and optional for the rest.
template <class... Kinds>
constexpr bool kinds_match_required(std::size_t required) {
    constexpr bool optional[] = {detail::is_optional_kind<Kinds>..., false};
    for (std::size_t i = 0; i < sizeof...(Kinds); ++i) {
        if (optional[i] != (i >= required)) return false;
    }
    return true;
}

// The run-time record of the signature S, with static storage.
template <const auto& S>
inline constexpr ParseSpec spec_of = S.spec();

// Low-level converters: return false with the interpreter's error set.
bool convert_float(PyObject* object, double& out);
bool convert_vector(PyObject* object, FloatVec& out);
bool convert_bool(PyObject* object, bool& out);

// True when the pending error is one that conversion never discards or
// renames: an exception that is not an Exception subclass (KeyboardInterrupt,
// SystemExit, GeneratorExit) or a MemoryError. Where the rules discard an
// error (a failing __len__, the float reading of gofb), such an error passes
// on unchanged instead.
bool error_must_pass_on();

// Sets "'<type qualname>' object cannot be converted to '<target>'" (or, if
// reading the qualname raised an error that must pass on, leaves that one).
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

// The arguments of one call of the function whose signature is S.
template <const auto& S>
class Arguments {
public:
    static constexpr std::size_t kParams = S.params.size();
    static_assert(well_formed(S), "the stored text signature must spell the name and the parameter names");

    Arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
        : args_(args), nargs_(nargs), kwnames_(kwnames) {}

    // The argument objects, one borrowed reference per parameter (nullptr
    // where none was given); throws PythonError on a binding error.
    std::array<PyObject*, kParams> slots() const {
        std::array<PyObject*, kParams> out{};
        bind_slots(spec_of<S>, args_, nargs_, kwnames_, out.data());
        return out;
    }

    template <class... Kinds>
    std::tuple<Kinds...> bind() const {
        static_assert(sizeof...(Kinds) == kParams,
                      "a wrapper converts exactly as many arguments as its signature names");
        static_assert(kinds_match_required<Kinds...>(S.required),
                      "exactly the parameters after the required ones have an optional kind");
        const std::array<PyObject*, kParams> bound = slots();
        return convert_slots<Kinds...>(spec_of<S>, bound.data(), std::index_sequence_for<Kinds...>{});
    }

private:
    PyObject* const* args_;
    Py_ssize_t nargs_;
    PyObject* kwnames_;
};

}  // namespace ostrel::module
