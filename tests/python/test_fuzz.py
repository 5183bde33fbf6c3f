"""Arbitrary values in every argument position: a result or a documented error, never a crash."""

import pytest
from hypothesis import HealthCheck, given, settings

from conftest import IS_PYPY
from diagnostics import failure_messages
from fuzzing import FUZZED, calls, check_outcome, module_still_works

# Emulated interpreters are far too slow for this many calls.
pytestmark = pytest.mark.native_only

# Bounded for CI; scripts/fuzz.py runs the same properties for longer.
DEFAULT_EXAMPLES = 80 if IS_PYPY else 250
EXAMPLES = {"syn_emissivity_full": 40}


@pytest.mark.parametrize("name", FUZZED)
def test_any_arguments(name, capfd):
    @settings(
        max_examples=EXAMPLES.get(name, DEFAULT_EXAMPLES),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
        database=None,
    )
    @given(call=calls(name))
    def run(call):
        args, kwargs = call
        capfd.readouterr()
        outcome = check_outcome(name, args, kwargs)
        # An internal failure, and nothing else, writes diagnostic blocks.
        assert bool(failure_messages(capfd)) == (outcome == "panic"), outcome
        module_still_works()

    run()
