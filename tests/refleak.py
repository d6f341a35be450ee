"""Reference-leak hunting for `make refleak` (a debug interpreter).

    python tests/refleak.py [--warmups W] [--runs R] tests/test_store.py ...

Every test function of the given files that takes no arguments (and is
not a property test, whose inputs change from run to run) runs W times to
warm caches up, then R measured runs of C calls each, with the
interpreter's total reference count and its count of allocated memory
blocks taken around each run (after a full collection). As in CPython's own
``-R`` runs, only growth in every measured run counts, here at least one
block per call: a real leak grows with every call, while caches that are
still settling (regular expressions, the readers' name caches) do not. The
tests run as plain calls, outside pytest, whose own bookkeeping keeps
objects from run to run.

The failing measure is the memory blocks: a leaked reference keeps its
object, and its block, alive. The reference total is reported beside it but
does not decide: this debug interpreter's total drifts by a fixed amount
for objects the engine creates and frees again (two per CellStore made and
dropped, with no block and no byte retained), which would flag every test.
"""

import argparse
import gc
import importlib.util
import inspect
import sys
from pathlib import Path


def counts():
    gc.collect()
    gc.collect()
    # Only debug interpreters count references; blocks are counted by all.
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return refs, sys.getallocatedblocks()


def plain_tests(path):
    """(name, function) of the module's argument-free test functions."""
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[path.stem] = module
    spec.loader.exec_module(module)
    for name, fn in vars(module).items():
        if not name.startswith("test_") or not inspect.isfunction(fn):
            continue
        if getattr(fn, "pytestmark", None) or inspect.signature(fn).parameters:
            continue  # parametrized or using fixtures: pytest territory
        if hasattr(fn, "hypothesis"):
            continue  # new random inputs on every run: no steady state to compare
        yield name, fn


def check(fn, warmups, runs, calls):
    """The (reference, block) deltas of the measured runs."""
    for _ in range(warmups):
        fn()
    refs, blocks = [], []
    for _ in range(runs):
        r0, b0 = counts()
        for _ in range(calls):
            fn()
        r1, b1 = counts()
        refs.append(r1 - r0)
        blocks.append(b1 - b0)
    return refs, blocks


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--warmups", type=int, default=8)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--calls", type=int, default=4)
    ap.add_argument("files", nargs="+", type=Path)
    args = ap.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleak: needs a debug build of the interpreter")
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    leaks = total = 0
    for path in args.files:
        for name, fn in plain_tests(path):
            total += 1
            refs, blocks = check(fn, args.warmups, args.runs, args.calls)
            if all(b >= args.calls for b in blocks):
                leaks += 1
                print(f"LEAK {path.name}::{name}: blocks {blocks}, references {refs}", flush=True)
    print(f"refleak: {total} tests, {leaks} leaking")
    sys.exit(1 if leaks else 0)


if __name__ == "__main__":
    main()
