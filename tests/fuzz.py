"""Mutation fuzzer over every reader in fuzz_targets.TARGETS.

    python tests/fuzz.py --seconds 120 [--seed N] [--targets sheet,sst]

The parent process runs workers one after another until the time is up. A
worker mutates seed inputs (and the saved cases) and runs each target's
check; before every run it writes the input to a scratch file, so that when
a worker dies (a sanitizer report aborts it, or a check hangs past
--hang-seconds) the parent still knows which input did it. Every failing input is saved under tests/fuzz_cases/<target>/,
where test_fuzz_cases.py replays it; the run then exits with status 1.

The worker inherits the environment: `make fuzz` points it at the
sanitizer build of the engine.
"""

import argparse
import faulthandler
import hashlib
import os
import random
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
CASES = HERE / "fuzz_cases"
MAX_INPUT = 24 * 1024

# Pieces that make mutations land on the parsers' interesting paths.
TOKENS = [
    b"<", b">", b"/>", b"</", b"<?", b"?>", b"<!--", b"-->", b"<![CDATA[", b"]]>", b"<!DOCTYPE a>",
    b"&amp;", b"&lt;", b"&#0;", b"&#x10FFFF;", b"&#xD800;", b"&bogus;", b"&", b";", b"\r\n", b"\r",
    b"\t", b"\x00", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xff", b"\xc3", b"\xed\xa0\x80",
    b'"', b"'", b"=", b":", b"xmlns", b' xmlns="urn:x"', b' xmlns:r="urn:y"', b' xmlns:p=""',
    b" r:id=\"1\"", b' r="A1"', b' r="XFD1048576"', b' r="0"', b' r="-1"', b' r="1e3"', b' s="1"',
    b' s="99"', b' s=""', b' t="s"', b' t="b"', b' t="e"', b' t="str"', b' t="inlineStr"',
    b' t="d"', b' t="n"', b' t="shared"', b' t="array"', b' si="0"', b' ref="A1:B9"',
    b"<row>", b"</row>", b"<c>", b"</c>", b"<c/>", b"<v>", b"</v>", b"<v>1E+308</v>",
    b"<v>-0</v>", b"<v>nan</v>", b"<v>  7 </v>", b"<f>", b"</f>", b"<f/>", b"<is><t>x</t></is>",
    b"<t>", b"</t>", b"<r>", b"</r>", b"<rPr><b/></rPr>", b"<rPh><t>p</t></rPh>", b"<si>", b"</si>",
    b"<sheetData>", b"</sheetData>", b"<sheetData/>", b"<dimension ref=\"A1\"/>",
    b"x005F_", b"_x0041_", b"1", b"0", b"-", b"9999999999999999999", b"1.5E-300",
    b"$", b"!", b"'", b"(", b")", b"{", b"}", b",", b"#REF!", b"SUM(", b":", b"A1", b"$B$2",
]


# Replacement contents for text and attribute values: mutations that keep
# the document well-formed reach the value conversions, not just the
# tokenizer's error paths.
VALUES = [
    b"", b"0", b"1", b"-1", b"2", b"3", b"99", b"1.5", b"-0.0", b"1E+308", b"1e-320", b"4.9E-324",
    b"12345678901234567890", b" 42 ", b"0x10", b"1_000", b"inf", b"NaN", b"TRUE", b"#N/A",
    b"#DIV/0!", b"A1", b"B2:C3", b"XFD1048576", b"XFE1", b"A0", b"$A$1", b"AAA1", b"1:4",
    b"2024-02-29", b"2024-02-30T25:00:00", b"1900-01-01T00:00:00Z", b"45000.999999",
    b"s", b"n", b"b", b"e", b"str", b"d", b"inlineStr", b"shared", b"array", b"dataTable",
    b"x &amp; y", b"&#10;", b"&#x9;", b"\xc3\xa9", b"x005F_x0041_", b"SUM(A1:A3)", b"A1+1",
    b"'s'!A1", b"IF(", b"\"\"", b"{1,2}",
]


def _replace_value(data, rng):
    """Replaces the content of a random attribute value or text run."""
    n = len(data)
    if not n:
        return
    at = rng.randrange(n)
    quote = data.find(b'"', at)
    gt = data.find(b">", at)
    if quote >= 0 and (gt < 0 or rng.random() < 0.5):
        end = data.find(b'"', quote + 1)
        start = quote + 1
    elif gt >= 0:
        start = gt + 1
        end = data.find(b"<", start)
    else:
        return
    if end < 0:
        return
    data[start:end] = rng.choice(VALUES)


def mutate(data, rng, pool):
    data = bytearray(data)
    for _ in range(rng.choice((1, 1, 2, 3, 5))):
        n = len(data)
        op = rng.randrange(12)
        if op >= 8:
            _replace_value(data, rng)
            continue
        at = rng.randint(0, n)
        if op == 0 and n:
            data[rng.randrange(n)] ^= 1 << rng.randrange(8)
        elif op == 1 and n:
            data[rng.randrange(n)] = rng.randrange(256)
        elif op in (2, 3):
            data[at:at] = rng.choice(TOKENS)
        elif op == 4 and n:
            end = min(n, at + rng.choice((1, 2, 4, 16, 64)))
            del data[at:end]
        elif op == 5 and n:
            start = rng.randrange(n)
            piece = data[start:start + rng.choice((2, 8, 32, 200))]
            data[at:at] = piece * rng.choice((1, 2, 8))
        elif op == 6:
            other = rng.choice(pool)
            if other:
                start = rng.randrange(len(other))
                data[at:at] = other[start:start + rng.randint(1, 64)]
        elif op == 7 and n:
            # Truncation: inputs that end inside a construct.
            del data[rng.randint(0, n):]
    return bytes(data[:MAX_INPUT])


def case_path(target, data):
    return CASES / target / (hashlib.sha1(data).hexdigest()[:16] + ".bin")


def save_case(target, data):
    path = case_path(target, data)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def saved_cases(name):
    folder = CASES / name
    return [p.read_bytes() for p in sorted(folder.glob("*.bin"))] if folder.is_dir() else []


def worker(args):
    sys.path.insert(0, str(HERE))
    import fuzz_targets

    names = args.targets.split(",") if args.targets else list(fuzz_targets.TARGETS)
    targets = [fuzz_targets.TARGETS[n] for n in names]
    pools = {t.name: list(t.seeds) + saved_cases(t.name) for t in targets}
    rng = random.Random(args.seed)
    scratch = Path(args.scratch)
    deadline = time.monotonic() + args.seconds
    runs = dict.fromkeys(names, 0)
    failures = 0
    while time.monotonic() < deadline:
        target = rng.choice(targets)
        pool = pools[target.name]
        data = mutate(rng.choice(pool), rng, pool)
        scratch.write_bytes(target.name.encode() + b"\n" + data)
        runs[target.name] += 1
        # A hang ends the worker like a crash: the parent saves the input.
        faulthandler.dump_traceback_later(args.hang_seconds, exit=True)
        passed = False
        try:
            target.check(data)
            passed = True
        except fuzz_targets.Mismatch as exc:
            failures += 1
            path = save_case(target.name, data)
            print(f"fuzz: {target.name} mismatch, saved {path.relative_to(HERE.parent)}\n{exc}",
                  flush=True)
        except BaseException:  # noqa: B036 - anything else escaping a check is a finding
            failures += 1
            path = save_case(target.name, data)
            print(f"fuzz: {target.name} error, saved {path.relative_to(HERE.parent)}", flush=True)
            traceback.print_exc()
        finally:
            faulthandler.cancel_dump_traceback_later()
        # Inputs that passed are good parents.
        if passed and len(pool) < 400 and rng.random() < 0.02:
            pool.append(data)
    scratch.unlink(missing_ok=True)
    print("fuzz: runs " + ", ".join(f"{n} {c}" for n, c in runs.items()), flush=True)
    return 1 if failures else 0


def parent(args):
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    scratch = Path(args.scratch or (HERE.parent / "build-asan" / f"fuzz-current-{os.getpid()}"))
    scratch.parent.mkdir(parents=True, exist_ok=True)
    deadline = time.monotonic() + args.seconds
    status = 0
    print(f"fuzz: seed {seed}, {args.seconds} s", flush=True)
    while (left := deadline - time.monotonic()) > 1:
        cmd = [sys.executable, __file__, "--worker", "--seed", str(seed), "--seconds", f"{left:.1f}",
               "--scratch", str(scratch)]
        if args.targets:
            cmd += ["--targets", args.targets]
        cmd += ["--hang-seconds", str(args.hang_seconds)]
        rc = subprocess.call(cmd)
        if rc == 0:
            continue
        status = 1
        if scratch.exists():
            # The worker died on this input (a sanitizer report, a crash).
            name, _, data = scratch.read_bytes().partition(b"\n")
            path = save_case(name.decode(), data)
            print(f"fuzz: worker died ({rc}); input saved as {path.relative_to(HERE.parent)}",
                  flush=True)
            scratch.unlink()
        seed += 1  # go on from another point
    return status


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_SECONDS", 60)))
    ap.add_argument("--seed", type=int)
    ap.add_argument("--targets", default="")
    ap.add_argument("--scratch", default="")
    ap.add_argument("--hang-seconds", type=float, default=60.0,
                    help="a check running longer counts as a hang")
    ap.add_argument("--worker", action="store_true")
    args = ap.parse_args()
    sys.exit(worker(args) if args.worker else parent(args))


if __name__ == "__main__":
    main()
