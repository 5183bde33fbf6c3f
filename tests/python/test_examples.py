"""The example blob model: steady state physics, and the script as a user runs it."""

import importlib.util
import math
import os
import subprocess
import sys

import pytest

pytest.importorskip("numpy")

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def load(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(EXAMPLES, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


bm = load("blob_model")


def slope(gamma, n, lo, hi):
    """Least-squares slope of ln n against ln gamma over lo <= gamma <= hi."""
    pts = [(math.log(g), math.log(v)) for g, v in zip(gamma, n) if lo <= g <= hi and v > 0]
    mx = sum(x for x, _ in pts) / len(pts)
    my = sum(y for _, y in pts) / len(pts)
    return sum((x - mx) * (y - my) for x, y in pts) / sum((x - mx) ** 2 for x, _ in pts)


@pytest.fixture(scope="module")
def strong_field():
    # B = 0.3 G: synchrotron cooling balances escape (3 R/c) at gamma_c = 1 / (b t_esc) ≈ 8.6e3,
    # well inside the injected range 1e2 ... 1e6 (self-Compton cooling moves it a little).
    opts = bm.parse(["--b-field", "0.3", "--u-ext", "0", "--points", "40", "--no-plot"])
    return opts, bm.run(opts)[0]


def test_steady_state_is_the_injected_power_law_below_the_break_and_one_steeper_above(strong_field):
    opts, result = strong_field
    assert result.steady
    gamma, n = [float(g) for g in result.gamma], [float(v) for v in result.n]
    assert slope(gamma, n, 3 * opts.gamma_min, 1e3) == pytest.approx(-opts.index, abs=0.1)
    assert slope(gamma, n, 1e5, 0.2 * opts.gamma_max) == pytest.approx(-opts.index - 1, abs=0.15)


def test_synchrotron_peak_moves_with_the_field(strong_field):
    # For 2 < p < 3 the steady synchrotron nuF_nu peaks where the cooling
    # break radiates: nu_peak ∝ gamma_c^2 B with gamma_c ∝ 1/B^2 for
    # synchrotron cooling, so nu_peak ∝ B^-3 (self-Compton cooling, weaker
    # in the stronger field, makes the ratio a little smaller).
    opts, strong = strong_field
    weak = bm.run(bm.parse(["--b-field", "0.15", "--u-ext", "0", "--points", "40", "--no-plot"]))[0]
    nu = [10.0 ** (10 + 0.05 * i) for i in range(161)]
    peak = {}
    for name, result in (("weak", weak), ("strong", strong)):
        sed = result.sed(nu)
        peak[name] = bm.peak(nu, [float(v) for v in sed.synchrotron])[0]
    assert peak["strong"] / peak["weak"] == pytest.approx(2.0 ** -3, rel=0.35)


def test_the_script_writes_its_figure_and_summary(tmp_path):
    pytest.importorskip("matplotlib")
    figure = tmp_path / "sed.png"
    done = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "blob_model.py"), "--points", "40", "--output", str(figure)],
        capture_output=True, text=True, timeout=300, check=True)
    assert "steady after" in done.stdout and "synchrotron" in done.stdout
    assert figure.stat().st_size > 10_000
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_every_option_names_its_unit_and_default():
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "blob_model.py"), "--help"],
                          capture_output=True, text=True, timeout=60, check=True)
    text = " ".join(done.stdout.split())
    for name, default, _ in bm.PARAMETERS:
        assert f"--{name.replace('_', '-')}" in text
    assert text.count("(default:") >= len(bm.PARAMETERS)
    for unit in ("cm", "G", "erg s^-1", "R/c", "Hz"):
        assert unit in text


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
    assert all(r["steady"] for r in distributed_results)
