"""Fitting a steady model to an observed spectral energy distribution.

A model file gains a [fit] table that names the parameters to vary:

    [fit]
    free = ["blob.b_field", "electrons.energy", "electrons.p1"]
    log = true          # positive parameters fitted in log10 (default); false: all
                        # linear; or a list of the names to fit in log10
    systematics = 0.05  # relative error added in quadrature to every point (default 0)
    nu_min = 1e11       # optional: data below this observer frequency (Hz) are left out
    nu_max = 1e30       # optional: data above it are left out
    [fit.bounds]        # optional, per name: [lower, upper] in the parameter's own units
    "blob.b_field" = [1e-3, 1.0]

Free parameters are numbers of [blob], [electrons] or [external] that the
file gives (the steady SED is what is fitted). "Positive parameters" are all
of them but the spectral indices (p, p1, p2, q) and the redshift. Without
bounds a positive parameter is kept positive, gamma_min at least 1 and
gamma_break between gamma_min and gamma_max when those are fixed.

Data (`read_data`): observer-frame frequencies and nu F_nu (erg cm^-2 s^-1)
with their errors, from a CSV file (`nu_hz,nufnu,nufnu_err` and an optional
`upper_limit` column of 0/1; other columns are ignored) or an astropy ECSV
table with units (an energy, frequency or wavelength column such as `e_ref`,
an energy flux such as `e2dnde`, symmetric `_err` or asymmetric
`_errn`/`_errp` errors and an optional boolean `is_ul` or `upper_limit`).

The statistic is chi^2 = sum of r_i^2 with, for a measured point,

    r_i = (model_i - data_i) / sqrt(err_i^2 + (systematics data_i)^2)

where err_i is the error bar on the model's side (the upper one when the
model lies above the point). An upper limit L contributes
r_i = (model_i - L) / sqrt(err_i^2 + (systematics L)^2) where the model
exceeds it and 0 below: a one-sided penalty, continuous at the limit so that
least squares can use it, and no pull at all while the model respects the
limit (a limit says nothing about how far below it the source is). Upper
limits do not count as degrees of freedom: dof = measured points - free
parameters.

`fit_model` minimises chi^2 with scipy's `least_squares` (trust-region
reflective, bounds as given) on a central-difference Jacobian in the fitted
coordinates (+-0.01 in log10, or 1 % of the value: wide enough to average
over small steps that internal grids moving with a parameter can make), and
reports 1 sigma errors from the Jacobian at the minimum, (J^T J)^-1, not
rescaled by chi^2 / dof. `sample` runs emcee from the best fit (uniform priors in the
fitted coordinates within the bounds) and reports medians and 16 / 84 %
quantiles; its walkers can be evaluated on any executor with a `map`
(`local_pool`: processes on this machine; a Dask client's executor).

The core runs on the standard library; scipy (least squares), emcee
(sampling), astropy (ECSV tables) and Dask are optional and imported where
they are needed.
"""

import copy
import csv
import json
import math
import os
import re
import time

from . import model_file as _mf

# What a fit may vary: the numbers of the steady model's sections.
FIT_SECTIONS = ("blob", "electrons", "external")
# Parameters that may take any sign or zero: fitted linearly whatever `log` says.
LINEAR_KEYS = ("p", "p1", "p2", "q", "redshift")
FIT_KEYS = ("free", "log", "systematics", "bounds", "nu_min", "nu_max")
# Steps of the Jacobian's central differences: in log10, or relative to the
# value (at least this much absolute). A model's internal grids may move
# with its parameters and put small steps into the SED (self-Compton grids
# that did so made slopes in B over 0.2 % wrong by half); differences over
# 2.3 % of a value average over such steps, and cost nothing in accuracy
# where the SED is smooth (central differences: an error of order step^2).
LOG_STEP = 1e-2
LINEAR_STEP = 1e-2


class DataError(ValueError):
    """A problem with a data file; the message is one line naming it."""


# --- data ---------------------------------------------------------------------
class SEDData:
    """Observed points: frequency (Hz, observer frame), nu F_nu (erg cm^-2
    s^-1), its lower and upper error bars and whether it is an upper limit,
    as lists in the file's order. `source` names the file."""

    def __init__(self, nu, flux, err_low, err_high=None, upper_limit=None, source="data"):
        n = len(nu)
        self.nu = [float(x) for x in nu]
        self.flux = [float(x) for x in flux]
        self.err_low = [float(x) for x in err_low]
        self.err_high = [float(x) for x in (err_high if err_high is not None else err_low)]
        self.upper_limit = [bool(x) for x in (upper_limit if upper_limit is not None else [False] * n)]
        self.source = source
        if not n:
            raise DataError(f"{source}: no data points")
        for name in ("flux", "err_low", "err_high", "upper_limit"):
            if len(getattr(self, name)) != n:
                raise DataError(f"{source}: {name} has {len(getattr(self, name))} values, nu has {n}")
        for i in range(n):
            _check_point(source, f"point {i + 1}", self.nu[i], self.flux[i], self.err_low[i], self.err_high[i],
                         self.upper_limit[i], ("nu", "flux", "error", "error"))

    def __len__(self):
        return len(self.nu)

    def select(self, nu_min=None, nu_max=None):
        """The points with nu_min <= nu <= nu_max."""
        keep = [i for i, x in enumerate(self.nu)
                if (nu_min is None or x >= nu_min) and (nu_max is None or x <= nu_max)]
        if not keep:
            where = (f"between {nu_min:g} and {nu_max:g}" if nu_min is not None and nu_max is not None else
                     f"at or above {nu_min:g}" if nu_min is not None else f"at or below {nu_max:g}")
            raise DataError(f"{self.source}: no data points {where} Hz (the [fit] frequency range)")
        return SEDData([self.nu[i] for i in keep], [self.flux[i] for i in keep], [self.err_low[i] for i in keep],
                       [self.err_high[i] for i in keep], [self.upper_limit[i] for i in keep], self.source)

    @property
    def detections(self):
        return sum(1 for u in self.upper_limit if not u)


def _check_point(source, where, nu, flux, err_low, err_high, upper, names):
    for value, name in zip((nu, flux, err_low, err_high), names):
        if not math.isfinite(value):
            raise DataError(f"{source}: {where}: {name} is not a finite number ({value!r})")
    if not nu > 0.0:
        raise DataError(f"{source}: {where}: {names[0]} must be positive, got {nu!r}")
    for value, name in ((err_low, names[2]), (err_high, names[3])):
        if not value > 0.0:
            raise DataError(f"{source}: {where}: {name} must be positive, got {value!r}"
                            + (" (an upper limit needs one too: it sets how fast the penalty rises above it)"
                               if upper else ""))
    if upper and not flux > 0.0:
        raise DataError(f"{source}: {where}: an upper limit must be positive, got {flux!r}")


CSV_COLUMNS = ("nu_hz", "nufnu", "nufnu_err")


def read_csv(path):
    """SEDData from a CSV file with a header line naming the columns
    nu_hz, nufnu, nufnu_err and optionally upper_limit (0 or 1); lines
    starting with # are comments."""
    source = str(path)
    try:
        with open(path, encoding="utf-8", newline="") as f:
            lines = [(k + 1, line) for k, line in enumerate(f.read().splitlines())
                     if line.strip() and not line.lstrip().startswith("#")]
    except OSError as exc:
        raise DataError(f"{source}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise DataError(f"{source}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    if not lines:
        raise DataError(f"{source}: empty (expected a header line {','.join(CSV_COLUMNS)}[,upper_limit] "
                        "and one line per point)")
    rows = list(csv.reader([line for _, line in lines]))
    header = [h.strip() for h in rows[0]]
    for name in set(header):
        if header.count(name) > 1:
            raise DataError(f"{source}: line {lines[0][0]}: column {name!r} appears twice")
    missing = [c for c in CSV_COLUMNS if c not in header]
    if missing:
        raise DataError(f"{source}: line {lines[0][0]}: missing column{'s' if len(missing) > 1 else ''} "
                        f"{', '.join(missing)} (the header has {', '.join(header) or 'nothing'}; expected "
                        f"{','.join(CSV_COLUMNS)}[,upper_limit])")
    at = {name: header.index(name) for name in CSV_COLUMNS + ("upper_limit",) if name in header}
    if len(rows) == 1:
        raise DataError(f"{source}: no data points (only the header line)")
    nu, flux, err, upper = [], [], [], []
    for (lineno, _), row in zip(lines[1:], rows[1:]):
        if len(row) != len(header):
            raise DataError(f"{source}: line {lineno}: {len(row)} values, the header has {len(header)} columns")
        values = {}
        for name in CSV_COLUMNS:
            text = row[at[name]].strip()
            try:
                values[name] = float(text)
            except ValueError:
                raise DataError(f"{source}: line {lineno}: {name} is not a number: {text!r}") from None
        u = False
        if "upper_limit" in at:
            text = row[at["upper_limit"]].strip()
            if text not in ("0", "1"):
                raise DataError(f"{source}: line {lineno}: upper_limit must be 0 or 1, got {text!r}")
            u = text == "1"
        _check_point(source, f"line {lineno}", values["nu_hz"], values["nufnu"], values["nufnu_err"],
                     values["nufnu_err"], u, ("nu_hz", "nufnu", "nufnu_err", "nufnu_err"))
        nu.append(values["nu_hz"])
        flux.append(values["nufnu"])
        err.append(values["nufnu_err"])
        upper.append(u)
    return SEDData(nu, flux, err, err, upper, source)


# Column names tried in order in an ECSV table.
ECSV_X = ("e_ref", "energy", "e", "nu", "nu_hz", "frequency", "wavelength")
ECSV_Y = ("e2dnde", "nufnu", "nu_fnu", "flux", "sed")
ECSV_UL = ("is_ul", "upper_limit", "ul")


def read_ecsv(path):
    """SEDData from an astropy ECSV table with units (needs astropy)."""
    source = str(path)
    try:
        import astropy.units as u
        from astropy.table import Table
    except ImportError:
        raise DataError(f"{source}: reading ECSV tables needs astropy (pip install astropy)") from None
    try:
        table = Table.read(path, format="ascii.ecsv")
    except OSError as exc:
        raise DataError(f"{source}: cannot read: {exc.strerror or exc}") from None
    except Exception as exc:  # astropy's parser raises many kinds
        message = " ".join(str(exc).split())
        raise DataError(f"{source}: not a readable ECSV table: {type(exc).__name__}: {message}") from None
    names = list(table.colnames)

    def find(candidates, what):
        for name in candidates:
            if name in names:
                return name
        raise DataError(f"{source}: missing column: {what} (one of {', '.join(candidates)}; the table has "
                        f"{', '.join(names) or 'no columns'})")

    xname = find(ECSV_X, "energy or frequency")
    yname = find(ECSV_Y, "energy flux nu F_nu")
    if f"{yname}_errn" in names or f"{yname}_errp" in names:
        lo_name, hi_name = f"{yname}_errn", f"{yname}_errp"
        for name in (lo_name, hi_name):
            if name not in names:
                raise DataError(f"{source}: missing column: {name} (asymmetric errors need both _errn and _errp)")
    elif f"{yname}_err" in names:
        lo_name = hi_name = f"{yname}_err"
    else:
        raise DataError(f"{source}: missing column: errors of {yname} ({yname}_err, or {yname}_errn "
                        f"and {yname}_errp)")
    ul_name = next((n for n in ECSV_UL if n in names), None)

    def values(name, unit, equivalencies=()):
        col = table[name]
        if col.unit is None:
            raise DataError(f"{source}: column {name} has no unit (expected one convertible to {unit})")
        mask = getattr(col, "mask", None)
        if mask is not None:
            missing = [i for i, m in enumerate(list(mask)) if m]
            if missing:
                raise DataError(f"{source}: row {missing[0] + 1}: {name} is missing (masked)")
        try:
            q = (col.data.astype(float) * col.unit).to(unit, equivalencies=list(equivalencies))
        except (u.UnitConversionError, u.UnitsError, TypeError, ValueError):
            raise DataError(f"{source}: column {name}: unit {col.unit} cannot be converted to {unit}") from None
        return [float(v) for v in q.value]

    nu = values(xname, "Hz", u.spectral())
    flux = values(yname, "erg cm-2 s-1")
    lo = values(lo_name, "erg cm-2 s-1")
    hi = values(hi_name, "erg cm-2 s-1")
    upper = [False] * len(nu)
    if ul_name is not None:
        upper = []
        for k, v in enumerate(table[ul_name]):
            if isinstance(v, str) or not (v in (0, 1) or str(v) in ("True", "False")):
                raise DataError(f"{source}: row {k + 1}: {ul_name} must be true or false (or 0 / 1), got {v!r}")
            upper.append(bool(v))
    if not nu:
        raise DataError(f"{source}: no data points (the table has no rows)")
    for k in range(len(nu)):
        _check_point(source, f"row {k + 1}", nu[k], flux[k], lo[k], hi[k], upper[k], (xname, yname, lo_name, hi_name))
    return SEDData(nu, flux, lo, hi, upper, source)


def read_data(path):
    """SEDData from a CSV or ECSV file (ECSV: the extension .ecsv or a
    first line starting with '# %ECSV')."""
    source = str(path)
    if not os.path.isfile(path):
        raise DataError(f"{source}: no such file" if not os.path.exists(path) else f"{source}: not a file")
    ecsv = source.lower().endswith(".ecsv")
    if not ecsv:
        try:
            with open(path, "rb") as f:
                ecsv = f.read(6) == b"# %ECS"
        except OSError as exc:
            raise DataError(f"{source}: cannot read: {exc.strerror or exc}") from None
    return read_ecsv(path) if ecsv else read_csv(path)


# --- the [fit] table ----------------------------------------------------------------
def _flatten(table, prefix=""):
    """{"blob.b_field": v} from {"blob": {"b_field": v}} (quoted keys with dots stay as they are)."""
    out = {}
    for key, value in table.items():
        name = prefix + key
        if isinstance(value, dict):
            out.update(_flatten(value, name + "."))
        else:
            out[name] = value
    return out


def is_positive_parameter(name):
    """Whether the parameter must be positive (all but indices and the redshift)."""
    return name.split(".", 1)[1] not in LINEAR_KEYS


class FitSettings:
    """The [fit] table, checked against the rest of the model file:
    `names` ("section.key"), `log` (a flag per name), `bounds` ((lower,
    upper) per name, parameter units, None where not given), `systematics`,
    `nu_min`, `nu_max`."""

    def __init__(self, names, log, bounds, systematics, nu_min=None, nu_max=None):
        self.names = list(names)
        self.log = list(log)
        self.bounds = list(bounds)
        self.systematics = systematics
        self.nu_min = nu_min
        self.nu_max = nu_max

    @classmethod
    def parse(cls, data, source="model"):
        s = _mf._Section(source, "fit", data["fit"])
        s.unknown(FIT_KEYS)
        if "free" not in s.table:
            raise s.error("free", "missing (a list of the parameters to fit, e.g. [\"blob.b_field\"])")
        free = s.table["free"]
        if not isinstance(free, list) or not free:
            raise s.error("free", f"must be a non-empty array of \"section.key\" names, got {_mf._describe(free)}")
        fittable = []
        for section in FIT_SECTIONS:
            for key, value in data.get(section, {}).items():
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    fittable.append(f"{section}.{key}")
        known = ", ".join(fittable) or "none"
        names = []
        for name in free:
            if not isinstance(name, str):
                raise s.error("free", f"names must be strings, got {_mf._describe(name)}")
            section = name.split(".", 1)[0]
            if name.count(".") != 1:
                raise s.error("free", f"{name!r}: not a \"section.key\" name (fittable: {known})")
            if section not in FIT_SECTIONS:
                raise s.error("free", f"{name!r}: only [blob], [electrons] and [external] can be fitted "
                                      f"(fittable: {known})")
            if name not in fittable:
                raise s.error("free", f"{name!r}: not a number of the file (fittable: {known})")
            if name in names:
                raise s.error("free", f"{name!r} is named twice")
            names.append(name)

        def value(name):
            section, key = name.split(".")
            return float(data[section][key])

        log_setting = s.table.get("log", True)
        if isinstance(log_setting, bool):
            log = [log_setting and is_positive_parameter(n) for n in names]
        elif isinstance(log_setting, list):
            for n in log_setting:
                if n not in names:
                    raise s.error("log", f"{n!r} is not a free parameter (free: {', '.join(names)})")
            log = [n in log_setting for n in names]
        else:
            raise s.error("log", f"must be true, false or an array of free parameters, got "
                                 f"{_mf._describe(log_setting)}")
        for n, flag in zip(names, log):
            if flag and not value(n) > 0.0:
                raise s.error("log", f"{n} is fitted in log10 but its value is not positive ({value(n)!r})")

        systematics = s.number("systematics", default=0.0)
        if systematics < 0.0:
            raise s.error("systematics", f"must not be negative, got {systematics!r}")
        nu_min = s.number("nu_min", required=False)
        nu_max = s.number("nu_max", required=False)
        for key, x in (("nu_min", nu_min), ("nu_max", nu_max)):
            if x is not None and not x > 0.0:
                raise s.error(key, f"must be positive, got {x!r}")
        if nu_min is not None and nu_max is not None and not nu_max > nu_min:
            raise s.error("nu_max", f"must be above nu_min ({nu_min!r}), got {nu_max!r}")

        bounds = [None] * len(names)
        if "bounds" in s.table:
            table = s.table["bounds"]
            if not isinstance(table, dict):
                raise s.error("bounds", f"must be a table of [lower, upper] per name, got {_mf._describe(table)}")
            b = _mf._Section(source, "fit.bounds", table)
            for name, pair in _flatten(table).items():
                if name not in names:
                    raise b.error(name, f"not a free parameter (free: {', '.join(names)})")
                if (not isinstance(pair, list) or len(pair) != 2
                        or any(isinstance(x, bool) or not isinstance(x, (int, float)) for x in pair)):
                    raise b.error(name, f"must be [lower, upper], two numbers, got {_mf._describe(pair)}")
                lo, hi = float(pair[0]), float(pair[1])
                if math.isnan(lo) or math.isnan(hi) or not lo < hi:
                    raise b.error(name, f"lower must be below upper, got [{lo!r}, {hi!r}]")
                k = names.index(name)
                if log[k] and not lo > 0.0:
                    raise b.error(name, f"lower bound must be positive for a parameter fitted in log10, "
                                        f"got {lo!r}")
                if not lo <= value(name) <= hi:
                    raise b.error(name, f"the value {value(name)!r} lies outside [{lo!r}, {hi!r}]")
                bounds[k] = (lo, hi)
        return cls(names, log, bounds, systematics, nu_min, nu_max)

    def __repr__(self):
        return (f"FitSettings(names={self.names!r}, log={self.log!r}, bounds={self.bounds!r}, "
                f"systematics={self.systematics!r}, nu_min={self.nu_min!r}, nu_max={self.nu_max!r})")


# --- the problem --------------------------------------------------------------
_PENALTY = 1e8  # residual of every point where the parameters make no valid model


class FitProblem:
    """A model file's tables, its [fit] settings and the data: the residuals
    and the log-probability of a vector of fitted coordinates (log10 of the
    value for a parameter fitted in log, the value otherwise).

    Picklable, so that `fit_model` and `sample` can evaluate it in other
    processes; calling it gives the log-probability (emcee's function)."""

    def __init__(self, model_data, data, source="model"):
        self.source = source
        mf = _mf.parse(model_data, source)
        if mf.fit is None:
            raise _mf.ModelFileError(f"{source}: [fit]: missing (the fit command needs it: "
                                     "free = [\"section.key\", ...])")
        mf.require("electrons", "fit")
        self.settings = mf.fit
        self.model_data = copy.deepcopy(model_data)
        # The tables each evaluation parses: no [fit] (the bounds check
        # there is about the starting values), no [injection] or
        # [evolution] (not part of a steady SED), and the distance
        # resolved once when the redshift is fixed (astropy's cosmology
        # is the slow part of a parse).
        base = {k: v for k, v in copy.deepcopy(model_data).items()
                if k not in ("fit", "injection", "evolution")}
        if "distance" not in base["blob"] and "blob.redshift" not in self.settings.names:
            base["blob"]["distance"] = mf.blob.distance
        self._base = base
        self.data = data.select(self.settings.nu_min, self.settings.nu_max)
        n_free = len(self.settings.names)
        if self.data.detections <= n_free:
            raise DataError(f"{data.source}: {self.data.detections} measured points"
                            f"{' in the [fit] frequency range' if self.settings.nu_min or self.settings.nu_max else ''}"
                            f" for {n_free} free parameters: the fit needs more points than parameters")
        self.nu = sorted(set(self.data.nu))
        at = {x: i for i, x in enumerate(self.nu)}
        self._index = [at[x] for x in self.data.nu]
        self.x0 = [self.to_fitted(k, self.value(k)) for k in range(n_free)]
        self.lower, self.upper = self._bounds()
        self.evaluations = 0

    # names and coordinates
    @property
    def names(self):
        return self.settings.names

    def value(self, k):
        section, key = self.names[k].split(".")
        return float(self.model_data[section][key])

    def to_fitted(self, k, value):
        return math.log10(value) if self.settings.log[k] else float(value)

    def to_value(self, k, x):
        return 10.0 ** x if self.settings.log[k] else float(x)

    def values(self, x):
        """{name: value} of a vector of fitted coordinates."""
        return {n: self.to_value(k, v) for k, (n, v) in enumerate(zip(self.names, x))}

    def _bounds(self):
        electrons = self.model_data["electrons"]
        lower, upper = [], []
        for k, name in enumerate(self.names):
            given = self.settings.bounds[k]
            if given is not None:
                lo, hi = given
            else:
                lo, hi = -math.inf, math.inf
                key = name.split(".")[1]
                if is_positive_parameter(name):
                    lo = 0.0
                if key == "redshift":
                    lo = 0.0
                if name == "electrons.gamma_min":
                    lo = 1.0
                if name == "electrons.gamma_break":
                    if "electrons.gamma_min" not in self.names:
                        lo = float(electrons["gamma_min"])
                    if "electrons.gamma_max" not in self.names:
                        hi = float(electrons["gamma_max"])
            if self.settings.log[k]:
                lo = math.log10(lo) if lo > 0.0 else -math.inf
                hi = math.log10(hi) if hi < math.inf else math.inf
            lower.append(lo)
            upper.append(hi)
        return lower, upper

    def inside(self, x):
        return all(lo <= v <= hi for v, lo, hi in zip(x, self.lower, self.upper))

    # models
    def model_data_at(self, x, base=None):
        """The model file's tables with the fitted values of x put in."""
        data = copy.deepcopy(self.model_data if base is None else base)
        for name, v in self.values(x).items():
            section, key = name.split(".")
            data[section][key] = v
        return data

    def model(self, x):
        """The steady `Model` at x; ValueError where x gives no valid model."""
        try:
            return _mf.parse(self.model_data_at(x, self._base), self.source).model()
        except _mf.ModelFileError as exc:
            raise ValueError(str(exc)) from None

    def predict(self, x):
        """Model nu F_nu at every data point (data order)."""
        total = self.model(x).sed(self.nu).total
        self.evaluations += 1
        return [float(total[i]) for i in self._index]

    def residuals_of(self, predicted):
        d = self.data
        s = self.settings.systematics
        out = []
        for m, y, lo, hi, upper in zip(predicted, d.flux, d.err_low, d.err_high, d.upper_limit):
            err = hi if m > y else lo
            sigma = math.sqrt(err * err + (s * y) ** 2)
            if upper and m <= y:
                out.append(0.0)
            else:
                out.append((m - y) / sigma)
        return out

    def residuals(self, x):
        """Normalised residuals at x (a large constant where x gives no
        valid model, so that least squares steps back)."""
        try:
            return self.residuals_of(self.predict(x))
        except ValueError:
            return [_PENALTY] * len(self.data)

    def chi2(self, x):
        return sum(r * r for r in self.residuals(x))

    def log_probability(self, x):
        """-chi^2 / 2 inside the bounds (uniform priors in the fitted
        coordinates), -inf outside or where there is no valid model."""
        x = [float(v) for v in x]
        if not self.inside(x):
            return -math.inf
        try:
            r = self.residuals_of(self.predict(x))
        except ValueError:
            return -math.inf
        return -0.5 * sum(v * v for v in r)

    __call__ = log_probability

    # the Jacobian
    def steps(self, x):
        """(step, central) per coordinate: central differences of +-step
        where both points lie within the bounds, else a one-sided step
        into them."""
        out = []
        for k, v in enumerate(x):
            h = LOG_STEP if self.settings.log[k] else LINEAR_STEP * max(abs(v), 1.0)
            if self.lower[k] <= v - h and v + h <= self.upper[k]:
                out.append((h, True))
            else:
                out.append((h if v + h <= self.upper[k] else -h, False))
        return out

    def shifted(self, x):
        """The points of the Jacobian at x: two per coordinate of a central
        difference, one of a one-sided one."""
        points = []
        for k, (h, central) in enumerate(self.steps(x)):
            for d in ((h, -h) if central else (h,)):
                p = list(x)
                p[k] += d
                points.append(p)
        return points


class FitResult:
    """The outcome of `fit_model`: names, `values` (best fit, parameter
    units), `x` and `errors` (fitted coordinates), `covariance`, `chi2`,
    `dof`, `residuals`, `success`, `message`, `evaluations` (models
    computed), `elapsed` (s), `at_bound` (names at a bound: their errors
    are not meaningful), `problem`."""

    def __init__(self, problem, x, errors, covariance, chi2, residuals, success, message, evaluations, elapsed):
        self.problem = problem
        self.names = list(problem.names)
        self.x = list(x)
        self.values = [problem.to_value(k, v) for k, v in enumerate(x)]
        self.errors = list(errors)
        self.covariance = covariance
        self.chi2 = chi2
        self.dof = problem.data.detections - len(self.names)
        self.residuals = residuals
        self.success = success
        self.message = message
        self.evaluations = evaluations
        self.elapsed = elapsed
        self.at_bound = [n for k, n in enumerate(self.names)
                         if self.x[k] <= problem.lower[k] + 1e-9 * max(1.0, abs(problem.lower[k]))
                         or self.x[k] >= problem.upper[k] - 1e-9 * max(1.0, abs(problem.upper[k]))]

    def interval(self, k):
        """(lower, upper) 1 sigma values of parameter k in its own units."""
        p = self.problem
        e = self.errors[k]
        return p.to_value(k, self.x[k] - e), p.to_value(k, self.x[k] + e)

    def model_data(self):
        """The model file's tables with the best-fit values."""
        return self.problem.model_data_at(self.x)

    def model(self):
        return self.problem.model(self.x)


def _require(module, extra="fit"):
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        raise ImportError(f"fitting needs {module.split('.')[0]}, which is not installed "
                          f"(pip install \"ostrel[{extra}]\" or pip install {module.split('.')[0]})") from None


def _jacobian(problem, x, f0, pool=None):
    points = problem.shifted(x)
    if pool is not None:
        values = iter(pool.map(problem.residuals, points))
        problem.evaluations += len(points)
    else:
        values = iter([problem.residuals(p) for p in points])
    columns = []
    for h, central in problem.steps(x):
        if central:
            up, down = next(values), next(values)
            columns.append([(a - b) / (2.0 * h) for a, b in zip(up, down)])
        else:
            up = next(values)
            columns.append([(a - b) / h for a, b in zip(up, f0)])
    return [[c[i] for c in columns] for i in range(len(f0))]


def fit_model(model, data, *, source=None, pool=None, max_evaluations=None):
    """Least-squares fit of a model file's [fit] parameters to data.

    model: a model file's path or its parsed tables (a dict, as tomllib
    gives); data: `SEDData` or a data file's path. pool: an executor whose
    `map` computes the Jacobian's columns (default: here, one after the
    other; the kernels use every core either way). Returns a FitResult."""
    np = _require("numpy")
    optimize = _require("scipy.optimize")
    if isinstance(model, dict):
        tables, source = model, source or "model"
    else:
        source = source or str(model)
        tables = _mf._read_toml(model)
    if not isinstance(data, SEDData):
        data = read_data(data)
    problem = FitProblem(tables, data, source)
    start = time.perf_counter()
    cache = {}

    def fun(x):
        key = tuple(float(v) for v in x)
        if key not in cache:
            cache.clear()
            cache[key] = problem.residuals(list(key))
        return np.array(cache[key])

    def jac(x):
        f0 = fun(x)
        return np.array(_jacobian(problem, [float(v) for v in x], f0.tolist(), pool))

    lower, upper = np.array(problem.lower), np.array(problem.upper)
    x0 = np.clip(np.array(problem.x0), lower, upper)
    n = len(x0)
    result = optimize.least_squares(fun, x0, jac=jac, bounds=(lower, upper), method="trf", x_scale="jac",
                                    ftol=1e-6, xtol=1e-6, gtol=1e-6,
                                    max_nfev=max_evaluations or 50 * (n + 1))
    x = [float(v) for v in result.x]
    r = fun(result.x)
    J = np.array(_jacobian(problem, x, r.tolist(), pool))
    covariance = np.linalg.pinv(J.T @ J)
    errors = [float(math.sqrt(v)) if v >= 0.0 else math.nan for v in np.diag(covariance)]
    chi2 = float(r @ r)
    return FitResult(problem, x, errors, covariance.tolist(), chi2, r.tolist(), bool(result.success),
                     str(result.message), problem.evaluations, time.perf_counter() - start)


# --- sampling -----------------------------------------------------------------
class SampleResult:
    """emcee's chain after burn-in: `samples` (fitted coordinates, one row
    per kept sample), `median`, `low`, `high` (16 / 50 / 84 % quantiles in
    parameter units), `acceptance` (mean fraction), `evaluations`
    (log-probabilities computed), `elapsed` (s) and `rate` (models per
    second)."""

    def __init__(self, problem, samples, acceptance, evaluations, elapsed, walkers, steps, discard):
        self.names = list(problem.names)
        self.samples = samples
        self.acceptance = acceptance
        self.evaluations = evaluations
        self.elapsed = elapsed
        self.rate = evaluations / elapsed if elapsed > 0 else math.inf
        self.walkers, self.steps, self.discard = walkers, steps, discard
        self.median, self.low, self.high = [], [], []
        for k in range(len(self.names)):
            column = sorted(row[k] for row in samples)
            q16, q50, q84 = (_quantile(column, q) for q in (0.16, 0.5, 0.84))
            self.low.append(problem.to_value(k, q16))
            self.median.append(problem.to_value(k, q50))
            self.high.append(problem.to_value(k, q84))


def _quantile(sorted_values, q):
    """Linear interpolation between order statistics (NumPy's default)."""
    pos = q * (len(sorted_values) - 1)
    i = int(math.floor(pos))
    j = min(i + 1, len(sorted_values) - 1)
    return sorted_values[i] + (pos - i) * (sorted_values[j] - sorted_values[i])


def sample(fit, steps, *, walkers=None, pool=None, seed=1, discard=None):
    """emcee from the best fit of a FitResult: `walkers` (default 2 ndim +
    2, even) start in a small ball (a tenth of the 1 sigma errors) around
    it; the first `discard` steps (default half) are dropped. pool: an
    executor with `map` (`local_pool`, a Dask client's `get_executor()`) or
    None for this process."""
    np = _require("numpy")
    emcee = _require("emcee")
    problem = fit.problem
    ndim = len(fit.x)
    steps = int(steps)
    if steps < 1:
        raise ValueError(f"steps must be at least 1, got {steps!r}")
    walkers = int(walkers or 2 * ndim + 2)
    if walkers < 2 * ndim or walkers % 2:
        raise ValueError(f"walkers must be even and at least twice the free parameters ({2 * ndim}), "
                         f"got {walkers!r}")
    discard = steps // 2 if discard is None else int(discard)
    rng = np.random.default_rng(seed)
    x = np.array(fit.x)
    lower, upper = np.array(problem.lower), np.array(problem.upper)
    scale = np.array([e if math.isfinite(e) and e > 0 else 1e-3 for e in fit.errors]) * 0.1
    start = x + scale * rng.standard_normal((walkers, ndim))
    # keep the ball inside the bounds: reflect what leaves them
    start = np.where(start > upper, 2 * upper - start, start)
    start = np.where(start < lower, 2 * lower - start, start)
    start = np.clip(start, lower, upper)
    sampler = emcee.EnsembleSampler(walkers, ndim, problem, pool=pool)
    sampler.random_state = np.random.RandomState(seed).get_state()
    t0 = time.perf_counter()
    sampler.run_mcmc(start, steps, progress=False)
    elapsed = time.perf_counter() - t0
    chain = sampler.get_chain(discard=min(discard, steps - 1), flat=True)
    return SampleResult(problem, chain.tolist(), float(np.mean(sampler.acceptance_fraction)),
                        walkers * (steps + 1), elapsed, walkers, steps, discard)


def _init_worker(threads):
    # Runs in each worker process before its first kernel call: the
    # kernels' thread pool is created then, with this many threads.
    os.environ["RAYON_NUM_THREADS"] = str(threads)


def local_pool(workers=None, threads=None):
    """A process pool for `sample` (or `fit_model`): `workers` processes
    (default: the processors available), each running the kernels on
    `threads` threads (default: its share of the processors, at least one).
    Processes are started fresh (spawn), not forked from this one."""
    import concurrent.futures
    import multiprocessing

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    workers = int(workers or cpus)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers!r}")
    threads = int(threads or max(1, cpus // workers))
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads!r}")
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("spawn"),
                                                  initializer=_init_worker, initargs=(threads,))


# --- writing model files ---------------------------------------------------------
_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+\Z")


def _toml_key(key):
    return key if _BARE_KEY.match(key) else json.dumps(key, ensure_ascii=False)


def _toml_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    raise TypeError(f"cannot write {type(value).__name__} values to a model file")


def dumps(tables, comments=None, header=""):
    """A TOML document of nested tables of numbers, strings, booleans and
    arrays of them (what model files hold); `comments` maps
    (table name, key) to a comment written after the value; `header` is a
    comment block put first."""
    comments = comments or {}
    lines = [("# " + line).rstrip() for line in header.splitlines()] if header else []

    def table(name, body):
        scalars = [(k, v) for k, v in body.items() if not isinstance(v, dict)]
        subtables = [(k, v) for k, v in body.items() if isinstance(v, dict)]
        if name and (scalars or not subtables):
            if lines:
                lines.append("")
            lines.append(f"[{name}]")
        for key, value in scalars:
            text = f"{_toml_key(key)} = {_toml_value(value)}"
            note = comments.get((name, key))
            lines.append(text + (f"  # {note}" if note else ""))
        for key, value in subtables:
            table(f"{name}.{_toml_key(key)}" if name else _toml_key(key), value)

    top = {k: v for k, v in tables.items() if not isinstance(v, dict)}
    if top:
        raise TypeError(f"a model file has no top-level keys, got {', '.join(top)}")
    table("", tables)
    return "\n".join(lines) + "\n"


def best_fit_document(fit, data_source="", sampled=None):
    """The text of a complete model file with the best-fit values of a
    FitResult ([fit] kept), the fit's figures in comments."""
    p = fit.problem
    comments = {}
    for k, name in enumerate(fit.names):
        section, key = name.split(".")
        lo, hi = fit.interval(k)
        note = f"fitted: 1 sigma {lo:.4g} ... {hi:.4g}"
        if sampled is not None:
            note += f"; MCMC median {sampled.median[k]:.4g}, 16-84 % {sampled.low[k]:.4g} ... {sampled.high[k]:.4g}"
        if name in fit.at_bound:
            note += " (at its bound)"
        comments[(section, key)] = note
    header = (f"Best fit of {p.source} to {data_source or p.data.source} (python -m ostrel_models fit):\n"
              f"chi2 = {fit.chi2:.6g} for {fit.dof} degrees of freedom (chi2/dof = {fit.chi2 / max(fit.dof, 1):.4g}), "
              f"{len(p.data)} points used ({len(p.data) - p.data.detections} upper limits), "
              f"systematics {p.settings.systematics:g}.\n"
              "Every other value is the input model file's; its comments are not kept.")
    return dumps(fit.model_data(), comments, header)
