"""tavrinex: xlsx workbooks read and written in Python, with a native engine.

The engine, ``tavrinex._tavrinex``, gives the same results as the package's
own Python code; where it cannot, it raises ``NativeFallback`` and the
package runs the Python code instead.
"""

import os as _os

# Development builds keep the compiled modules outside the source tree.
_native_dir = _os.environ.get("TAVRINEX_NATIVE_DIR")
if _native_dir:
    __path__.insert(0, _native_dir)

from tavrinex.errors import (BrokenPartError, EncryptedWorkbookError,  # noqa: E402
                             InvalidFileError, MissingPartError, ZipBombError)
from tavrinex.reader.book import load_workbook  # noqa: E402
from tavrinex.styles import (Alignment, Border, Color, DifferentialStyle, Font,  # noqa: E402
                             GradientFill, NamedStyle, PatternFill, Protection, Side)
from tavrinex.workbook import Workbook  # noqa: E402
from tavrinex.image import Image  # noqa: E402
from tavrinex import chart  # noqa: E402
from tavrinex.data import Table, read_table, read_tables, write_table  # noqa: E402

__all__ = ["load_workbook", "Workbook", "InvalidFileError", "MissingPartError",
           "BrokenPartError", "ZipBombError", "EncryptedWorkbookError", "Alignment", "Border",
           "Color", "DifferentialStyle", "Font", "GradientFill", "NamedStyle", "PatternFill",
           "Protection", "Side", "read_table", "read_tables", "write_table", "Table", "Image",
           "chart"]
