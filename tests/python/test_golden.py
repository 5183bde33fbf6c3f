"""Every exported function against the committed reference results, bit for bit.

tests/python/data/golden.jsonl holds the outcome of every case of
scripts/golden.py (physical grids, branch edges, binding and conversion
failures, internal failures) as hex floats and exception texts, evaluated
with glibc's generic libm routines. Here the same cases are evaluated again,
on x86_64 in a child interpreter with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA
(glibc's FMA-specialised exp, pow, log, ... differ in the last bit for a few
inputs), elsewhere in this interpreter, and must give the same bits and the
same texts. When a result is meant to change: ``python scripts/golden.py
regenerate``, then commit the new file with the change."""

import importlib.util
import json

import pytest

from conftest import REPO

SCRIPT = REPO / "scripts" / "golden.py"
REGENERATE = "python scripts/golden.py regenerate"

pytestmark = pytest.mark.skipif(not SCRIPT.is_file(), reason="needs the source tree")


def load_script():
    spec = importlib.util.spec_from_file_location("golden_script", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def golden():
    return load_script()


def report(problems, counts, reference):
    lines = [f"{len(problems)} differences from {reference.relative_to(REPO)} ({reference.name} first, now second); "
             f"{counts['float_diffs']} values and {counts['exception_diffs']} exceptions differ"]
    if counts["per_case"]:
        lines.append("values per case: " + ", ".join(f"{c}: {n}" for c, n in list(counts["per_case"].items())[:12]))
    lines += ["  " + p for p in problems[:15]]
    if len(problems) > 15:
        lines.append(f"  ... and {len(problems) - 15} more")
    lines.append(f"if the change is meant, regenerate the file ({REGENERATE}) and commit it with the change")
    return "\n".join(lines)


def test_every_function_gives_the_committed_bits(golden, tmp_path):
    now = tmp_path / "now.jsonl"
    golden.write_reference(now, quiet=True)
    problems, counts = golden.differences(golden.load(golden.REFERENCE), golden.load(now))
    assert not problems, report(problems, counts, golden.REFERENCE)
    assert counts["floats"] > 1000 and counts["exceptions"] > 200


def test_reference_covers_every_exported_function(golden):
    import ostrel

    cases = [record["case"] for record in golden.load(golden.REFERENCE)]
    covered = {case.split("/")[0] for case in cases}
    assert set(ostrel.__all__) <= covered, f"regenerate the reference ({REGENERATE})"
    assert len(cases) == len(set(cases))


def test_comparison_reports_a_single_bit_and_a_changed_text(golden):
    """The comparison itself: one ulp in one value, or one changed word in an
    exception text, is a difference; a NaN's sign and the module prefix of
    the interpreter's own 'takes no arguments' text are not."""
    ref = [json.loads(line) for line in golden.REFERENCE.read_text(encoding="utf-8").splitlines()]
    floats = next(r for r in ref if isinstance(r["outcome"], list) and r["outcome"]
                  and isinstance(r["outcome"][0], str) and r["outcome"][0] not in ("nan", "inf", "-inf"))
    panic = next(r for r in ref if isinstance(r["outcome"], dict) and r["outcome"].get("raised", "").startswith("pyo3"))

    def changed(record, outcome):
        return [dict(r, outcome=outcome) if r is record else r for r in ref]

    value = float.fromhex(floats["outcome"][0])
    next_up = (value + abs(value) * 2.0 ** -52).hex()
    assert next_up != floats["outcome"][0]
    problems, counts = golden.differences(ref, changed(floats, [next_up] + floats["outcome"][1:]))
    assert counts["float_diffs"] == 1 and problems == [f"{floats['case']}[0]: {floats['outcome'][0]} != {next_up}"]

    problems, _ = golden.differences(ref, changed(panic, dict(panic["outcome"], message="something else")))
    assert len(problems) == 1 and problems[0].startswith(panic["case"])

    problems, _ = golden.differences(ref, ref[:-1])
    assert problems and "only in the reference" in problems[0]

    noargs = {"raised": "builtins.TypeError", "message": "ostrel.get_c() takes no arguments (1 given)"}
    bare = dict(noargs, message="get_c() takes no arguments (1 given)")
    assert golden.host_neutral(noargs) == golden.host_neutral(bare)
