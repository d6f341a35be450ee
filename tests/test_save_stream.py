"""Write-only workbooks keep memory bounded by a row, and `tavrinex convert`
streams a csv file into one."""

import datetime
import io
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex import cli

ROOT = Path(__file__).resolve().parent.parent

# Appends `rows` rows of mixed values to a write-only sheet and prints the
# peak resident memory (kB) after warming up and at the end.
_CHILD = textwrap.dedent("""
    import datetime, sys, tempfile, os
    import tavrinex
    rows = int(sys.argv[1])
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("Big")
    day = datetime.date(2024, 1, 1)
    def peak():
        # VmHWM starts afresh with the new program (ru_maxrss would carry
        # the parent's peak over the fork).
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
    for i in range(rows):
        ws.append([i, "row text %d" % (i % 1000), i * 0.25, i % 3 == 0, day, "=A1*2"])
        if i == 20_000:
            warm = peak()
    with tempfile.TemporaryDirectory() as folder:
        wb.save(os.path.join(folder, "big.xlsx"))
    print(warm, peak())
""")


def _peaks(rows):
    env_path = [str(ROOT / "python"), *sys.path]
    result = subprocess.run([sys.executable, "-c", _CHILD, str(rows)], capture_output=True,
                            text=True, timeout=600,
                            env={**os.environ, "PYTHONPATH": ":".join(env_path)})
    assert result.returncode == 0, result.stderr
    warm, end = map(int, result.stdout.split())
    return warm, end


# The sanitizer runtime holds freed memory in quarantine, so resident
# memory says nothing about what the program keeps there.
_SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(_SANITIZED, reason="peak memory is not meaningful under AddressSanitizer")
def test_write_only_memory_does_not_grow_with_rows():
    small_warm, small_end = _peaks(25_000)
    big_warm, big_end = _peaks(250_000)
    # Ten times the rows: the peak stays within a few MB of the small run's.
    assert big_end - small_end < 4 * 1024, (small_end, big_end)
    assert big_end - big_warm < 4 * 1024, (big_warm, big_end)


def test_write_only_rows_in_order_with_gaps_and_widths(tmp_path):
    wb = tavrinex.Workbook(write_only=True)
    ws = wb.create_sheet("S")
    ws.append([1, None, "c"])
    ws.append([])
    ws.append(range(3))
    ws.append(x for x in ("g", "h"))
    wb.save(tmp_path / "s.xlsx")
    rows = CalamineWorkbook.from_path(str(tmp_path / "s.xlsx")).get_sheet_by_name("S").to_python()
    assert rows == [[1.0, "", "c"], ["", "", ""], [0.0, 1.0, 2.0], ["g", "h", ""]]
    assert tavrinex.load_workbook(tmp_path / "s.xlsx")["S"]._dimension == "A1:C4"


def test_convert_recognises_numbers_and_dates(tmp_path):
    src = tmp_path / "in.csv"
    src.write_text("id,amount,when,stamp,code,note\n"
                   "1,2.5,2024-01-31,2024-01-31 12:30:05,007,\"a, b\"\n"
                   "-3,1e3,2024-13-01,noon,0,\n", encoding="utf-8")
    out = io.StringIO()
    assert cli.main(["convert", str(src), str(tmp_path / "out.xlsx")], out=out) == 0
    assert "3 rows" in out.getvalue()
    ws = tavrinex.load_workbook(tmp_path / "out.xlsx")["in"]
    assert list(ws.values) == [
        ("id", "amount", "when", "stamp", "code", "note"),
        (1, 2.5, datetime.datetime(2024, 1, 31), datetime.datetime(2024, 1, 31, 12, 30, 5),
         "007", "a, b"),
        (-3, 1000.0, "2024-13-01", "noon", 0, None)]


def test_convert_reports_bad_input(tmp_path, capsys):
    assert cli.main(["convert", str(tmp_path / "missing.csv"), str(tmp_path / "o.xlsx")]) == 1
    assert "missing.csv" in capsys.readouterr().err
    assert not (tmp_path / "o.xlsx").exists()


@pytest.mark.parametrize("text, value", [("12", 12), ("-0", 0), ("+1.5", 1.5), (".5", 0.5),
                                         ("1e-3", 0.001), ("0012", "0012"), ("1,5", "1,5"),
                                         ("2024-02-29", datetime.date(2024, 2, 29)),
                                         ("2023-02-29", "2023-02-29"), ("", None),
                                         ("nan", "nan"), ("12345678901234567", 1.2345678901234568e16)])
def test_csv_values(text, value):
    assert cli.csv_value(text) == value


def test_write_only_sheet_stops_at_the_last_row():
    ws = tavrinex.Workbook(write_only=True).create_sheet("Full")
    ws.append([1])
    ws._row = 1_048_576   # as if the sheet were full
    with pytest.raises(ValueError, match="at most 1048576 rows"):
        ws.append([2])
