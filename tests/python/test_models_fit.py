"""Fitting a model file to an observed SED (`ostrel_models.fit`, `python -m ostrel_models fit`).

Data files, [fit] tables, the residuals and the TOML writer are plain
Python and run everywhere; the fits need scipy (least squares) and emcee,
Dask and astropy for the parts that use them, and are skipped without them
(the PyPy environment has none of them).
"""

import copy
import importlib.util
import math
import os
import random
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import ostrel_models
except ImportError:  # not installed: the repository's sources
    sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
    import ostrel_models

from ostrel_models import _util, cli, fit, model_file  # noqa: E402

try:
    import tomllib
except ImportError:  # Python below 3.11
    import tomli as tomllib

PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(ostrel_models.__file__)))
MRK421_DATA = os.path.join(HERE, "..", "..", "examples", "data", "mrk421_2009.ecsv")
MRK421_MODEL = os.path.join(HERE, "..", "..", "examples", "models", "mrk421.toml")

# A small self-Compton blob on coarse grids (a model takes a few ms): the
# synthetic data of the fits are made by this model itself.
MODEL = {
    "blob": {"radius": 1.0e16, "b_field": 0.1, "doppler": 10.0, "redshift": 0.05, "distance": 7.0e26},
    "electrons": {"shape": "broken_power_law", "p1": 2.0, "p2": 3.5, "gamma_break": 1.0e4,
                  "gamma_min": 1.0e2, "gamma_max": 1.0e6, "energy": 1.0e46},
    "output": {"nu_min": 1.0e8, "nu_max": 1.0e27, "points_per_decade": 2},
    "grids": {"compton": 20, "extrapolate": False},
    "fit": {"free": ["blob.b_field", "electrons.energy", "electrons.p1", "electrons.p2"],
            "bounds": {"electrons.p1": [1.0, 3.0]}},
}
TRUE = {"blob.b_field": 0.1, "electrons.energy": 1.0e46, "electrons.p1": 2.0, "electrons.p2": 3.5}
START = {"blob.b_field": 0.16, "electrons.energy": 4.0e45, "electrons.p1": 2.25, "electrons.p2": 3.2}
NU = _util.log_grid(1.0e9, 1.0e26, 2.5)
NOISE = 0.05


def with_values(tables, values):
    out = copy.deepcopy(tables)
    for name, v in values.items():
        section, key = name.split(".")
        out[section][key] = v
    return out


def model_flux(tables, nu):
    return [float(v) for v in model_file.parse(tables, "model").model().sed(nu).total]


def synthetic(seed=12):
    """The model's own SED at NU with 5 % Gaussian noise and 5 % errors."""
    rng = random.Random(seed)
    truth = model_flux(MODEL, NU)
    keep = [i for i, v in enumerate(truth) if v > 1e-4 * max(truth)]
    nu = [NU[i] for i in keep]
    flux = [truth[i] * (1.0 + NOISE * rng.gauss(0.0, 1.0)) for i in keep]
    return fit.SEDData(nu, flux, [NOISE * truth[i] for i in keep], source="synthetic")


def write(tmp_path, text, name):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def csv_text(data, upper=None):
    rows = ["nu_hz,nufnu,nufnu_err" + (",upper_limit" if upper else "")]
    for i in range(len(data)):
        row = f"{data.nu[i]!r},{data.flux[i]!r},{data.err_low[i]!r}"
        rows.append(row + (f",{int(upper[i])}" if upper else ""))
    return "\n".join(rows) + "\n"


# --- data files -----------------------------------------------------------------
GOOD_CSV = "nu_hz,nufnu,nufnu_err\n1e10,1e-12,1e-13\n1e15,2e-11,2e-12\n"


def test_csv_reads_columns_in_any_order_with_comments_and_upper_limits(tmp_path):
    path = write(tmp_path, "# Mrk 0\ninstrument,nufnu_err,nu_hz,upper_limit,nufnu\n"
                           "radio,1e-13,1e10,0,1e-12\n\nx-ray,2e-12,1e18,1,2e-11\n", "d.csv")
    data = fit.read_data(path)
    assert (data.nu, data.flux, data.err_low, data.err_high) == ([1e10, 1e18], [1e-12, 2e-11],
                                                                  [1e-13, 2e-12], [1e-13, 2e-12])
    assert data.upper_limit == [False, True] and data.detections == 1


@pytest.mark.parametrize("text, message", [
    ("", "empty"),
    ("# only a comment\n", "empty"),
    ("nu_hz,nufnu,nufnu_err\n", "no data points"),
    ("nu,nufnu,nufnu_err\n1e10,1e-12,1e-13\n", "missing column nu_hz"),
    ("nu_hz,flux\n1e10,1e-12\n", "missing columns nufnu, nufnu_err"),
    ("nu_hz,nufnu,nufnu_err,nufnu\n1e10,1,1,1\n", "column 'nufnu' appears twice"),
    ("nu_hz,nufnu,nufnu_err\n1e10,1e-12,0\n", "line 2: nufnu_err must be positive, got 0.0"),
    ("nu_hz,nufnu,nufnu_err\n1e10,1e-12,1e-13\n1e11,1e-12,-1e-13\n", "line 3: nufnu_err must be positive"),
    ("nu_hz,nufnu,nufnu_err\n1e10,nan,1e-13\n", "line 2: nufnu is not a finite number"),
    ("nu_hz,nufnu,nufnu_err\n1e10,1e-12,inf\n", "line 2: nufnu_err is not a finite number"),
    ("nu_hz,nufnu,nufnu_err\n-1e10,1e-12,1e-13\n", "line 2: nu_hz must be positive"),
    ("nu_hz,nufnu,nufnu_err\n1e10,1e-12,abc\n", "line 2: nufnu_err is not a number: 'abc'"),
    ("nu_hz,nufnu,nufnu_err\n1e10,1e-12\n", "line 2: 2 values, the header has 3 columns"),
    ("nu_hz,nufnu,nufnu_err,upper_limit\n1e10,1e-12,1e-13,yes\n", "upper_limit must be 0 or 1, got 'yes'"),
    ("nu_hz,nufnu,nufnu_err,upper_limit\n1e10,0,1e-13,1\n", "an upper limit must be positive"),
])
def test_bad_csv_files_name_the_problem_on_one_line(tmp_path, text, message):
    path = write(tmp_path, text, "bad.csv")
    with pytest.raises(fit.DataError) as info:
        fit.read_data(path)
    text = str(info.value)
    assert text.startswith(path + ": ") and message in text and "\n" not in text


ECSV_HEADER = """# %ECSV 1.0
# ---
# datatype:
# - {{name: e_ref, unit: {xunit}, datatype: float64}}
# - {{name: e2dnde, unit: {yunit}, datatype: float64}}
# - {{name: e2dnde_errn, unit: erg / (cm2 s), datatype: float64}}
# - {{name: e2dnde_errp, unit: erg / (cm2 s), datatype: float64}}
# schema: astropy-2.0
e_ref e2dnde e2dnde_errn e2dnde_errp
"""


def ecsv(rows="1.0 1e-11 1e-12 2e-12\n1000.0 2e-11 1e-12 1e-12\n", xunit="eV", yunit="erg / (cm2 s)"):
    return ECSV_HEADER.format(xunit=xunit, yunit=yunit) + rows


def test_ecsv_converts_units_and_keeps_asymmetric_errors(tmp_path):
    units = pytest.importorskip("astropy.units")
    data = fit.read_data(write(tmp_path, ecsv(yunit="TeV / (cm2 s)", xunit="keV"), "d.ecsv"))
    # 1 keV is 2.418e17 Hz; 1 TeV = 1.602 erg
    assert data.nu[0] == pytest.approx((1.0 * units.keV).to(units.Hz, units.spectral()).value, rel=1e-12)
    assert data.flux == pytest.approx([1e-11 * 1.602176634, 2e-11 * 1.602176634], rel=1e-12, abs=0.0)
    assert (data.err_low, data.err_high) == ([1e-12, 1e-12], [2e-12, 1e-12])
    # The shipped Mrk 421 table: 105 points from radio to TeV, no upper limits.
    mrk = fit.read_data(MRK421_DATA)
    assert len(mrk) == 105 and not any(mrk.upper_limit)
    assert 1e9 < min(mrk.nu) < 1e10 and 1e26 < max(mrk.nu) < 1e28


@pytest.mark.parametrize("text, message", [
    (ecsv(yunit="cm"), "column e2dnde: unit cm cannot be converted to erg cm-2 s-1"),
    (ecsv(xunit="kg"), "column e_ref: unit kg cannot be converted to Hz"),
    (ecsv().replace("e2dnde_errn", "e2dnde_lo"), "missing column: e2dnde_errn"),
    (ecsv().replace("e2dnde", "dnde"), "missing column: energy flux"),
    (ecsv(rows="1.0 1e-11 0.0 1e-12\n"), "row 1: e2dnde_errn must be positive"),
    (ecsv(rows="1.0 nan 1e-12 1e-12\n"), "row 1: e2dnde is not a finite number"),
    (ecsv(rows=""), "no data points"),
    ("# %ECSV 1.0\n# ---\nnot: [a table\n", "not a readable ECSV table"),
])
def test_bad_ecsv_files_name_the_problem_on_one_line(tmp_path, text, message):
    pytest.importorskip("astropy")
    path = write(tmp_path, text, "bad.ecsv")
    with pytest.raises(fit.DataError) as info:
        fit.read_data(path)
    assert str(info.value).startswith(path + ": ") and message in str(info.value)
    assert "\n" not in str(info.value)


# --- the [fit] table ------------------------------------------------------------------
def fit_table(**changes):
    tables = copy.deepcopy(MODEL)
    for key, value in changes.items():
        if value is None:
            tables["fit"].pop(key, None)
        else:
            tables["fit"][key] = value
    return tables


@pytest.mark.parametrize("tables, message", [
    (fit_table(free=None), "[fit] free: missing"),
    (fit_table(free=[]), "[fit] free: must be a non-empty array"),
    (fit_table(free="blob.b_field"), "[fit] free: must be a non-empty array"),
    (fit_table(free=["blob.bfield"]), "'blob.bfield': not a number of the file (fittable: blob.radius"),
    (fit_table(free=["electrons.k"]), "'electrons.k': not a number of the file"),
    (fit_table(free=["electrons.shape"]), "'electrons.shape': not a number of the file"),
    (fit_table(free=["output.nu_min"]), "only [blob], [electrons] and [external] can be fitted"),
    (fit_table(free=["b_field"]), "not a \"section.key\" name"),
    (fit_table(free=["blob.b_field", "blob.b_field"]), "'blob.b_field' is named twice"),
    (fit_table(colour=1), "[fit] colour: unknown key"),
    (fit_table(systematics=-0.1), "[fit] systematics: must not be negative"),
    (fit_table(systematics="10%"), "[fit] systematics: must be a number"),
    (fit_table(log="yes"), "[fit] log: must be true, false or an array"),
    (fit_table(log=["blob.radius"]), "[fit] log: 'blob.radius' is not a free parameter"),
    (fit_table(nu_min=1e12, nu_max=1e11), "[fit] nu_max: must be above nu_min"),
    (fit_table(bounds={"blob.radius": [1.0, 2.0]}), "[fit.bounds] blob.radius: not a free parameter"),
    (fit_table(bounds={"blob.b_field": [0.2, 1.0]}), "[fit.bounds] blob.b_field: the value 0.1 lies outside"),
    (fit_table(bounds={"blob": {"b_field": [1.0, 0.5]}}), "[fit.bounds] blob.b_field: lower must be below upper"),
    (fit_table(bounds={"blob.b_field": [0.0, 1.0]}), "lower bound must be positive for a parameter fitted in log10"),
    (fit_table(bounds={"blob.b_field": [0.01]}), "must be [lower, upper], two numbers"),
])
def test_bad_fit_tables_name_the_key(tables, message):
    with pytest.raises(model_file.ModelFileError) as info:
        model_file.parse(tables, "m.toml")
    assert str(info.value).startswith("m.toml: [fit") and message in str(info.value)


def test_log_applies_to_positive_parameters_and_a_listed_one_must_be_positive():
    settings = model_file.parse(MODEL, "m").fit
    assert settings.log == [True, True, False, False]  # b_field, energy in log10; the indices not
    assert model_file.parse(fit_table(log=False), "m").fit.log == [False] * 4
    assert model_file.parse(fit_table(log=["electrons.energy"]), "m").fit.log == [False, True, False, False]
    negative = fit_table(log=["electrons.p1"], bounds=None)
    negative["electrons"]["p1"] = -0.5
    with pytest.raises(model_file.ModelFileError, match=r"\[fit\] log: electrons.p1 is fitted in log10 but its "
                                                        r"value is not positive \(-0.5\)"):
        model_file.parse(negative, "m")
    # Dotted keys under [fit.bounds] are the same names as quoted ones.
    dotted = model_file.parse(fit_table(bounds={"electrons": {"p1": [1.0, 3.0]}}), "m").fit
    assert dotted.bounds == model_file.parse(MODEL, "m").fit.bounds == [None, None, (1.0, 3.0), None]


def test_grids_section_sets_the_models_grids():
    from ostrel_models import Blob, BrokenPowerLaw, Grids, Model

    tables = copy.deepcopy(MODEL)
    tables["grids"] = {"synchrotron": 3, "compton": 24, "seed": 5, "extrapolate": "fine", "external": 7}
    mf = model_file.parse(tables, "m")
    assert repr(mf.grids) == repr(Grids(3, 24, 5, "fine", 7))
    api = Model(Blob(**MODEL["blob"]), BrokenPowerLaw(**{k: v for k, v in MODEL["electrons"].items() if k != "shape"}),
                grids=Grids(compton=20, extrapolate=False))
    nu = [1e12, 1e18, 1e22, 1e24]
    assert [float(v) for v in api.sed(nu).total] == model_flux(MODEL, nu)
    assert model_file.parse({k: v for k, v in MODEL.items() if k != "grids"}, "m").grids is None


# --- residuals ------------------------------------------------------------------------
def test_residuals_one_sided_for_upper_limits_and_on_the_models_side_for_asymmetric_errors():
    tables = fit_table(systematics=0.1, free=["blob.b_field", "electrons.p1"])
    problem = fit.FitProblem(tables, fit.SEDData([1e10, 1e12, 1e14, 1e16, 1e18], [1.0, 1.0, 1.0, 2.0, 2.0],
                                                 [0.1, 0.1, 0.1, 0.5, 0.5], [0.3, 0.3, 0.3, 0.5, 0.5],
                                                 [False, False, False, True, True]), "m")
    predicted = [1.5, 0.5, 1.0, 1.0, 3.0]
    r = problem.residuals_of(predicted)
    # above the point: the upper error (0.3), below: the lower one (0.1), with 10 % of the flux in quadrature
    assert r[0] == pytest.approx(0.5 / math.hypot(0.3, 0.1), rel=1e-15, abs=0.0)
    assert r[1] == pytest.approx(-0.5 / math.hypot(0.1, 0.1), rel=1e-15, abs=0.0)
    assert r[2] == 0.0
    # an upper limit pulls only where the model exceeds it
    assert r[3] == 0.0
    assert r[4] == pytest.approx(1.0 / math.hypot(0.5, 0.2), rel=1e-15, abs=0.0)
    assert problem.data.detections == 3
    # Parameters that make no model: least squares gets a large constant, emcee -inf.
    outside = [problem.x0[0], 5.0]  # p1 beyond its bound
    assert problem.log_probability(outside) == -math.inf
    no_model = list(problem.x0)
    no_model[0] = -400.0  # B = 1e-400 G underflows to 0: no blob
    assert problem.residuals(no_model) == [fit._PENALTY] * 5
    assert problem.log_probability(no_model) == -math.inf


def test_more_free_parameters_than_points_is_refused():
    data = fit.SEDData([1e10, 1e12, 1e14, 1e16, 1e18], [1.0] * 5, [0.1] * 5, upper_limit=[0, 0, 0, 0, 1])
    with pytest.raises(fit.DataError, match="4 measured points for 4 free parameters"):
        fit.FitProblem(MODEL, data, "m")
    with pytest.raises(fit.DataError, match=r"data: no data points at or above 1e\+20 Hz"):
        fit.FitProblem(fit_table(nu_min=1e20), data, "m")


# --- writing model files ------------------------------------------------------------------
def test_written_model_files_read_back_to_the_same_tables():
    tables = {
        "blob": {"radius": 5.2e16, "b_field": 0.1 + 0.2, "doppler": 21, "redshift": 0.0},
        "electrons": {"shape": "broken \"power\" law\\ é\n", "p1": -0.0, "tiny": 5e-324, "big": 1.7976931348623157e308,
                      "inf": math.inf, "ninf": -math.inf, "flag": False},
        "fit": {"free": ["blob.b_field", "electrons.p1"], "log": ["blob.b_field"], "empty": [],
                "bounds": {"blob.b_field": [1e-3, 1.0], "odd key": [1, 2]}},
        "grids": {"extrapolate": "fine"},
    }
    text = fit.dumps(tables, comments={("blob", "b_field"): "fitted"}, header="first\nsecond")
    back = tomllib.loads(text)
    assert back == tables
    assert math.copysign(1.0, back["electrons"]["p1"]) == -1.0
    assert text.startswith("# first\n# second\n") and "b_field = 0.30000000000000004  # fitted\n" in text
    nan = tomllib.loads(fit.dumps({"a": {"x": math.nan}}))["a"]["x"]
    assert math.isnan(nan)
    with pytest.raises(TypeError, match="no top-level keys"):
        fit.dumps({"x": 1})


# --- fits (scipy) ------------------------------------------------------------------
@pytest.fixture(scope="module")
def synthetic_fit():
    pytest.importorskip("scipy")
    data = synthetic()
    return data, fit.fit_model(with_values(MODEL, START), data)


def test_fit_recovers_the_parameters_of_the_models_own_noisy_sed(synthetic_fit):
    data, result = synthetic_fit
    assert result.success and result.names == list(TRUE)
    assert result.dof == len(data) - 4
    problem = result.problem
    for k, name in enumerate(result.names):
        truth = problem.to_fitted(k, TRUE[name])
        # within 3 reported sigma of the truth, and the errors neither
        # vanishing nor useless (5 % noise on ~35 points)
        assert abs(result.x[k] - truth) < 3.0 * result.errors[k], name
        assert 1e-5 < result.errors[k] < 0.1, name
    # The minimum is at least as good as the truth, and chi2 follows its
    # distribution for dof ~ 30 (within 3 standard deviations, sqrt(2 dof)).
    assert result.chi2 <= problem.chi2([problem.to_fitted(k, TRUE[n]) for k, n in enumerate(result.names)])
    assert abs(result.chi2 - result.dof) < 3.0 * math.sqrt(2.0 * result.dof)
    assert result.chi2 == pytest.approx(sum(r * r for r in result.residuals), rel=1e-12)
    # The best-fit tables give the best-fit SED.
    best = result.model_data()
    assert [best[n.split(".")[0]][n.split(".")[1]] for n in result.names] == result.values
    assert best["fit"] == MODEL["fit"] and best["grids"] == MODEL["grids"]


def test_errors_scale_with_the_data_errors(synthetic_fit):
    # Doubling every error bar (same points) doubles the 1 sigma errors of
    # a least-squares fit: a relation of (J^T J)^-1, whatever the model.
    data, result = synthetic_fit
    wider = fit.SEDData(data.nu, data.flux, [2.0 * e for e in data.err_low], source="wider")
    again = fit.fit_model(result.model_data(), wider)
    for a, b in zip(result.errors, again.errors):
        assert b == pytest.approx(2.0 * a, rel=0.05)
    assert again.chi2 == pytest.approx(result.chi2 / 4.0, rel=0.01)


def test_upper_limits_pull_only_where_the_model_exceeds_them(synthetic_fit):
    data, result = synthetic_fit
    best = result.model_data()
    limits_nu = [1e11, 1e21]
    above = [10.0 * v for v in model_flux(best, limits_nu)]
    below = [0.5 * v for v in model_flux(best, limits_nu)]

    def with_limits(values):
        return fit.SEDData(data.nu + limits_nu, data.flux + values, data.err_low + [0.1 * v for v in values],
                           upper_limit=[False] * len(data) + [True, True], source="limits")

    # Limits the best fit respects change nothing, not even the degrees of
    # freedom. (Not to the last bit: the self-Compton grid error at one
    # frequency depends a little on the others asked for, see
    # ostrel_models.emission.)
    same = fit.fit_model(best, with_limits(above))
    refit = fit.fit_model(best, data)
    assert same.dof == refit.dof
    assert same.chi2 == pytest.approx(refit.chi2, rel=1e-3)
    for a, b, e in zip(same.x, refit.x, refit.errors):
        assert abs(a - b) < 0.1 * e
    # Limits below the best fit pull the model down to them.
    pulled = fit.fit_model(best, with_limits(below))
    problem = pulled.problem
    assert pulled.chi2 > refit.chi2
    model = [float(v) for v in pulled.model().sed(limits_nu).total]
    assert all(m < b0 / 0.5 for m, b0 in zip(model, below))
    assert problem.data.detections == len(data)


def test_mcmc_from_the_best_fit_brackets_it(synthetic_fit):
    pytest.importorskip("emcee")
    _, result = synthetic_fit
    sampled = fit.sample(result, 12, seed=3)
    assert sampled.walkers == 10 and len(sampled.samples) == 10 * 6
    assert sampled.evaluations == 10 * 13 and sampled.rate > 0
    assert 0.0 < sampled.acceptance <= 1.0
    for k in range(4):
        assert sampled.low[k] <= sampled.median[k] <= sampled.high[k]
        lo, hi = result.interval(k)
        # A short chain from a tight ball stays near the best fit.
        assert lo - 3 * (hi - lo) < sampled.median[k] < hi + 3 * (hi - lo)
    assert fit.sample(result, 12, seed=3).samples == sampled.samples
    with pytest.raises(ValueError, match="walkers must be even and at least twice"):
        fit.sample(result, 2, walkers=6)


@pytest.mark.native_only
def test_walkers_on_a_local_cluster_and_local_processes_give_the_serial_chain(synthetic_fit):
    # The model is the same to the last bit in every process, and emcee's
    # moves depend only on the seed: the chain cannot depend on where the
    # walkers are evaluated.
    pytest.importorskip("emcee")
    distributed = pytest.importorskip("distributed")
    _, result = synthetic_fit
    serial = fit.sample(result, 3, seed=5).samples
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        assert fit.sample(result, 3, seed=5, pool=client.get_executor(pure=False)).samples == serial
    with fit.local_pool(1) as pool:
        assert fit.sample(result, 3, seed=5, pool=pool).samples == serial


# --- the command ---------------------------------------------------------------------------
SMALL_FILE = """
[blob]
radius = 1.0e16
b_field = 0.16
doppler = 10.0
redshift = 0.05
distance = 7.0e26

[electrons]
shape = "broken_power_law"
p1 = 2.25
p2 = 3.2
gamma_break = 1.0e4
gamma_min = 1.0e2
gamma_max = 1.0e6
energy = 4.0e45

[output]
nu_min = 1.0e8
nu_max = 1.0e27
points_per_decade = 2

[grids]
compton = 20
extrapolate = false

[fit]
free = ["blob.b_field", "electrons.energy", "electrons.p1", "electrons.p2"]
"""


def run(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, "-m", "ostrel_models", *args], capture_output=True, text=True,
                          env=env, timeout=600)


@pytest.mark.native_only
def test_fit_command_writes_a_best_fit_that_sed_accepts(tmp_path):
    pytest.importorskip("scipy")
    model = write(tmp_path, SMALL_FILE, "small.toml")
    data_path = write(tmp_path, csv_text(synthetic()), "data.csv")
    best = str(tmp_path / "best.toml")
    plot = tmp_path / "fit.png"
    has_matplotlib = importlib.util.find_spec("matplotlib") is not None
    proc = run("fit", model, data_path, "-o", best, *(["--plot", str(plot)] if has_matplotlib else []))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    if has_matplotlib:
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "chi2 = " in proc.stdout and "dof = " in proc.stdout and "blob.b_field" in proc.stdout
    # The file is the input's tables with the fitted values, and the fit
    # through the API gives the same values to the last bit.
    with open(best, "rb") as f:
        tables = tomllib.load(f)
    api = fit.fit_model(model, data_path)
    assert tables == api.model_data()
    assert f"chi2 = {api.chi2:.6g}, dof = {api.dof}" in proc.stdout
    sed_csv = str(tmp_path / "best.csv")
    proc = run("sed", best, "-o", sed_csv)
    assert proc.returncode == 0, proc.stderr
    with open(sed_csv) as f:
        rows = [line.split(",") for line in f.read().splitlines()[1:]]
    assert [float(r[1]) for r in rows] == model_flux(tables, [float(r[0]) for r in rows])


@pytest.mark.native_only
def test_fit_command_mcmc_on_a_scheduler(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("emcee")
    distributed = pytest.importorskip("distributed")
    model = write(tmp_path, SMALL_FILE, "small.toml")
    data_path = write(tmp_path, csv_text(synthetic()), "data.csv")
    best = str(tmp_path / "best.toml")
    pythonpath = os.pathsep.join([PACKAGE_PARENT] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    with distributed.LocalCluster(n_workers=1, processes=True, threads_per_worker=1, dashboard_address=":0",
                                  env={"RAYON_NUM_THREADS": "1", "PYTHONPATH": pythonpath}) as cluster:
        proc = run("fit", model, data_path, "-o", best, "--mcmc", "4", "--scheduler", cluster.scheduler_address)
    assert proc.returncode == 0, proc.stderr
    assert f"on Dask scheduler {cluster.scheduler_address}" in proc.stdout
    assert "10 walkers x 4 steps" in proc.stdout and proc.stdout.count("median ") == 4
    with open(best, encoding="utf-8") as f:
        text = f.read()
    assert text.count("MCMC median") == 4
    model_file.load(best)


def argv_fit(tmp_path, model_text=SMALL_FILE, data_text=GOOD_CSV, *extra):
    return ["fit", write(tmp_path, model_text, "m.toml"), write(tmp_path, data_text, "d.csv"),
            "-o", str(tmp_path / "best.toml"), *extra]


@pytest.mark.parametrize("model_text, data_text, extra, message", [
    (SMALL_FILE, "nu_hz,nufnu\n1e10,1\n", (), "d.csv: line 1: missing column nufnu_err"),
    (SMALL_FILE, "nu_hz,nufnu,nufnu_err\n1e10,1,0\n", (), "d.csv: line 2: nufnu_err must be positive"),
    (SMALL_FILE.replace('"electrons.p2"', '"electrons.p3"'), GOOD_CSV, (), "'electrons.p3': not a number"),
    (SMALL_FILE.split("[fit]")[0], GOOD_CSV, (), "m.toml: [fit]: missing"),
    (SMALL_FILE, GOOD_CSV, (), "2 measured points for 4 free parameters"),
    (SMALL_FILE, GOOD_CSV, ("--workers", "2"), "--workers needs --mcmc"),
    (SMALL_FILE, GOOD_CSV, ("--mcmc", "2", "--workers", "1", "--scheduler", "x"), "exclude each other"),
    (SMALL_FILE, GOOD_CSV, ("--mcmc", "2", "--walkers", "7"), "--walkers must be even and at least twice"),
    (SMALL_FILE, GOOD_CSV, ("--mcmc", "2", "--scheduler", "x"), "--scheduler x: cannot connect: missing port"),
])
def test_fit_command_refuses_bad_input_with_one_line_and_status_2(tmp_path, capsys, model_text, data_text,
                                                                  extra, message):
    pytest.importorskip("scipy")
    if "--walkers" in extra:
        pytest.importorskip("emcee")
    if "--scheduler" in extra and "--workers" not in extra:
        pytest.importorskip("emcee")
        pytest.importorskip("distributed")
    status = cli.main(argv_fit(tmp_path, model_text, data_text, *extra))
    err = capsys.readouterr().err
    assert status == 2 and message in err and err.count("\n") == 1
    assert not (tmp_path / "best.toml").exists()


def test_fit_command_names_a_missing_optional_package(tmp_path, capsys, monkeypatch):
    # None in sys.modules makes an import fail as if the package were absent.
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.optimize", None)
    status = cli.main(argv_fit(tmp_path))
    err = capsys.readouterr().err
    # (where NumPy itself is missing, as on PyPy, that is what it names)
    needed = "numpy" if importlib.util.find_spec("numpy") is None else "scipy"
    assert status == 2 and f"fit needs {needed}, which is not installed" in err and err.count("\n") == 1


def test_mrk421_example_is_a_valid_fit_problem():
    pytest.importorskip("astropy")
    with open(MRK421_MODEL, "rb") as f:
        tables = tomllib.load(f)
    problem = fit.FitProblem(tables, fit.read_data(MRK421_DATA), MRK421_MODEL)
    assert problem.names == ["blob.b_field", "electrons.energy", "electrons.p1", "electrons.p2",
                             "electrons.gamma_break"]
    assert tables["blob"]["doppler"] == 21.0 and tables["blob"]["radius"] == 5.2e16
    assert tables["blob"]["redshift"] == 0.0308
    assert all(x >= 1e11 for x in problem.data.nu) and problem.data.detections == 86
    assert problem.settings.systematics == 0.1 and problem.settings.nu_min == 1e11
