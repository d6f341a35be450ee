"""Text of string items: the `si` items of the shared-string table and the
`is` items of inline-string cells.

An item holds a `t` element, rich-text runs (`r`, each with optional run
properties `rPr` and a `t`) and optional phonetic parts (`rPh`,
`phoneticPr`). The model here reads exactly this:

* the item's text is the text of its last `t` child followed by the text of
  each run, in document order; a run's text is the text of its last `t`
  child; the text of a `t` is all character data inside it, at any depth;
* phonetic parts and every other child are skipped;
* children are recognised by local name, whatever their namespace;
* nothing is stripped and `xml:space` is not consulted.

The native engine builds the same text itself and hands an item to these
helpers (as a captured snippet with the namespaces in scope) only when it
holds something it leaves to Python.
"""

from tavrinex.xmltree import fromstring

# Children of an item (TEXT_DANGEROUS) or of a run (RICH_DANGEROUS) whose
# content this model reads in a way other than the engine's: none. The
# model reads only `t` and `r` of an item and `rPr` and `t` of a run, and
# skips every other child without looking at its content, which is also
# what the engine does, so no child needs to be sent to Python by name.
TEXT_DANGEROUS = frozenset()
RICH_DANGEROUS = frozenset()

_BOOL_PROPS = ("b", "i", "strike", "outline", "shadow", "condense", "extend")
_UNDERLINES = frozenset({"single", "double", "singleAccounting", "doubleAccounting", "none"})
_VERT_ALIGN = frozenset({"superscript", "subscript", "baseline"})
_SCHEMES = frozenset({"major", "minor", "none"})
_COLOR_ATTRS = ("rgb", "indexed", "theme", "tint", "auto")


class Color:
    """A run's colour as written: any of rgb, indexed, theme, tint, auto."""

    __slots__ = _COLOR_ATTRS

    def __init__(self, rgb=None, indexed=None, theme=None, tint=None, auto=None):
        self.rgb = rgb
        self.indexed = indexed
        self.theme = theme
        self.tint = tint
        self.auto = auto

    def _key(self):
        return tuple(getattr(self, a) for a in _COLOR_ATTRS)

    def __eq__(self, other):
        return isinstance(other, Color) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        parts = (f"{a}={getattr(self, a)!r}" for a in _COLOR_ATTRS if getattr(self, a) is not None)
        return f"Color({', '.join(parts)})"


class InlineFont:
    """The run properties of one rich-text run."""

    FIELDS = ("rFont", "charset", "family", "b", "i", "strike", "outline", "shadow",
              "condense", "extend", "color", "sz", "u", "vertAlign", "scheme")
    __slots__ = FIELDS

    def __init__(self, **values):
        unknown = set(values) - set(self.FIELDS)
        if unknown:
            raise TypeError(f"unknown run properties: {', '.join(sorted(unknown))}")
        for name in self.FIELDS:
            setattr(self, name, values.get(name))

    def _key(self):
        return tuple(getattr(self, f) for f in self.FIELDS)

    def __eq__(self, other):
        return isinstance(other, InlineFont) and self._key() == other._key()

    def __hash__(self):
        return hash(self._key())

    def __repr__(self):
        parts = (f"{f}={getattr(self, f)!r}" for f in self.FIELDS if getattr(self, f) is not None)
        return f"InlineFont({', '.join(parts)})"


class TextBlock:
    """A run of text with its own font."""

    __slots__ = ("font", "text")

    def __init__(self, font, text):
        self.font = font
        self.text = text

    def __eq__(self, other):
        return (isinstance(other, TextBlock) and self.font == other.font
                and self.text == other.text)

    def __hash__(self):
        return hash((self.font, self.text))

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"TextBlock({self.font!r}, {self.text!r})"


class CellRichText(list):
    """Rich text: a list of plain str pieces and TextBlock runs."""

    def __str__(self):
        return "".join(str(part) for part in self)

    def __repr__(self):
        return f"CellRichText({list.__repr__(self)})"


class _Invalid(ValueError):
    """Run properties this model cannot hold without loss."""


def _local(tag):
    return tag.rpartition("}")[2]


def _ns(tag):
    # A URI may itself hold "}"; a local name cannot.
    return tag[1:].rpartition("}")[0] if tag.startswith("{") else ""


def _quote(value):
    return (value.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")
            .replace("\t", "&#9;").replace("\n", "&#10;").replace("\r", "&#13;"))


def parse_snippet(snippet, namespaces):
    """The element of a captured snippet, parsed in the namespace context
    `namespaces` ([(prefix, uri)], "" for the default namespace)."""
    decls = []
    for prefix, uri in namespaces:
        if prefix == "xml":
            continue  # bound implicitly; declaring it again is not needed
        name = f"xmlns:{prefix}" if prefix else "xmlns"
        decls.append(f' {name}="{_quote(uri)}"')
    head = ("<_context" + "".join(decls) + ">").encode()
    return fromstring(head + bytes(snippet) + b"</_context>")[0]


def _text_of(elem):
    return "".join(elem.itertext())


def _item_parts(item):
    """(text of the last `t` or None, [(rPr element or None, run text or None)])."""
    text = None
    runs = []
    for child in item:
        name = _local(child.tag)
        if name == "t":
            text = _text_of(child)
        elif name == "r":
            props = run_text = None
            for part in child:
                pname = _local(part.tag)
                if pname == "rPr":
                    props = part
                elif pname == "t":
                    run_text = _text_of(part)
            runs.append((props, run_text))
    return text, runs


def item_text(item):
    """Plain text of a parsed item element."""
    text, runs = _item_parts(item)
    return (text or "") + "".join(t for _, t in runs if t is not None)


def _bool_value(val):
    if val is None or val in ("1", "true"):
        return True
    if val in ("0", "false"):
        return False
    raise _Invalid(val)


def _number(convert, val):
    if val is None:
        raise _Invalid("missing value")
    try:
        return convert(val)
    except ValueError:
        raise _Invalid(val) from None


def _choice(allowed, val, default=None):
    if val is None:
        if default is None:
            raise _Invalid("missing value")
        return default
    if val not in allowed:
        raise _Invalid(val)
    return val


def _font(rpr, strict):
    """InlineFont of an `rPr` element. With `strict`, anything the font
    would not hold exactly (other attributes, children, text, repeats)
    raises _Invalid; otherwise such things are ignored."""
    values = {}
    if strict and (rpr.attrib or (rpr.text or "").strip()):
        raise _Invalid("rPr content")
    ns = _ns(rpr.tag)
    for child in rpr:
        name = _local(child.tag)
        known = name in InlineFont.FIELDS
        if strict:
            if (not known or _ns(child.tag) != ns or name in values or len(child)
                    or (child.text or "").strip() or (child.tail or "").strip()):
                raise _Invalid(name)
            allowed = _COLOR_ATTRS if name == "color" else ("val",)
            if any(key not in allowed for key in child.attrib):
                raise _Invalid(name)
        elif not known:
            continue
        try:
            values[name] = _property(name, child.attrib)
        except _Invalid:
            if strict:
                raise
    return InlineFont(**values)


def _property(name, attrib):
    val = attrib.get("val")
    if name in _BOOL_PROPS:
        return _bool_value(val)
    if name == "rFont":
        if val is None:
            raise _Invalid("missing value")
        return val
    if name in ("charset", "family"):
        return _number(int, val)
    if name == "sz":
        return _number(float, val)
    if name == "u":
        return _choice(_UNDERLINES, val, "single")
    if name == "vertAlign":
        return _choice(_VERT_ALIGN, val)
    if name == "scheme":
        return _choice(_SCHEMES, val)
    # color
    return Color(rgb=attrib.get("rgb"),
                 indexed=_number(int, attrib["indexed"]) if "indexed" in attrib else None,
                 theme=_number(int, attrib["theme"]) if "theme" in attrib else None,
                 tint=_number(float, attrib["tint"]) if "tint" in attrib else None,
                 auto=_bool_value(attrib["auto"]) if "auto" in attrib else None)


def remove_x005f(text):
    """Shared-string text with every "x005F_" removed."""
    return text.replace("x005F_", "")


def text_content(snippet, namespaces):
    """Plain text of a captured item (inline strings; nothing removed)."""
    return item_text(parse_snippet(snippet, namespaces))


def si_content(snippet, namespaces):
    """Value of a captured shared-string item."""
    return remove_x005f(text_content(snippet, namespaces))


def rich_item(item):
    """Rich text of a parsed item: CellRichText when it holds runs, else its
    plain text."""
    text, runs = _item_parts(item)
    if not runs:
        return text or ""
    rich = CellRichText()
    if text:
        rich.append(text)
    for props, run_text in runs:
        if run_text is None:
            continue
        rich.append(run_text if props is None else TextBlock(_font(props, False), run_text))
    return rich


def rich_inline(snippet, namespaces):
    """Rich text of a captured inline-string item."""
    return rich_item(parse_snippet(snippet, namespaces))


def validate_rpr(snippet, namespaces):
    """Whether InlineFont holds these run properties without loss."""
    try:
        _font(parse_snippet(snippet, namespaces), True)
    except _Invalid:
        return False
    return True
