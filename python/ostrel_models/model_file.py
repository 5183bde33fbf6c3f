"""Model files: a TOML description of a blob model, read into the layer's objects.

A model file has these sections (CGS units; every key is listed here, any
other key or section is an error):

    [blob]
    radius = 1e16          # cm
    b_field = 0.1          # G
    doppler = 10.0
    redshift = 0.05
    distance = 7e26        # cm, optional: from the redshift with astropy's Planck18 otherwise

    [electrons]            # the electrons of a steady SED (`sed`)
    shape = "broken_power_law"
    p1 = 2.0
    p2 = 3.0
    gamma_break = 1e4
    gamma_min = 1e2
    gamma_max = 1e6
    energy = 1e47          # erg in the blob; or k (cm^-3) or density (cm^-3)

    [injection]            # the injected electrons of an evolution (`evolve`)
    shape = "power_law"
    p = 2.5
    gamma_min = 1e2
    gamma_max = 1e6
    luminosity = 1e41      # erg s^-1 in the whole blob; or k or density, read as rates (cm^-3 s^-1)

    [emission]             # all optional, default true
    synchrotron = true
    ssa = true             # synchrotron self-absorption, applied to every component
    ssc = true

    [external]             # optional: external Compton on an isotropic monochromatic field
    energy_density = 1e-4  # erg cm^-3, blob frame
    frequency = 1e15       # Hz, blob frame

    [evolution]            # times in units of the light-crossing time R/c
    escape_time = 3.0
    acceleration_time = 10.0   # optional
    duration = 50.0
    time_step = 0.5
    steady = false         # optional: stop once the distribution no longer changes

    [output]               # all optional
    nu_min = 1e8           # observer frame, Hz (default 1e8)
    nu_max = 1e27          # observer frame, Hz (default 1e27)
    points_per_decade = 10 # default 10

    [grids]                # all optional: the internal grids of the steady SED
    synchrotron = 4        # (`ostrel_models.emission.Grids`, points per decade;
    compton = 80           # the defaults keep every component within 1 %)
    seed = 24.72           # default: from compton
    extrapolate = true     # true, false or "fine"
    external = 16          # default: the denser of 16 and synchrotron

    [fit]                  # what `fit` varies (`ostrel_models.fit`); ignored by sed and evolve
    free = ["blob.b_field", "electrons.p1"]
    log = true             # positive parameters in log10; or a list of names
    systematics = 0.0      # relative error added in quadrature
    nu_min = 1e11          # optional: data below (Hz, observer frame) left out
    nu_max = 1e30          # optional: data above left out
    [fit.bounds]
    "blob.b_field" = [1e-3, 1.0]

Shapes and their parameters (x = gamma):

    power_law          p                      x^-p
    broken_power_law   p1, p2, gamma_break    (x/gamma_break)^-p1 below the break, ^-p2 above
    log_parabola       p, q, gamma_0          (x/gamma_0)^(-p - q log10(x/gamma_0))
    power_law_cutoff   p, gamma_cutoff        x^-p exp(-x/gamma_cutoff)

each with gamma_min, gamma_max and exactly one normalisation.

`load(path)` reads a file and returns a `ModelFile`; every problem raises
`ModelFileError`, a ValueError whose message is one line naming the file,
the section and the key, for example

    model.toml: [electrons] p1: must be a number, got 'x'
"""

import math

from . import _util
from .blob import Blob
from .distributions import SHAPES
from .emission import ExternalField, Grids, Model

SHAPE_PARAMETERS = {name: cls.parameters for name, cls in SHAPES.items()}
COMMON = ("gamma_min", "gamma_max")
ELECTRON_NORMALISATIONS = ("k", "density", "energy")
INJECTION_NORMALISATIONS = ("luminosity", "k", "density")

BLOB_KEYS = {"radius": True, "b_field": True, "doppler": True, "redshift": True, "distance": False}
EMISSION_KEYS = ("synchrotron", "ssa", "ssc")
EXTERNAL_KEYS = ("energy_density", "frequency")
EVOLUTION_KEYS = {"escape_time": True, "acceleration_time": False, "duration": True, "time_step": True,
                  "steady": False}
OUTPUT_DEFAULTS = {"nu_min": 1e8, "nu_max": 1e27, "points_per_decade": 10}
GRIDS_KEYS = ("synchrotron", "compton", "seed", "extrapolate", "external")
SECTIONS = ("blob", "electrons", "injection", "emission", "external", "evolution", "output", "grids", "fit")


class ModelFileError(ValueError):
    """A problem with a model file; the message is one line naming the key."""


class _Section:
    """The keys of one table, checked one by one; every error names the key."""

    def __init__(self, source, name, table):
        self.source = source
        self.name = name
        self.table = table

    def error(self, key, message):
        where = f"[{self.name}]" + (f" {key}" if key else "")
        return ModelFileError(f"{self.source}: {where}: {message}")

    def unknown(self, allowed, hint=""):
        for key in self.table:
            if key not in allowed:
                raise self.error(key, "unknown key" + (hint or f" (known keys: {', '.join(allowed)})"))

    def has(self, key):
        return key in self.table

    def number(self, key, default=None, required=True):
        if key not in self.table:
            if required and default is None:
                raise self.error(key, "missing")
            return default
        value = self.table[key]
        # TOML gives ints, floats, strings, booleans, dates, arrays, tables:
        # only ints and floats are numbers here (a quoted "1e5" is a mistake).
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.error(key, f"must be a number, got {_describe(value)}")
        try:
            x = float(value)
        except OverflowError:
            raise self.error(key, f"too large, got {value!r}") from None
        if not math.isfinite(x):
            raise self.error(key, f"must be finite, got {x!r}")
        return x

    def boolean(self, key, default):
        if key not in self.table:
            return default
        value = self.table[key]
        if not isinstance(value, bool):
            raise self.error(key, f"must be true or false, got {_describe(value)}")
        return value

    def string(self, key):
        if key not in self.table:
            raise self.error(key, "missing")
        value = self.table[key]
        if not isinstance(value, str):
            raise self.error(key, f"must be a string, got {_describe(value)}")
        return value

    def build(self, keys, make):
        """make() with the objects' ValueError turned into an error naming
        the key its message starts with (the section itself otherwise)."""
        try:
            return make()
        except ValueError as exc:
            message = str(exc)
            for key in sorted(keys, key=len, reverse=True):
                if message.startswith(key + " ") or message.startswith(key + "["):
                    rest = message[len(key):].lstrip()
                    raise self.error(key, rest[3:] if rest.startswith("is ") else rest) from None
            raise self.error(None, message) from None


def _describe(value):
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return repr(value)
    return f"{value!r} ({type(value).__name__})"


class Evolution:
    """The [evolution] settings, times in seconds."""

    def __init__(self, escape_time, acceleration_time, duration, time_step, steady):
        self.escape_time = escape_time
        self.acceleration_time = acceleration_time
        self.duration = duration
        self.time_step = time_step
        self.steady = steady

    def __repr__(self):
        return (f"Evolution(escape_time={self.escape_time!r}, acceleration_time={self.acceleration_time!r}, "
                f"duration={self.duration!r}, time_step={self.time_step!r}, steady={self.steady!r})")


class InjectionSpec:
    """The [injection] section: a distribution shape and how to scale it.
    With `luminosity` (erg s^-1, whole blob) the distribution carries k = 1
    and the luminosity sets its rate; with `k` or `density` the
    distribution's own normalisation is the rate per second (cm^-3 s^-1)."""

    def __init__(self, distribution, luminosity):
        self.distribution = distribution
        self.luminosity = luminosity

    def injection(self):
        """The `ostrel_models.evolution.Injection` of this section."""
        from .evolution import Injection

        return Injection(self.distribution, luminosity=self.luminosity)

    def __repr__(self):
        return f"InjectionSpec({self.distribution!r}, luminosity={self.luminosity!r})"


class ModelFile:
    """What a model file describes. Sections that are absent are None
    (`electrons`, `injection`, `external`, `evolution`, `grids`, `fit`)."""

    def __init__(self, source, blob, electrons, injection, emission, external, evolution, output, grids=None,
                 fit=None):
        self.source = source
        self.grids = grids
        self.fit = fit
        self.blob = blob
        self.electrons = electrons
        self.injection = injection
        self.synchrotron, self.ssa, self.ssc = emission
        self.external = external
        self.evolution = evolution
        self.nu_min, self.nu_max, self.points_per_decade = output

    def frequencies(self):
        """Observer-frame output frequencies (Hz): nu_min to nu_max, log-spaced."""
        return _util.log_grid(self.nu_min, self.nu_max, self.points_per_decade)

    def require(self, section, command):
        if getattr(self, section) is None:
            raise ModelFileError(f"{self.source}: [{section}]: missing (the {command} command needs it)")

    def model(self):
        """The steady `Model` of [blob], [electrons], [emission] and [external]."""
        self.require("electrons", "sed")
        return Model(self.blob, self.electrons, synchrotron=self.synchrotron, ssa=self.ssa, ssc=self.ssc,
                     external=self.external, grids=self.grids)


def _distribution(section, normalisations):
    """A distribution from a [electrons] or [injection] table, and the
    normalisation key used."""
    shape = section.string("shape")
    if shape not in SHAPE_PARAMETERS:
        raise section.error("shape", f"must be one of {', '.join(repr(s) for s in SHAPE_PARAMETERS)}, "
                                     f"got {shape!r}")
    parameters = SHAPE_PARAMETERS[shape]
    allowed = ("shape",) + parameters + COMMON + normalisations
    other_shapes = {p for ps in SHAPE_PARAMETERS.values() for p in ps} - set(parameters)
    for key in section.table:
        if key in other_shapes:
            raise section.error(key, f"not a parameter of shape {shape!r} (it takes {', '.join(parameters)})")
    section.unknown(allowed)
    values = {key: section.number(key) for key in parameters + COMMON}
    given = [key for key in normalisations if section.has(key)]
    if not given:
        raise section.error(None, f"missing normalisation: give one of {', '.join(normalisations)}")
    if len(given) > 1:
        raise section.error(given[1], f"give only one of {', '.join(normalisations)} (also got {given[0]})")
    norm = given[0]
    norm_value = section.number(norm)
    return values, shape, norm, norm_value


def _read_toml(path):
    try:
        import tomllib
    except ImportError:  # Python below 3.11
        try:
            import tomli as tomllib
        except ImportError:
            raise ModelFileError(f"{path}: reading model files needs the tomli package below Python 3.11 "
                                 "(pip install tomli)") from None
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except OSError as exc:
        raise ModelFileError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise ModelFileError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except tomllib.TOMLDecodeError as exc:
        message = " ".join(str(exc).split())
        raise ModelFileError(f"{path}: TOML syntax error: {message}") from None


def load(path):
    """Reads a model file; raises ModelFileError (one line, naming the key)."""
    return parse(_read_toml(path), str(path))


def parse(data, source="model"):
    """A `ModelFile` from the tables of a parsed TOML document."""
    for name, value in data.items():
        if not isinstance(value, dict):
            if name in SECTIONS:
                raise ModelFileError(f"{source}: [{name}]: must be a table, got {_describe(value)}")
            raise ModelFileError(f"{source}: {name}: unknown top-level key (keys belong in a section: "
                                 f"{', '.join('[' + s + ']' for s in SECTIONS)})")
        if name not in SECTIONS:
            raise ModelFileError(f"{source}: [{name}]: unknown section (known sections: "
                                 f"{', '.join('[' + s + ']' for s in SECTIONS)})")

    def section(name):
        return _Section(source, name, data.get(name, {}))

    # [blob]
    s = section("blob")
    if "blob" not in data:
        raise ModelFileError(f"{source}: [blob]: missing section")
    s.unknown(tuple(BLOB_KEYS))
    b = {key: s.number(key, required=required) for key, required in BLOB_KEYS.items()}
    blob = s.build(BLOB_KEYS, lambda: Blob(b["radius"], b["b_field"], b["doppler"], b["redshift"], b["distance"]))
    if b["distance"] is None:
        try:
            blob.distance  # resolved here, so that a missing astropy is reported as a model-file problem
        except ValueError as exc:
            raise s.error("distance", str(exc).replace("distance is required", "required")) from None

    # [electrons] and [injection]
    electrons = None
    if "electrons" in data:
        s = section("electrons")
        values, shape, norm, norm_value = _distribution(s, ELECTRON_NORMALISATIONS)
        keys = tuple(values) + (norm,)
        electrons = s.build(keys, lambda: SHAPES[shape](**values, **{norm: norm_value}))
        s.build(keys, lambda: electrons.coefficient(blob.volume))
    injection = None
    if "injection" in data:
        s = section("injection")
        values, shape, norm, norm_value = _distribution(s, INJECTION_NORMALISATIONS)
        keys = tuple(values) + (norm,)
        if norm == "luminosity":
            luminosity = s.build(("luminosity",), lambda: _util.number("luminosity", norm_value, positive=True))
            distribution = s.build(keys, lambda: SHAPES[shape](**values, k=1.0))
        else:
            luminosity = None
            distribution = s.build(keys, lambda: SHAPES[shape](**values, **{norm: norm_value}))
        injection = InjectionSpec(distribution, luminosity)

    # [emission]
    s = section("emission")
    s.unknown(EMISSION_KEYS)
    emission = tuple(s.boolean(key, True) for key in EMISSION_KEYS)

    # [external]
    external = None
    if "external" in data:
        s = section("external")
        s.unknown(EXTERNAL_KEYS)
        u, nu = s.number("energy_density"), s.number("frequency")
        external = s.build(EXTERNAL_KEYS, lambda: ExternalField(u, nu))

    # [evolution], times in R/c
    evolution = None
    if "evolution" in data:
        s = section("evolution")
        s.unknown(tuple(EVOLUTION_KEYS))
        e = {key: s.number(key, required=required) for key, required in EVOLUTION_KEYS.items() if key != "steady"}
        for key in ("escape_time", "duration", "time_step"):
            s.build((key,), lambda: _util.number(key, e[key], positive=True))
        if e["acceleration_time"] is not None:
            s.build(("acceleration_time",), lambda: _util.number("acceleration_time", e["acceleration_time"],
                                                                 positive=True))
        if e["time_step"] > e["duration"]:
            raise s.error("time_step", f"must not exceed duration ({e['duration']!r}), got {e['time_step']!r}")
        tlc = blob.crossing_time
        evolution = Evolution(e["escape_time"] * tlc,
                              None if e["acceleration_time"] is None else e["acceleration_time"] * tlc,
                              e["duration"] * tlc, e["time_step"] * tlc, s.boolean("steady", False))

    # [output]
    s = section("output")
    s.unknown(tuple(OUTPUT_DEFAULTS))
    o = {key: s.number(key, default=d) for key, d in OUTPUT_DEFAULTS.items()}
    s.build(("nu_min",), lambda: _util.number("nu_min", o["nu_min"], positive=True))
    s.build(("nu_max",), lambda: _util.number("nu_max", o["nu_max"], above=o["nu_min"]))
    s.build(("points_per_decade",), lambda: _util.number("points_per_decade", o["points_per_decade"],
                                                         minimum=1.0))
    if o["points_per_decade"] > 1000:
        raise s.error("points_per_decade", f"must be at most 1000, got {o['points_per_decade']!r}")

    # [grids]
    grids = None
    if "grids" in data:
        s = section("grids")
        s.unknown(GRIDS_KEYS)
        g = {key: s.number(key, required=False) for key in ("synchrotron", "compton", "seed", "external")}
        extrapolate = True
        if s.has("extrapolate"):
            extrapolate = s.table["extrapolate"]
            if not (isinstance(extrapolate, bool) or extrapolate == "fine"):
                raise s.error("extrapolate", f"must be true, false or \"fine\", got {_describe(extrapolate)}")
        for key in ("synchrotron", "compton"):
            if g[key] is None:
                g[key] = getattr(Grids(), key)
        grids = s.build(GRIDS_KEYS, lambda: Grids(g["synchrotron"], g["compton"], g["seed"], extrapolate,
                                                  g["external"]))

    # [fit]: checked against the rest of the file by the fit module
    fit = None
    if "fit" in data:
        from .fit import FitSettings

        fit = FitSettings.parse(data, source)

    return ModelFile(source, blob, electrons, injection, emission, external, evolution,
                     (o["nu_min"], o["nu_max"], o["points_per_decade"]), grids, fit)
