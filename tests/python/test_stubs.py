"""The installed type stubs agree with the runtime module and type real usage."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
pytest.importorskip("numpy")


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubtest_passes(tmp_path):
    done = mypy("mypy.stubtest", "ostrel", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_type_a_model_chain(tmp_path):
    (tmp_path / "chain.py").write_text(textwrap.dedent(
        """
        import numpy as np
        import ostrel

        gamma = np.geomspace(10.0, 1e6, 64)
        nu = np.geomspace(1e8, 1e20, 64)
        n: list[float] = ostrel.fp_findif_difu(1e3, gamma, gamma ** -2.0, gamma ** 2 * 1e-8,
                                               gamma ** 2 * 1e-12, [0.0] * 64, 1e5, 1e3)
        j, a = ostrel.syn_emissivity_full(nu, gamma, n, 0.1, True)
        intensity: list[float] = ostrel.rad_trans_blob(1e16, j, a)
        rate: list[float] = ostrel.rad_cool_pwl(gamma, nu, intensity, with_kn=True)
        single: float = ostrel.gofb(0.5)
        many: list[float] = ostrel.bofg([1.5, 2.0])
        wrong = ostrel.rad_cool_mono(gamma, 1e15, 1e-2, 1)
        """))
    done = mypy("mypy", "--strict", "chain.py", cwd=tmp_path)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, done.stdout
    assert "rad_cool_mono" in errors[0] and '"bool"' in errors[0]
