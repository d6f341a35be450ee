import os

from hypothesis import HealthCheck, settings

# TAVRINEX_EXAMPLES scales every property and differential run; `make test`
# keeps it small enough for CI, longer local runs raise it.
EXAMPLES = int(os.environ.get("TAVRINEX_EXAMPLES", "200"))

settings.register_profile(
    "tavrinex",
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("tavrinex")
