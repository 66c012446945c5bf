"""The Hypothesis profiles.

``PLINTOR_HYPOTHESIS_PROFILE`` selects the profile: ``dev`` (the default),
``ci`` (the default when ``CI`` is set: bounded and reproducible) or ``fuzz``
(long runs, ``make fuzz``).
"""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("dev", deadline=None)
settings.register_profile(
    "ci", max_examples=100, deadline=None, derandomize=True, print_blob=True, database=None
)
settings.register_profile(
    "fuzz",
    max_examples=4000,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(
    os.environ.get("PLINTOR_HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev")
)
