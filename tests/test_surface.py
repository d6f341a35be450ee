"""The module's Python surface: names, classes, signatures and argument errors."""

import inspect

import pytest

from tavrinex import _tavrinex as native
from tavrinex.cell import Cell
from tavrinex.helpers import reader_helpers

EXPECTED_NAMES = {"NativeFallback", "read_string_table", "bind_cells", "find_dimension",
                  "prescan_sheet", "RowReader", "CellStore", "SheetWriter"}
# The data road's own: sheets into Arrow columns.
DATA_ROAD_NAMES = {"read_shared_strings", "shared_strings_from_list", "sheet_table", "pack_table",
                   "SharedStrings", "ArrowTable", "SheetTable", "TableWriter"}


def test_module_exposes_exactly_its_names():
    assert {n for n in dir(native) if not n.startswith("__")} == EXPECTED_NAMES | DATA_ROAD_NAMES
    assert native.__doc__ == ""


def test_native_fallback_class():
    nf = native.NativeFallback
    assert nf.__mro__[1] is Exception
    assert nf.__module__ == "_tavrinex" and nf.__name__ == "NativeFallback"
    assert nf.__doc__ == ("The native engine cannot reproduce corvatel's behaviour for this "
                          "input; the pure Python implementation must be used.")


@pytest.mark.parametrize("cls, module", [
    (native.CellStore, "tavrinex._tavrinex"),
    (native.RowReader, "tavrinex._tavrinex"),
    (native.SheetWriter, "tavrinex._tavrinex"),
])
def test_class_module_paths(cls, module):
    assert cls.__module__ == module
    assert cls.__qualname__ == cls.__name__


@pytest.mark.parametrize("obj, signature", [
    (native.bind_cells, "(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)"),
    (native.find_dimension, "(source)"),
    (native.read_string_table, "(source, helpers)"),
    (native.prescan_sheet, "(source, want_rows, corners, helpers)"),
    (native.CellStore, "(*_args, **_kwargs)"),
    (native.CellStore.get, "(self, /, key, default=None)"),
    (native.CellStore._row, "(self, /, row, min_col, max_col, values_only)"),
    (native.CellStore.popitem, "(self, /)"),
    (native.RowReader, "(source, parser, helpers)"),
    (native.RowReader.next_row,
     "(self, /, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)"),
    (native.SheetWriter, "(ws, write, lxml, helpers)"),
    (native.SheetWriter.write_sheet_data, "(self, /, rows_fallback)"),
    (native.SheetWriter.write_row, "(self, /, cells, row_idx)"),
    (native.read_shared_strings, "(source, helpers, size_hint=0)"),
    (native.sheet_table, "(source, parser, helpers, strings, day_styles, plan, bounds)"),
    (native.pack_table, "(names, types, columns, num_rows, strings)"),
    (native.ArrowTable.__arrow_c_stream__, "(self, /, requested_schema=None)"),
])
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize("obj, doc", [
    (native.find_dimension, "Find the `dimension` element like "
                            "`tavrinex.reader.dimension.find_dimension_py`."
                            "\nReturns (snippet, namespaces) or None."),
    (native.read_string_table, "read_string_table(source, helpers) -> list"),
    (native.prescan_sheet, "prescan_sheet(source, want_rows, corners, helpers) -> dict"),
    (native.CellStore.popitem, "dict.popitem(): remove and return the last inserted (key, value)"),
    (native.CellStore._stats,
     "Diagnostics: (cells, materialised cells, formula templates, text bytes)"),
    (native.RowReader,
     "Streaming row reader of `tavrinex.reader.readonly.ReadOnlyWorksheet`."),
    (native.RowReader.next_raw,
     "Next raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."),
])
def test_docstrings(obj, doc):
    assert obj.__doc__ == doc


def test_bind_cells_docstring_summary():
    assert native.bind_cells.__doc__.startswith(
        "Read all cells of a worksheet (full / editable mode) into `store`.")


def _call(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,) * 7, {}, "bind_cells() missing required argument 'actions' (pos 8)"),
    ((1,) * 9, {}, "bind_cells() takes at most 8 arguments (9 given)"),
    ((), dict.fromkeys("abcdefghi", 1), "bind_cells() takes at most 8 keyword arguments (9 given)"),
    ((1,) * 8, {"source": 1}, "bind_cells() takes at most 8 arguments (9 given)"),
    ((1,) * 7, {"source": 1}, "bind_cells() missing required argument 'actions' (pos 8)"),
    ((1,) * 6, {"source": 1, "helpers": 2},
     "bind_cells() missing required argument 'actions' (pos 8)"),
    ((1,) * 7, {"bogus": 1}, "bind_cells() missing required argument 'actions' (pos 8)"),
    ((1,) * 8, {"bogus": 1}, "bind_cells() takes at most 8 arguments (9 given)"),
])
def test_argument_errors_use_cpython_wording(args, kwargs, message):
    assert _call(native.bind_cells, *args, **kwargs) == message


@pytest.fixture
def row_reader():
    return native.RowReader(None, _parser(), reader_helpers())


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,) * 6, {"ws": 1}, "argument for next_row() given by name ('ws') and position (1)"),
    ((1,) * 6, {"bogus": 1}, "next_row() got an unexpected keyword argument 'bogus'"),
    ((1,) * 5, {}, "next_row() missing required argument 'filler' (pos 6)"),
    ((1,) * 8, {}, "next_row() takes at most 7 arguments (8 given)"),
    ((None, "1", None, True, None, None), {},
     "next_row() argument 'min_col' must be int, not str"),
    ((None, 1, None, 1, None, None), {}, "next_row() argument 'values_only' must be bool, not int"),
])
def test_optional_argument_errors(row_reader, args, kwargs, message):
    assert _call(row_reader.next_row, *args, **kwargs) == message


def test_argument_wording_matches_cpython_builtins(row_reader):
    # compile() is extracted by CPython's own keyword parser; ours must agree.
    cases = [((1,) * 6, {"bogus": 1}, ("x", "f", "exec"), {"bogus": 1}),
             ((1,) * 6, {"ws": 1}, ("x", "f", "exec"), {"source": 1}),
             ((1,) * 9, {}, ("x", "f", "exec", 0, 0, 0, 0, 0, 0), {})]
    for ours_args, ours_kw, theirs_args, theirs_kw in cases:
        ours = _call(row_reader.next_row, *ours_args, **ours_kw)
        theirs = _call(compile, *theirs_args, **theirs_kw)
        normalise = (lambda m: m.replace("next_row", "F").replace("compile", "F")
                     .replace("'ws'", "N").replace("'source'", "N")
                     .replace(" 7 ", " K ").replace(" 9 ", " K "))
        assert normalise(ours) == normalise(theirs)


@pytest.mark.parametrize("store, cell_cls, helpers, actions, name, expected", [
    (None, type, {}, [], "store", "CellStore"),
    ("store", 5, {}, [], "cell_cls", "type"),
    ("store", type, [], [], "helpers", "dict"),
    ("store", type, {}, (), "actions", "list"),
])
def test_bind_cells_argument_types_checked_in_order(store, cell_cls, helpers, actions, name,
                                                    expected):
    if store == "store":
        store = native.CellStore()
    message = _call(native.bind_cells, None, None, None, store, [], cell_cls, helpers, actions)
    assert message.startswith(f"bind_cells() argument '{name}' must be {expected}, not ")


def test_missing_helper_names_the_first_absent_key_in_order():
    helpers = reader_helpers()
    del helpers["from_excel"], helpers["validate_rpr"]
    message = _call(native.bind_cells, None, None, None, native.CellStore(), [], type, helpers, [])
    assert message == "missing helper from_excel"


def test_read_string_table_without_si_content_is_an_internal_failure():
    helpers = reader_helpers()
    del helpers["si_content"]
    with pytest.raises(BaseException) as info:
        native.read_string_table(None, helpers)
    assert not isinstance(info.value, Exception)
    assert "si_content helper" in str(info.value)


class RecordingParser:
    """Records the order in which the engine reads the parser's attributes."""

    def __init__(self, **values):
        object.__setattr__(self, "seen", [])
        object.__setattr__(self, "values", values)

    def __getattr__(self, name):
        self.seen.append(name)
        try:
            return self.values[name]
        except KeyError:
            raise AttributeError(name) from None


def _parser(**overrides):
    import datetime
    values = dict(epoch=datetime.datetime(1899, 12, 30), formula_and_value=False,
                  shared_strings=[], data_only=False, rich_text=False, date_formats=[],
                  timedelta_formats=[], row_dimensions={})
    values.update(overrides)
    return RecordingParser(**values)


def test_parser_options_read_in_order_and_row_dimensions_must_be_a_dict():
    parser = _parser(row_dimensions=[])
    with pytest.raises(TypeError):
        native.bind_cells(None, parser, None, native.CellStore(), [], type, reader_helpers(), [])
    assert parser.seen == ["epoch", "formula_and_value", "shared_strings", "data_only",
                           "rich_text", "date_formats", "timedelta_formats", "row_dimensions"]


def test_missing_formula_and_value_counts_as_false_but_other_options_are_required():
    import io
    parser = _parser()
    del parser.values["formula_and_value"]
    with pytest.raises(native.NativeFallback, match="no element found"):
        native.bind_cells(io.BytesIO(b""), parser, None, native.CellStore(), [], Cell,
                          reader_helpers(), [])
    parser = _parser()
    del parser.values["rich_text"]
    with pytest.raises(AttributeError):
        native.bind_cells(None, parser, None, native.CellStore(), [], type, reader_helpers(), [])


def test_helper_and_option_errors_propagate_unchanged():
    class Boom(Exception):
        pass

    class Formats:
        def __iter__(self):
            raise Boom("date formats")

    with pytest.raises(Boom):
        native.bind_cells(None, _parser(date_formats=Formats()), None, native.CellStore(), [],
                          type, reader_helpers(), [])


@pytest.mark.parametrize("kwargs, message", [
    (dict(ws=None, write=None, lxml=1, helpers={}),
     "SheetWriter() argument 'lxml' must be bool, not int"),
    (dict(ws=None, write=None, lxml=True, helpers=[]),
     "SheetWriter() argument 'helpers' must be dict, not list"),
])
def test_sheet_writer_argument_checks(kwargs, message):
    assert _call(native.SheetWriter, **kwargs) == message


def test_row_reader_requires_a_helpers_dict():
    assert _call(native.RowReader, None, None, []) == (
        "RowReader() argument 'helpers' must be dict, not list")
