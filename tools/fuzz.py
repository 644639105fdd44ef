#!/usr/bin/env python3
"""Long argument-fuzzing run (the bounded one is tests/python/test_fuzz_arguments.py).

    python tools/fuzz.py [--examples N]    (default 20000 per function)

Prints how the calls ended, per function, and "OK" last.
"""

import argparse
import collections
import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import marundex  # noqa: E402
import fuzzing  # noqa: E402
from support import FUNCTIONS  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--examples", type=int, default=20000, help="examples per function")
    examples = parser.parse_args().examples
    warnings.simplefilter("ignore", DeprecationWarning)
    for name in FUNCTIONS:
        outcomes = collections.Counter()

        @settings(max_examples=examples, deadline=None, database=None,
                  suppress_health_check=list(HealthCheck))
        @given(data=st.data())
        def run(data):
            ended = fuzzing.check_call(marundex, name, data)
            outcomes[ended.__name__ if ended else "returned"] += 1

        run()
        print(name, dict(sorted(outcomes.items())), flush=True)
    print("OK")


if __name__ == "__main__":
    main()
