"""The README's examples run as written, and its Layout names what exists."""

import importlib.util
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
_BLOCK = re.compile(r"(?:<!-- needs: (?P<needs>[\w.]+) -->\n)?```(?P<lang>\w+)\n(?P<code>.*?)```",
                    re.DOTALL)


def blocks(lang):
    return [(m["needs"], m["code"]) for m in _BLOCK.finditer(README) if m["lang"] == lang]


def test_python_examples(monkeypatch):
    found = blocks("python")
    assert len(found) >= 5
    monkeypatch.chdir(ROOT)
    namespace = {"__name__": "readme"}
    ran = 0
    for needs, code in found:
        if needs and importlib.util.find_spec(needs) is None:
            continue
        exec(compile(code, "README.md", "exec"), namespace)
        ran += 1
    assert ran >= len(found) - 1


@pytest.mark.parametrize("line", [line for _, code in blocks("sh")
                                  for line in code.splitlines() if line.strip()])
def test_command_line_examples(line):
    argv = shlex.split(line)
    assert argv[0] == "tavrinex"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"),
                                                    env.get("PYTHONPATH")) if p)
    result = subprocess.run([sys.executable, "-m", "tavrinex", *argv[1:]], cwd=ROOT, env=env,
                            capture_output=True)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout and not result.stderr


def test_layout_names_what_exists():
    layout = README[README.index("## Layout"):]
    block = layout.split("\n\n")[1]
    named = [line.split()[0] for line in block.splitlines()
             if line.startswith("    ") and not line.startswith("     ")]
    assert "src/lib" in named and "samples/" in named
    for path in named:
        assert (ROOT / path).exists(), path
    for module in re.findall(r"\b([\w/]+\.py)\b", layout):
        if "/" in module:
            matches = list((ROOT / "python" / "tavrinex").glob(module)) + \
                list(ROOT.glob(f"scripts/{module}"))
            assert matches, module
