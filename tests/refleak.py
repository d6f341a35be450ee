"""Reference-leak hunting for `make refleak` (a debug interpreter).

With ``--refleak=W:R`` every test body runs W times to warm caches up, then
R more times with the interpreter's total reference count and its count of
allocated memory blocks taken before and after each run. As in CPython's
own ``-R`` runs, only growth in every measured run counts: a real leak
grows each time, caches filled once do not.

The failing measure is the memory blocks: a leaked reference keeps its
object, and its block, alive. The reference total itself is reported but
does not decide: this debug interpreter's total drifts by a fixed amount
for every object the engine creates and frees again (two per CellStore
made and dropped, with no block and no byte retained), which would flag
every test.
"""

import gc
import sys

import pytest


def pytest_addoption(parser):
    parser.addoption("--refleak", default="", metavar="W:R",
                     help="run each test W+R times and fail on reference growth in all R runs")


def _counts():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    spec = item.config.getoption("refleak")
    if not spec:
        return (yield)
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleak needs a debug build of the interpreter")
    warmups, runs = (int(x) for x in spec.split(":"))
    for _ in range(warmups):
        item.runtest()
    refs, blocks = [], []
    for _ in range(runs):
        r0, b0 = _counts()
        item.runtest()
        r1, b1 = _counts()
        refs.append(r1 - r0)
        blocks.append(b1 - b0)
    result = yield  # the ordinary run, reported as usual
    if blocks and all(b > 0 for b in blocks):
        raise AssertionError(f"leak: memory blocks grew by {blocks} (references {refs})")
    return result
