"""The module's own function table (src/module/functions.cpp, read back through
``__all__`` and each function's ``__text_signature__``) against everything
written by hand about it: the stub file, the README's function table, the
documentation's page table and the signatures quoted on the pages. Also the
compile-time checks that keep the table consistent in C++."""

import ast
import os
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

import ostrel
from conftest import REPO, stub_functions, stub_kinds, stub_path, text_parameters

NAMES = list(ostrel.__all__)
DOCS = REPO / "docs"
README = REPO / "README.md"
# Backticked words in the documentation's page table that are not functions.
NOT_FUNCTIONS = {"ostrel_models", "RAYON_NUM_THREADS"}

needs_stub = pytest.mark.skipif(stub_path() is None, reason="no stub file beside the tests or the module")
needs_docs = pytest.mark.skipif(not (README.is_file() and DOCS.is_dir()), reason="needs the source tree")


def signature_text(name):
    params = text_parameters(getattr(ostrel, name))
    return ", ".join(p if d is None else f"{p}={d}" for p, d in params)


def table_rows(text, heading=None):
    """Cells of the rows of the first Markdown table (after `heading`, if
    given), without the header and separator rows. Escaped pipes stay."""
    lines = text.splitlines()
    if heading is not None:
        lines = lines[[i for i, line in enumerate(lines) if line.startswith(heading)][0]:]
    start = next(i for i, line in enumerate(lines) if line.startswith("|"))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in re.split(r"(?<!\\)\|", line)[1:-1]])
    return rows


def signatures_in(text):
    """(name, parameter text) of every backticked `name(...)` in `text`."""
    return re.findall(r"`([a-z_][a-z_0-9]*)\(([^`()]*)\)`", text)


def is_signature(params):
    """Parameter text made of names (with =None defaults), not a call with values."""
    return params == "" or all(re.fullmatch(r"[a-z_][a-z_0-9]*(=None)?", p.strip()) for p in params.split(","))


# ------------------------------------------------------------------ the stub


@needs_stub
def test_stub_all_is_the_modules_all():
    tree = ast.parse(stub_path().read_text(encoding="utf-8"))
    declared = [node.value for node in tree.body
                if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]]
    assert len(declared) == 1, "the stub declares __all__ once"
    assert ast.literal_eval(declared[0]) == NAMES


@needs_stub
def test_stub_defines_every_function_in_table_order():
    assert list(stub_functions()) == NAMES


@needs_stub
@pytest.mark.parametrize("name", NAMES)
def test_stub_signature_is_the_modules(name):
    overloads = stub_functions().get(name)
    assert overloads, f"{name} is missing from {stub_path()}"
    expected = text_parameters(getattr(ostrel, name))
    for overload in overloads:
        assert [(p, d) for p, _, d in overload] == expected
    unknown = [p for p, kind in stub_kinds(overloads) if kind is None]
    assert not unknown, (f"{name}: parameters {unknown} have annotations the tests cannot map to a kind "
                         f"(conftest.STUB_KINDS), or differ between overloads")


# ------------------------------------------------------------- documentation


@needs_docs
def test_readme_function_table_names_every_function_with_its_signature():
    seen = []
    for cells in table_rows(README.read_text(encoding="utf-8"), "## Functions"):
        previous = None
        for name, params in signatures_in(cells[0]):
            assert name in NAMES, f"README names {name}(), which the module does not export"
            if params == "…":
                # "(…)": the same parameters as the function before it in the cell.
                assert previous is not None and signature_text(name) == signature_text(previous), name
            else:
                assert params == signature_text(name), f"README: {name}({params})"
            seen.append(name)
            previous = name
    assert sorted(seen) == sorted(NAMES), (f"README's function table: missing {sorted(set(NAMES) - set(seen))}, "
                                           f"repeated {sorted({n for n in seen if seen.count(n) > 1})}")


@needs_docs
def test_documentation_index_sends_each_function_to_a_page_that_names_it():
    pages = {}
    for cells in table_rows((DOCS / "index.md").read_text(encoding="utf-8")):
        link = re.fullmatch(r"\[[^]]+\]\(([^)#]+)\)", cells[0])
        assert link, f"first cell is not a link to a page: {cells[0]}"
        page = DOCS / link.group(1)
        assert page.is_file(), f"docs/index.md links to a missing page {link.group(1)}"
        for word in re.findall(r"`([^`]+)`", cells[1]):
            if word in NOT_FUNCTIONS:
                continue
            assert word in NAMES, f"docs/index.md lists `{word}`, which the module does not export"
            assert word not in pages, f"docs/index.md lists `{word}` on two rows"
            pages[word] = page
    missing = [name for name in NAMES if name not in pages]
    assert not missing, f"docs/index.md has no row for {missing}"
    for name, page in pages.items():
        assert f"`{name}" in page.read_text(encoding="utf-8"), f"{page.name} does not name `{name}`"


@needs_docs
@pytest.mark.parametrize("path", [README] + sorted(DOCS.glob("*.md")), ids=lambda p: p.name)
def test_quoted_signatures_are_the_modules(path):
    wrong = [f"{name}({params})" for name, params in signatures_in(path.read_text(encoding="utf-8"))
             if name in NAMES and params != "…" and is_signature(params) and params != signature_text(name)]
    assert not wrong, f"{path.name} quotes signatures the module does not have: {wrong}"


# ------------------------------------------------------ compile-time checks

CXX = shutil.which("c++") or shutil.which("g++")
PYTHON_H = pathlib.Path(sysconfig.get_paths()["include"]) / "Python.h"

SNIPPET = """
#include "module/binder.hpp"
using namespace ostrel::module;
constexpr Signature<2> sig{"f", {"a", "b"}, %(required)s, "%(doc)s"};
PyObject* wrapper(Arguments<sig> call) {
    const auto values = call.bind<%(kinds)s>();
    return std::get<0>(values) > 0 ? Py_None : nullptr;
}
"""
GOOD = {"required": "1", "doc": r"f(a, b=None)\n--\n\n", "kinds": "double, std::optional<bool>"}


@pytest.mark.native_only
@pytest.mark.skipif(CXX is None or not PYTHON_H.is_file(), reason="needs a C++ compiler and Python.h")
@pytest.mark.parametrize("change,message", [
    ({}, None),
    ({"kinds": "double"}, "as many arguments as its signature names"),
    ({"kinds": "double, bool, bool"}, "as many arguments as its signature names"),
    ({"required": "2", "doc": r"f(a, b)\n--\n\n"}, "the parameters after the required ones"),
    ({"kinds": "std::optional<bool>, double"}, "the parameters after the required ones"),
    ({"doc": r"f(a, c=None)\n--\n\n"}, "text signature must spell"),
    ({"doc": r"f(a, b)\n--\n\n"}, "text signature must spell"),
    ({"doc": "f(a, b=None)"}, "text signature must spell"),
], ids=["consistent", "too-few-kinds", "too-many-kinds", "required-count", "optional-first", "doc-name",
        "doc-default", "doc-separator"])
def test_inconsistent_signature_does_not_compile(tmp_path, change, message):
    source = tmp_path / "snippet.cpp"
    source.write_text(SNIPPET % {**GOOD, **change})
    # The compiler runs without the sanitizer runtime that scripts/test-sanitizers preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([CXX, "-std=c++20", "-fsyntax-only", f"-I{REPO / 'src'}", f"-I{PYTHON_H.parent}",
                           str(source)], capture_output=True, text=True, timeout=120, env=env)
    if message is None:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0 and message in done.stderr, done.stderr[-2000:]
