"""The command line: info, dump and bench on real files."""

import datetime
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
import xlsxwriter

from tavrinex import _native, cli

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "samples" / "sample.xlsx"


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "small.xlsx"
    wb = xlsxwriter.Workbook(str(path))
    day = wb.add_format({"num_format": "yyyy-mm-dd"})
    span = wb.add_format({"num_format": "[h]:mm:ss"})
    ws = wb.add_worksheet("First")
    ws.write_row("A1", ["name", "when", "ok", "took", "sum"])
    ws.write_string("A2", 'say "hi", then\ttab')
    ws.write_datetime("B2", datetime.datetime(2024, 1, 31, 12, 30), day)
    ws.write_boolean("C2", False)
    ws.write_datetime("D2", datetime.timedelta(hours=26, seconds=1.5), span)
    ws.write_formula("E2", "=1+1", None, 2)
    ws.write_number("A3", 0.5)
    other = wb.add_worksheet("Other")
    other.write("B2", "x")
    other.activate()
    wb.close()
    return path


def run(*argv):
    out = io.StringIO()
    code = cli.main([str(a) for a in argv], out=out)
    return code, out.getvalue()


def test_info(small):
    code, text = run("info", small)
    assert code == 0
    path_name = "engine" if _native.native is not None else "python"
    assert f"'First': A1:E3, 11 cells, read by the {path_name} path" in text
    assert f"'Other': B2, 1 cells, read by the {path_name} path" in text
    assert "2 worksheet(s), 1900 date system" in text


def test_dump_formats(small):
    code, text = run("dump", small, "--sheet", "First")
    assert code == 0
    assert text.splitlines() == [
        "name,when,ok,took,sum",
        '"say ""hi"", then\ttab",2024-01-31T12:30:00,FALSE,26:00:01.5,=1+1',
        "0.5,,,,"]
    code, text = run("dump", small, "--sheet", "First", "--format", "tsv", "--data-only")
    assert text.splitlines()[1] == '"say ""hi"", then\ttab"\t2024-01-31T12:30:00\tFALSE\t26:00:01.5\t2'
    code, text = run("dump", small, "--sheet", "First", "--format", "jsonl")
    rows = [json.loads(line) for line in text.splitlines()]
    assert rows[1] == ['say "hi", then\ttab', "2024-01-31T12:30:00", False, 93601.5, "=1+1"]
    assert rows[2] == [0.5, None, None, None, None]
    # without --sheet: the active sheet
    code, text = run("dump", small, "--format", "jsonl")
    assert [json.loads(line) for line in text.splitlines()] == [[None, None], [None, "x"]]


def test_dump_unknown_sheet(small):
    with pytest.raises(SystemExit, match="no worksheet 'Nope' .*'First', 'Other'"):
        run("dump", small, "--sheet", "Nope")


def test_bad_files_exit_with_a_message(tmp_path, capsys):
    bad = tmp_path / "bad.xlsx"
    bad.write_text("not a workbook")
    assert run("info", bad)[0] == 1
    assert run("dump", tmp_path / "absent.xlsx")[0] == 1
    err = capsys.readouterr().err
    assert f"tavrinex: {bad}: not an xlsx file" in err and "absent.xlsx" in err


def test_bench(small):
    code, text = run("bench", small, "--repeat", "1")
    assert code == 0
    assert "Python path:" in text and "values" in text
    if _native.native is not None:
        assert "x the Python path; sheets read by: engine, engine" in text


def test_value_texts():
    assert cli.duration_text(datetime.timedelta(days=-1, hours=-6)) == "-30:00:00"
    assert cli.duration_text(datetime.timedelta(seconds=3723, microseconds=500)) == \
        "1:02:03.0005"
    assert cli.text_value(None) == "" and cli.text_value(True) == "TRUE"
    assert cli.text_value(datetime.time(1, 2)) == "01:02:00"
    assert cli.json_value(float("nan")) == "nan"
    assert cli.json_value(datetime.date(2020, 1, 2)) == "2020-01-02"


def test_progress_bar_only_on_a_terminal(monkeypatch):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: False, raising=False)
    assert cli._progress(10, "x", "row") is None
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    bar = cli._progress(10, "x", "row")
    try:
        assert type(bar).__module__.startswith("tqdm") and bar.total == 10
    finally:
        bar.close()


def test_module_entry_point_piped():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"),
                                                    env.get("PYTHONPATH")) if p)
    result = subprocess.run([sys.executable, "-m", "tavrinex", "dump", str(SAMPLE),
                             "--sheet", "Sales"], capture_output=True, env=env, check=True)
    lines = result.stdout.decode().splitlines()
    assert len(lines) == 2501 and lines[0].startswith("Order,Date,Region")
    assert result.stderr == b""   # no progress bar when not on a terminal
    # a reader that goes away early ends the command quietly
    head = subprocess.run(f'"{sys.executable}" -m tavrinex dump "{SAMPLE}" | head -n 1',
                          shell=True, capture_output=True, env=env)
    assert head.stdout.decode().startswith("Order,") and b"Traceback" not in head.stderr


def test_console_script_is_declared():
    import importlib
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    module, _, name = project["scripts"]["tavrinex"].partition(":")
    assert getattr(importlib.import_module(module), name) is cli.main
    assert any(dep.startswith("tqdm") for dep in project["dependencies"])
