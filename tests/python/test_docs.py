"""The code in the documentation runs."""

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

pytest.importorskip("numpy")

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
# Pages of the model layer are run as a whole below; the others hold pieces
# of the kernel chain, each ending with a distribution n on a grid gamma.
MODEL_PAGES = ("first-model.md",)
BLOCKS = [(page.name, k, block)
          for page in sorted(DOCS.glob("*.md")) if page.name not in MODEL_PAGES
          for k, block in enumerate(re.findall(r"```python\n(.*?)```", page.read_text(), re.S))]


@pytest.mark.parametrize("page,index,code", BLOCKS, ids=[f"{p}-{k}" for p, k, _ in BLOCKS])
def test_documented_code_runs(page, index, code):
    namespace = {}
    exec(compile(code, f"{page}[{index}]", "exec"), namespace)  # noqa: S102 - our own documentation
    assert len(namespace["n"]) == len(namespace["gamma"])
    assert all(v == v for v in namespace["n"])


def blocks(text, kind):
    return re.findall(r"```" + kind + r"\n(.*?)```", text, re.S)


def test_first_model_page_runs_as_written(tmp_path):
    """Every step of the first-model page, in order, in a fresh folder: the
    model file, the sed command, the Python version, then the evolution."""
    text = (DOCS / "first-model.md").read_text()
    toml, commands, python = blocks(text, "toml"), blocks(text, "console"), blocks(text, "python")
    assert len(toml) == 2 and len(commands) == 2 and len(python) == 1
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(DOCS.parent / "python"), env.get("PYTHONPATH", "")])

    def run(command):
        assert command.startswith("$ python ")
        argv = [sys.executable] + shlex.split(command[len("$ python "):])
        if "--plot" in argv and not has("matplotlib"):
            argv = argv[:argv.index("--plot")] + argv[argv.index("--plot") + 2:]
        done = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        return done

    (tmp_path / "model.toml").write_text(toml[0])
    run(commands[0].strip())
    rows = (tmp_path / "sed.csv").read_text().splitlines()
    assert rows[0] == "nu_hz,total,synchrotron,ssc,ec"
    assert len(rows) == 1 + 201  # 1e8 ... 1e28 Hz at 10 per decade
    values = [[float(x) for x in row.split(",")] for row in rows[1:]]
    assert all(abs(t - (s + c + e)) <= 1e-12 * t for _, t, s, c, e in values)
    assert max(v[2] for v in values) > 0 and max(v[3] for v in values) > 0
    if has("matplotlib"):
        assert (tmp_path / "sed.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The Python version gives the command line's numbers.
    namespace = {}
    exec(compile(python[0], "first-model.md", "exec"), namespace)  # noqa: S102 - our own documentation
    assert len(namespace["nu"]) == len(values)
    for nu, total, row in zip(namespace["nu"], namespace["sed"].total, values):
        # the two grids agree to rounding, which moves the values by far less than 1e-6
        assert nu == pytest.approx(row[0], rel=1e-12)
        assert float(total) == pytest.approx(row[1], rel=1e-6, abs=1e-30)

    with open(tmp_path / "model.toml", "a") as f:
        f.write("\n" + toml[1])
    run(commands[1].strip())
    electrons = (tmp_path / "electrons.csv").read_text().splitlines()
    assert electrons[0] == "gamma,n"
    assert (tmp_path / "final.csv").read_text().splitlines()[0] == "nu_hz,total,synchrotron,ssc,ec"


def has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True
