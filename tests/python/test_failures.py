"""How failures inside a computation reach the caller."""

import subprocess
import sys
import textwrap

import pytest

import ostrel
from conftest import IS_PYPY
from diagnostics import expect_single_block, failure_blocks, failure_messages

DOC_TAIL = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def panic():
    """Provoke an internal failure (an absorption list shorter than the emissivity)."""
    try:
        ostrel.rad_trans_blob(1.0, [1.0, 2.0], [1.0])
    except BaseException as e:  # noqa: BLE001 - that is the point
        return e
    raise AssertionError("no failure")


def test_panic_exception_type(capfd):
    e = panic()
    expect_single_block(capfd, "array index out of bounds")
    t = type(e)
    assert t.__name__ == "PanicException"
    assert t.__module__ == "pyo3_runtime"
    assert t.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert t.__doc__.startswith("\n") and t.__doc__.endswith("\n\n" + DOC_TAIL)
    sentence = t.__doc__[1:-len(DOC_TAIL) - 2]
    assert "\n" not in sentence and sentence.endswith(".")
    assert e.args == ("array index out of bounds",)
    assert str(e) == "array index out of bounds"


def test_same_type_every_time(capfd):
    assert type(panic()) is type(panic())
    assert failure_messages(capfd) == ["array index out of bounds"] * 2


def test_exception_handler_does_not_catch_it(capfd):
    with pytest.raises(BaseException) as outer:
        try:
            ostrel.rad_trans_slab(1.0, [1.0], [])
        except Exception:  # noqa: BLE001
            pytest.fail("a handler for Exception caught the failure")
    assert type(outer.value).__name__ == "PanicException"
    expect_single_block(capfd, str(outer.value))


def test_module_usable_after_a_failure(capfd):
    panic()
    expect_single_block(capfd, "array index out of bounds")
    assert ostrel.rad_trans_blob(2.0, [3.0], [0.0]) == [2.0]
    assert ostrel.gofb(0.6) == 1.25


def test_diagnostic_block_on_standard_error(capfd):
    panic()
    out, err = capfd.readouterr()
    assert out == ""
    lines = err.splitlines()
    assert lines[0].startswith("thread '<unnamed>' failed at src/radiation/rad_trans.cpp:")
    assert lines[1] == "array index out of bounds"


def test_block_after_a_romberg_report_without_line_end(capfd):
    """The synchrotron kernel's "RMA_qromb: too many steps" has no line end,
    so a failure raised right after it starts its block mid-line: the block
    is still found, and it is the only one."""
    with pytest.raises(BaseException) as raised:
        ostrel.syn_emissivity_full([1.0], [0.0, 0.0, 0.0], [1.0, 1.0], 0.0, False)
    assert str(raised.value) == "array index out of bounds"
    out, err = capfd.readouterr()
    assert "RMA_qromb: too many stepsthread '<unnamed>' failed at src/radiation/" in err
    assert failure_blocks(err) == [("src/radiation/syn_emissivity_full.cpp", "array index out of bounds")]


def test_one_block_per_failure_and_the_hint_once():
    code = textwrap.dedent(
        """
        import ostrel
        for _ in range(3):
            try:
                ostrel.rad_trans_slab(1.0, [1.0], [])
            except BaseException:
                pass
        """
    )
    err = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr
    assert err.count("failed at src/radiation/rad_trans.cpp:") == 3
    assert err.count("note:") == 1


@pytest.mark.no_sanitizer
@pytest.mark.skipif(sys.platform != "linux", reason="uses an address-space limit")
def test_storage_beyond_memory_raises_memory_error():
    # A sequence far longer than the address-space limit set for the child:
    # building its vector fails, and the call ends with MemoryError instead
    # of aborting the process. The module works normally afterwards.
    code = textwrap.dedent(
        """
        import itertools, resource, sys
        import ostrel

        class Endless:
            def __len__(self):
                return 3
            def __getitem__(self, i):
                raise IndexError
            def __iter__(self):
                return itertools.repeat(1.0)

        def vm_bytes():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        limit = vm_bytes() + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            ostrel.rad_trans_slab(1.0, Endless(), [0.0])
        except MemoryError:
            print("MemoryError")
        print(ostrel.rad_trans_slab(2.0, [3.0], [0.0]))
        """
    )
    # Filling 256 MB one float at a time takes about a second natively and
    # 50-120 s under emulation on a loaded machine: the limit only guards
    # against a hang.
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["MemoryError", "[6.0]"]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(sys.platform != "linux", reason="uses an address-space limit")
def test_cooling_rates_need_no_memory_of_grid_size_squared():
    # 20 000 Lorentz factors x 2 000 frequencies: tables of the scaled grid
    # and field for every pair would take 640 MB. The rates need only their
    # inputs and results, so the call succeeds within 256 MB of address space.
    # The field is above the floor on the first three frequencies only, so
    # every rate is that of the three-frequency grid (and the call is fast).
    code = textwrap.dedent(
        """
        import resource
        import ostrel
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        n_g, n_f = 20_000, 2_000
        freqs = [1e9 * (1 + k) for k in range(n_f)]
        uu = [1e-20 * (1 + k) if k < 3 else 0.0 for k in range(n_f)]
        alone = ostrel.rad_cool_pwl([10.0], freqs[:3], uu[:3], False)
        limit = vm + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        rates = ostrel.rad_cool_pwl([10.0] * n_g, freqs, uu, False)
        print(len(rates), set(rates) == set(alone), alone[0] > 0)
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["20000", "True", "True"]
