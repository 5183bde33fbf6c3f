"""The module object: its function table, docstrings, exports and initialisation."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import ostrel
from conftest import IS_PYPY, REGISTERED

DOCS = {
    "get_c": "Example retrieving constant from constants file can be improved by using macros",
    "gofb": "functions from mirvane",
    "eq_59_park1995": "functions from distribs",
}


def test_public_names_are_the_exported_functions():
    # __all__ itself is compared with the stub file in test_function_table.py.
    assert len(set(ostrel.__all__)) == len(ostrel.__all__)
    public = [name for name in vars(ostrel) if not name.startswith("_")]
    assert sorted(public) == sorted(ostrel.__all__)
    assert all(callable(getattr(ostrel, name)) for name in ostrel.__all__)


def test_module_docstring_and_name():
    assert ostrel.__doc__ == "A Python module implemented in C++."
    assert ostrel.__name__ == "ostrel"


@pytest.mark.parametrize("name", REGISTERED)
def test_function_metadata(name):
    # The text signature is compared with the stub file in test_function_table.py.
    function = getattr(ostrel, name)
    assert function.__name__ == name
    assert function.__module__ == "ostrel"
    if not IS_PYPY:  # PyPy's built-in functions carry no __self__.
        assert function.__self__ is ostrel
    # An empty documentation text after the signature reads back as None.
    assert function.__doc__ == DOCS.get(name)


def test_get_c_takes_no_arguments():
    assert ostrel.get_c() == 29979245800.0
    with pytest.raises(TypeError):
        ostrel.get_c(1)
    with pytest.raises(TypeError):
        ostrel.get_c(x=1)


def _load_again(path):
    spec = importlib.util.spec_from_file_location("ostrel", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_second_initialisation_is_refused(tmp_path):
    # Another path to the same file: PyPy hands back its cached module for
    # the same path, CPython re-runs the entry point either way.
    link = tmp_path / os.path.basename(ostrel.__file__)
    link.symlink_to(ostrel.__file__)
    for path in (ostrel.__file__, str(link)):
        if IS_PYPY and path == ostrel.__file__:
            continue
        with pytest.raises(ImportError, match="only once per interpreter process"):
            _load_again(path)
    assert ostrel.gofb(0.6) == 1.25
    assert ostrel.rad_trans_slab(2.0, [3.0], [0.0]) == [6.0]


def test_reimport_after_dropping_the_module_is_refused():
    code = (
        "import sys, ostrel\n"
        "first = ostrel\n"
        "del sys.modules['ostrel']\n"
        "try:\n"
        "    import ostrel\n"
        "except ImportError as e:\n"
        "    print('refused', e)\n"
        "print(first.gofb(0.6))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    if not IS_PYPY:  # PyPy keeps the module cached and hands it back.
        assert "refused" in out
    assert out.strip().endswith("1.25")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", ostrel.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_ostrel"]


def test_extension_file_has_the_interpreters_suffix():
    assert ostrel.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
