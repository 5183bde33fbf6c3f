"""Synchrotron emissivity and absorption of a power law against the classical
closed forms.

n(g) = g^-p on 10 <= g <= 1e7 (16 points per decade), B = 1 G. Between
nu_c(10) ~ 4e8 Hz and nu_c(1e7) ~ 4e20 Hz the spectrum is a power
law; the closed forms are those of Rybicki & Lightman (1979) eqs. 6.36 and
6.53 averaged over an isotropic pitch-angle distribution:
  j_nu = sqrt(3) e^3 B / (4 pi m c^2) (1/2) (nu / (1.5 nu_B))^(-(p-1)/2) A((p-3)/2)
  a_nu = sqrt(3) e^3 B / (8 pi m^2 c^2 nu^2) (p+2) (1/2) (nu / (1.5 nu_B))^(-p/2) A((p-2)/2)
  A(mu) = 2^(mu+1)/(mu+2) G(mu/2 + 7/3) G(mu/2 + 2/3) * sqrt(pi)/2 G((mu+4)/2) / G((mu+5)/2)
Prints the ratio computed/closed form per frequency and the spectral indices
fitted over 1e11 ... 1e16 Hz against -(p-1)/2 and -(p+4)/2.

    python scripts/validate_synchrotron.py
"""

import math
import sys
from pathlib import Path

import ostrel

# The closed forms live with the test that checks them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from test_syn_emissivity_full import classical_power_law as classical  # noqa: E402


def main():
    g = [10.0 ** (1 + i / 16) for i in range(16 * 6 + 1)]
    freqs = [10.0 ** (11 + k / 2) for k in range(11)]
    print(f"{'p':>4} {'nu (Hz)':>9} {'j/j_cl - 1':>11} {'a/a_cl - 1':>11}")
    worst = 0.0
    slopes = []
    for p in (1.5, 2.0, 2.5, 3.0, 3.5):
        j_nu, a_nu = ostrel.syn_emissivity_full(freqs, g, [x ** -p for x in g], 1.0, True)
        for nu, j, a in zip(freqs, j_nu, a_nu):
            j_cl, a_cl = classical(nu, p, 1.0)
            worst = max(worst, abs(j / j_cl - 1), abs(a / a_cl - 1))
            print(f"{p:>4} {nu:>9.2e} {j / j_cl - 1:>+11.2e} {a / a_cl - 1:>+11.2e}")
        decades = math.log10(freqs[-1] / freqs[0])
        slopes.append((p, math.log10(j_nu[-1] / j_nu[0]) / decades, -(p - 1) / 2,
                       math.log10(a_nu[-1] / a_nu[0]) / decades, -(p + 4) / 2))
    print(f"largest relative deviation: {worst:.2e}")
    print(f"{'p':>4} {'j index':>9} {'expected':>9} {'a index':>9} {'expected':>9}")
    for p, sj, ej, sa, ea in slopes:
        print(f"{p:>4} {sj:>9.5f} {ej:>9.5f} {sa:>9.5f} {ea:>9.5f}")


if __name__ == "__main__":
    main()
