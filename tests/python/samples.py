"""Sample calls of every exported function: one that succeeds (scaled by a
size, with physically sensible inputs) and, where the function can fail
inside its computation, one that raises PanicException."""

import math


def _logspace(lo, hi, n):
    if n == 1:
        return [10.0 ** lo]
    return [10.0 ** (lo + (hi - lo) * k / (n - 1)) for k in range(n)]


def _power_law(grid, index, scale=1.0):
    return [scale * (x / grid[0]) ** -index for x in grid]


def ok_call(name, size=8):
    """Positional arguments of a call of `name` that returns a result."""
    n = max(2, size)
    gammas = _logspace(1, 5, n)
    freqs = _logspace(8, 20, n)
    electrons = _power_law(gammas, 2.5, 1.0)
    seed = _power_law(freqs, 0.75, 1e-12)
    return {
        "get_c": lambda: (),
        "gofb": lambda: ([0.999 * k / n for k in range(n)],),
        "bofg": lambda: ([1.0 + k for k in range(n)],),
        "eq_59_park1995": lambda: (0.5, _logspace(0.1, 3, n)),
        "fp_findif_difu": lambda: (
            1e3, gammas, electrons, [1e-8 * g * g for g in gammas], [1e-12 * g * g for g in gammas],
            [0.0] * (n - 1) + [1.0], 1e5, 1e3, None),
        "syn_emissivity_full": lambda: (_logspace(8, 16, max(2, n // 4)), gammas[:4], electrons[:4], 0.1, True),
        "rad_trans_blob": lambda: (1e16, seed, [1e-17 * (f / 1e8) ** -2 for f in freqs]),
        "ic_iso_powlaw_full": lambda: (freqs[: max(2, n // 2)], seed[: max(2, n // 2)], gammas, electrons),
        "rad_cool_pwl": lambda: (gammas, freqs, [1e-20 * (f / 1e8) ** -0.5 for f in freqs], True),
        "rad_cool_mono": lambda: (gammas, 1e15, 1e-2, True),
        "ic_iso_monochrome_full": lambda: (_logspace(14, 26, n), 1e-2, 1e15, electrons, gammas),
        "rad_trans_slab": lambda: (1e16, seed, [1e-17 * (f / 1e8) ** -2 for f in freqs]),
    }[name]()


# Calls that end in an internal failure, with the start of its message.
PANICS = {
    "fp_findif_difu": ((1.0, [1.0], [1.0], [0.0], [1.0], [0.0], 1e200, 1.0), "index out of bounds"),
    "syn_emissivity_full": (([1e9], [1.0, 10.0, 100.0], [1.0, 1.0], 1.0, True), ""),
    "rad_trans_blob": ((1.0, [1.0, 2.0], [1.0]), "array index out of bounds"),
    "ic_iso_powlaw_full": (([1e9, 1e10], [1e-10], [1.0, 10.0], [1.0, 1.0]), ""),
    "rad_cool_pwl": (([10.0], [1e9, 2e9], [1.0], False), ""),
    "rad_cool_mono": None,
    "ic_iso_monochrome_full": (([1e12], 1.0, 1e10, [1.0], [1.0, 100.0]), ""),
    "rad_trans_slab": ((1.0, [1.0, 2.0], [1.0]), "array index out of bounds"),
}


def panic_call(name):
    entry = PANICS.get(name)
    return None if entry is None else entry[0]


def is_finite_result(result):
    if isinstance(result, float):
        return math.isfinite(result)
    if isinstance(result, tuple):
        return all(is_finite_result(part) for part in result)
    return all(math.isfinite(v) for v in result)
