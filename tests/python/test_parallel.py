"""The worker pool as seen from Python: its size and how worker failures arrive."""

import os
import subprocess
import sys

import pytest

import ostrel
from diagnostics import failure_messages

COUNT_WORKERS = (
    "import os, ostrel\n"
    "ostrel.rad_cool_mono([1.0, 2.0, 3.0], 1e10, 1.0, False)\n"
    "print(len(os.listdir('/proc/self/task')) - 1)\n"
)


def workers_with(**env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars)
    done = subprocess.run([sys.executable, "-c", COUNT_WORKERS], env=env, capture_output=True, text=True,
                          timeout=60, check=True)
    return int(done.stdout)


# Counts the process's threads in /proc; under user-mode emulation the
# emulator's own threads are counted too.
needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")


@needs_proc
@pytest.mark.native_only
def test_worker_count_rules():
    default = workers_with()
    available = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    assert 1 <= default <= available
    assert workers_with(RAYON_NUM_THREADS="3") == 3
    assert workers_with(RAYON_NUM_THREADS="4", RAYON_RS_NUM_CPUS="2") == 4
    assert workers_with(RAYON_RS_NUM_CPUS="5") == 5
    assert workers_with(RAYON_NUM_THREADS="abc", RAYON_RS_NUM_CPUS="5") == 5
    for value in ("0", "abc", "-3", "+4", " 4", ""):
        assert workers_with(RAYON_NUM_THREADS=value) == default, value
    assert workers_with(RAYON_RS_NUM_CPUS="0") == default


@needs_proc
@pytest.mark.native_only
def test_pool_is_created_even_for_an_empty_map():
    code = "import os, ostrel\nostrel.rad_cool_mono([], 1e10, 1.0, False)\nprint(len(os.listdir('/proc/self/task')) - 1)\n"
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = "3"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert int(done.stdout) == 3


def test_worker_failure_reaches_the_caller_and_the_pool_stays_usable(capfd):
    # Two equal frequencies with equal values make the segment index NaN.
    # Lorentz factors 5 and 9 put that segment in the Klein-Nishina range,
    # where the Romberg integration cannot converge; the others stay in the
    # Thomson range (a NaN rate, no failure). Which of the two failures wins
    # is checked with distinct failures in the C++ tests of the pool.
    freqs = [1e15, 1e15, 2e15]
    uu = [1e-20, 1e-20, 3e-20]
    gg = [1.0] * 12
    gg[5] = gg[9] = 1e3
    for _ in range(3):
        with pytest.raises(BaseException) as e:
            ostrel.rad_cool_pwl(gg, freqs, uu, True)
        assert type(e.value).__name__ == "PanicException"
        assert str(e.value) == 'called `Result::unwrap()` on an `Err` value: "qromb: too many steps"'
        # Points 5 and 9 may fail in separate pieces: one block or two.
        assert failure_messages(capfd) in ([str(e.value)], [str(e.value)] * 2)
    rates = ostrel.rad_cool_pwl([1.0, 2.0, 3.0], [1e15, 2e15], [1e-20, 1e-20], True)
    assert all(r > 0 for r in rates)
