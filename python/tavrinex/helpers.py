"""The `helpers` dicts handed to the native engine.

The engine calls back into these for every value it does not reproduce
itself, so each entry is the package's own code for that job.
"""

from tavrinex.formula import (ArrayFormula, DataTableFormula, TokenizerError, Translator,
                              TranslatorError)
from tavrinex.styles import StyleArray
from tavrinex.text import (RICH_DANGEROUS, TEXT_DANGEROUS, rich_inline, si_content,
                           text_content, validate_rpr)
from tavrinex.utils.cell import coordinate_to_tuple, row_index
from tavrinex.utils.datetime import from_excel, from_ISO8601


def date_warning(coordinate, value):
    """Message of the warning for a date cell whose serial cannot be converted."""
    where = f"Cell {coordinate}" if coordinate is not None else "A cell"
    return (f"{where} is marked as a date but the serial value {value} is outside "
            f"the limits for dates. The cell will be treated as an error.")


def _keep_rich_runs(snippet, namespaces):
    """validate_rpr of rich mode: any run properties make the item rich
    text, so the item goes to rich_inline whole."""
    return False


def reader_helpers(rich_text=False):
    """The dict the readers (bind_cells, RowReader, read_string_table) take.

    In rich-text mode the items whose runs carry properties are read as rich
    text by ``rich_inline``; otherwise their plain text is enough.
    """
    return {
        "int": int,
        "float": float,
        "coordinate_to_tuple": coordinate_to_tuple,
        "row_index": row_index,
        "from_excel": from_excel,
        "from_ISO8601": from_ISO8601,
        "date_warning": date_warning,
        "ArrayFormula": ArrayFormula,
        "DataTableFormula": DataTableFormula,
        "Translator": Translator,
        "TokenizerError": TokenizerError,
        "TranslatorError": TranslatorError,
        "text_content": text_content,
        "rich_inline": rich_inline,
        "validate_rpr": _keep_rich_runs if rich_text else validate_rpr,
        "text_dangerous": TEXT_DANGEROUS,
        "rich_dangerous": RICH_DANGEROUS,
        "si_content": si_content,
    }


def writer_helpers(lxml=True):
    """The dict SheetWriter takes, with the cell writer of the lxml back end
    or, when `lxml` is false or lxml is not installed, of ElementTree."""
    from tavrinex.writer.backends import backend
    from tavrinex.writer.values import add_comment, date_value, date_value_raw, safe_string

    return {
        "StyleArray": StyleArray,
        "add_comment": add_comment,
        "write_cell": backend(lxml).write_cell,
        "date_value": date_value,
        "date_value_raw": date_value_raw,
        "safe_string": safe_string,
    }
