"""Type checkers see the public API: load_workbook's result in each mode,
its worksheets and the package's modules pass mypy."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytest.importorskip("mypy")

USE = '''
import tavrinex
full = tavrinex.load_workbook("book.xlsx")
reveal_type(full)
reveal_type(full["Sheet"])
reveal_type(full.active)
stream = tavrinex.load_workbook("book.xlsx", read_only=True)
reveal_type(stream["Sheet"].iter_rows(values_only=True))
reveal_type(stream.sheetnames)
either = tavrinex.load_workbook("book.xlsx", read_only=bool(1))
reveal_type(either.worksheets)
reveal_type(tavrinex.load_workbook)
stream.no_such_attribute
table = tavrinex.read_table("book.xlsx", "Sales", columns=["a", 1], dtypes={"a": "int"})
reveal_type(table)
reveal_type(table.schema)
reveal_type(tavrinex.read_tables(["a.xlsx", b"..."], threads=2))
'''


def mypy(*args, cwd):
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental",
                           "--follow-imports=silent", *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_public_api_types(tmp_path):
    (tmp_path / "use.py").write_text(USE)
    out = mypy("use.py", cwd=tmp_path).stdout
    revealed = [line.split("Revealed type is ", 1)[1].strip('"')
                for line in out.splitlines() if "Revealed type is" in line]
    assert revealed[:6] == [
        "tavrinex.workbook.Workbook[tavrinex.worksheet.Worksheet]",
        "tavrinex.worksheet.Worksheet",
        "tavrinex.worksheet.Worksheet | None",
        "typing.Iterator[tuple[Any, ...]]",
        "list[str]",
        "list[tavrinex.worksheet.Worksheet | tavrinex.workbook.ReadOnlySheet]",
    ], out
    assert "Overload(" in revealed[6]
    assert revealed[7:10] == ["tavrinex.data.frame.Table", "dict[str, str]",
                              "list[tavrinex.data.frame.Table]"], out
    assert '"Workbook[ReadOnlySheet]" has no attribute "no_such_attribute"' in out


def test_new_modules_type_check():
    modules = ["reader/book.py", "reader/excel.py", "styles/__init__.py", "workbook.py",
               "cli.py", "numbers.py", "errors.py", "comments.py", "styles/cells.py",
               "writeonly.py", "writer/workbook_writer.py", "writer/sheet_part.py",
               "writer/styles_part.py", "writer/xmltext.py", "views.py", "filters.py",
               "validation.py", "rules.py", "tables.py", "printing.py", "protection.py",
               "properties.py", "names.py", "sheetfeatures.py", "reader/features.py",
               "writer/features.py", "utils/ranges.py", "utils/elements.py", "structure.py",
               "formula/rewrite.py", "image.py", "drawing.py", "chart/__init__.py",
               "chart/model.py", "chart/writer.py", "data/read.py", "data/frame.py",
               "data/write.py", "data/options.py", "data/types.py", "data/book.py",
               "data/pyroad.py", "dask.py"]
    result = mypy(*[str(ROOT / "python" / "tavrinex" / m) for m in modules], cwd=ROOT)
    assert result.returncode == 0, result.stdout


def test_package_is_marked_typed():
    assert (ROOT / "python" / "tavrinex" / "py.typed").is_file()


def test_the_engine_stub_matches_the_built_module(tmp_path):
    from tavrinex import _native
    if _native.native is None:
        pytest.skip("engine not built")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tavrinex._tavrinex"],
                         cwd=tmp_path, env=dict(os.environ, MYPYPATH=str(ROOT / "python")),
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
