"""The example blob model: steady state physics, and the script as a user runs it."""

import importlib.util
import math
import os
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def load(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(EXAMPLES, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


bm = load("blob_model")
RESOLUTION = dict(n_gamma=60, n_nu=60)


@pytest.fixture(scope="module")
def models():
    return {b: bm.run(bm.Parameters(b_field=b, **RESOLUTION)) for b in (0.1, 0.2)}


def half_cooled(result):
    """Where the steady distribution has fallen to half of the escape-limited
    one, Q t_esc. For cooling ∝ gamma^2 and p = 2.5 the exact steady state
    crosses one half at 0.885 times the gamma where t_cool = t_esc."""
    p = result.params
    q = bm.injection(p, result.gamma)
    t_esc = p.t_esc * p.radius / bm.C
    ratio = np.full_like(q, np.nan)
    ratio[q > 0] = result.n[q > 0] / (q[q > 0] * t_esc)
    k = np.nonzero((ratio < 0.5) & (result.gamma > p.gamma_min))[0][0]
    lg, lr = np.log(result.gamma[k - 1 : k + 1]), ratio[k - 1 : k + 1]
    return math.exp(np.interp(0.5, lr[::-1], lg[::-1]))


@pytest.mark.parametrize("b", [0.1, 0.2])
def test_steady_state_has_its_cooling_break_where_cooling_equals_escape(models, b):
    result = models[b]
    assert result.converged
    cell = math.log10(result.gamma[1] / result.gamma[0])
    assert abs(math.log10(half_cooled(result) / bm.cooling_break(result))) <= 2 * cell


def test_steady_state_is_the_injected_power_law_below_the_break_and_one_steeper_above(models):
    result = models[0.2]
    p, brk = result.params, bm.cooling_break(result)
    lo = (result.gamma > 3 * p.gamma_min) & (result.gamma < 0.1 * brk)
    hi = (result.gamma > 5 * brk) & (result.gamma < 0.2 * p.gamma_max)
    slope = lambda m: np.polyfit(np.log(result.gamma[m]), np.log(result.n[m]), 1)[0]  # noqa: E731
    assert slope(lo) == pytest.approx(-p.index, abs=0.1)
    assert slope(hi) == pytest.approx(-p.index - 1, abs=0.15)


def test_synchrotron_peak_moves_with_the_field(models):
    # Between the injection index 2 < p < 3 and p + 1 the synchrotron nuF_nu
    # peaks at the cooling break: nu_peak ∝ gamma_b^2 B. Doubling B raises
    # the synchrotron cooling fourfold and moves the break down.
    weak, strong = models[0.1], models[0.2]
    predicted = (bm.cooling_break(strong) / bm.cooling_break(weak)) ** 2 * 2.0
    measured = bm.peak(strong.nu_obs, strong.nufnu["synchrotron"])[0] / bm.peak(weak.nu_obs, weak.nufnu["synchrotron"])[0]
    assert predicted < 0.2  # the break moved by more than the field's factor
    assert measured == pytest.approx(predicted, rel=0.15)


def test_cooling_rates_carry_gamma_squared_beta_squared():
    p = bm.Parameters(u_ext=1e-3, nu_ext=1e9)  # Thomson regime for the external field
    gamma = np.array([2.0, 10.0, 100.0])
    rates = bm.cooling_rates(p, gamma, np.array([1e9, 2e9]), np.array([0.0, 0.0]))
    expected = bm.C_THOMSON * p.u_ext * (gamma ** 2 - 1.0)
    assert rates["EC"] == pytest.approx(expected, rel=1e-12)


def test_the_script_writes_its_figure_and_summary(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("tqdm")
    figure = tmp_path / "sed.png"
    done = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "blob_model.py"), "--n-gamma", "40", "--n-nu", "40",
         "--output", str(figure)],
        capture_output=True, text=True, timeout=300, check=True)
    assert "steady after" in done.stdout and "cooling break" in done.stdout
    assert figure.stat().st_size > 10_000
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_sweep_on_a_local_cluster_equals_the_serial_models(tmp_path):
    pytest.importorskip("distributed")
    sweep = load("parameter_sweep")
    points = [(0.1, 2.5, 1e16), (0.2, 2.2, 3e15)]
    with sweep.local_client(2) as client:
        distributed_results = sweep.run_sweep(client, points, 24)
    serial = sweep.run_serial(points, 24)
    assert distributed_results == serial
    table = tmp_path / "sweep.csv"
    sweep.write_table(distributed_results, table)
    rows = table.read_text().splitlines()
    assert len(rows) == 1 + 2 * 24
    assert float(rows[1].split(",")[4]) == distributed_results[0]["nufnu"]["synchrotron"][0]
