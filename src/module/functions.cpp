#include "module/functions.hpp"

#include "distribs/eq_59_park1995.hpp"
#include "distribs/fp_findif_difu.hpp"
#include "misc/constants.hpp"
#include "misc/kinematics.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"
#include "radiation/ic_iso_monochrome_full.hpp"
#include "radiation/ic_iso_powlaw_full.hpp"
#include "radiation/rad_cool_mono.hpp"
#include "radiation/rad_cool_pwl.hpp"
#include "radiation/rad_trans.hpp"
#include "radiation/syn_emissivity_full.hpp"

namespace ostrel::module {
namespace {

// The function table: one signature record per exported function (name,
// parameter names, number required, stored docstring starting with the text
// signature), one wrapper taking `Arguments` of that signature, and one row
// in kFunctions below. The compiler checks each record's text signature
// against its names, and each wrapper's argument kinds against its record's
// names and required count (module/binder.hpp); the row pairs a record with
// the wrapper of the same signature or does not compile. Module
// initialisation registers the rows in order and fills __all__ from them, and
// the Python tests compare the stub file and the documentation with that.
namespace sig {
constexpr Signature<0> get_c{"get_c", {}, 0,
                             "get_c()\n--\n\n"
                             "Example retrieving constant from constants file can be improved by using macros"};
constexpr Signature<1> gofb{"gofb", {"arg"}, 1, "gofb(arg)\n--\n\nfunctions from mirvane"};
constexpr Signature<1> bofg{"bofg", {"arg"}, 1, "bofg(arg)\n--\n\n"};
constexpr Signature<2> eq_59_park1995{"eq_59_park1995", {"t", "g"}, 2,
                                      "eq_59_park1995(t, g)\n--\n\nfunctions from distribs"};
constexpr Signature<9> fp_findif_difu{
    "fp_findif_difu",
    {"dt_in", "gamma_bins", "nin", "gdot_in", "din", "qin", "tesc_in", "tlc", "check_params"},
    8,
    "fp_findif_difu(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params=None)"
    "\n--\n\n"};
constexpr Signature<5> syn_emissivity_full{
    "syn_emissivity_full", {"freqs", "gamma_bins", "n_distrib", "b_field", "with_abs"}, 5,
    "syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs)\n--\n\n"};
constexpr Signature<3> rad_trans_blob{"rad_trans_blob", {"blob_radius", "j_nu", "a_nu"}, 3,
                                      "rad_trans_blob(blob_radius, j_nu, a_nu)\n--\n\n"};
constexpr Signature<4> ic_iso_powlaw_full{"ic_iso_powlaw_full", {"freqs", "inu", "g", "n"}, 4,
                                          "ic_iso_powlaw_full(freqs, inu, g, n)\n--\n\n"};
constexpr Signature<4> rad_cool_pwl{"rad_cool_pwl", {"gg", "freqs", "uu", "with_kn"}, 4,
                                    "rad_cool_pwl(gg, freqs, uu, with_kn)\n--\n\n"};
constexpr Signature<4> rad_cool_mono{"rad_cool_mono", {"gg", "nu0", "u0", "with_kn"}, 4,
                                     "rad_cool_mono(gg, nu0, u0, with_kn)\n--\n\n"};
constexpr Signature<5> ic_iso_monochrome_full{"ic_iso_monochrome_full", {"freqs", "uext", "nuext", "n", "g"}, 5,
                                              "ic_iso_monochrome_full(freqs, uext, nuext, n, g)\n--\n\n"};
constexpr Signature<3> rad_trans_slab{"rad_trans_slab", {"blob_radius", "j_nu", "a_nu"}, 3,
                                      "rad_trans_slab(blob_radius, j_nu, a_nu)\n--\n\n"};
}  // namespace sig

// The C entry point of a vector-call function: the per-call wrapper around
// the function's own binding, computation and result conversion. For the
// functions that can compute for seconds (`Long`), a call scope lets the
// computation consult the pending signals (Ctrl-C) while it runs; it also
// holds what the worker pool remembers for one call. The others, a few
// arithmetic operations per element, go without it.
template <const auto& S, PyObject* (*F)(Arguments<S>), bool Long>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if constexpr (Long) {
        CallScope call(&check_signals);
        return guarded([&] { return F(Arguments<S>(args, nargs, kwnames)); });
    } else {
        return guarded([&] { return F(Arguments<S>(args, nargs, kwnames)); });
    }
}

template <PyObject* (*F)()>
PyObject* noargs_entry(PyObject*, PyObject*) noexcept {
    return guarded([] { return F(); });
}

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// A row of the table: a function taking arguments by vector call.
// `long_row` is the same for a function whose computation can take seconds:
// the Fokker-Planck step and the kernels that run parallel maps.
template <const auto& S, PyObject* (*F)(Arguments<S>), bool Long = false>
FunctionEntry row() {
    static_assert(S.params.size() > 0, "a function without parameters is registered with noargs_row");
    return {&spec_of<S>, as_cfunction(&fastcall_entry<S, F, Long>), METH_FASTCALL | METH_KEYWORDS};
}

template <const auto& S, PyObject* (*F)(Arguments<S>)>
FunctionEntry long_row() {
    return row<S, F, true>();
}

// A row of the table: a function without parameters.
template <const auto& S, PyObject* (*F)()>
FunctionEntry noargs_row() {
    static_assert(S.params.size() == 0 && well_formed(S), "a function of no arguments has an empty signature");
    return {&spec_of<S>, as_cfunction(&noargs_entry<F>), METH_NOARGS};
}

PyObject* get_c() { return to_float(constants::c); }

// gofb and bofg take a float or a sequence of floats: the float reading is
// tried first, then the sequence reading (never for a str); whatever fails,
// the caller sees one message without an argument name. An interrupt, an
// exit or a MemoryError raised on the way is not a failed reading: it passes
// on unchanged.
template <double (*Formula)(double), const auto& S>
PyObject* kinematic(Arguments<S> call) {
    static_assert(S.params.size() == 1 && S.required == 1, "one required argument");
    PyObject* const arg = call.slots()[0];
    // An exact list or tuple never reads as a float (and running the attempt
    // costs microseconds on PyPy): go straight to the sequence reading.
    if (!PyList_CheckExact(arg) && !PyTuple_CheckExact(arg)) {
        double x;
        if (convert_float(arg, x)) return to_float(Formula(x));
        if (error_must_pass_on()) throw PythonError{};
        PyErr_Clear();
    }
    if (!PyUnicode_Check(arg)) {
        FloatVec values;
        if (convert_vector(arg, values)) {
            for (double& v : values) v = Formula(v);
            return to_list(values);
        }
        if (error_must_pass_on()) throw PythonError{};
        PyErr_Clear();
    }
    throw_type_error("Argument must be a float or a list of floats.");
}

PyObject* gofb(Arguments<sig::gofb> call) { return kinematic<kinematics::gofb>(call); }

PyObject* bofg(Arguments<sig::bofg> call) { return kinematic<kinematics::bofg>(call); }

PyObject* eq_59_park1995(Arguments<sig::eq_59_park1995> call) {
    const auto [t, g] = call.bind<double, FloatVec>();
    return to_list(distribs::eq_59_park1995(t, g));
}

PyObject* fp_findif_difu(Arguments<sig::fp_findif_difu> call) {
    const auto [dt, g, n, gdot, d, q, tesc, tlc, check] =
        call.bind<double, FloatVec, FloatVec, FloatVec, FloatVec, FloatVec, double, double, std::optional<bool>>();
    return to_list(distribs::fp_findif_difu(dt, g, n, gdot, d, q, tesc, tlc, check.value_or(true)));
}

PyObject* syn_emissivity_full(Arguments<sig::syn_emissivity_full> call) {
    const auto [freqs, gamma_bins, n_distrib, b_field, with_abs] =
        call.bind<FloatVec, FloatVec, FloatVec, double, bool>();
    const auto [j_nu, a_nu] = radiation::syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs);
    return to_pair(j_nu, a_nu);
}

PyObject* rad_trans_blob(Arguments<sig::rad_trans_blob> call) {
    const auto [r, j, a] = call.bind<double, FloatVec, FloatVec>();
    return to_list(radiation::rad_trans_blob(j, a, r));
}

PyObject* ic_iso_powlaw_full(Arguments<sig::ic_iso_powlaw_full> call) {
    const auto [freqs, inu, g, n] = call.bind<FloatVec, FloatVec, FloatVec, FloatVec>();
    return to_list(radiation::ic_iso_powlaw_full(freqs, inu, g, n));
}

PyObject* rad_cool_pwl(Arguments<sig::rad_cool_pwl> call) {
    const auto [gg, freqs, uu, with_kn] = call.bind<FloatVec, FloatVec, FloatVec, bool>();
    return to_list(radiation::rad_cool_pwl(gg, freqs, uu, with_kn));
}

PyObject* rad_cool_mono(Arguments<sig::rad_cool_mono> call) {
    const auto [gg, nu0, u0, with_kn] = call.bind<FloatVec, double, double, bool>();
    return to_list(radiation::rad_cool_mono(gg, nu0, u0, with_kn));
}

PyObject* ic_iso_monochrome_full(Arguments<sig::ic_iso_monochrome_full> call) {
    const auto [freqs, uext, nuext, n, g] = call.bind<FloatVec, double, double, FloatVec, FloatVec>();
    return to_list(radiation::ic_iso_monochrome_full(freqs, uext, nuext, n, g));
}

PyObject* rad_trans_slab(Arguments<sig::rad_trans_slab> call) {
    const auto [r, j, a] = call.bind<double, FloatVec, FloatVec>();
    return to_list(radiation::rad_trans_slab(j, a, r));
}

const FunctionEntry kFunctions[] = {
    noargs_row<sig::get_c, get_c>(),
    row<sig::gofb, gofb>(),
    row<sig::bofg, bofg>(),
    row<sig::eq_59_park1995, eq_59_park1995>(),
    long_row<sig::fp_findif_difu, fp_findif_difu>(),
    long_row<sig::syn_emissivity_full, syn_emissivity_full>(),
    row<sig::rad_trans_blob, rad_trans_blob>(),
    long_row<sig::ic_iso_powlaw_full, ic_iso_powlaw_full>(),
    long_row<sig::rad_cool_pwl, rad_cool_pwl>(),
    long_row<sig::rad_cool_mono, rad_cool_mono>(),
    long_row<sig::ic_iso_monochrome_full, ic_iso_monochrome_full>(),
    row<sig::rad_trans_slab, rad_trans_slab>(),
};

}  // namespace

std::span<const FunctionEntry> exported_functions() { return kFunctions; }

}  // namespace ostrel::module
