"""The code in the documentation runs."""

import pathlib
import re

import pytest

pytest.importorskip("numpy")

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
BLOCKS = [(page.name, k, block)
          for page in sorted(DOCS.glob("*.md"))
          for k, block in enumerate(re.findall(r"```python\n(.*?)```", page.read_text(), re.S))]


@pytest.mark.parametrize("page,index,code", BLOCKS, ids=[f"{p}-{k}" for p, k, _ in BLOCKS])
def test_documented_code_runs(page, index, code):
    namespace = {}
    exec(compile(code, f"{page}[{index}]", "exec"), namespace)  # noqa: S102 - our own documentation
    assert len(namespace["n"]) == len(namespace["gamma"])
    assert all(v == v for v in namespace["n"])
