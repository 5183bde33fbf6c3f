"""Ctrl-C during long calls, and worker threads that cannot be started.

A call keeps the interpreter lock while it runs, so the signal comes from
this (the parent) process: the child announces the call, the parent waits,
sends the signal and reads what the child saw. Latency bounds here are
generous (a loaded machine); benchmarks/bench_interrupt.py measures them.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

IS_LINUX = sys.platform.startswith("linux")

CASES = textwrap.dedent(
    """
    import json, os, signal, sys, time
    import ostrel

    # A shell starts background jobs with SIGINT ignored, and Python then
    # installs no handler of its own: give the child the usual one.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def logspace(lo, hi, n):
        return [10.0 ** (lo + (hi - lo) * k / (n - 1)) for k in range(n)]

    def call(name, n):
        if name == "syn_emissivity_full":
            g = logspace(0.5, 6, n)
            return ostrel.syn_emissivity_full(logspace(7, 20, n), g, [x ** -2.5 for x in g], 1.0, True)
        if name == "ic_iso_powlaw_full":
            f, g = logspace(8, 20, n), logspace(1, 6, n)
            return ostrel.ic_iso_powlaw_full(f, [1e-12 * (x / 1e8) ** -0.75 for x in f], g,
                                             [x ** -2.5 for x in g])
        if name == "fp_findif_difu":
            g = logspace(0, 6, n)
            return ostrel.fp_findif_difu(1e3, g, [x ** -2.5 for x in g], [1e-8 * x * x for x in g],
                                         [1e-12 * x * x for x in g], [0.0] * (n - 1) + [1.0], 1e5, 1e3)
        raise ValueError(name)

    def small():
        return (ostrel.rad_cool_pwl([10.0, 1e3, 1e5], [1e9, 1e12, 1e15], [1e-20, 1e-21, 1e-22], True),
                ostrel.fp_findif_difu(1.0, [1.0, 2.0, 4.0], [1.0, 0.5, 0.25], [0.0] * 3, [1e-2] * 3,
                                      [0.0] * 3, 1e200, 1.0))

    def report(**fields):
        print(json.dumps(fields), flush=True)
    """
)


def child(body, **env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars)
    return subprocess.Popen([sys.executable, "-c", CASES + textwrap.dedent(body)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_ready(proc):
    """Reads the child's "ready" line byte by byte, so that nothing after it
    is left in a buffer that communicate() would not see."""
    line = b""
    while not line.endswith(b"\n"):
        byte = os.read(proc.stdout.fileno(), 1)
        assert byte, "the child ended before it was ready"
        line += byte
    assert line == b"ready\n"


def signal_during_call(proc, delay, signum=signal.SIGINT, timeout=120):
    """Waits for the child's "ready" line, sends `signum` after `delay` s,
    returns (time sent, the child's report, its stderr)."""
    wait_ready(proc)
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signum)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise AssertionError("the interrupted child did not end")
    assert proc.returncode == 0, err
    return sent, json.loads(out.splitlines()[-1]), err


def run_child(body, workers):
    """Runs `body` in a child with `workers` worker threads; returns the
    report it printed last and its stderr."""
    proc = child(textwrap.dedent(body), RAYON_NUM_THREADS=workers)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    return json.loads(out.splitlines()[-1]), err


INTERRUPT = """
    expected = small()
    name, n = {name!r}, {n}
    print("ready", flush=True)
    start = time.monotonic()
    try:
        call(name, n)
        report(outcome="finished", after=time.monotonic() - start)
    except KeyboardInterrupt:
        caught = time.monotonic()
        report(outcome="KeyboardInterrupt", caught=caught, usable=small() == expected)
"""


# Each call lasts several seconds on any machine (5 s and more on 2 cores);
# the signal comes 0.5 s after the call began.
@pytest.mark.native_only
@pytest.mark.skipif(not IS_LINUX, reason="signals between processes")
@pytest.mark.parametrize("workers", ["1", "2"])
@pytest.mark.parametrize("name, n", [("syn_emissivity_full", 1000), ("ic_iso_powlaw_full", 3000),
                                     ("fp_findif_difu", 100_000)])
def test_sigint_ends_a_long_call_with_keyboard_interrupt(name, n, workers):
    proc = child(INTERRUPT.format(name=name, n=n), RAYON_NUM_THREADS=workers)
    sent, seen, err = signal_during_call(proc, 0.5)
    assert seen["outcome"] == "KeyboardInterrupt", seen
    assert seen["caught"] - sent < 2.0
    assert seen["usable"]
    # An interruption is not an internal failure: no diagnostic block.
    assert "failed at" not in err


# A handler of the program's own raises its own exception: the call ends with
# exactly that exception. A handler that does not raise lets the call go on to
# its complete, unchanged result.
@pytest.mark.native_only
@pytest.mark.skipif(not IS_LINUX, reason="signals between processes")
def test_custom_signal_handlers_are_honoured():
    body = """
        class Stop(Exception):
            pass

        def raising(signum, frame):
            raise Stop("stopped by handler", signum)

        signal.signal(signal.SIGINT, raising)
        print("ready", flush=True)
        try:
            call("syn_emissivity_full", 1000)
            report(outcome="finished")
        except Stop as e:
            report(outcome=type(e).__name__, args=list(e.args), caught=time.monotonic())
    """
    sent, seen, _ = signal_during_call(child(body), 0.3)
    assert seen["outcome"] == "Stop"
    assert seen["args"] == ["stopped by handler", int(signal.SIGINT)]
    assert seen["caught"] - sent < 2.0

    body = """
        expected = call("syn_emissivity_full", 300)
        ran = []
        signal.signal(signal.SIGINT, lambda signum, frame: ran.append(time.monotonic()))
        print("ready", flush=True)
        result = call("syn_emissivity_full", 300)
        report(ran=len(ran), during_call=bool(ran) and ran[0] < time.monotonic(), same=result == expected)
    """
    _, seen, _ = signal_during_call(child(body), 0.1)
    assert seen == {"ran": 1, "during_call": True, "same": True}


def task_count():
    return len(os.listdir("/proc/self/task"))


# Under an address-space limit no worker thread can start (a thread stack is
# 8 MiB): maps of 0 and 1 point still work on the calling thread, a map that
# needs workers fails with the pool's message, and once the limit is lifted
# the next call starts the pool. Under user-mode emulation the limit applies
# to the emulator's own address space, so this runs natively only.
@pytest.mark.native_only
@pytest.mark.no_sanitizer
@pytest.mark.skipif(not IS_LINUX or not os.path.isdir("/proc/self/task"), reason="address-space limit, /proc")
def test_calls_without_workers_when_threads_cannot_start():
    body = """
        import resource
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), hard))
        seen = {}
        seen["empty"] = ostrel.rad_cool_mono([], 1e15, 1e-2, True)
        one = ostrel.rad_cool_mono([1e3], 1e15, 1e-2, True)
        seen["syn_one"] = len(ostrel.syn_emissivity_full([1e10], [10.0, 100.0], [1.0, 0.01], 1.0, True)[0])
        try:
            ostrel.rad_cool_mono([1e3, 1e4], 1e15, 1e-2, True)
        except BaseException as e:
            seen["two"] = [type(e).__name__, str(e)]
        seen["threads"] = len(os.listdir("/proc/self/task"))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        seen["after"] = ostrel.rad_cool_mono([1e3, 1e3], 1e15, 1e-2, True) == one * 2
        seen["one"] = ostrel.rad_cool_mono([1e3], 1e15, 1e-2, True) == one
        seen["threads_after"] = len(os.listdir("/proc/self/task"))
        report(**seen)
    """
    seen, err = run_child(body, "2")
    assert seen["empty"] == [] and seen["one"] and seen["syn_one"] == 1
    assert seen["two"][0] == "PanicException"
    assert seen["two"][1].startswith(
        "The global thread pool has not been initialized.: could not start a worker thread: ")
    assert seen["threads"] == 1
    assert seen["after"] and seen["threads_after"] == 3


# A worker count far beyond the machine is refused at once, without starting
# a thread, on every call that needs workers; one-point calls still work.
@pytest.mark.skipif(not IS_LINUX or not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_huge_worker_count_fails_quickly_without_starting_threads():
    body = """
        before = len(os.listdir("/proc/self/task"))
        start = time.monotonic()
        messages = []
        for _ in range(3):
            try:
                ostrel.rad_cool_mono([1e3, 1e4], 1e15, 1e-2, True)
            except BaseException as e:
                messages.append([type(e).__name__, str(e)])
        report(messages=messages, seconds=time.monotonic() - start,
               one=len(ostrel.rad_cool_mono([1e3], 1e15, 1e-2, True)),
               threads=len(os.listdir("/proc/self/task")) - before)
    """
    seen, err = run_child(body, "100000")
    assert len(seen["messages"]) == 3
    for kind, message in seen["messages"]:
        assert kind == "PanicException"
        assert message.startswith("The global thread pool has not been initialized.: 100000 worker threads "
                                  "requested (RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS), more than the ")
    assert seen["seconds"] < 5.0
    # No thread was started (an emulator may run threads of its own).
    assert seen["one"] == 1 and seen["threads"] == 0
    # Each refused call is an internal failure and writes its block.
    assert err.count("The global thread pool has not been initialized.") == 3


# A call of one frequency needs no worker, however many segments its
# preparation has (which runs in parallel when the workers exist): under a
# refused worker count it returns what a working pool returns, and a call of
# two frequencies still fails with the pool's message.
@pytest.mark.skipif(not IS_LINUX or not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_one_frequency_preparation_needs_no_worker():
    import ostrel

    body = """
        before = len(os.listdir("/proc/self/task"))
        g = logspace(1, 5, 40)
        n = [x ** -2.5 for x in g]
        seen = {"mono": ostrel.ic_iso_monochrome_full([1e18], 1e-2, 1e15, n, g),
                "syn": list(ostrel.syn_emissivity_full([1e10], g, n, 1.0, True))}
        try:
            ostrel.ic_iso_monochrome_full([1e18, 1e19], 1e-2, 1e15, n, g)
        except BaseException as e:
            seen["two"] = [type(e).__name__, str(e)]
        seen["threads"] = len(os.listdir("/proc/self/task")) - before
        report(**seen)
    """
    seen, err = run_child(body, "100000")
    g = [10.0 ** (1 + 4 * k / 39) for k in range(40)]
    n = [x ** -2.5 for x in g]
    assert seen["mono"] == ostrel.ic_iso_monochrome_full([1e18], 1e-2, 1e15, n, g)
    assert seen["syn"] == list(ostrel.syn_emissivity_full([1e10], g, n, 1.0, True))
    assert seen["syn"][0][0] > 0.0 and seen["mono"][0] > 0.0
    assert seen["two"][0] == "PanicException"
    assert seen["two"][1].startswith("The global thread pool has not been initialized.: 100000 worker threads")
    # No thread was started (an emulator may run threads of its own).
    assert seen["threads"] == 0
