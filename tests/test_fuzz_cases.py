"""Replays the fuzzer's saved cases and seeds through the same checks the
fuzzer runs, and checks that those checks do catch disagreements."""

import random
from pathlib import Path

import pytest

import fuzz
import fuzz_targets as targets
from fuzz_targets import Mismatch, TARGETS, differential

CASES = sorted((p.parent.name, p) for p in Path(fuzz.CASES).glob("*/*.bin"))


@pytest.mark.parametrize("target, path", CASES, ids=[f"{t}/{p.stem}" for t, p in CASES])
def test_saved_case(target, path):
    TARGETS[target].check(path.read_bytes())


@pytest.mark.parametrize("name", sorted(TARGETS))
def test_seeds_pass_and_mutants_are_checked(name):
    target = TARGETS[name]
    rng = random.Random(name)
    for seed in target.seeds:
        target.check(seed)
    pool = list(target.seeds)
    for _ in range(40):
        target.check(fuzz.mutate(rng.choice(pool), rng, pool))


def test_mutation_is_reproducible_and_bounded():
    pool = list(targets.SHEET_SEEDS)
    a = [fuzz.mutate(pool[0], random.Random(9), pool) for _ in range(3)]
    b = [fuzz.mutate(pool[0], random.Random(9), pool) for _ in range(3)]
    assert a == b
    big = b"<a>" + b"x" * (2 * fuzz.MAX_INPUT) + b"</a>"
    assert len(fuzz.mutate(big, random.Random(1), [big])) <= fuzz.MAX_INPUT


def _engine(result=None, exc=None, by_size=None):
    def run(data, size):
        if by_size:
            return by_size(size)
        if exc:
            raise exc
        return result
    return run


@pytest.mark.parametrize("engine, python", [
    (_engine(result=1), lambda d: 2),                                   # different results
    (_engine(result=1), lambda d: (_ for _ in ()).throw(ValueError())),  # only one refuses
    (_engine(exc=ValueError("v")), lambda d: 1),
    (_engine(exc=TypeError("t")), lambda d: (_ for _ in ()).throw(ValueError("v"))),
    (_engine(by_size=lambda size: size), lambda d: 65536),              # depends on read size
    (_engine(exc=type("Internal", (BaseException,), {})("x")), lambda d: 1),
])
def test_differential_reports_disagreement(engine, python):
    with pytest.raises(Mismatch):
        differential(engine, python, b"<a/>")


@pytest.mark.parametrize("engine, python", [
    (_engine(result=[1]), lambda d: [1]),
    (_engine(exc=targets.native.NativeFallback("malformed: x")), lambda d: 5),
    (_engine(exc=ValueError("bad")), lambda d: (_ for _ in ()).throw(ValueError("bad, elsewhere"))),
])
def test_differential_accepts_agreement_and_fallback(engine, python):
    differential(engine, python, b"<a/>")


def test_saved_cases_are_named_by_content(tmp_path, monkeypatch):
    monkeypatch.setattr(fuzz, "CASES", tmp_path)
    path = fuzz.save_case("sheet", b"<x/>")
    assert path.read_bytes() == b"<x/>" and path.parent.name == "sheet"
    assert fuzz.save_case("sheet", b"<x/>") == path
    assert fuzz.saved_cases("sheet") == [b"<x/>"]
