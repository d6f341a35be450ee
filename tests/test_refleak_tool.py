"""The leak hunter behind `make refleak` flags what grows with every call
and passes what settles."""

import sys

import pytest

import refleak

KEPT = []

# Blocks are counted by the interpreter's own allocator only (not with
# PYTHONMALLOC=malloc, as under the sanitizers).
counted = pytest.mark.skipif(sys.getallocatedblocks() == 0,
                             reason="the interpreter does not count memory blocks here")


def leaking():
    KEPT.append([object() for _ in range(3)])


def settling(cache={}):
    # Grows during the warm-up only, like a cache.
    if len(cache) < 4:
        cache[len(cache)] = object()


@counted
def test_a_leak_grows_every_measured_run():
    _, blocks = refleak.check(leaking, warmups=2, runs=3, calls=4)
    assert all(b >= 4 for b in blocks), blocks


@counted
def test_a_cache_that_settles_is_not_a_leak():
    _, blocks = refleak.check(settling, warmups=8, runs=3, calls=4)
    assert not all(b >= 4 for b in blocks), blocks


def test_only_plain_test_functions_are_run(tmp_path):
    path = tmp_path / "test_sample.py"
    path.write_text(
        "import pytest\n"
        "def test_plain():\n    pass\n"
        "def test_fixture(tmp_path):\n    pass\n"
        "@pytest.mark.parametrize('x', [1])\ndef test_param(x):\n    pass\n"
        "def helper():\n    pass\n"
        "class TestGroup:\n"
        "    def test_method(self):\n        pass\n"
        "    def test_fixture(self, tmp_path):\n        pass\n"
        "@pytest.mark.parametrize('x', [1])\n"
        "class TestParametrized:\n"
        "    def test_method(self, x):\n        pass\n")
    assert [name for name, _ in refleak.plain_tests(path)] == ["test_plain",
                                                               "TestGroup.test_method"]
