"""The plain C++ programs over the parsing cores, run from the build tree.

They are built beside the extension (`<build>/native-tests`), without
Python; this runs the unit tests and a short, fixed-seed fuzz session that
also replays the saved cases under tests/native/fuzz_cases/.
"""

import os
import subprocess
from pathlib import Path

import pytest

from conftest import EXAMPLES

HERE = Path(__file__).parent
CASES = HERE / "native" / "fuzz_cases"


def _program(name: str) -> Path:
    native = os.environ.get("TAVRINEX_NATIVE_DIR")
    if not native:
        pytest.skip("TAVRINEX_NATIVE_DIR is not set: no build tree to run from")
    path = Path(native).parent / "native-tests" / name
    assert path.is_file(), f"{path} was not built"
    return path


def _run(args: list[str]) -> subprocess.CompletedProcess[str]:
    # The sanitizer build's programs link the runtime themselves.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(args, capture_output=True, text=True, timeout=600, env=env)


def test_core_unit_tests_pass():
    done = _run([str(_program("core_tests"))])
    assert done.returncode == 0, done.stdout + done.stderr
    assert "0 failed" in done.stdout


def test_core_fuzz_session():
    cases = sorted(str(p) for p in CASES.glob("crash-*"))
    seconds = max(1, EXAMPLES // 100)
    done = _run([str(_program("fuzz_core")), f"-max_total_time={seconds}", "-seed=1", *cases])
    assert done.returncode == 0, done.stdout + done.stderr
    if "fuzz_core:" in done.stdout:  # the standalone driver (libFuzzer reports otherwise)
        assert f"{len(cases)} files replayed" in done.stdout
