"""Reference-leak hunting for `make refleak` (a debug interpreter).

    python tests/refleak.py [--warmups W] [--runs R] tests/test_store.py ...

Every test function of the given files that takes no arguments (and is
not a property test, whose inputs change from run to run) runs W times to
warm caches up, then R measured runs of C calls each, with the
interpreter's total reference count and its count of allocated memory
blocks taken around each run, after clearing the interpreter's own caches
(regular expressions, typing, internal type caches) and a full collection.
As in CPython's own ``-R`` runs, only growth in every measured run counts,
here at least one reference (or block) per call: a real leak grows with
every call, while caches that are still settling do not. The tests run as
plain calls, outside pytest, whose own bookkeeping keeps objects from run
to run.

The engine must be built against the debug interpreter's own headers
(its pyconfig.h), or its reference operations are not counted and every
object it frees looks like a leak.
"""

import argparse
import gc
import importlib.util
import inspect
import linecache
import re
import sys
import time
import typing
from pathlib import Path


def clear_caches():
    """Drops what the interpreter caches between calls, as ``-R`` runs do."""
    re.purge()
    linecache.clearcache()
    for cleanup in getattr(typing, "_cleanups", ()):
        cleanup()
    if hasattr(sys, "_clear_internal_caches"):
        sys._clear_internal_caches()
    else:
        sys._clear_type_cache()


def counts():
    clear_caches()
    gc.collect()
    gc.collect()
    # Only debug interpreters count references; blocks are counted by all.
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return refs, sys.getallocatedblocks()


def _runnable(obj):
    marks = getattr(obj, "pytestmark", [])
    return not any(m.name in ("parametrize", "usefixtures") for m in marks)


def plain_tests(path):
    """(name, function) of the module's argument-free test functions and
    test methods (of Test classes that need no arguments to be made)."""
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[path.stem] = module
    spec.loader.exec_module(module)
    for name, obj in vars(module).items():
        if inspect.isclass(obj) and name.startswith("Test") and _runnable(obj):
            instance = obj()
            for attr, fn in vars(obj).items():
                if attr.startswith("test_") and inspect.isfunction(fn) and _plain(fn, 1):
                    yield f"{name}.{attr}", getattr(instance, attr)
        elif name.startswith("test_") and inspect.isfunction(obj) and _plain(obj, 0):
            yield name, obj


def _plain(fn, bound):
    if getattr(fn, "pytestmark", None):
        return False  # parametrized or otherwise marked: pytest territory
    if len(inspect.signature(fn).parameters) > bound:
        return False  # using fixtures
    # Property tests draw new random inputs on every run: no steady state.
    return not hasattr(fn, "hypothesis")


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


def leaked(refs, blocks, calls):
    """Whether every measured run grew by at least one reference or one
    block per call."""
    return all(r >= calls for r in refs) or all(b >= calls for b in blocks)


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
    leaks = total = skipped = 0
    for path in args.files:
        started, count = time.monotonic(), 0
        for name, fn in plain_tests(path):
            total += 1
            count += 1
            try:
                refs, blocks = check(fn, args.warmups, args.runs, args.calls)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as exc:  # noqa: B036 - pytest's skips are BaseExceptions
                # A test that needs what only pytest or this interpreter's
                # missing packages give: not measured, said so.
                skipped += 1
                print(f"SKIP {path.name}::{name}: {type(exc).__name__}: {exc}"[:200], flush=True)
                continue
            if leaked(refs, blocks, args.calls):
                leaks += 1
                print(f"LEAK {path.name}::{name}: blocks {blocks}, references {refs}", flush=True)
        print(f"refleak: {path.name}: {count} tests, {time.monotonic() - started:.0f} s",
              flush=True)
    print(f"refleak: {total} tests, {skipped} not measured, {leaks} leaking")
    sys.exit(1 if leaks else 0)


if __name__ == "__main__":
    main()
