from hypothesis import HealthCheck, settings

# The example budgets of the random-call harness: the default for a quick look, fuzz-smoke for CI
# (about a minute), fuzz-long for runs of hours.
_common = dict(deadline=None, suppress_health_check=list(HealthCheck), derandomize=False)
settings.register_profile("fuzz-smoke", max_examples=1500, **_common)
settings.register_profile("fuzz-long", max_examples=100_000_000, **_common)
