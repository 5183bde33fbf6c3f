"""Shared facts about the module's interface, used across the test files.

The function table comes from the module itself: the names and their order
from ``ostrel.__all__``, the parameter names and defaults from each function's
``__text_signature__``. The kind of each parameter (what it converts to) is
read from the annotations of the stub file, src/module/ostrel.pyi, which
test_function_table.py checks against the module; tests/python/test_arguments.py
then checks that the module converts each parameter as its stub declares.
"""

import ast
import ctypes
import ctypes.util
import pathlib
import platform

import ostrel

IS_PYPY = platform.python_implementation() == "PyPy"
REPO = pathlib.Path(__file__).resolve().parents[2]


def stub_path():
    """The stub file: the source tree's, else the one installed beside the module."""
    for path in (REPO / "src" / "module" / "ostrel.pyi", pathlib.Path(ostrel.__file__).with_name("ostrel.pyi")):
        if path.is_file():
            return path
    return None


def text_parameters(function):
    """[(name, default text or None)] from a function's __text_signature__."""
    signature = getattr(function, "__text_signature__", None)
    if signature is None:
        raise AssertionError(f"{function.__name__} has no __text_signature__")
    inner = signature.strip()
    assert inner.startswith("(") and inner.endswith(")"), signature
    params = []
    for part in inner[1:-1].split(","):
        part = part.strip()
        if not part or part in ("$module", "/", "*"):
            continue
        name, eq, default = part.partition("=")
        params.append((name.strip(), default.strip() if eq else None))
    return params


# Parameter kinds, by the stub's annotation: "f" float, "v" float vector,
# "b" bool, "o" optional bool; a parameter typed float in one overload and a
# vector in another is "fv".
STUB_KINDS = {"_Float": "f", "float": "f", "_Vector": "v", "bool": "b", "Optional[bool]": "o"}


def stub_functions(path=None):
    """{name: [overload, ...]} of the stub's top-level functions, each overload
    a list of (parameter, annotation text, default text or None)."""
    path = path or stub_path()
    tree = ast.parse(path.read_text(encoding="utf-8"))
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            positional = a.posonlyargs + a.args
            defaults = [None] * (len(positional) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
            out.setdefault(node.name, []).append(
                [(arg.arg, ast.unparse(arg.annotation) if arg.annotation else None, default)
                 for arg, default in zip(positional, defaults)])
    return out


def stub_kinds(overloads):
    """[(parameter, kind or None)] of one stub function, overloads merged."""
    kinds = []
    for i, (param, _, _) in enumerate(overloads[0]):
        found = {STUB_KINDS.get(o[i][1]) if i < len(o) else None for o in overloads}
        kind = "".join(sorted(found, key="fvbo".index)) if None not in found else None
        kinds.append((param, kind))
    return kinds


def _table():
    stub = stub_functions() if stub_path() else {}
    table = []
    for name in ostrel.__all__:
        params = [p for p, _ in text_parameters(getattr(ostrel, name))]
        kinds = stub_kinds(stub[name]) if name in stub else []
        # A function whose stub is missing or disagrees with the module is
        # left out here, so that test_function_table.py reports it once
        # rather than every test file failing on it.
        if [p for p, _ in kinds] == params and all(kind is not None for _, kind in kinds):
            table.append((name, kinds))
    return table


# Every exported function in registration order, with the kind of each parameter.
TABLE = _table()
PARAMS = dict(TABLE)
REGISTERED = [name for name, _ in TABLE]
# Functions bound by the common argument rules: at least one parameter, each
# of one kind (get_c takes none; gofb and bofg read a float or a vector).
BOUND = [name for name, params in TABLE if params and all(len(kind) == 1 for _, kind in params)]

# A value of each kind that converts without error.
VALID = {"f": 1.0, "v": [1.0, 2.0], "b": True, "o": None, "fv": 1.0}


def valid_args(name):
    return [VALID[kind] for _, kind in PARAMS[name]]


def required(name):
    """Names of the required parameters (those without a default)."""
    return [p for p, default in text_parameters(getattr(ostrel, name)) if default is None]


_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in ("exp", "log", "pow", "sqrt", "hypot", "atan2", "fmax", "fmin"):
    getattr(_libm, _fn).restype = ctypes.c_double
    getattr(_libm, _fn).argtypes = [ctypes.c_double] * (2 if _fn in ("pow", "hypot", "atan2", "fmax", "fmin") else 1)


class libm:
    """The C math library, so that Python models of the kernels round the same."""

    exp = _libm.exp
    log = _libm.log
    pow = _libm.pow
    sqrt = _libm.sqrt
    hypot = _libm.hypot
    atan2 = _libm.atan2
    fmax = _libm.fmax
    fmin = _libm.fmin


def same_bits(a, b):
    """Equality of floats bit for bit (NaN equals NaN, 0.0 differs from -0.0)."""
    return [x.hex() if x == x else "nan" for x in a] == [x.hex() if x == x else "nan" for x in b]


def neville(xa, ya, x):
    """Neville interpolation written out in the kernels' order of operations: (y, dy)."""
    n = len(xa)
    c, d = list(ya), list(ya)
    ho = [v - x for v in xa]
    dif, ns, y = 1.7976931348623157e308, 0, 0.0
    for i in range(n):
        if abs(ho[i]) < dif:
            ns, y, dif = i, ya[i], abs(ho[i])
    dy = 0.0
    for m in range(1, n):
        for i in range(n - m):
            hp = ho[i + m]
            q = (c[i + 1] - d[i]) / (ho[i] - hp)
            d[i] = hp * q
            c[i] = ho[i] * q
        if 2 * ns < n - m:
            dy = c[ns]
        else:
            ns -= 1
            dy = d[ns]
        y = y + dy
    return y, dy
