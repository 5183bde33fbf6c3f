"""The command line `python -m ostrel_models`: model files in, CSV files out.

The command runs in a child interpreter (the same one as the tests), with
the model layer from wherever this process imports it: the installed
package, or the repository's python/ directory. Under emulation a child
interpreter takes seconds to start, so most command runs are native_only
there; scripts/check-armhf runs the command itself under emulation.
"""

import math
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
try:
    import ostrel_models
except ImportError:  # not installed: the repository's sources
    sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
    import ostrel_models

from ostrel_models import Blob, BrokenPowerLaw, ExternalField, Model, PowerLaw  # noqa: E402
from ostrel_models import _util, cli, model_file  # noqa: E402

DATA = os.path.join(HERE, "data")
SMALL = os.path.join(DATA, "small.toml")
REFERENCE = os.path.join(HERE, "..", "..", "examples", "models", "reference.toml")
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(ostrel_models.__file__)))


def run(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT] + [p for p in [env.get("PYTHONPATH")] if p])
    return subprocess.run([sys.executable, "-m", "ostrel_models", *args], capture_output=True, text=True,
                          env=env, timeout=600)


def read_csv(path):
    with open(path, encoding="ascii") as f:
        lines = f.read().splitlines()
    header = lines[0].split(",")
    rows = [[float(v) for v in line.split(",")] for line in lines[1:]]
    return header, {name: [r[i] for r in rows] for i, name in enumerate(header)}


# The small model written out (tests/python/data/small.toml), as the API takes it.
BLOB = dict(radius=3.0e15, b_field=0.5, doppler=15.0, redshift=0.1, distance=1.4e27)
ELECTRONS = dict(p1=2.1, p2=3.2, gamma_break=3.0e3, gamma_min=30.0, gamma_max=3.0e5, density=50.0)
EXTERNAL = dict(energy_density=1.0e-2, frequency=3.0e15)
NU = _util.log_grid(1e9, 1e27, 3)

SMALL_SED_FILE = """
[blob]
radius = 3.0e15
b_field = 0.5
doppler = 15.0
redshift = 0.1
distance = 1.4e27

[electrons]
shape = "broken_power_law"
p1 = 2.1
p2 = 3.2
gamma_break = 3.0e3
gamma_min = 30.0
gamma_max = 3.0e5
density = 50.0

[external]
energy_density = 1.0e-2
frequency = 3.0e15

[output]
nu_min = 1.0e9
nu_max = 1.0e27
points_per_decade = 3
"""


def write(tmp_path, text, name="model.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def api_sed(**emission):
    external = ExternalField(**EXTERNAL) if emission.pop("external", True) else None
    model = Model(Blob(**BLOB), BrokenPowerLaw(**ELECTRONS), external=external, **emission)
    return model.sed(NU)


@pytest.fixture(scope="module")
def small_sed(tmp_path_factory):
    out = tmp_path_factory.mktemp("sed") / "sed.csv"
    proc = run("sed", SMALL, "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    return proc, read_csv(out)


def test_sed_writes_the_api_values_bit_for_bit(small_sed):
    proc, (header, cols) = small_sed
    assert header == ["nu_hz", "total", "synchrotron", "ssc", "ec"]
    assert proc.stderr == ""
    assert len(proc.stdout.splitlines()) == 1 and "synchrotron peak" in proc.stdout
    sed = api_sed()
    assert cols["nu_hz"] == NU
    for name in ("total", "synchrotron", "ssc", "ec"):
        assert cols[name] == [float(v) for v in getattr(sed, name)], name


def test_sed_columns_add_up_and_every_process_contributes(small_sed):
    _, (_, cols) = small_sed
    for i in range(len(cols["nu_hz"])):
        parts = cols["synchrotron"][i] + cols["ssc"][i] + cols["ec"][i]
        assert cols["total"][i] == pytest.approx(parts, rel=1e-15, abs=0.0)
    for name in ("synchrotron", "ssc", "ec"):
        assert max(cols[name]) > 1e-3 * max(cols["total"]), name
    # Synchrotron dominates the low frequencies, inverse Compton the high ones.
    low = cols["total"].index(max(cols["total"][: len(NU) // 2]))
    high = cols["total"].index(max(cols["total"][len(NU) // 2:]))
    assert cols["synchrotron"][low] > 0.99 * cols["total"][low]
    assert cols["ssc"][high] + cols["ec"][high] > 0.99 * cols["total"][high]


@pytest.mark.native_only
@pytest.mark.parametrize("emission, off, changed", [
    ("[emission]\nssc = false\n", ["ssc"], {}),
    ("[emission]\nsynchrotron = false\n", ["synchrotron"], {}),
    ("", ["ec"], {"external": False}),
    ("[emission]\nssc = false\nsynchrotron = false\n", ["ssc", "synchrotron"], {}),
])
def test_a_component_that_is_off_is_a_column_of_zeros(tmp_path, emission, off, changed):
    text = SMALL_SED_FILE + emission
    if changed.get("external") is False:
        text = text.replace("[external]\nenergy_density = 1.0e-2\nfrequency = 3.0e15\n", "")
    out = tmp_path / "sed.csv"
    proc = run("sed", write(tmp_path, text), "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    _, cols = read_csv(out)
    flags = {"synchrotron": "synchrotron" not in off, "ssc": "ssc" not in off, "external": "ec" not in off}
    sed = api_sed(**flags)
    for name in ("synchrotron", "ssc", "ec"):
        if name in off:
            assert set(cols[name]) == {0.0}, name
        else:
            assert cols[name] == [float(v) for v in getattr(sed, name)], name
            assert max(cols[name]) > 0.0


@pytest.mark.native_only
def test_self_absorption_flag_reaches_the_model(tmp_path):
    # Without absorption the optically thick low frequencies are brighter;
    # where the blob is thin the two runs agree.
    out_on, out_off = tmp_path / "on.csv", tmp_path / "off.csv"
    assert run("sed", write(tmp_path, SMALL_SED_FILE, "on.toml"), "-o", str(out_on)).returncode == 0
    assert run("sed", write(tmp_path, SMALL_SED_FILE + "[emission]\nssa = false\n", "off.toml"),
               "-o", str(out_off)).returncode == 0
    on, off = read_csv(out_on)[1]["synchrotron"], read_csv(out_off)[1]["synchrotron"]
    assert off[0] > 10.0 * on[0]
    k = NU.index(min(NU, key=lambda x: abs(math.log(x / 1e15))))
    assert off[k] == pytest.approx(on[k], rel=1e-9, abs=0.0)


@pytest.mark.native_only
def test_distance_scales_the_flux_as_its_inverse_square(tmp_path):
    near, far = tmp_path / "near.csv", tmp_path / "far.csv"
    assert run("sed", write(tmp_path, SMALL_SED_FILE, "near.toml"), "-o", str(near)).returncode == 0
    text = SMALL_SED_FILE.replace("distance = 1.4e27", "distance = 2.8e27")
    assert run("sed", write(tmp_path, text, "far.toml"), "-o", str(far)).returncode == 0
    a, b = read_csv(near)[1], read_csv(far)[1]
    for x, y in zip(a["total"], b["total"]):
        assert y == pytest.approx(x / 4.0, rel=1e-14, abs=0.0)


def test_model_file_objects_equal_the_api_ones():
    mf = model_file.load(SMALL)
    assert mf.electrons == BrokenPowerLaw(**ELECTRONS)
    assert repr(mf.blob) == repr(Blob(**BLOB))
    assert (mf.external.energy_density, mf.external.frequency) == (1.0e-2, 3.0e15)
    assert mf.injection.distribution == PowerLaw(2.3, 30.0, 1.0e5, k=1.0)
    assert mf.injection.luminosity == 3.0e40
    # [evolution] times are in R/c
    tlc = mf.blob.crossing_time
    assert (mf.evolution.escape_time, mf.evolution.duration) == (2.0 * tlc, 2.0 * tlc)
    assert mf.frequencies() == NU


def test_injection_rates_are_the_distributions_own_normalisation(tmp_path):
    text = model_text(injection='shape = "log_parabola"\np = 2.0\nq = 0.3\ngamma_0 = 1e3\n'
                                'gamma_min = 10.0\ngamma_max = 1e5\ndensity = 2e-3\n')
    spec = model_file.load(write(tmp_path, text)).injection
    assert spec.luminosity is None
    assert spec.distribution.normalisation == "density" and spec.distribution.normalisation_value == 2e-3
    assert (spec.distribution.p, spec.distribution.q, spec.distribution.gamma_0) == (2.0, 0.3, 1e3)


def test_the_reference_model_loads_with_every_section():
    mf = model_file.load(REFERENCE)
    assert mf.electrons is not None and mf.injection is not None and mf.evolution is not None
    assert mf.nu_min < mf.nu_max


# -- bad model files -------------------------------------------------------------
BASE = {
    "blob": 'radius = 1e16\nb_field = 0.1\ndoppler = 10.0\nredshift = 0.1\ndistance = 1e27\n',
    "electrons": 'shape = "power_law"\np = 2.5\ngamma_min = 10.0\ngamma_max = 1e5\nk = 1.0\n',
}


def model_text(**sections):
    """A model file from BASE with sections replaced (None drops one) or added."""
    merged = dict(BASE)
    merged.update(sections)
    return "".join(f"[{name}]\n{body}\n" for name, body in merged.items() if body is not None)


BAD = [
    # (file text, what the message must name)
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = 'x'")), "[electrons] p: must be a number"),
    (model_text(electrons='shape = "broken_power_law"\np1 = "x"\np2 = 3\ngamma_break = 1e3\n'
                          'gamma_min = 10.0\ngamma_max = 1e5\nk = 1.0\n'), "[electrons] p1: must be a number, got 'x'"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = \"2.5\"")), "[electrons] p: must be a number"),
    (model_text(electrons=BASE["electrons"] + "p1 = 2.0\n"), "[electrons] p1: not a parameter of shape 'power_law'"),
    (model_text(electrons=BASE["electrons"] + "q = 0.2\n"), "[electrons] q: not a parameter"),
    (model_text(electrons=BASE["electrons"] + "colour = 1\n"), "[electrons] colour: unknown key"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5\n", "")), "[electrons] p: missing"),
    (model_text(electrons=BASE["electrons"].replace("k = 1.0\n", "")), "[electrons]: missing normalisation"),
    (model_text(electrons=BASE["electrons"] + "energy = 1e45\n"), "[electrons] energy: give only one of"),
    (model_text(electrons=BASE["electrons"].replace("k = 1.0", "k = -1.0")), "[electrons] k: must be positive"),
    (model_text(electrons=BASE["electrons"].replace("gamma_min = 10.0", "gamma_min = 1e6")),
     "[electrons] gamma_max: must be above"),
    (model_text(electrons=BASE["electrons"].replace("gamma_min = 10.0", "gamma_min = 0.5")),
     "[electrons] gamma_min: must be at least 1.0"),
    (model_text(electrons=BASE["electrons"].replace("power_law", "powerlaw")), "[electrons] shape: must be one of"),
    (model_text(electrons='shape = "broken_power_law"\np1 = 2\np2 = 3\ngamma_break = 1e7\n'
                          'gamma_min = 10.0\ngamma_max = 1e5\nk = 1.0\n'), "[electrons] gamma_break: must lie between"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = inf")), "[electrons] p: must be finite"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = 1e999999")), "[electrons] p: must be finite"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = 1" + "0" * 400)), "[electrons] p: too large"),
    (model_text(electrons=BASE["electrons"].replace("p = 2.5", "p = [2.5]")), "[electrons] p: must be a number, got an array"),
    (model_text(blob=BASE["blob"].replace("b_field = 0.1", "b_field = true")), "[blob] b_field: must be a number, got true"),
    (model_text(blob=BASE["blob"].replace("radius = 1e16", "radius = 0")), "[blob] radius: must be positive"),
    (model_text(blob=BASE["blob"].replace("doppler = 10.0\n", "")), "[blob] doppler: missing"),
    (model_text(blob=BASE["blob"].replace("redshift = 0.1\ndistance = 1e27", "redshift = 0.0")),
     "[blob] distance: required when redshift is 0"),
    (model_text(blob=None), "[blob]: missing section"),
    (model_text(electrons=None), "[electrons]: missing (the sed command needs it)"),
    (model_text(emission="ssc = 'yes'\n"), "[emission] ssc: must be true or false"),
    (model_text(emission="ic = true\n"), "[emission] ic: unknown key"),
    (model_text(external="energy_density = 1e-3\n"), "[external] frequency: missing"),
    (model_text(external="energy_density = 1e-3\nfrequency = -1.0\n"), "[external] frequency: must be positive"),
    (model_text(output="nu_min = 1e10\nnu_max = 1e9\n"), "[output] nu_max: must be above"),
    (model_text(output="points_per_decade = 0\n"), "[output] points_per_decade: must be at least"),
    (model_text(evolution="escape_time = 1.0\nduration = 5.0\n"), "[evolution] time_step: missing"),
    (model_text(evolution="escape_time = 1.0\nduration = 5.0\ntime_step = 10.0\n"),
     "[evolution] time_step: must not exceed duration"),
    (model_text(evolution="escape_time = 0.0\nduration = 5.0\ntime_step = 1.0\n"),
     "[evolution] escape_time: must be positive"),
    (model_text(evolution="escape_time = 1.0\nduration = 5.0\ntime_step = 1.0\nsteady = 1\n"),
     "[evolution] steady: must be true or false"),
    (model_text(injection='shape = "power_law"\np = 2.5\ngamma_min = 10.0\ngamma_max = 1e5\n'
                          'luminosity = 1e40\nk = 1.0\n'), "[injection] k: give only one of luminosity, k, density"),
    (model_text(injection='shape = "power_law"\np = 2.5\ngamma_min = 10.0\ngamma_max = 1e5\nenergy = 1.0\n'),
     "[injection] energy: unknown key"),
    (model_text(fitting="free = ['b_field']\n"), "[fitting]: unknown section"),
    (model_text(fit="free = ['b_field']\n"), "[fit] free: 'b_field': not a \"section.key\" name"),
    (model_text(grids="compton = 0\n"), "[grids] compton: must be positive"),
    (model_text(grids="extrapolate = 'yes'\n"), "[grids] extrapolate: must be true, false or \"fine\""),
    (model_text(grids="points = 3\n"), "[grids] points: unknown key"),
    (model_text() + "radius = 3\n", "[electrons] radius: unknown key"),
    ("radius = 3\n" + model_text(), "radius: unknown top-level key"),
    (model_text(electrons=BASE["electrons"].replace("k = 1.0", "k = 1.0\nk = 2.0")), "TOML syntax error"),
    ("[blob\n", "TOML syntax error"),
    ("[[blob]]\nradius = 1\n", "[blob]: must be a table"),
]


@pytest.mark.parametrize("text, named", BAD, ids=[n for _, n in BAD])
def test_a_bad_model_file_gives_one_line_naming_the_key_and_status_2(tmp_path, text, named):
    path = write(tmp_path, text)
    # In-process, as the command reads a file for `sed` (the message is what it prints).
    with pytest.raises(model_file.ModelFileError) as info:
        model_file.load(path).model()
    message = str(info.value)
    assert "\n" not in message
    assert message.startswith(path + ": ")
    assert named in message


@pytest.mark.native_only
@pytest.mark.parametrize("text, named", [BAD[1], BAD[-3], BAD[-2]], ids=["value", "top-level", "syntax"])
def test_the_command_reports_a_bad_file_on_one_line_with_status_2(tmp_path, text, named):
    path = write(tmp_path, text)
    out = tmp_path / "sed.csv"
    proc = run("sed", path, "-o", str(out))
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith(path + ": ") and named in proc.stderr
    assert not out.exists()


@pytest.mark.native_only
def test_unreadable_and_missing_files_and_directories_give_status_2(tmp_path):
    missing = str(tmp_path / "absent.toml")
    proc = run("sed", missing, "-o", str(tmp_path / "x.csv"))
    assert proc.returncode == 2 and proc.stderr == f"{missing}: cannot read: No such file or directory\n"
    binary = tmp_path / "binary.toml"
    binary.write_bytes(b"[blob]\nradius = \xff\n")
    proc = run("sed", str(binary), "-o", str(tmp_path / "x.csv"))
    assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    proc = run("sed", SMALL, "-o", str(tmp_path / "no" / "such" / "dir" / "x.csv"))
    assert proc.returncode == 2 and "does not exist" in proc.stderr


@pytest.mark.native_only
def test_evolve_needs_its_sections(tmp_path):
    path = write(tmp_path, model_text())
    proc = run("evolve", path, "--sed", str(tmp_path / "s.csv"), "--electrons", str(tmp_path / "n.csv"))
    assert proc.returncode == 2
    assert proc.stderr == f"{path}: [injection]: missing (the evolve command needs it)\n"


@pytest.mark.native_only
def test_help_gives_units_and_defaults():
    for command, needles in (("sed", ["erg cm^-2 s^-1", "Hz", "default"]),
                             ("evolve", ["erg cm^-2 s^-1", "Hz", "cm^-3", "observer time, s", "default"])):
        proc = run(command, "--help")
        assert proc.returncode == 0
        text = " ".join(proc.stdout.split())
        for needle in needles:
            assert needle in text, (command, needle)
    proc = run("--help")
    assert proc.returncode == 0 and "sed" in proc.stdout and "evolve" in proc.stdout


@pytest.mark.parametrize("x", [1e15, 3.3e14, 0.1, 1.0 / 3.0, 2.0 ** -1074, 1.7976931348623157e308, 12345.678])
def test_frequency_names_read_back_exactly(x):
    assert float(cli.number_name(x)) == x
    assert "e" in cli.number_name(x)


def test_default_light_curve_frequencies_are_whole_decades_inside_the_range():
    assert cli.default_lightcurve_frequencies(1e8, 1e27) == [1e13, 1e18, 1e22]
    assert cli.default_lightcurve_frequencies(1e8, 1e28) == [1e13, 1e18, 1e23]
    assert [cli.number_name(x) for x in cli.default_lightcurve_frequencies(1e8, 1e28)] == ["1e+13", "1e+18", "1e+23"]
    for lo, hi in ((1e9, 1e27), (3e14, 5e14), (1.0, 10.0)):
        nus = cli.default_lightcurve_frequencies(lo, hi)
        assert all(lo <= x <= hi for x in nus) and nus == sorted(set(nus))


# -- plots and evolution (native only: matplotlib and the slower runs) ----------
@pytest.mark.native_only
def test_plot_without_matplotlib_is_refused_before_any_work(tmp_path):
    out, png = tmp_path / "sed.csv", tmp_path / "sed.png"
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from ostrel_models.cli import main\n"
            f"sys.exit(main(['sed', {SMALL!r}, '-o', {str(out)!r}, '--plot', {str(png)!r}]))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_PARENT, os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 2
    assert "matplotlib" in proc.stderr and proc.stderr.count("\n") == 1
    assert not out.exists() and not png.exists()


@pytest.mark.native_only
def test_sed_plot_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    out, png = tmp_path / "sed.csv", tmp_path / "sed.png"
    proc = run("sed", SMALL, "-o", str(out), "--plot", str(png))
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    proc = run("sed", SMALL, "-o", str(out), "--plot", str(tmp_path / "sed.nosuchformat"))
    assert proc.returncode == 2 and "cannot write .nosuchformat" in proc.stderr


@pytest.mark.native_only
def test_evolve_writes_the_final_state_and_a_light_curve(tmp_path):
    evolution = pytest.importorskip("ostrel_models.evolution")
    sed_csv, n_csv, lc_csv = tmp_path / "sed.csv", tmp_path / "n.csv", tmp_path / "lc.csv"
    proc = run("evolve", SMALL, "--sed", str(sed_csv), "--electrons", str(n_csv), "--lightcurve", str(lc_csv),
               "--lightcurve-nu", "1e14", "1e24")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("evolve: 4 steps to t = 2 R/c; synchrotron peak")

    mf = model_file.load(SMALL)
    evo = evolution.Evolution(mf.blob, evolution.Injection(PowerLaw(2.3, 30.0, 1.0e5, k=1.0), luminosity=3.0e40),
                              2.0 * mf.blob.crossing_time, external=ExternalField(**EXTERNAL))
    result = evo.run(2.0 * mf.blob.crossing_time, 0.5 * mf.blob.crossing_time)
    header, n = read_csv(n_csv)
    assert header == ["gamma", "n"]
    assert n["gamma"] == [float(g) for g in result.gamma] and n["n"] == [float(v) for v in result.n]
    header, sed = read_csv(sed_csv)
    assert header == ["nu_hz", "total", "synchrotron", "ssc", "ec"]
    assert sed["total"] == [float(v) for v in result.sed(NU).total]

    # Electrons injected at the rate Q for four implicit steps of t_esc / 4, with escape:
    # N_k+1 = (N_k + Q dt) / (1 + dt / t_esc), so N = Q t_esc (1 - 1.25^-4) in all
    # (cooling moves electrons down in energy but not out of the grid).
    q = evolution.Injection(PowerLaw(2.3, 30.0, 1.0e5, k=1.0), luminosity=3.0e40).total_rate(mf.blob.volume)
    density = sum(v * w for v, w in zip(n["n"], evolution.cell_widths(n["gamma"])))
    assert density == pytest.approx(q * 2.0 * mf.blob.crossing_time * (1.0 - 1.25 ** -4), rel=1e-3)

    header, lc = read_csv(lc_csv)
    assert header == ["time_s", "nu_1e+14", "nu_1e+24"]
    # One point per step, at observer times (1 + z) t / delta; the last is the final state.
    step = (1.0 + 0.1) * 0.5 * mf.blob.crossing_time / 15.0
    assert lc["time_s"] == pytest.approx([step * (i + 1) for i in range(4)], rel=1e-12)
    final = result.sed([1e14, 1e24]).total
    # The light curve's emission takes the distribution with its ends moved out to quarter-decade
    # blocks, which shifts the frequency grids a little: measured 1.3e-10 and 1.5e-7 here.
    assert lc["nu_1e+14"][-1] == pytest.approx(float(final[0]), rel=1e-9, abs=0.0)
    assert lc["nu_1e+24"][-1] == pytest.approx(float(final[1]), rel=1e-6, abs=0.0)
    # The blob fills up: the flux rises at both frequencies.
    assert lc["nu_1e+14"] == sorted(lc["nu_1e+14"]) and lc["nu_1e+24"] == sorted(lc["nu_1e+24"])


@pytest.mark.native_only
def test_evolve_plot_and_light_curve_options(tmp_path):
    pytest.importorskip("ostrel_models.evolution")
    pytest.importorskip("matplotlib")
    proc = run("evolve", SMALL, "--sed", str(tmp_path / "s.csv"), "--electrons", str(tmp_path / "n.csv"),
               "--lightcurve-nu", "1e15")
    assert proc.returncode == 2 and "--lightcurve-nu needs --lightcurve" in proc.stderr
    png = tmp_path / "evolve.png"
    proc = run("evolve", SMALL, "--sed", str(tmp_path / "s.csv"), "--electrons", str(tmp_path / "n.csv"),
               "--lightcurve", str(tmp_path / "lc.csv"), "--plot", str(png))
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert read_csv(tmp_path / "lc.csv")[0] == ["time_s", "nu_1e+14", "nu_1e+18", "nu_1e+22"]
