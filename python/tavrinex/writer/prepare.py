"""The parts of a cell's <c> element, shared by both XML back ends."""

from tavrinex.formula import ArrayFormula, DataTableFormula
from tavrinex.text import _BOOL_PROPS, CellRichText, InlineFont
from tavrinex.utils.cell import get_column_letter
from tavrinex.writer.values import date_value, safe_string, writable

EMPTY, FORMULA, INLINE, VALUE, RICH = range(5)


def _attribute_text(value):
    if value is True:
        return "1"
    return safe_string(value)


def prepare_cell(ws, cell, styled, lxml):
    """(attributes of <c>, shape, content) of a cell.

    The shape is EMPTY (no content), FORMULA ((attributes of <f>, text or
    None, text of <v> or None)), INLINE ((text, keep spaces)) or VALUE (the
    text of <v>).
    Appends the cell's hyperlink to ``ws._hyperlinks``.
    """
    attrs = {"r": f"{get_column_letter(cell.column)}{cell.row}"}
    if styled:
        attrs["s"] = writable(str(ws.parent._cell_styles.add(cell._style)), lxml)
    data_type = cell.data_type
    value = cell._value
    cached = None
    if data_type == "d":
        value, keep_d = date_value(ws, cell)
        t = "d" if keep_d else "n"
    elif data_type == "f":
        t = None
        # The cached value the loaded file gave an unchanged formula: its
        # type and cell metadata on the <c>, its text in <v>.
        lookup = getattr(ws, "_cached_value", None)
        if lookup is not None and not (value is None or value == ""):
            cached = lookup(cell.row, cell.column)
            if cached is not None:
                t = cached[0] if cached[0] is None else writable(cached[0], lxml)
    elif data_type == "s":
        t = "inlineStr"
    else:
        t = None if data_type is None else writable(str(data_type), lxml)
    if t is not None:
        attrs["t"] = t
    if cached is not None and cached[2] is not None:
        attrs["cm"] = writable(cached[2], lxml)
    hyperlink = cell.hyperlink
    if hyperlink:
        ws._hyperlinks.append(hyperlink)

    if value is None or (isinstance(value, str) and value == ""):
        return attrs, EMPTY, None
    if data_type == "f":
        if isinstance(value, ArrayFormula):
            text = value.text
            if isinstance(text, str) and text.startswith("="):
                text = text[1:]
            f_attrs = {k: _attribute_text(v) for k, v in value}
        elif isinstance(value, DataTableFormula):
            text = None
            f_attrs = {k: _attribute_text(v) for k, v in value}
        elif isinstance(value, str):
            text, f_attrs = value[1:], {}
        else:
            text, f_attrs = safe_string(value), {}
        if text is not None:
            text = writable(safe_string(text), lxml)
        cached_text = writable(cached[1], lxml) if cached is not None and cached[1] else None
        return attrs, FORMULA, (f_attrs, text, cached_text)
    if data_type == "s" and isinstance(value, CellRichText):
        runs = rich_runs(value, lxml)
        return (attrs, RICH, runs) if runs else (attrs, EMPTY, None)
    if data_type == "s":
        text = writable(value if isinstance(value, str) else safe_string(value), lxml)
        stripped = text.strip()
        return attrs, INLINE, (text, stripped != text and (lxml or bool(stripped)))
    return attrs, VALUE, writable(safe_string(value), lxml)


def cells_to_write(ws, cells, add_comment):
    """(cell, styled) for each cell that is written, after recording its
    comment; cells without value, style or comment are left out."""
    from tavrinex.writer.values import has_style
    for cell in cells:
        comment = cell._comment
        if comment is not None:
            add_comment(ws, cell)
        styled = has_style(cell._style)
        if cell._value is None and not styled and not comment:
            continue
        yield cell, styled


def _number_text(value):
    """A run property number as text that reads back as the same value."""
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return repr(value) if isinstance(value, float) else str(value)


def run_properties(font):
    """[(name, attributes)] of the `rPr` children that give `font`, in the
    order of InlineFont's fields."""
    props = []
    for name in InlineFont.FIELDS:
        value = getattr(font, name)
        if value is None:
            continue
        if name == "color":
            attrs = {}
            for key in ("rgb", "indexed", "theme", "tint", "auto"):
                part = getattr(value, key)
                if part is not None:
                    attrs[key] = ("1" if part else "0") if key == "auto" else _number_text(part)
        elif name in _BOOL_PROPS:
            attrs = {"val": "1" if value else "0"}
        else:
            attrs = {"val": _number_text(value)}
        props.append((name, attrs))
    return props


def rich_runs(value, lxml):
    """[(run properties or None, text, keep spaces)] of rich text: each
    piece becomes a run, plain str pieces without properties."""
    runs = []
    for piece in value:
        font = getattr(piece, "font", None)
        text = piece if isinstance(piece, str) else getattr(piece, "text", None)
        if not isinstance(text, str):
            text = safe_string(piece if text is None else text)
        text = writable(text, lxml)
        props = run_properties(font) if isinstance(font, InlineFont) else None
        runs.append((props, text, text.strip() != text))
    return runs
