"""Diagnostic reports written by several workers at once come out whole.

syn_emissivity_full writes a report for every segment integral that does not
converge: an emission block of seven lines on standard output followed by
"RMA_qromb: too many steps" (no line end) on standard error, and an
absorption block of eight lines on standard error. With a Lorentz-factor grid
of negative values every integral fails (ln g is NaN, so is every estimate),
so every frequency writes reports for every segment, from whichever worker
evaluates it. The text on each stream must be the same set of whole blocks
for every worker count: only the order of the blocks may differ.
"""

import collections
import os
import re
import subprocess
import sys

import pytest

N_FREQS = 300
N_SEGMENTS = 5

CHILD = f"""
import ostrel
g = [-(1.0 + 0.5 * k) for k in range({N_SEGMENTS + 1})]
n = [10.0 ** -k for k in range({N_SEGMENTS + 1})]
freqs = [1e8 * 1.01 ** k for k in range({N_FREQS})]
j, a = ostrel.syn_emissivity_full(freqs, g, n, 1.0, True)
assert len(j) == len(a) == {N_FREQS}
"""

VALUES = ("chi    = ", "q      = ", "ga     = ", "gb     = ", "qromb  = ", "dqromb = ")
LINES = "".join(re.escape(v) + r"[^\n]*\n" for v in VALUES)
STDOUT_BLOCK = re.compile("RMA_qromb error\n" + LINES)
STDERR_BLOCK = re.compile("RMA_qromb: too many steps(?!\n)|ARMA_qromb error\n" + LINES + "ARMA_qromb: too many steps\n")


def whole_blocks(text, pattern):
    """The text cut into consecutive blocks; fails if any part of it is not a
    whole block (a block broken by another worker's lines)."""
    blocks = []
    pos = 0
    while pos < len(text):
        match = pattern.match(text, pos)
        assert match, f"broken block at byte {pos}: {text[pos:pos + 200]!r}"
        blocks.append(match.group(0))
        pos = match.end()
    return blocks


def streams(workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    # The child writes to its own descriptors 1 and 2, which are these pipes.
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout.decode(), done.stderr.decode()


@pytest.fixture(scope="module")
def reference():
    return streams(1)


def test_one_worker_writes_every_report_in_order(reference):
    out, err = reference
    out_blocks = whole_blocks(out, STDOUT_BLOCK)
    err_blocks = whole_blocks(err, STDERR_BLOCK)
    integrals = N_FREQS * N_SEGMENTS
    assert len(out_blocks) == integrals
    # Per frequency: each emission report's closing text, then the
    # absorption reports, which follow the whole emission pass.
    per_frequency = ["RMA_qromb: too many steps"] * N_SEGMENTS + ["ARMA"] * N_SEGMENTS
    assert [b if b.startswith("RMA") else "ARMA" for b in err_blocks] == per_frequency * N_FREQS
    # The emission and absorption reports of one integral carry the same values.
    absorption = [b for b in err_blocks if b.startswith("ARMA")]
    assert [b.split("\n")[1:7] for b in absorption] == [b.split("\n")[1:7] for b in out_blocks]
    # Each frequency has its own chi, in frequency order.
    chis = [b.split("\n")[1] for b in out_blocks[::N_SEGMENTS]]
    assert len(set(chis)) == N_FREQS


@pytest.mark.parametrize("workers", [2, 4])
def test_blocks_are_whole_and_the_same_for_every_worker_count(reference, workers):
    out, err = streams(workers)
    ref_out, ref_err = reference
    assert collections.Counter(whole_blocks(out, STDOUT_BLOCK)) == \
        collections.Counter(whole_blocks(ref_out, STDOUT_BLOCK))
    assert collections.Counter(whole_blocks(err, STDERR_BLOCK)) == \
        collections.Counter(whole_blocks(ref_err, STDERR_BLOCK))
