"""`python -m ostrel_models`: the command line (see `ostrel_models.cli`)."""

import sys

from .cli import main

sys.exit(main())
