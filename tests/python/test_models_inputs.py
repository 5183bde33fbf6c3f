"""Input checks of the model layer: every parameter refuses what is not a
finite number of the right sign with a ValueError that names it; vectors come
in as lists or NumPy arrays and go out as NumPy arrays (lists without
NumPy); a kernel's internal failure reaches the caller as RuntimeError."""

import decimal
import fractions
import inspect
import json
import math
import os
import subprocess
import sys
import types

import pytest

import ostrel
import ostrel_models as om
from ostrel_models import kernels

try:
    import numpy as np
except ImportError:  # as on the shipped target: the NumPy cases are left out
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="needs NumPy")


def if_numpy(make):
    """The cases `make()` builds when NumPy is importable, none otherwise."""
    return make() if np is not None else []

NAN, INF = float("nan"), float("inf")

# Values that are never a number, for any scalar parameter.
NOT_NUMBERS = [
    pytest.param(NAN, id="nan"),
    pytest.param(INF, id="inf"),
    pytest.param(-INF, id="-inf"),
    *if_numpy(lambda: [pytest.param(np.float64("nan"), id="np.nan")]),
    pytest.param("1.5", id="str"),
    pytest.param(b"1.5", id="bytes"),
    pytest.param(True, id="True"),
    pytest.param(False, id="False"),
    *if_numpy(lambda: [pytest.param(np.bool_(True), id="np.True_")]),
    pytest.param(None, id="None"),
    pytest.param([1.5], id="list"),
    *if_numpy(lambda: [pytest.param(np.array([1.5]), id="array1")]),
    pytest.param(1.5 + 0j, id="complex"),
    pytest.param(object(), id="object"),
    pytest.param(10 ** 400, id="huge-int"),
]
NON_POSITIVE = [pytest.param(0.0, id="zero"), pytest.param(-0.0, id="-zero"),
                pytest.param(-1.0, id="negative"), pytest.param(-1e-300, id="tiny-negative")]

# (factory, valid keyword arguments, {parameter: "real" | "positive" | "nonnegative" | "gamma"})
CONSTRUCTORS = {
    "Blob": (om.Blob, dict(radius=1e16, b_field=0.1, doppler=10.0, redshift=0.1, distance=1e27),
             dict(radius="positive", b_field="positive", doppler="positive", redshift="nonnegative",
                  distance="positive")),
    "PowerLaw": (om.PowerLaw, dict(p=2.0, gamma_min=10.0, gamma_max=1e6, density=1.0),
                 dict(p="real", gamma_min="gamma", gamma_max="positive", density="positive")),
    "PowerLaw-k": (om.PowerLaw, dict(p=2.0, gamma_min=10.0, gamma_max=1e6, k=1.0), dict(k="positive")),
    "PowerLaw-energy": (om.PowerLaw, dict(p=2.0, gamma_min=10.0, gamma_max=1e6, energy=1e48),
                        dict(energy="positive")),
    "BrokenPowerLaw": (om.BrokenPowerLaw, dict(p1=2.0, p2=3.0, gamma_break=1e3, gamma_min=10.0, gamma_max=1e6,
                                               k=1.0),
                       dict(p1="real", p2="real", gamma_break="positive", gamma_min="gamma",
                            gamma_max="positive", k="positive")),
    "LogParabola": (om.LogParabola, dict(p=2.0, q=0.2, gamma_0=1e3, gamma_min=10.0, gamma_max=1e6, k=1.0),
                    dict(p="real", q="real", gamma_0="positive", gamma_min="gamma", gamma_max="positive")),
    "PowerLawCutoff": (om.PowerLawCutoff, dict(p=2.0, gamma_cutoff=1e5, gamma_min=10.0, gamma_max=1e6, k=1.0),
                       dict(p="real", gamma_cutoff="positive", gamma_min="gamma", gamma_max="positive")),
    "ExternalField": (om.ExternalField, dict(energy_density=1e-3, frequency=1e15),
                      dict(energy_density="positive", frequency="positive")),
    "Grids": (om.Grids, dict(synchrotron=8, compton=40, seed=10),
              dict(synchrotron="positive", compton="positive", seed="positive")),
}
if "external" in inspect.signature(om.Grids).parameters:  # external Compton's own grid density
    CONSTRUCTORS["Grids"][1]["external"] = 16
    CONSTRUCTORS["Grids"][2]["external"] = "positive"

SCALAR_CASES = [(c, name) for c, (_, _, params) in CONSTRUCTORS.items() for name in params]


def build(case, **changes):
    factory, kwargs, _ = CONSTRUCTORS[case]
    return factory(**dict(kwargs, **changes))


@pytest.mark.parametrize("case,name", SCALAR_CASES)
def test_valid_arguments_build(case, name):
    obj = build(case)
    stored = obj.normalisation_value if name in ("k", "density", "energy") else getattr(obj, name)
    assert type(stored) is float and stored == CONSTRUCTORS[case][1][name]


# None means "not given" for these: a normalisation left out, a distance from
# the redshift, a grid density left to its rule
OPTIONAL = {"distance", "k", "density", "energy"} | {
    name for name, parameter in inspect.signature(om.Grids).parameters.items() if parameter.default is None}


@pytest.mark.parametrize("case,name,bad", [
    pytest.param(case, name, bad.values[0], id=f"{case}-{name}-{bad.id}")
    for case, name in SCALAR_CASES for bad in NOT_NUMBERS
    if not (bad.values[0] is None and name in OPTIONAL)])
def test_scalar_rejects_non_numbers(case, name, bad):
    with pytest.raises(ValueError, match=rf"^{name} "):
        build(case, **{name: bad})


@pytest.mark.parametrize("bad", NON_POSITIVE)
@pytest.mark.parametrize("case,name", [(c, n) for c, n in SCALAR_CASES
                                       if CONSTRUCTORS[c][2][n] in ("positive", "gamma")])
def test_scalar_rejects_non_positive(case, name, bad):
    with pytest.raises(ValueError, match=rf"^{name} "):
        build(case, **{name: bad})


@pytest.mark.parametrize("value", [-0.1, -1e-300])
def test_redshift_rejects_negative(value):
    with pytest.raises(ValueError, match="^redshift "):
        build("Blob", redshift=value)


@pytest.mark.parametrize("good", [*if_numpy(lambda: [np.float64(2.5), np.float32(2.5), np.int64(3), np.array(2.5)]),
                                  fractions.Fraction(5, 2), decimal.Decimal("2.5"), 3])
def test_scalar_accepts_real_numbers(good):
    blob = om.Blob(good, good, doppler=good, redshift=good, distance=good)
    assert blob.radius == float(good) and type(blob.radius) is float
    assert om.PowerLaw(good, 1.0, 1e3, k=good).p == float(good)


@pytest.mark.parametrize("value", [0.5, 0.999999, 0.0, -5.0])
def test_gamma_min_is_at_least_one(value):
    with pytest.raises(ValueError, match="^gamma_min "):
        om.PowerLaw(2.0, value, 1e6, k=1.0)


@pytest.mark.parametrize("gamma_max", [10.0, 9.0, 1.0])
def test_gamma_max_above_gamma_min(gamma_max):
    with pytest.raises(ValueError, match="^gamma_max "):
        om.PowerLaw(2.0, 10.0, gamma_max, k=1.0)


@pytest.mark.parametrize("gamma_break", [9.99, 1e6 * 1.0001, 1e9])
def test_break_outside_the_range(gamma_break):
    with pytest.raises(ValueError, match="^gamma_break "):
        om.BrokenPowerLaw(2.0, 3.0, gamma_break, 10.0, 1e6, k=1.0)


@pytest.mark.parametrize("gamma_break,p", [(10.0, 2.5), (1e6, 1.5)])
def test_break_at_either_end_is_accepted(gamma_break, p):
    # the break on an end leaves one power law: p2 above gamma_min, p1 below gamma_max
    d = om.BrokenPowerLaw(1.5, 2.5, gamma_break, 10.0, 1e6, density=1.0)
    plain = om.PowerLaw(p, 10.0, 1e6, density=1.0)
    assert d.coefficient() * gamma_break ** p == pytest.approx(plain.coefficient(), rel=1e-12, abs=0.0)


@pytest.mark.parametrize("norm", [{}, dict(k=1.0, density=1.0), dict(k=1.0, energy=1.0),
                                  dict(density=1.0, energy=1.0), dict(k=1.0, density=1.0, energy=1.0),
                                  dict(k=None, density=None, energy=None)],
                         ids=["none", "k+density", "k+energy", "density+energy", "all", "all-None"])
def test_exactly_one_normalisation(norm):
    with pytest.raises(ValueError, match="exactly one of k, density, energy"):
        om.PowerLaw(2.0, 10.0, 1e6, **norm)


def test_energy_normalisation_needs_a_volume():
    d = om.PowerLaw(2.0, 10.0, 1e6, energy=1e48)
    with pytest.raises(ValueError, match="volume"):
        d.coefficient()
    for bad in (0.0, -1.0, NAN, "1e48", True):
        with pytest.raises(ValueError, match="^volume "):
            d.coefficient(bad)
        with pytest.raises(ValueError, match="^volume "):
            d.energy(bad)
    # a model supplies its blob's volume
    om.Model(om.Blob(1e16, 0.1, distance=1e27), d)


def test_distance_missing_at_redshift_zero():
    with pytest.raises(ValueError, match="distance is required when redshift is 0"):
        om.Blob(1e16, 0.1)
    with pytest.raises(ValueError, match="distance is required"):
        om.Blob(1e16, 0.1, redshift=0.0, distance=None)


# ---- the model and its frequencies -------------------------------------------------


@pytest.fixture(scope="module")
def model():
    return om.Model(om.Blob(1e16, 0.1, doppler=10.0, redshift=0.1, distance=1e27),
                    om.PowerLaw(2.2, 1e2, 1e5, density=1.0), ssc=False)


@pytest.mark.parametrize("field,value", [
    ("blob", None), ("blob", 1e16), ("blob", {"radius": 1e16}),
    ("electrons", None), ("electrons", [1.0, 2.0]),
    ("external", 1e-3), ("external", (1e-3, 1e15)),
    ("grids", 8), ("grids", {"synchrotron": 8}),
])
def test_model_rejects_wrong_objects(field, value):
    kwargs = dict(blob=om.Blob(1e16, 0.1, distance=1e27), electrons=om.PowerLaw(2.0, 10.0, 1e6, k=1.0))
    kwargs[field] = value
    with pytest.raises(ValueError, match=rf"^{field} must be"):
        om.Model(kwargs.pop("blob"), kwargs.pop("electrons"), **kwargs)


@pytest.mark.parametrize("switch", ["synchrotron", "ssa", "ssc"])
@pytest.mark.parametrize("value", ["no", "False", NAN])
def test_model_switches_must_be_booleans(switch, value):
    blob, electrons = om.Blob(1e16, 0.1, distance=1e27), om.PowerLaw(2.0, 10.0, 1e6, k=1.0)
    with pytest.raises(ValueError, match=switch):
        om.Model(blob, electrons, **{switch: value})


@pytest.mark.parametrize("value", ["no", "False", NAN, 2.0])
def test_grids_extrapolate_must_be_a_boolean(value):
    with pytest.raises(ValueError, match="^extrapolate "):
        om.Grids(extrapolate=value)


@pytest.mark.parametrize("nu,message", [
    ([1e12, 1e11], "strictly ascending"),
    ([1e11, 1e11], "strictly ascending"),
    ([], "at least 1"),
    *if_numpy(lambda: [(np.array([]), "at least 1")]),
    ([1e12, NAN], "finite"),
    ([1e12, INF], "finite"),
    ([-1e12, 1e13], "positive"),
    ([0.0, 1e13], "positive"),
    *if_numpy(lambda: [(np.array([[1e12, 1e13]]), "one-dimensional")]),
    *if_numpy(lambda: [(np.array(1e12), "one-dimensional")]),
    ("1e12", "string"),
    (b"1e12", "string"),
    (["1e12", "1e13"], "number"),
    ([1e12, True], "bool"),
    *if_numpy(lambda: [(np.array([True, False]), "bool")]),
    ([[1e12], [1e13]], "number"),
    (None, "sequence"),
    (1e12, "sequence"),
])
def test_sed_rejects_bad_frequencies(model, nu, message):
    with pytest.raises(ValueError, match=rf"^nu.*{message}"):
        model.sed(nu)
    with pytest.raises(ValueError, match=r"^nu"):
        model(nu)


# ---- tabulated distributions ------------------------------------------------------------


@pytest.mark.parametrize("gamma,n,name,message", [
    ([1.0, 10.0, 100.0], [1.0, 0.1], "n", "3 values"),
    ([1.0, 10.0], [1.0, 0.1, 0.01], "n", "2 values"),
    ([1.0, 100.0, 10.0], [1.0, 0.1, 0.01], "gamma", "strictly ascending"),  # two points swapped
    ([100.0, 10.0, 1.0], [1.0, 0.1, 0.01], "gamma", "strictly ascending"),  # descending
    ([1.0, 10.0, 10.0], [1.0, 0.1, 0.01], "gamma", "strictly ascending"),
    ([10.0], [1.0], "gamma", "at least 2"),
    ([], [], "gamma", "at least 2"),
    ([1.0, 10.0], [1.0, -0.1], "n", "negative"),
    ([1.0, 10.0], [1.0, NAN], "n", "finite"),
    ([-1.0, 10.0], [1.0, 0.1], "gamma", "positive"),
    ([0.5, 10.0], [1.0, 0.1], "gamma", "at least 1"),
    ([1.0, INF], [1.0, 0.1], "gamma", "finite"),
    *if_numpy(lambda: [(np.ones((2, 2)), [1.0, 0.1], "gamma", "one-dimensional")]),
    ([1.0, 10.0], "ab", "n", "string"),
])
def test_tabulated_rejects(gamma, n, name, message):
    with pytest.raises(ValueError, match=rf"^{name}.*{message}"):
        om.Tabulated(gamma, n)


def test_tabulated_swapped_arguments_are_refused():
    # (n, gamma) instead of (gamma, n): a falling n is no ascending grid
    gamma = [1.0, 10.0, 100.0]
    with pytest.raises(ValueError, match="^gamma.*strictly ascending"):
        om.Tabulated([1.0, 0.1, 0.01], gamma)


# ---- NumPy in and out, and lists without NumPy -----------------------------------------


@needs_numpy
def test_numpy_arrays_accepted_and_returned(model):
    nu = [1e10, 1e12, 1e14, 1e16]
    from_list, from_array = model.sed(nu), model.sed(np.array(nu))
    for name in ("nu", "total", "synchrotron", "ssc", "ec"):
        a, b = getattr(from_list, name), getattr(from_array, name)
        assert isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == float
        assert a.tolist() == b.tolist()
    assert isinstance(model(np.array(nu)), np.ndarray)
    assert model.sed(tuple(nu)).total.tolist() == from_list.total.tolist()
    d = om.PowerLaw(2.0, 10.0, 1e6, k=1.0)
    values = d(np.array([5.0, 10.0, 1e3]))
    assert isinstance(values, np.ndarray) and values.tolist() == d([5.0, 10.0, 1e3]).tolist()
    assert values.tolist() == [0.0, 1e-2, 1e-6]
    g = np.array([1.0, 10.0, 100.0])
    t_array, t_list = om.Tabulated(g, g ** -2.0), om.Tabulated(g.tolist(), (g ** -2.0).tolist())
    assert t_array == t_list and t_array.density() == t_list.density()
    assert isinstance(t_array(np.array([2.0])), np.ndarray)


HIDDEN_NUMPY = r"""
import json, sys
sys.modules["numpy"] = None
import ostrel_models as om
from ostrel_models import _util
out = {"have_numpy": _util.HAVE_NUMPY}
m = om.Model(om.Blob(1e16, 0.1, doppler=10.0, redshift=0.1, distance=1e27),
             om.PowerLaw(2.2, 1e2, 1e5, density=1.0), ssc=False)
sed = m.sed([1e10, 1e12, 1e14, 1e16])
out["types"] = [type(getattr(sed, k)).__name__ for k in ("nu", "total", "synchrotron", "ssc", "ec")]
out["total"] = sed.total
out["call"] = type(m([1e12])).__name__
out["n"] = type(om.PowerLaw(2.0, 10.0, 1e6, k=1.0)([20.0])).__name__
try:
    om.Blob(1e16, 0.1, redshift=0.1).distance
except ValueError as exc:
    out["distance"] = str(exc)
print(json.dumps(out))
"""


def test_lists_when_numpy_is_hidden(model):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.join(os.path.dirname(om.__file__), os.pardir)] + sys.path))
    done = subprocess.run([sys.executable, "-c", HIDDEN_NUMPY], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["have_numpy"] is False
    assert out["types"] == ["list"] * 5 and out["call"] == "list" and out["n"] == "list"
    assert out["total"] == [float(v) for v in model.sed([1e10, 1e12, 1e14, 1e16]).total]
    assert "distance is required when astropy is not installed" in out["distance"]


# ---- kernel failures ---------------------------------------------------------------------


FP_OK = (1.0, [2.0, 4.0, 8.0], [1.0, 0.5, 0.25], [1e-3] * 3, [1e-4] * 3, [0.0] * 3, 1e10, 1.0)


@pytest.mark.parametrize("change,message", [
    ({2: [1.0, 1.0]}, "input vectors differ in length"),
    ({0: NAN}, "not correctly defined"),
    ({1: [2.0, NAN, 8.0]}, "not correctly defined"),
])
def test_kernel_failure_becomes_runtime_error(capfd, change, message):
    args = list(FP_OK)
    for i, v in change.items():
        args[i] = v
    with pytest.raises(RuntimeError, match=rf"^fokker_planck_step: .*{message}") as info:
        kernels.fokker_planck_step(*args)
    assert isinstance(info.value, Exception)
    # the kernel itself raises the BaseException that `except Exception` misses
    with pytest.raises(BaseException) as raw:
        ostrel.fp_findif_difu(*args)
    assert type(raw.value).__name__ == "PanicException" and not isinstance(raw.value, Exception)
    assert str(raw.value) in str(info.value)
    capfd.readouterr()  # the kernel's diagnostics on the standard streams
    assert kernels.fokker_planck_step(*FP_OK) == ostrel.fp_findif_difu(*FP_OK)


def panic_type(capfd):
    with pytest.raises(BaseException) as raw:
        ostrel.fp_findif_difu(*(NAN,) + FP_OK[1:])
    capfd.readouterr()
    return type(raw.value)


def test_kernel_failure_in_a_model_reaches_the_caller(monkeypatch, capfd, model):
    panic = panic_type(capfd)

    def failing(*args):
        raise panic("synthetic failure in the synchrotron kernel")

    functions = {name: getattr(ostrel, name) for name in ostrel.__all__}
    functions["syn_emissivity_full"] = failing
    monkeypatch.setattr(kernels, "ostrel", types.SimpleNamespace(**functions))
    with pytest.raises(RuntimeError, match="^synchrotron: synthetic failure in the synchrotron kernel$"):
        model.sed([1e12])


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, TypeError])
def test_other_exceptions_pass_unchanged(monkeypatch, exc):
    def interrupted(*args):
        raise exc("stop")

    monkeypatch.setattr(kernels, "ostrel", types.SimpleNamespace(fp_findif_difu=interrupted))
    with pytest.raises(exc, match="stop"):
        kernels.fokker_planck_step(*FP_OK)
