"""Reading a worksheet into a Worksheet: the engine first, Python after it.

`read_worksheet` hands the worksheet to the engine's ``bind_cells``; if the
engine declines (``NativeFallback``), whatever it produced is discarded, the
source is rewound and `WorksheetParser` reads it again in Python. Either way
the actions are then replayed in document order: element handlers for the
elements around the cells, and the date warnings.
"""

import warnings

from tavrinex import _native
from tavrinex.cell import Cell
from tavrinex.dimensions import RowDimensions
from tavrinex.helpers import reader_helpers
from tavrinex.reader.handlers import handle_element
from tavrinex.reader.source import open_source
from tavrinex.reader.worksheet import WorksheetParser

_ENGINE = object()  # "use the installed engine"


def read_worksheet(source, ws, shared_strings=None, cell_styles=None, epoch=None,
                   data_only=False, rich_text=False, date_formats=(), timedelta_formats=(),
                   formula_and_value=False, *, cell_cls=Cell, helpers=None, engine=_ENGINE):
    """Read the worksheet part in `source` (a binary file object) into `ws`.

    `shared_strings`, `cell_styles` and `epoch` default to those of
    ``ws.parent``. `date_formats` and `timedelta_formats` are the style ids
    whose cells hold dates and durations. `engine` is the native module to
    try first (None: Python only); `helpers` the callables the readers use.

    Sets ``ws._cells`` (a CellStore from the engine, a dict after a
    fallback) and ``ws.row_dimensions``, then replays the other elements and
    the warnings. Returns the parser.
    """
    wb = ws.parent
    if shared_strings is None:
        shared_strings = wb.shared_strings
    if cell_styles is None:
        cell_styles = wb._cell_styles
    if epoch is None:
        epoch = wb.epoch
    if helpers is None:
        helpers = reader_helpers(rich_text=rich_text)
    if engine is _ENGINE:
        engine = _native.native

    parser = WorksheetParser(shared_strings, epoch, data_only=data_only, rich_text=rich_text,
                             date_formats=date_formats, timedelta_formats=timedelta_formats,
                             formula_and_value=formula_and_value)
    actions = []
    cells = None
    if engine is not None:
        source, rewind = open_source(source)
        store = engine.CellStore()
        try:
            engine.bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers,
                              actions)
        except engine.NativeFallback:
            # Nothing of the engine's partial work survives the rerun.
            del store
            actions = []
            parser.row_dimensions = {}
            parser.formula_cache = {}
            source = rewind()
        else:
            cells = store
    if cells is None:
        cells = {}
        parser.parse(source, ws, cells, cell_styles, cell_cls, helpers, actions)

    ws._cells = cells
    # The Python reader's cached values of formula cells (a store keeps its own).
    ws._formula_cache = parser.formula_cache if isinstance(cells, dict) else None
    ws.row_dimensions = RowDimensions.read(parser.row_dimensions)
    replay(ws, actions)
    return parser


def replay(ws, actions):
    """Apply the reader's actions to `ws` in order."""
    for action in actions:
        if action[0] == "element":
            handle_element(ws, action[1], action[2])
        elif action[0] == "warn":
            warnings.warn(action[1])
        else:
            raise ValueError(f"unknown reader action {action[0]!r}")
