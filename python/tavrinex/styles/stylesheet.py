"""The workbook's stylesheet: every collection of the styles part, read
into the style model and written back whole.

Entries read from a file keep their element as read, so that the part is
written back as it came (each index unchanged, children and attributes
the model does not name included); entries added later are written from
their model value. Cells refer to the entries through their style arrays
(``cell_styles``, the cellXfs); alignment and protection, which the part
nests inside each cell format, are tables of their own here, entry 0
being the default (no element).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from typing import Any, Generic, TypeVar
from xml.etree import ElementTree as ET

from tavrinex.numbers import BUILTIN_FORMATS, FIRST_CUSTOM_ID, format_code, is_date_id, \
    is_timedelta_id
from tavrinex.utils.elements import M, MAIN_NS, build, flag, integer, local, new, sub
from tavrinex.styles.alignment import Alignment, Protection
from tavrinex.styles.array import StyleArray, StyleList
from tavrinex.styles.borders import Border
from tavrinex.styles.differential import DifferentialStyle
from tavrinex.styles.fills import Fill, PatternFill, fill_from_element
from tavrinex.styles.fonts import Font
from tavrinex.styles.named import NamedStyle, builtin_style

T = TypeVar("T")
_NUM_FMT = 3  # numFmtId's place in a StyleArray
# Root children in the part's order; what the model does not name is kept
# after the one it followed.
ORDER = ("numFmts", "fonts", "fills", "borders", "cellStyleXfs", "cellXfs", "cellStyles",
         "dxfs", "tableStyles", "colors", "extLst")


def _int(text: str | None, default: int = 0) -> int:
    if text is None:
        return default
    try:
        return int(text)
    except ValueError:
        try:
            return int(float(text))
        except ValueError:
            raise ValueError(f"{text!r} is not an integer") from None


def _flag(text: str | None) -> int:
    return 1 if text is not None and text.strip().lower() in ("1", "true") else 0


class StyleTable(Generic[T]):
    """One collection of the stylesheet: its entries by index, each a
    model value, with the element it was read from. ``add`` gives the
    index of an equal entry, appending the value when there is none."""

    def __init__(self, parse: Callable[[ET.Element], T], elements: Iterable[ET.Element] = (),
                 values: Iterable[T] = ()) -> None:
        self._parse = parse
        self._elements: list[ET.Element | None] = list(elements)
        self._values: list[T | None] = [None] * len(self._elements)
        self._index: dict[Any, int] | None = None
        for value in values:
            self.add(value, dedupe=False)

    def __len__(self) -> int:
        return len(self._values)

    def __getitem__(self, index: int) -> T:
        value = self._values[index]
        if value is None:
            element = self._elements[index]
            assert element is not None
            value = self._values[index] = self._parse(element)
        return value

    def __iter__(self) -> Iterator[T]:
        return (self[i] for i in range(len(self)))

    def __repr__(self) -> str:
        return f"StyleTable({list(self)!r})"

    def index(self, value: T) -> int:
        """The index of the first entry equal to `value` (ValueError when none)."""
        if self._index is None:
            self._index = {}
            for i in range(len(self)):
                self._index.setdefault(self[i], i)
        try:
            return self._index[value]
        except KeyError:
            raise ValueError(f"{value!r} is not in the table") from None

    def add(self, value: T, dedupe: bool = True) -> int:
        if dedupe:
            try:
                return self.index(value)
            except ValueError:
                pass
        self._values.append(value)
        self._elements.append(None)
        if self._index is not None:
            self._index.setdefault(value, len(self._values) - 1)
        return len(self._values) - 1

    def read(self, element: ET.Element) -> int:
        """The index of an entry read as `element` (first of its value)."""
        value = self._parse(element)
        try:
            return self.index(value)
        except ValueError:
            self._values.append(value)
            self._elements.append(element)
            self._index[value] = len(self._values) - 1   # type: ignore[index]
            return len(self._values) - 1

    def element(self, index: int, *args: Any) -> ET.Element:
        """The entry as written: the element as read, or made from the
        value (``to_element(*args)``)."""
        element = self._elements[index]
        if element is not None:
            return element
        made: ET.Element = self[index].to_element(*args)  # type: ignore[attr-defined]
        return made


class NamedStyles:
    """The workbook's named cell styles, by name or index; ``add`` takes a
    NamedStyle (or the name of a built-in one) into the stylesheet."""

    def __init__(self, sheet: Stylesheet) -> None:
        self._sheet = sheet

    def _entries(self) -> list[ET.Element]:
        return self._sheet.cell_style_entries

    def __len__(self) -> int:
        return len(self._entries())

    def __iter__(self) -> Iterator[NamedStyle]:
        return (self._sheet.named_style(i) for i in range(len(self)))

    @property
    def names(self) -> list[str]:
        return [el.get("name", "") for el in self._entries()]

    def __contains__(self, item: object) -> bool:
        name = item.name if isinstance(item, NamedStyle) else item
        return name in self.names

    def __getitem__(self, key: int | str) -> NamedStyle:
        if isinstance(key, str):
            try:
                key = self.names.index(key)
            except ValueError:
                raise KeyError(f"no named style {key!r}") from None
        return self._sheet.named_style(key)

    def add(self, style: NamedStyle | str) -> NamedStyle:
        """Take `style` into the workbook (a name must be a built-in
        style's); a style of the same name already there is kept, and a
        different definition under that name raises ValueError."""
        self._sheet.named_style_xf(style)
        name = style if isinstance(style, str) else style.name
        return self[name]

    def __repr__(self) -> str:
        return f"NamedStyles({self.names!r})"


class Stylesheet:
    """The styles of a workbook.

    ``cell_styles[i]`` is the StyleArray of cell format i (the cellXfs);
    ``number_formats`` maps custom format ids to their text; ``fonts``,
    ``fills``, ``borders``, ``alignments``, ``protections`` and ``dxfs``
    are StyleTables of model values; ``named_styles`` the named cell
    styles; ``cell_style_xfs`` (the formats of the named styles),
    ``colors``, ``table_styles`` and ``ext_lst`` the part's elements as read.
    """

    def __init__(self, cell_styles: Iterable[Any] | None = None) -> None:
        self.cell_styles: StyleList = StyleList(cell_styles if cell_styles is not None
                                                else [StyleArray()])
        self.number_formats: dict[int, str] = {}
        self.fonts: StyleTable[Font] = StyleTable(Font.from_element)
        self.fills: StyleTable[Fill] = StyleTable(fill_from_element)
        self.borders: StyleTable[Border] = StyleTable(Border.from_element)
        self.alignments: StyleTable[Alignment] = StyleTable(Alignment.from_element,
                                                            values=[Alignment()])
        self.protections: StyleTable[Protection] = StyleTable(Protection.from_element,
                                                              values=[Protection()])
        self.dxfs: StyleTable[DifferentialStyle] = StyleTable(DifferentialStyle.from_element)
        self.cell_style_xfs: list[ET.Element] = []
        self.cell_style_entries: list[ET.Element] = []   # the cellStyles
        self.colors: ET.Element | None = None
        self.table_styles: ET.Element | None = None
        self.ext_lst: ET.Element | None = None
        self.named_styles = NamedStyles(self)
        # What a save needs to write the part back as read.
        self.xfs_read: list[tuple[tuple[int, ...], ET.Element]] = []
        self.collection_attributes: dict[str, dict[str, str]] = {}
        self.collections_read: set[str] = set()   # collections the part held, empty or not
        self.root_attributes: dict[str, str] = {}
        self.namespaces: list[tuple[str, str]] = []
        self.unknown: dict[str, list[ET.Element]] = {}

    # -- number formats

    def number_format(self, style_id: int) -> str:
        """Format text of style id `style_id`."""
        return format_code(self.cell_styles[style_id][_NUM_FMT], self.number_formats)

    def format_id(self, code: str) -> int:
        """The id of number format `code`, added when it is new."""
        return format_id(code, self.number_formats)

    def date_style_ids(self) -> frozenset[int]:
        """Style ids whose number format shows dates, times or durations."""
        return frozenset(i for i, style in enumerate(self.cell_styles)
                         if is_date_id(style[_NUM_FMT], self.number_formats))

    def timedelta_style_ids(self) -> frozenset[int]:
        """Style ids whose number format shows elapsed time."""
        return frozenset(i for i, style in enumerate(self.cell_styles)
                         if is_timedelta_id(style[_NUM_FMT], self.number_formats))

    # -- named styles

    def named_style(self, index: int) -> NamedStyle:
        """The model of the named style at `index` of the cellStyles."""
        entry = self.cell_style_entries[index]
        xf_id = _int(entry.get("xfId"))
        xf = self.cell_style_xfs[xf_id] if 0 <= xf_id < len(self.cell_style_xfs) else new("xf")
        parts = self._xf_parts(xf)
        return build(NamedStyle, {
            "name": entry.get("name", ""), "builtin_id": integer(entry.get("builtinId")),
            "hidden": flag(entry.get("hidden")),
            "font": _entry(self.fonts, parts[0], Font()),
            "fill": _entry(self.fills, parts[1], PatternFill(pattern="none")),
            "border": _entry(self.borders, parts[2], Border()),
            "number_format": format_code(parts[3], self.number_formats),
            "protection": self.protections[parts[4]], "alignment": self.alignments[parts[5]]})

    def _xf_parts(self, xf: ET.Element) -> list[int]:
        """(font, fill, border, number format, protection, alignment) of an
        <xf>, its alignment and protection taken into their tables."""
        alignment = protection = 0
        for part in xf:
            name = local(part.tag)
            if name == "alignment":
                alignment = self.alignments.read(part)
            elif name == "protection":
                protection = self.protections.read(part)
        return [_int(xf.get("fontId")), _int(xf.get("fillId")), _int(xf.get("borderId")),
                _int(xf.get("numFmtId")), protection, alignment]

    def named_style_xf(self, style: NamedStyle | str) -> tuple[int, StyleArray]:
        """(xfId, the style array a cell of the style takes), the style
        taken into the stylesheet when it is not there yet."""
        if not isinstance(style, (str, NamedStyle)):
            raise TypeError(f"cell.style takes a style name or a NamedStyle, "
                            f"not {type(style).__name__}")
        name = style if isinstance(style, str) else style.name
        names = self.named_styles.names
        if name in names:
            index = names.index(name)
            if isinstance(style, NamedStyle) and self.named_style(index) != style:
                raise ValueError(f"the workbook has a different style named {name!r}")
            xf_id = _int(self.cell_style_entries[index].get("xfId"))
            xf = (self.cell_style_xfs[xf_id] if 0 <= xf_id < len(self.cell_style_xfs)
                  else new("xf"))
            return xf_id, StyleArray((*self._xf_parts(xf), 0, 0, xf_id))
        if isinstance(style, str):
            found = builtin_style(style)
            if found is None:
                raise ValueError(f"no named style {style!r} in the workbook, nor a built-in "
                                 "one of that name")
            style = found
        parts = [self.fonts.add(style.font), self.fills.add(style.fill),
                 self.borders.add(style.border), self.format_id(style.number_format),
                 self.protections.add(style.protection), self.alignments.add(style.alignment)]
        xf = new("xf", {"numFmtId": str(parts[3]), "fontId": str(parts[0]),
                        "fillId": str(parts[1]), "borderId": str(parts[2])})
        for flag_name, used in (("applyNumberFormat", parts[3]), ("applyFill", parts[1]),
                                ("applyBorder", parts[2]), ("applyAlignment", parts[5]),
                                ("applyProtection", parts[4])):
            if used:
                xf.set(flag_name, "1")
        if parts[5]:
            xf.append(self.alignments.element(parts[5]))
        if parts[4]:
            xf.append(self.protections.element(parts[4]))
        xf_id = len(self.cell_style_xfs)
        self.cell_style_xfs.append(xf)
        entry = new("cellStyle", {"name": style.name, "xfId": str(xf_id)})
        if style.builtin_id is not None:
            entry.set("builtinId", str(style.builtin_id))
        if style.hidden:
            entry.set("hidden", "1")
        self.cell_style_entries.append(entry)
        return xf_id, StyleArray((*parts, 0, 0, xf_id))

    def style_name(self, xf_id: int) -> str:
        """The name of the named style whose format is `xf_id`."""
        for entry in self.cell_style_entries:
            if _int(entry.get("xfId")) == xf_id:
                return entry.get("name", "")
        return "Normal"


def _entry(table: StyleTable[Any], index: int, default: Any) -> Any:
    return table[index] if 0 <= index < len(table) else default


def format_id(code: str, custom: dict[int, str]) -> int:
    """The id of number format `code`, added to `custom` when it is new."""
    if not isinstance(code, str) or not code:
        raise ValueError(f"a number format is a non-empty str, not {code!r}")
    for fmt_id, text in BUILTIN_FORMATS.items():
        if text == code:
            return fmt_id
    for fmt_id, text in custom.items():
        if text == code:
            return fmt_id
    fmt_id = max([FIRST_CUSTOM_ID - 1, *custom]) + 1
    custom[fmt_id] = code
    return fmt_id


def new_stylesheet() -> Stylesheet:
    """The styles of a new workbook: one font, the two fills every
    workbook has, an empty border and the Normal style."""
    sheet = Stylesheet()
    sheet.fonts.add(Font())
    sheet.fills.add(PatternFill(pattern="none"))
    sheet.fills.add(PatternFill(pattern="gray125"))
    sheet.borders.add(Border())
    sheet.cell_style_xfs = [new("xf", {"numFmtId": "0", "fontId": "0", "fillId": "0",
                                       "borderId": "0"})]
    sheet.cell_style_entries = [new("cellStyle", {"name": "Normal", "xfId": "0",
                                                  "builtinId": "0"})]
    return sheet


def _collection(root: ET.Element, name: str, sheet: Stylesheet) -> list[ET.Element]:
    for child in root:
        if local(child.tag) == name:
            sheet.collections_read.add(name)
            attributes = {k: v for k, v in child.attrib.items() if k != "count"}
            if attributes:
                sheet.collection_attributes[name] = attributes
            return [item for item in child if isinstance(item.tag, str)]
    return []


def read_stylesheet(root: ET.Element, namespaces: list[tuple[str, str]] | None = None
                    ) -> Stylesheet:
    """A Stylesheet from the root element of a styles part (`namespaces`:
    the prefixes the part declared). Bad numbers raise ValueError."""
    sheet = Stylesheet(cell_styles=[])
    sheet.root_attributes = dict(root.attrib)
    sheet.namespaces = list(namespaces or ())
    for fmt in _collection(root, "numFmts", sheet):
        if local(fmt.tag) == "numFmt" and fmt.get("numFmtId") is not None:
            sheet.number_formats[_int(fmt.get("numFmtId"))] = fmt.get("formatCode", "")
    sheet.fonts = StyleTable(Font.from_element, _collection(root, "fonts", sheet))
    sheet.fills = StyleTable(fill_from_element, _collection(root, "fills", sheet))
    sheet.borders = StyleTable(Border.from_element, _collection(root, "borders", sheet))
    sheet.cell_style_xfs = _collection(root, "cellStyleXfs", sheet)
    sheet.cell_style_entries = [el for el in _collection(root, "cellStyles", sheet)
                                if local(el.tag) == "cellStyle"]
    sheet.dxfs = StyleTable(DifferentialStyle.from_element, _collection(root, "dxfs", sheet))
    previous = ""
    for child in root:
        name = local(child.tag)
        if name == "colors":
            sheet.colors = child
        elif name == "tableStyles":
            sheet.table_styles = child
        elif name == "extLst":
            sheet.ext_lst = child
        elif name not in ORDER:
            if isinstance(child.tag, str):
                sheet.unknown.setdefault(previous, []).append(child)
            continue
        previous = name
    for xf in _collection(root, "cellXfs", sheet):
        if local(xf.tag) != "xf":
            continue
        font, fill, border, num_fmt, protection, alignment = sheet._xf_parts(xf)
        style = StyleArray((font, fill, border, num_fmt, protection, alignment,
                            _flag(xf.get("pivotButton")), _flag(xf.get("quotePrefix")),
                            _int(xf.get("xfId"))))
        sheet.cell_styles.append(style)
        sheet.xfs_read.append((tuple(style), xf))
    if not sheet.cell_styles:
        sheet.cell_styles.append(StyleArray())
    return sheet


def cell_format(style: Any, sheet: Stylesheet) -> ET.Element:
    """The <xf> of a style array made after reading."""
    font, fill, border, num_fmt, protection, alignment, pivot, quote, xf_id = style
    xf = new("xf", {"numFmtId": str(num_fmt), "fontId": str(font), "fillId": str(fill),
                    "borderId": str(border), "xfId": str(xf_id)})
    if pivot:
        xf.set("pivotButton", "1")
    if quote:
        xf.set("quotePrefix", "1")
    for flag_name, used in (("applyNumberFormat", num_fmt), ("applyFont", font),
                            ("applyFill", fill), ("applyBorder", border),
                            ("applyAlignment", alignment), ("applyProtection", protection)):
        if used:
            xf.set(flag_name, "1")
    if alignment and 0 <= alignment < len(sheet.alignments):
        xf.append(sheet.alignments.element(alignment))
    if protection and 0 <= protection < len(sheet.protections):
        xf.append(sheet.protections.element(protection))
    return xf


def part_root(sheet: Stylesheet, cell_styles: list[Any]) -> ET.Element:
    """The root element of the styles part for `cell_styles` (the cellXfs):
    what was read, with what was added since."""
    root = ET.Element(M + "styleSheet", sheet.root_attributes)
    defaults = new_stylesheet()

    def collection(name: str, items: list[ET.Element]) -> None:
        el = sub(root, name, count=str(len(items)))
        el.attrib.update(sheet.collection_attributes.get(name, {}))
        el.extend(items)

    def unknown(after: str) -> None:
        root.extend(sheet.unknown.get(after, ()))

    # Differential styles first: a new one may add a number format.
    dxfs = [sheet.dxfs.element(i, sheet.format_id) for i in range(len(sheet.dxfs))]
    unknown("")
    if sheet.number_formats or "numFmts" in sheet.collections_read:
        collection("numFmts", [new("numFmt", {"numFmtId": str(i), "formatCode": code})
                               for i, code in sheet.number_formats.items()])
    unknown("numFmts")
    for name, table in (("fonts", sheet.fonts), ("fills", sheet.fills),
                        ("borders", sheet.borders)):
        if not len(table):
            table = getattr(defaults, name)
        collection(name, [table.element(i) for i in range(len(table))])
        unknown(name)
    collection("cellStyleXfs", sheet.cell_style_xfs or defaults.cell_style_xfs)
    unknown("cellStyleXfs")
    read = sheet.xfs_read
    collection("cellXfs", [read[i][1] if i < len(read) and tuple(style) == read[i][0]
                           else cell_format(style, sheet)
                           for i, style in enumerate(cell_styles)])
    unknown("cellXfs")
    collection("cellStyles", sheet.cell_style_entries or defaults.cell_style_entries)
    unknown("cellStyles")
    if len(sheet.dxfs) or "dxfs" in sheet.collections_read:
        collection("dxfs", dxfs)
    unknown("dxfs")
    for name, el in (("tableStyles", sheet.table_styles), ("colors", sheet.colors),
                     ("extLst", sheet.ext_lst)):
        if el is not None:
            root.append(el)
        unknown(name)
    return root


def part_namespaces(sheet: Stylesheet) -> dict[str, str]:
    """URI -> prefix of the namespaces the part's root declares."""
    prefixes = {MAIN_NS: ""}
    for prefix, uri in sheet.namespaces:
        if uri != MAIN_NS and uri not in prefixes and prefix not in prefixes.values():
            prefixes[uri] = prefix
    return prefixes
