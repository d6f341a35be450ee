"""Source-level rules the build alone does not hold: lists kept in two
languages stay equal, and each folder of the engine includes only the
folders below it."""

import re
from pathlib import Path

from tavrinex.reader.worksheet import DISPATCH_TAGS

SRC = Path(__file__).resolve().parent.parent / "src"

# Which engine folders each folder may include (its own always allowed).
PYTHON_FREE = {"core", "xml", "formula", "ftemplate", "utils", "text", "sheet", "arrow", "table"}
ALLOWED = {
    "core": set(),
    "utils": {"core"},
    "xml": {"core"},
    "formula": {"core", "utils"},
    "ftemplate": {"core", "utils", "formula"},
    "text": {"core", "xml"},
    "sheet": {"core", "utils", "xml", "formula", "ftemplate", "text"},
    "arrow": set(),
    "table": {"core", "utils", "arrow"},
    "lib": PYTHON_FREE | {"store", "writer", "prescan"},
    "store": PYTHON_FREE | {"lib"},
    "writer": PYTHON_FREE | {"lib", "store"},
    "prescan": PYTHON_FREE | {"lib"},
    "probe": PYTHON_FREE | {"lib", "store", "writer", "probe"},
    # a module of its own: its Python-free core and the type over it, which
    # takes only the owned-reference type from lib
    "inflate": {"lib"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def cxx_dispatch_tags() -> list[str]:
    text = (SRC / "sheet" / "sheet_parser.cpp").read_text()
    body = re.search(r"kDispatchTags\[\]\s*=\s*\{(.*?)\};", text, re.S)
    assert body, "the dispatch-tag array was not found in sheet_parser.cpp"
    return re.findall(r'"([^"]*)"', body.group(1))


def test_dispatch_tags_equal_in_both_readers():
    tags = cxx_dispatch_tags()
    assert len(tags) == len(set(tags)), "a dispatch tag is listed twice"
    assert set(tags) == set(DISPATCH_TAGS)


def includes(path: Path) -> list[tuple[str, str]]:
    return INCLUDE.findall(path.read_text())


def test_every_folder_has_a_rule():
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert folders == set(ALLOWED)


def test_the_inflate_module_takes_only_owned_references_from_lib():
    taken = {name for path in (SRC / "inflate").iterdir() for kind, name in includes(path)
             if kind == '"' and name.startswith("lib/")}
    assert taken <= {"lib/pyref.h"}


def test_folders_include_only_the_layers_below():
    wrong = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = path.relative_to(SRC).parts[0]
        for kind, name in includes(path):
            if kind == '"':
                target = name.split("/")[0]
                if target != folder and target not in ALLOWED[folder]:
                    wrong.append(f"{path.relative_to(SRC)} includes {name}")
            elif folder in PYTHON_FREE and (name.startswith("Python") or name in (
                    "datetime.h", "structmember.h")):
                wrong.append(f"{path.relative_to(SRC)} includes <{name}>")
    assert wrong == []


# A format of one "O" makes CPython spread a tuple argument into several
# arguments; calls that pass one object use the one-argument calls.
SPREADING_CALL = re.compile(
    r'Py(?:Object_CallMethod|Object_CallFunction|EVAL_CallFunction)\s*\([^;]*?,\s*"O"\s*,', re.S)


def test_no_call_spreads_a_tuple_argument():
    found = [f"{path.relative_to(SRC)}: {m.group(0)!r}" for path in sorted(SRC.rglob("*.[ch]*"))
             for m in SPREADING_CALL.finditer(path.read_text())]
    assert found == []


def cxx_helper_keys(macro: str) -> list[str]:
    text = (SRC / "lib" / "helper_keys.h").read_text()
    body = re.search(r"#define %s\(X\)(.*?)(?:\n\n|\Z)" % macro, text, re.S)
    assert body, f"{macro} was not found in lib/helper_keys.h"
    return re.findall(r'X\(\w+, "([^"]+)"\)', body.group(1))


def test_helper_keys_equal_in_both_languages():
    from tavrinex.helpers import reader_helpers, writer_helpers
    reader = [key for macro in ("TVX_READER_HELPERS", "TVX_READER_NAME_SETS",
                                "TVX_READER_EXTRA_HELPERS") for key in cxx_helper_keys(macro)]
    assert len(reader) == len(set(reader))
    assert set(reader) == set(reader_helpers())
    assert set(cxx_helper_keys("TVX_WRITER_HELPERS")) == set(writer_helpers())
