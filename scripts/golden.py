#!/usr/bin/env python3
"""Results of every exported function of ostrel on fixed inputs, recorded so
that two builds (native x86_64 and emulated armhf, say) compare bit for bit.

    golden.py write OUT.jsonl           evaluate every case, one JSON line each
    golden.py regenerate [OUT.jsonl]    write the committed reference results
                                        (default tests/python/data/golden.jsonl)
                                        with glibc's generic libm routines: on
                                        x86_64 in a child interpreter started
                                        with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA
    golden.py libm OUT.jsonl            the C library's exp, log, pow, ... on fixed
                                        inputs, through ctypes
    golden.py compare REF.jsonl OTHER.jsonl [--quiet]
                                        compare two such files; exit status 1
                                        on any difference

Every name in ``ostrel.__all__`` must have cases below: a function without
any stops ``write`` with an error, so a newly exported function cannot slip
through unchecked. Besides the hand-written cases (physical grids, worked
examples, every branch boundary that is cheap to reach, and the failures of
each function: internal failures, conversion errors), each function gets
generated binding and conversion failures derived from its text signature.

A record holds the case name, a digest of its inputs (so that both sides
provably evaluated the same numbers) and the outcome:
  - a float as ``float.hex`` (NaN is written "nan" whatever its sign bit:
    IEEE 754 leaves the sign of a produced NaN to the hardware, and x86 makes
    negative NaNs where ARM makes positive ones);
  - a list as a JSON array, a tuple as {"tuple": [...]};
  - an exception as {"raised": "<module>.<qualname>", "message": str(exc)}.

Interpreter-written texts that differ between interpreters for the same
call (CPython qualifies a METH_NOARGS function's "takes no arguments" with
the module name, PyPy does not) are compared without that difference.

The committed reference, tests/python/data/golden.jsonl, is checked by
tests/python/test_golden.py in every test run, and against the emulated
armhf results by scripts/check-armhf. When a result is meant to change,
regenerate it (``python scripts/golden.py regenerate``) and commit the new
file with the change that explains it; ``git diff`` shows which cases moved.

Inputs are built with +, -, *, / only (correctly rounded everywhere) and
decimal literals, never with ``**`` or ``math`` functions, which call the C
library and could differ between the machines being compared.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
import platform
import re
import subprocess
import sys

REFERENCE = pathlib.Path(__file__).resolve().parents[1] / "tests" / "python" / "data" / "golden.jsonl"
# glibc's generic libm routines on x86_64: the FMA-specialised exp, log,
# pow, ... that it picks on CPUs with FMA differ in the last bit for a few
# inputs; the generic ones agree with 32-bit ARM's bit for bit.
FMA_FREE = "glibc.cpu.hwcaps=-FMA"


def geom(start, factor, count):
    """start, start*factor, ... by repeated multiplication."""
    out = []
    x = start
    for _ in range(count):
        out.append(x)
        x = x * factor
    return out


def lin(start, step, count):
    return [start + step * k for k in range(count)]


def scaled(values, factor):
    return [v * factor for v in values]


def power_law(xs, x0, inverse_power_steps):
    """(x/x0)^-n for a small integer n, by division (no pow)."""
    out = []
    for x in xs:
        r = x0 / x
        v = 1.0
        for _ in range(inverse_power_steps):
            v = v * r
        out.append(v)
    return out


NAN = float("nan")
INF = float("inf")
HUGE_INT = 10**400  # beyond the double range: OverflowError from the host


class Hostile:
    """A number whose conversion raises."""

    def __float__(self):
        raise ValueError("hostile __float__")


class Fresh:
    """A single-use argument (a generator), made anew for each evaluation."""

    def __init__(self, make):
        self.make = make


class LyingLength:
    """A sequence whose __len__ claims far more items than it yields."""

    def __len__(self):
        return 10**9

    def __getitem__(self, i):
        if i < 3:
            return 0.5 * (i + 1)
        raise IndexError(i)


# ---------------------------------------------------------------------------
# Hand-written cases: name -> list of (label, args, kwargs).

BETAS = lin(-1.25, 0.0125, 201)  # crosses -1, 0 and 1 on exact steps
GAMMAS = geom(0.25, 1.3, 90) + [1.0, 0.0, -2.0, INF, -INF, NAN, 1e308, 5e-324]

# Transfer: optical depths 2 R a from 1e-13 to 1e5 hit every branch of the
# escape factors (<= 1e-10, < 0.01, [0.01, 100], > 100).
RADIUS = 1e16
FREQS_T = geom(1e8, 1.5, 60)
J_NU = power_law(FREQS_T, 1e8, 1)
A_NU = scaled(geom(1.0, 0.625, 60), 1e-11)
TAU_EDGES = [0.0, 1e-10, 1.0000000000000001e-10, 0.00999999999999, 0.01, 100.0, 100.00000000000001,
             -1.0, INF, NAN]

GAMMA_GRID = geom(1.0, 1.5, 24)           # 1 ... ~1.1e4
N_GAMMA = power_law(GAMMA_GRID, 1.0, 2)   # gamma^-2
FREQS_S = geom(1e7, 10.0, 12)             # synchrotron: 1e7 ... 1e18 Hz
FREQS_IC = geom(1e9, 10.0, 14)            # inverse Compton: 1e9 ... 1e22 Hz
SEED_FREQS = geom(1e9, 2.0, 30)           # seed photons, doubling
SEED_U = power_law(SEED_FREQS, 1e9, 1)
IC_INU = scaled(power_law(FREQS_IC, 1e9, 1), 1e-10)  # seed intensity on FREQS_IC
GG = geom(1.0, 3.0, 16)                   # 1 ... ~1.4e7


CASES = {
    "get_c": [("value", (), {})],
    "gofb": [
        ("scalar_grid", (BETAS,), {}),
        ("tuple", (tuple(BETAS[:7]),), {}),
        ("scalars", None, None),  # expanded below: one call per value
        ("empty", ([],), {}),
        ("int", (0,), {}),
        ("bool_item", ([True, False],), {}),
        ("keyword", (), {"arg": 0.6}),
        ("lying_length", (LyingLength(),), {}),
        ("str", ("0.5",), {}),
        ("str_item", ([0.5, "x"],), {}),
        ("none", (None,), {}),
        ("huge_int", (HUGE_INT,), {}),
        ("hostile", (Hostile(),), {}),
        ("set", ({0.5},), {}),
    ],
    "bofg": [
        ("grid", (GAMMAS,), {}),
        ("scalars", None, None),
        ("empty", ((),), {}),
        ("keyword", (), {"arg": 1.25}),
        ("bytes", (b"\x01\x02",), {}),
        ("str", ("2",), {}),
        ("dict", ({1.0: 2.0},), {}),
    ],
    "eq_59_park1995": [
        ("t_0_1", (0.1, GAMMA_GRID), {}),
        ("t_1", (1.0, [10.0, 100.0, 1000.0] + GAMMA_GRID), {}),
        ("t_5", (5.0, GAMMA_GRID), {}),
        ("t_0", (0.0, [2.0, 10.0]), {}),
        ("edges", (1.0, [1.0, 0.5, 1.0000000000000002, INF, NAN, -3.0]), {}),
        ("empty", (1.0, []), {}),
        ("keywords", (), {"g": [2.0, 3.0], "t": 0.5}),
    ],
    "fp_findif_difu": [
        ("two_points", (1.0, [1.0, 2.0], [1.0, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], 1e200, 1.0), {}),
        ("worked_step", (0.5, [1.0, 2.0, 3.0, 4.0, 5.0], [0.0, 1.0, 2.0, 1.0, 0.0],
                         [0.02, 0.05, 0.1, 0.2, 0.4], [1.0] * 5, [0.0, 0.0, 0.0, 0.0, 1.0], 1e200, 1.0), {}),
        ("cooling_grid", (0.3, GAMMA_GRID, N_GAMMA, scaled(power_law(GAMMA_GRID, 1.0, 0), 1e-3),
                          scaled(GAMMA_GRID, 0.01), power_law(GAMMA_GRID, 1.0, 1), 2.0, 1.0), {}),
        ("escape_normalised", (1.0, [1.0, 2.0, 4.0], [1.0, 0.5, 0.25], [0.1, 0.2, 0.4],
                               [1.0, 1.0, 1.0], [0.0, 0.0, 0.0], 3.0, 1.5, True), {}),
        ("nan_checked", (1.0, [1.0, 2.0], [NAN, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], 1e200, 1.0), {}),
        ("nan_unchecked", (1.0, [1.0, 2.0], [NAN, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], 1e200, 1.0, False),
         {}),
        ("one_point", (1.0, [1.0], [1.0], [0.0], [1.0], [0.0], 1e200, 1.0), {}),
        ("empty", (1.0, [], [], [], [], [], 1e200, 1.0), {}),
        ("zero_diffusion", (1.0, [1.0, 2.0, 3.0], [1.0, 1.0, 1.0], [0.1, 0.1, 0.1], [0.0, 0.0, 0.0],
                            [0.0, 0.0, 0.0], 1e200, 1.0), {}),
        ("check_params_int", (1.0, [1.0, 2.0], [1.0, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0], 1e200, 1.0, 1),
         {}),
    ],
    "syn_emissivity_full": [
        ("worked", ([1e9], [1.0, 10.0], [1.0, 0.01], 1.0, True), {}),
        ("grid_abs", (FREQS_S, GAMMA_GRID[::2], N_GAMMA[::2], 0.1, True), {}),
        ("grid_no_abs", (FREQS_S[::3], GAMMA_GRID[::2], N_GAMMA[::2], 10.0, False), {}),
        ("one_gamma", ([1e9, 1e10], [10.0], [1.0], 1.0, True), {}),
        ("empty_freqs", ([], GAMMA_GRID, N_GAMMA, 1.0, True), {}),
        ("short_distribution", ([1e9], [1.0, 10.0, 100.0], [1.0, 0.01], 1.0, True), {}),
        ("empty_gamma", ([1e9], [], [], 1.0, True), {}),
        ("with_abs_int", ([1e9], [1.0, 10.0], [1.0, 0.01], 1.0, 1), {}),
    ],
    "rad_trans_blob": [
        ("spectrum", (RADIUS, J_NU, A_NU), {}),
        ("tau_edges", (0.5, [1.0] * len(TAU_EDGES), TAU_EDGES), {}),
        ("thin", (2.0, [3.0], [0.0]), {}),
        ("longer_a", (2.0, [3.0], [0.0, 5.0]), {}),
        ("shorter_a", (2.0, [3.0, 4.0], [0.0]), {}),
        ("empty", (2.0, [], []), {}),
        ("keywords", (), {"a_nu": [1e-16], "j_nu": [1.0], "blob_radius": 1e16}),
        ("huge_int_radius", (HUGE_INT, [1.0], [1.0]), {}),
        ("str_vector", (1.0, "abc", [1.0]), {}),
        ("generator", (1.0, Fresh(lambda: (x for x in [1.0])), [1.0]), {}),
    ],
    "ic_iso_powlaw_full": [
        ("worked", ([1e9, 1e10, 1e11, 1e12, 1e13], [1e-10, 1e-11, 1e-12, 1e-13, 1e-14],
                    [1.0, 10.0, 100.0], [1.0, 1e-2, 1e-4]), {}),
        ("grid", (FREQS_IC, IC_INU, GAMMA_GRID, N_GAMMA), {}),
        ("one_freq", ([1e12], IC_INU, GAMMA_GRID, N_GAMMA), {}),
        ("empty_freqs", ([], IC_INU, GAMMA_GRID, N_GAMMA), {}),
        ("short_n", (FREQS_IC, IC_INU, GAMMA_GRID, N_GAMMA[:3]), {}),
        ("empty_g", (FREQS_IC, IC_INU, [], []), {}),
    ],
    "rad_cool_pwl": [
        ("thomson", (GG, SEED_FREQS, SEED_U, False), {}),
        ("klein_nishina", (GG, SEED_FREQS, SEED_U, True), {}),
        ("flat_kn", (GG[::3], geom(1e14, 2.0, 12), [1e-20] * 12, True), {}),
        ("empty_gamma", ([], SEED_FREQS, SEED_U, True), {}),
        ("with_kn_none", (GG, SEED_FREQS, SEED_U, None), {}),
    ],
    "rad_cool_mono": [
        ("thomson", (GG + [0.5], 1e10, 1.0, False), {}),
        ("klein_nishina_radio", (GG + [0.5], 1e10, 1.0, True), {}),
        ("klein_nishina_uv", (GG, 1e15, 2.5, True), {}),
        ("klein_nishina_gamma", (GG, 1e21, 1e-3, True), {}),
        ("nu0_zero", (GG, 0.0, 1.0, True), {}),
        ("keywords", (), {"with_kn": True, "u0": 1.0, "nu0": 1e12, "gg": [10.0, 1e6]}),
        ("str_nu0", (GG, "1e10", 1.0, True), {}),
    ],
    "ic_iso_monochrome_full": [
        ("worked", ([1e9, 1e12], 1.0, 1e10, [1.0, 1e-4], [1.0, 100.0]), {}),
        ("grid", (FREQS_IC, 0.5, 1e14, N_GAMMA, GAMMA_GRID), {}),
        ("one_gamma", (FREQS_IC, 1.0, 1e10, [1.0], [10.0]), {}),
        ("empty_freqs", ([], 1.0, 1e10, N_GAMMA, GAMMA_GRID), {}),
        ("short_n", (FREQS_IC, 1.0, 1e10, N_GAMMA[:2], GAMMA_GRID), {}),
        ("empty_g", (FREQS_IC, 1.0, 1e10, [1.0], []), {}),
    ],
    "rad_trans_slab": [
        ("spectrum", (RADIUS, J_NU, A_NU), {}),
        ("tau_edges", (1.0, [1.0] * len(TAU_EDGES), TAU_EDGES), {}),
        ("thin", (2.0, [3.0], [0.0]), {}),
        ("shorter_a", (2.0, [3.0, 4.0], [0.0]), {}),
        ("tuple_and_ints", (2, (3, 4), (1, 0)), {}),
    ],
}

SCALARS = {
    "gofb": [0.0, -0.0, 0.6, 1.0, -1.0, 2.0, 0.9999999999999999, 1e-8, NAN, INF],
    "bofg": [1.0, 0.5, 1.25, INF, NAN, 1.0000000000000002, -0.0, 1e200],
}


def text_parameters(function):
    """(parameter names, number required) from the stored text signature."""
    signature = getattr(function, "__text_signature__", None) or "()"
    inner = signature.strip()[1:-1]
    names, required = [], 0
    for part in inner.split(","):
        part = part.strip()
        if not part or part in ("$module", "/", "*"):
            continue
        names.append(part.split("=")[0].strip())
        required += "=" not in part
    return names, required


def expand(name, function):
    """All cases of one function: hand-written first, then generated ones."""
    cases = []
    for label, args, kwargs in CASES[name]:
        if args is None:
            for k, value in enumerate(SCALARS[name]):
                cases.append((f"{label}[{k}]", (value,), {}))
        else:
            cases.append((label, args, kwargs))
    params, required = text_parameters(function)
    if not params:
        cases.append(("binding/extra_positional", (1.0,), {}))
        return cases
    # The first hand-written positional call is the base of the generated ones.
    base = next(args for _, args, kwargs in cases if not kwargs and required <= len(args) <= len(params))
    cases += [
        ("binding/too_many", base + (0.0,) * (len(params) + 1 - len(base)), {}),
        ("binding/unknown_keyword", base, {"nope": 1.0}),
        ("binding/missing_all", (), {}),
        ("binding/twice", base, {params[0]: base[0]}),
        ("binding/all_keywords", (), dict(zip(params, base))),
    ]
    for i, param in enumerate(params):
        for bad_label, bad in (("str", "x"), ("none", None), ("list_of_str", ["x"]), ("object", object())):
            args = base[:i] + (bad,) + base[i + 1:]
            cases.append((f"convert/{param}/{bad_label}", args, {}))
    return cases


# ---------------------------------------------------------------------------
# Encoding.

def encode_float(x):
    return "nan" if x != x else float.hex(x)


def encode(value):
    if type(value) is float:
        return encode_float(value)
    if isinstance(value, list):
        return [encode(v) for v in value]
    if isinstance(value, tuple):
        return {"tuple": [encode(v) for v in value]}
    if isinstance(value, bool) or value is None:
        return {"object": repr(value)}
    if isinstance(value, int):
        return {"int": str(value)}
    if isinstance(value, float):  # float subclass
        return {type(value).__qualname__: encode_float(value)}
    return {"type": type(value).__qualname__}


def digest(args, kwargs):
    """A digest of the numbers a case passes, stable across machines."""

    def canon(v):
        if isinstance(v, float):
            return encode_float(v)
        if isinstance(v, (list, tuple)):
            return [canon(x) for x in v]
        if isinstance(v, dict):
            return {str(k): canon(x) for k, x in v.items()}
        if isinstance(v, (bool, int, str, bytes)) or v is None:
            return repr(v)
        return type(v).__qualname__

    text = json.dumps([canon(list(args)), canon(kwargs)], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def outcome(function, args, kwargs):
    try:
        return encode(function(*args, **kwargs))
    except BaseException as exc:  # PanicException derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        kind = type(exc)
        return {"raised": f"{kind.__module__}.{kind.__qualname__}", "message": str(exc)}


def write(path, quiet=False):
    import ostrel

    missing = [name for name in ostrel.__all__ if name not in CASES]
    if missing:
        sys.exit(f"golden.py: no cases for exported function(s): {', '.join(missing)}")
    records = 0
    with open(path, "w", encoding="utf-8") as out:
        for name in ostrel.__all__:
            function = getattr(ostrel, name)
            for label, args, kwargs in expand(name, function):
                args = tuple(a.make() if isinstance(a, Fresh) else a for a in args)
                record = {"case": f"{name}/{label}", "inputs": digest(args, kwargs),
                          "outcome": outcome(function, args, kwargs)}
                out.write(json.dumps(record) + "\n")
                records += 1
        # The module must still work after every failure above.
        record = {"case": "after/get_c", "inputs": "", "outcome": encode(ostrel.get_c())}
        out.write(json.dumps(record) + "\n")
    if not quiet:
        print(f"golden.py: {records + 1} cases for {len(ostrel.__all__)} functions written to {path}")


def fma_free_environment(environ):
    """(environment, changed): `environ` with glibc's generic libm routines
    selected where glibc would pick FMA variants (x86_64); unchanged elsewhere
    and where the setting is already there."""
    if platform.machine().lower() not in ("x86_64", "amd64"):
        return dict(environ), False
    tunables = environ.get("GLIBC_TUNABLES", "")
    if FMA_FREE in tunables.split(":"):
        return dict(environ), False
    env = dict(environ)
    env["GLIBC_TUNABLES"] = f"{tunables}:{FMA_FREE}" if tunables else FMA_FREE
    return env, True


def write_reference(path, quiet=False):
    """write() with glibc's generic libm routines: in this interpreter where
    they are already selected (or there is nothing to select), else in a child
    interpreter started with GLIBC_TUNABLES set. The module must be importable
    by this interpreter (the child inherits the environment)."""
    env, changed = fma_free_environment(os.environ)
    if not changed:
        write(path, quiet)
        return
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "write", str(path)], env=env,
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"golden.py write failed in a child interpreter (status {done.returncode}):\n"
                           f"{done.stdout[-3000:]}{done.stderr[-3000:]}")
    if not quiet:
        print(done.stdout, end="")


# ---------------------------------------------------------------------------
# The C library's own functions on fixed inputs, called through ctypes: shows
# whether two machines' libm agree at all (and how often glibc's FMA variants
# on x86_64 round differently), independently of the module.

LIBM_FUNCTIONS = {"exp": 1, "log": 1, "pow": 2, "sin": 1, "cos": 1, "atan2": 2, "hypot": 2, "log1p": 1}


def libm_inputs(count):
    """Deterministic doubles in [-40, 40) from a 64-bit LCG, exact arithmetic."""
    state = 0x2545F4914F6CDD1D
    out = []
    for _ in range(count):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        out.append(((state >> 11) - 2**52) / 2**52 * 40.0)
    return out


def write_libm(path, count=20000):
    import ctypes
    import ctypes.util

    libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
    xs = libm_inputs(count)
    with open(path, "w", encoding="utf-8") as out:
        for name, arity in LIBM_FUNCTIONS.items():
            f = getattr(libm, name)
            f.restype = ctypes.c_double
            f.argtypes = [ctypes.c_double] * arity
            if arity == 1:
                values = [f(abs(x) if name in ("log", "log1p") else x) for x in xs]
            else:
                values = [f(abs(x) if name == "pow" else x, y * 0.125) for x, y in zip(xs, xs[1:] + xs[:1])]
            record = {"case": f"libm/{name}", "inputs": str(count), "outcome": [encode_float(v) for v in values]}
            out.write(json.dumps(record) + "\n")


# ---------------------------------------------------------------------------
# Comparison.

def load(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def leaves(value, where=""):
    """(path, leaf) pairs of an encoded outcome; floats are the str leaves."""
    if isinstance(value, list):
        for i, v in enumerate(value):
            yield from leaves(v, f"{where}[{i}]")
    elif isinstance(value, dict) and "tuple" in value:
        for i, v in enumerate(value["tuple"]):
            yield from leaves(v, f"{where}.{i}")
    else:
        yield where, value


# The interpreter's own text for a METH_NOARGS function called with arguments:
# "ostrel.get_c() takes no arguments (1 given)" on CPython 3.10 and later,
# "get_c() takes no arguments (1 given)" on PyPy and CPython 3.9.
NOARGS_TEXT = re.compile(r"^ostrel\.(\w+\(\) takes no arguments)")


def host_neutral(outcome):
    """An exception outcome without the differences between interpreters."""
    if isinstance(outcome, dict) and "raised" in outcome:
        return {**outcome, "message": NOARGS_TEXT.sub(r"\1", outcome["message"])}
    return outcome


def differences(ref, other):
    """Differences between two lists of records, in the reference's case
    order: (problems, counts), problems a list of one-line texts, counts a
    dict with the numbers of cases, floats and exceptions compared and of the
    values (per case) and exceptions that differ."""
    problems = []
    counts = {"cases": 0, "floats": 0, "float_diffs": 0, "exceptions": 0, "exception_diffs": 0, "per_case": {}}
    ref_cases = {r["case"]: r for r in ref}
    other_cases = {r["case"]: r for r in other}
    counts["cases"] = len(ref_cases)
    if list(ref_cases) != list(other_cases):
        only_ref = [c for c in ref_cases if c not in other_cases]
        only_other = [c for c in other_cases if c not in ref_cases]
        if only_ref or only_other:
            problems.append(f"case lists differ: {len(only_ref)} only in the reference {only_ref[:8]}, "
                            f"{len(only_other)} only in the other {only_other[:8]}")
        else:
            problems.append("the same cases in another order")
    for case, r in ref_cases.items():
        o = other_cases.get(case)
        if o is None:
            continue
        if r["inputs"] != o["inputs"]:
            problems.append(f"{case}: inputs differ (digest {r['inputs']} != {o['inputs']})")
            continue
        a, b = host_neutral(r["outcome"]), host_neutral(o["outcome"])
        if isinstance(a, dict) and "raised" in a or isinstance(b, dict) and "raised" in b:
            counts["exceptions"] += 1
            if a != b:
                counts["exception_diffs"] += 1
                problems.append(f"{case}: {a} != {b}")
            continue
        la, lb = list(leaves(a)), list(leaves(b))
        if len(la) != len(lb) or [p for p, _ in la] != [p for p, _ in lb]:
            problems.append(f"{case}: result shapes differ: {a!r:.200} != {b!r:.200}")
            counts["float_diffs"] += 1
            continue
        for (path, x), (_, y) in zip(la, lb):
            if isinstance(x, str):
                counts["floats"] += 1
            if x != y:
                counts["float_diffs"] += 1
                counts["per_case"][case] = counts["per_case"].get(case, 0) + 1
                problems.append(f"{case}{path}: {x} != {y}")
    return problems, counts


def summary(counts):
    return (f"{counts['cases']} cases, {counts['floats']} float values and {counts['exceptions']} exceptions "
            f"compared; {counts['float_diffs']} values and {counts['exception_diffs']} exceptions differ")


def compare(ref_path, other_path, quiet=False):
    problems, counts = differences(load(ref_path), load(other_path))
    if quiet:
        if counts["per_case"]:
            print("  differing values per case: " + ", ".join(f"{c} {n}" for c, n in counts["per_case"].items()))
    else:
        for p in problems[:40]:
            print("  " + p)
        if len(problems) > 40:
            print(f"  ... and {len(problems) - 40} more")
    print(f"golden.py: {summary(counts)} ({other_path} against {ref_path})")
    return 0 if not problems else 1


def main(argv):
    if len(argv) >= 3 and argv[1] == "libm":
        write_libm(argv[2])
        return 0
    if len(argv) >= 3 and argv[1] == "write":
        write(argv[2])
        return 0
    if len(argv) in (2, 3) and argv[1] == "regenerate":
        write_reference(argv[2] if len(argv) == 3 else REFERENCE)
        return 0
    if len(argv) >= 4 and argv[1] == "compare":
        return compare(argv[2], argv[3], quiet="--quiet" in argv[4:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
