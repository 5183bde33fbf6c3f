"""Many Python threads and several processes using the parallel kernels."""

import multiprocessing
import threading

import pytest

import ostrel
from conftest import IS_PYPY
from samples import ok_call

PARALLEL = [n for n in ("syn_emissivity_full", "ic_iso_powlaw_full", "rad_cool_pwl", "rad_cool_mono",
                        "ic_iso_monochrome_full") if n in ostrel.__all__]
needs_parallel = pytest.mark.skipif(not PARALLEL, reason="no parallel kernel built yet")


def compute_all(size=24):
    return {name: getattr(ostrel, name)(*ok_call(name, size)) for name in PARALLEL}


@needs_parallel
def test_threads_calling_at_once_get_the_serial_results():
    expected = compute_all()
    results, errors = [], []
    start = threading.Barrier(8)

    def worker():
        try:
            start.wait()
            for _ in range(3):
                results.append(compute_all())
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert len(results) == 24
    assert all(r == expected for r in results)


def _child(queue):
    queue.put(compute_all())


@needs_parallel
@pytest.mark.parametrize(
    "method",
    ["fork", "spawn", "forkserver"] if not IS_PYPY else ["fork", "spawn"],
)
def test_processes_after_the_pool_was_used(method):
    expected = compute_all()  # the parent's pool exists and has run
    ctx = multiprocessing.get_context(method)
    queue = ctx.Queue()
    child = ctx.Process(target=_child, args=(queue,))
    child.start()
    got = queue.get(timeout=120)
    child.join(timeout=60)
    assert child.exitcode == 0
    assert got == expected
