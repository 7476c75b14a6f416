import pathlib
import sys

from hypothesis import HealthCheck, settings

# The Python tests' helpers and strategies, and the model that the strategies read, shared with the harness.
TESTS = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(TESTS / "python"), str(TESTS.parent / "model")]

# The example budgets of the random-call harness: the default for a quick look, fuzz-smoke for CI
# (about a minute), fuzz-long for runs of hours.
_common = dict(deadline=None, suppress_health_check=list(HealthCheck), derandomize=False)
settings.register_profile("fuzz-smoke", max_examples=1500, **_common)
settings.register_profile("fuzz-long", max_examples=100_000_000, **_common)
