"""One-zone models of a relativistic plasma blob, built on the ostrel kernels.

Pure Python on the standard library (NumPy, astropy, scipy, matplotlib and
tqdm are optional). Everything is in CGS units. Vectors may be any sequence
or NumPy array; results are NumPy arrays when NumPy is importable, lists
otherwise.
"""

from .blob import Blob
from .distributions import (
    BrokenPowerLaw,
    Distribution,
    LogParabola,
    PowerLaw,
    PowerLawCutoff,
    Tabulated,
)
from .emission import SED, ExternalField, Grids, Model
from .evolution import Evolution, EvolutionResult, Injection

__all__ = [
    "Blob",
    "BrokenPowerLaw",
    "Distribution",
    "Evolution",
    "EvolutionResult",
    "ExternalField",
    "Grids",
    "Injection",
    "LogParabola",
    "Model",
    "PowerLaw",
    "PowerLawCutoff",
    "SED",
    "Tabulated",
]
