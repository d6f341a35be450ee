"""Number text: the native formatter against the package's Python one
(%.16g, or 17 digits where 16 do not read back), per value.

Prints nanoseconds per value for a few kinds of numbers and the ratio of
the Python formatter to the native one over the same list.
"""

import random
import struct
import time

from tavrinex import _probe
from tavrinex.writer.values import float_text


def best_of(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    rng = random.Random(7)
    n = 200_000
    kinds = {
        "whole numbers": [float(rng.randrange(-10**6, 10**6)) for _ in range(n)],
        "prices (2 decimals)": [rng.randrange(0, 10**7) / 100 for _ in range(n)],
        "uniform 0..1": [rng.random() for _ in range(n)],
        "any double": [x for x in (struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
                                   for _ in range(n)) if x == x and abs(x) != float("inf")],
    }
    print(f"{'numbers':<22}{'native ns':>11}{'python ns':>11}{'ratio':>8}")
    for name, values in kinds.items():
        expect = sum(len(float_text(x)) for x in values)
        assert _probe.float_text_bulk(values) == expect
        native = best_of(lambda: _probe.float_text_bulk(values))
        python = best_of(lambda: [float_text(x) for x in values])
        per = 1e9 / len(values)
        print(f"{name:<22}{native * per:>11.1f}{python * per:>11.1f}{python / native:>8.1f}")


if __name__ == "__main__":
    main()
