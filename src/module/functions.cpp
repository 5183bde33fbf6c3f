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

// Argument-parsing descriptions and stored docstrings of all twelve functions.
// Each docstring starts with the text signature, then "--" and an empty line.
namespace sig {
const ParseSpec get_c{"get_c", {}, 0,
                      "get_c()\n--\n\n"
                      "Example retrieving constant from constants file can be improved by using macros"};
const ParseSpec gofb{"gofb", {"arg"}, 1, "gofb(arg)\n--\n\nfunctions from mirvane"};
const ParseSpec bofg{"bofg", {"arg"}, 1, "bofg(arg)\n--\n\n"};
const ParseSpec eq_59_park1995{"eq_59_park1995", {"t", "g"}, 2,
                               "eq_59_park1995(t, g)\n--\n\nfunctions from distribs"};
const ParseSpec fp_findif_difu{
    "fp_findif_difu",
    {"dt_in", "gamma_bins", "nin", "gdot_in", "din", "qin", "tesc_in", "tlc", "check_params"},
    8,
    "fp_findif_difu(dt_in, gamma_bins, nin, gdot_in, din, qin, tesc_in, tlc, check_params=None)"
    "\n--\n\n"};
const ParseSpec syn_emissivity_full{
    "syn_emissivity_full", {"freqs", "gamma_bins", "n_distrib", "b_field", "with_abs"}, 5,
    "syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs)\n--\n\n"};
const ParseSpec rad_trans_blob{"rad_trans_blob", {"blob_radius", "j_nu", "a_nu"}, 3,
                               "rad_trans_blob(blob_radius, j_nu, a_nu)\n--\n\n"};
const ParseSpec ic_iso_powlaw_full{"ic_iso_powlaw_full", {"freqs", "inu", "g", "n"}, 4,
                                   "ic_iso_powlaw_full(freqs, inu, g, n)\n--\n\n"};
const ParseSpec rad_cool_pwl{"rad_cool_pwl", {"gg", "freqs", "uu", "with_kn"}, 4,
                             "rad_cool_pwl(gg, freqs, uu, with_kn)\n--\n\n"};
const ParseSpec rad_cool_mono{"rad_cool_mono", {"gg", "nu0", "u0", "with_kn"}, 4,
                              "rad_cool_mono(gg, nu0, u0, with_kn)\n--\n\n"};
const ParseSpec ic_iso_monochrome_full{"ic_iso_monochrome_full", {"freqs", "uext", "nuext", "n", "g"}, 5,
                                       "ic_iso_monochrome_full(freqs, uext, nuext, n, g)\n--\n\n"};
const ParseSpec rad_trans_slab{"rad_trans_slab", {"blob_radius", "j_nu", "a_nu"}, 3,
                               "rad_trans_slab(blob_radius, j_nu, a_nu)\n--\n\n"};
}  // namespace sig

using Impl = PyObject* (*)(PyObject* const*, Py_ssize_t, PyObject*);

// The C entry point of a vector-call function: the per-call wrapper around
// the function's own binding, computation and result conversion.
template <Impl F>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return F(args, nargs, kwnames); });
}

template <Impl F>
PyCFunction entry_of() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<F>));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyObject* get_c_entry(PyObject*, PyObject*) noexcept {
    return guarded([] { return to_float(constants::c); });
}

// gofb and bofg take a float or a sequence of floats: the float reading is
// tried first, then the sequence reading (never for a str); whatever fails,
// the caller sees one message without an argument name.
template <double (*Formula)(double)>
PyObject* kinematic(const ParseSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = nullptr;
    bind_slots(spec, args, nargs, kwnames, &arg);
    double x;
    if (convert_float(arg, x)) return to_float(Formula(x));
    PyErr_Clear();
    if (!PyUnicode_Check(arg)) {
        FloatVec values;
        if (convert_vector(arg, values)) {
            for (double& v : values) v = Formula(v);
            return to_list(values);
        }
        PyErr_Clear();
    }
    throw_type_error("Argument must be a float or a list of floats.");
}

PyObject* gofb(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kinematic<kinematics::gofb>(sig::gofb, args, nargs, kwnames);
}

PyObject* bofg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kinematic<kinematics::bofg>(sig::bofg, args, nargs, kwnames);
}

PyObject* eq_59_park1995(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [t, g] = bind<double, FloatVec>(sig::eq_59_park1995, args, nargs, kwnames);
    return to_list(distribs::eq_59_park1995(t, g));
}

PyObject* fp_findif_difu(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [dt, g, n, gdot, d, q, tesc, tlc, check] =
        bind<double, FloatVec, FloatVec, FloatVec, FloatVec, FloatVec, double, double, std::optional<bool>>(
            sig::fp_findif_difu, args, nargs, kwnames);
    return to_list(distribs::fp_findif_difu(dt, g, n, gdot, d, q, tesc, tlc, check.value_or(true)));
}

PyObject* syn_emissivity_full(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [freqs, gamma_bins, n_distrib, b_field, with_abs] =
        bind<FloatVec, FloatVec, FloatVec, double, bool>(sig::syn_emissivity_full, args, nargs, kwnames);
    const auto [j_nu, a_nu] = radiation::syn_emissivity_full(freqs, gamma_bins, n_distrib, b_field, with_abs);
    return to_pair(j_nu, a_nu);
}

PyObject* rad_trans_blob(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [r, j, a] = bind<double, FloatVec, FloatVec>(sig::rad_trans_blob, args, nargs, kwnames);
    return to_list(radiation::rad_trans_blob(j, a, r));
}

PyObject* ic_iso_powlaw_full(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [freqs, inu, g, n] =
        bind<FloatVec, FloatVec, FloatVec, FloatVec>(sig::ic_iso_powlaw_full, args, nargs, kwnames);
    return to_list(radiation::ic_iso_powlaw_full(freqs, inu, g, n));
}

PyObject* rad_cool_pwl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [gg, freqs, uu, with_kn] =
        bind<FloatVec, FloatVec, FloatVec, bool>(sig::rad_cool_pwl, args, nargs, kwnames);
    return to_list(radiation::rad_cool_pwl(gg, freqs, uu, with_kn));
}

PyObject* rad_cool_mono(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [gg, nu0, u0, with_kn] =
        bind<FloatVec, double, double, bool>(sig::rad_cool_mono, args, nargs, kwnames);
    return to_list(radiation::rad_cool_mono(gg, nu0, u0, with_kn));
}

PyObject* ic_iso_monochrome_full(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [freqs, uext, nuext, n, g] =
        bind<FloatVec, double, double, FloatVec, FloatVec>(sig::ic_iso_monochrome_full, args, nargs, kwnames);
    return to_list(radiation::ic_iso_monochrome_full(freqs, uext, nuext, n, g));
}

PyObject* rad_trans_slab(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto [r, j, a] = bind<double, FloatVec, FloatVec>(sig::rad_trans_slab, args, nargs, kwnames);
    return to_list(radiation::rad_trans_slab(j, a, r));
}

const FunctionEntry kFunctions[] = {
    {&sig::get_c, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&get_c_entry)), METH_NOARGS},
    {&sig::gofb, entry_of<gofb>(), kFastcall},
    {&sig::bofg, entry_of<bofg>(), kFastcall},
    {&sig::eq_59_park1995, entry_of<eq_59_park1995>(), kFastcall},
    {&sig::fp_findif_difu, entry_of<fp_findif_difu>(), kFastcall},
    {&sig::syn_emissivity_full, entry_of<syn_emissivity_full>(), kFastcall},
    {&sig::rad_trans_blob, entry_of<rad_trans_blob>(), kFastcall},
    {&sig::ic_iso_powlaw_full, entry_of<ic_iso_powlaw_full>(), kFastcall},
    {&sig::rad_cool_pwl, entry_of<rad_cool_pwl>(), kFastcall},
    {&sig::rad_cool_mono, entry_of<rad_cool_mono>(), kFastcall},
    {&sig::ic_iso_monochrome_full, entry_of<ic_iso_monochrome_full>(), kFastcall},
    {&sig::rad_trans_slab, entry_of<rad_trans_slab>(), kFastcall},
};

}  // namespace

std::span<const FunctionEntry> exported_functions() { return kFunctions; }

}  // namespace ostrel::module
