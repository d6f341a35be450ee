"""The elements of a part kept as read or written from the model, each in
its schema place.

A part read from a file keeps every top-level element it holds in a
`Layout`: the root's start tag as written, each element's bytes in
document order and the part's relationships (the cells of a worksheet are not among them: the store has
those). When the part is written again, a `Schema` (the element order of
one kind of part) writes, for each element name in that order:

* an element the package models, registered with ``Schema.modelled``: its
  writer writes it from the model in the place of the elements of that
  name it replaces; or, when the element has a `state` function and the
  state is what it was right after loading (``Schema.loaded`` records it),
  the elements as read, byte for byte;
* any other element as read.

Elements the order does not name (other namespaces, ``mc:AlternateContent``
around a known element is ranked by that element) keep their place after
the element they followed. A writer is called as ``write(owner, ctx,
kept)`` with the owner of the part (a worksheet, the workbook), the save's
context (`ctx`: for a worksheet a `SheetContext` of
tavrinex.writer.sheet_part, which relates new parts and names namespaces)
and the kept elements of its name, and returns the element text (str, in
the namespaces of ``ctx.root``; or bytes: a kept element edited) or ""
for none. An element written as read is the kept Element itself (`is`),
which tells the relationships it refers to that they are still used.

To model a new element of a worksheet::

    @WORKSHEET.modelled("autoFilter", state=lambda ws: ws.auto_filter.snapshot())
    def _auto_filter(ws, ctx, kept):
        return ws.auto_filter.element(ctx)   # "" when there is none

The state must be a value that later edits of the model do not change (a
tuple, a frozen copy): it is compared with ``==`` when the part is written.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

from tavrinex.parts.xml import Element, Root, child_starts
from tavrinex.reader.excel import Relationship

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
MC_NS = "http://schemas.openxmlformats.org/markup-compatibility/2006"
REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"

Writer = Callable[[Any, Any, list[Element]], "str | bytes"]
StateOf = Callable[[Any], Any]


@dataclass
class Layout:
    """A part as read, outside what the store holds: the source part's
    name, its root start tag (None when it could not be read alone), its
    top-level elements in document order, and the state of each modelled
    element right after loading (by its Clark name)."""

    part: str = ""
    root: Root | None = None
    elements: list[Element] = field(default_factory=list)
    states: dict[str, Any] = field(default_factory=dict)
    rels: dict[str, Relationship] = field(default_factory=dict)

    def of(self, tag: str) -> list[Element]:
        return [el for el in self.elements if el.tag == tag]

    def copy_without(self, locals_: Iterable[str]) -> Layout:
        """The layout of a copy of the part: its elements but those of the
        local names `locals_` and those that refer to a relationship (the
        copy has none of its own), and no recorded states (the copy's
        modelled elements are written from its model)."""
        skip = set(locals_)
        elements = [el for el in self.elements if el.local not in skip
                    and not any(mentions(el.raw, rid) for rid in self.rels)]
        return Layout("", self.root, elements, {}, {})


@dataclass(frozen=True)
class Modelled:
    tag: str
    write: Writer
    state: StateOf | None = None
    always: bool = False   # the writer is called unchanged or not (it checks itself)


_UNCHANGED = object()


class Schema:
    """The element order of one kind of part (names in `namespace`, or in
    Clark notation for other namespaces) and the elements of it the package
    models."""

    def __init__(self, namespace: str, order: Iterable[str]) -> None:
        self.namespace = namespace
        self.order = tuple(self.clark(name) for name in order)
        self._rank = {tag: i for i, tag in enumerate(self.order)}
        self.models: dict[str, Modelled] = {}

    def clark(self, name: str) -> str:
        return name if name.startswith("{") else f"{{{self.namespace}}}{name}"

    def modelled(self, name: str, *, state: StateOf | None = None,
                 always: bool = False) -> Callable[[Writer], Writer]:
        """Register the writer of the element `name` (decorator). With
        `state`, the element is written as read while the model's state
        equals the one recorded when the part was loaded; with `always`
        too, the writer is called all the same and asks ``unchanged``
        itself (to edit what it keeps)."""
        tag = self.clark(name)

        def register(write: Writer) -> Writer:
            self.models[tag] = Modelled(tag, write, state, always)
            return write
        return register

    def loaded(self, owner: Any, layout: Layout) -> None:
        """Record the state of every modelled element of `owner` just read
        (or just written). A loader that knows a state only its save-time
        function can compute (the hyperlinks a save collects from the
        cells) sets ``layout.states[tag]`` itself afterwards."""
        for tag, model in self.models.items():
            if model.state is not None:
                layout.states[tag] = model.state(owner)

    def unchanged(self, owner: Any, layout: Layout | None, tag: str) -> bool:
        """Whether the model of `tag` still holds what `layout` was read with."""
        model = self.models.get(tag)
        if model is None or model.state is None or layout is None:
            return False
        before = layout.states.get(tag, _UNCHANGED)
        return before is not _UNCHANGED and model.state(owner) == before

    def rank(self, el: Element, previous: float, root: Root | None) -> float:
        tag = el.tag
        if tag in self._rank:
            return self._rank[tag]
        if tag == f"{{{MC_NS}}}AlternateContent":
            # ranked by the element its first choice holds
            inner = _alternate_tag(el, root)
            if inner in self._rank:
                return self._rank[inner]
        return previous

    def write(self, owner: Any, layout: Layout | None, ctx: Any, *, start: str | None = None,
              stop: str | None = None) -> list[Element]:
        """The elements of the part from the one named `start` (included)
        to the one named `stop` (excluded), in schema order: those kept as
        they were read, and those written from the model (as one Element
        of their name, whose bytes may hold several elements)."""
        lo = self._rank[self.clark(start)] if start else float("-inf")
        hi = self._rank[self.clark(stop)] if stop else float("inf")
        elements = layout.elements if layout is not None else []
        root = layout.root if layout is not None else None
        items: list[tuple[float, int, str, Element | None]] = []
        previous = -1.0
        placed: set[str] = set()
        for seq, el in enumerate(elements):
            rank = self.rank(el, previous, root)
            previous = rank
            tag = el.tag or ""
            if tag in self.models:
                if tag not in placed:
                    placed.add(tag)
                    items.append((rank, seq, tag, None))
            else:
                items.append((rank, seq, "", el))
        for tag in self.models:
            if tag not in placed:
                items.append((self._rank.get(tag, float(len(self.order))), -1, tag, None))
        items.sort(key=lambda item: (item[0], item[1]))
        out: list[Element] = []
        for rank, _, tag, as_read in items:
            if not lo <= rank < hi:
                continue
            if as_read is not None:
                if as_read.tag is not None:   # bytes that did not parse alone are left out
                    out.append(as_read)
                continue
            kept = layout.of(tag) if layout is not None else []
            if not self.models[tag].always and self.unchanged(owner, layout, tag):
                out.extend(kept)   # as read: none when none was read
            else:
                written = self.models[tag].write(owner, ctx, kept)
                if written:
                    raw = written if isinstance(written, bytes) else written.encode("utf-8")
                    same = next((k for k in kept if k.raw == raw), None)
                    out.append(same if same is not None else Element(tag, raw))
        return out


def _alternate_tag(el: Element, root: Root | None) -> str | None:
    """The Clark name of the element inside the first mc:Choice of an
    mc:AlternateContent."""
    try:
        inner = child_starts(el, root, level=2)
    except ValueError:   # undeclared prefixes: ranked by its neighbour
        return None
    return inner[0][0] if inner else None


@dataclass
class PartContext:
    """A part being written: the package (a tavrinex.parts.package.
    PackageWriter), the part's name in it, the root it is written under,
    the relationships it was read with, the elements written so far and
    the warnings of what could not be kept."""

    pkg: Any
    part: str
    root: Root
    source_rels: dict[str, Relationship] = field(default_factory=dict)
    written: list[Element] = field(default_factory=list)
    warnings: list[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        # New relationships never take an id one read with the part had.
        self.pkg.rels(self.part).reserve(self.source_rels)

    @property
    def r(self) -> str:
        """The prefix of the relationships namespace in this part."""
        return self.root.prefix(REL_NS) or "r"

    def relate(self, rel_type: str, target: str, external: bool = False,
               rid: str | None = None) -> str:
        """A new relationship of this part (to a part, or an address)."""
        return self.pkg.relate(self.part, rel_type, target, external=external, rid=rid)

    def keep_rel(self, rid: str) -> str | None:
        """Keep a relationship read with the part, under its id, with the
        part it targets (and what lies below); None when that part is not
        kept (dropped, or missing from the source)."""
        rel = self.source_rels[rid]
        target = rel.target
        if not rel.external:
            kept = self.pkg.keep(rel.target)
            if kept is None:
                return None
            target = kept
        return self.pkg.relate(self.part, rel.type, target, external=rel.external, rid=rid)

    def qname(self, key: str) -> str | None:
        """The written name of an attribute read as `key` ("{uri}local"
        under the prefix the root binds to uri; None when it binds none)."""
        if not key.startswith("{"):
            return key
        uri, _, local = key[1:].partition("}")
        prefix = self.root.prefix(uri)
        return None if not prefix else f"{prefix}:{local}"

    def attributes(self, values: dict[str, Any]) -> dict[str, Any]:
        """Attributes read (Clark names for other namespaces) as written."""
        out = {}
        for key, value in values.items():
            name = self.qname(key)
            if name is not None:
                out[name] = value
        return out


def mentions(raw: bytes, rid: str) -> bool:
    """Whether an attribute of `raw` holds the relationship id `rid`."""
    value = rid.encode("utf-8")
    return b'"' + value + b'"' in raw or b"'" + value + b"'" in raw


def carry_rels(ctx: PartContext, layout: Layout | None, schema: Schema, *,
               modelled_kinds: tuple[str, ...] = (),
               dropped_unless_referenced: tuple[str, ...] = (),
               tied: dict[str, str] | None = None) -> None:
    """Keep the relationships a part was read with that it still uses:
    those its written elements refer to, and those no element refers to
    (pivot tables, query tables, threaded comments, the theme). Not kept:
    those referred to only by elements written anew from the model (whose
    writers relate what they need), those of `modelled_kinds` (related by
    their writers), unreferenced ones of `dropped_unless_referenced`; one
    of a kind `tied` to an element tag is kept while that element is
    written as read."""
    if layout is None or not layout.rels:
        return
    written = {id(el) for el in ctx.written}
    used = [el.raw for el in ctx.written]
    replaced = [el.raw for el in layout.elements
                if id(el) not in written and el.tag in schema.models]
    tied = tied or {}
    for rid, rel in layout.rels.items():
        if rel.kind in modelled_kinds:
            continue
        if rel.kind in tied:
            if any(id(el) in written for el in layout.of(schema.clark(tied[rel.kind]))):
                ctx.keep_rel(rid)
            continue
        if any(mentions(piece, rid) for piece in used):
            ctx.keep_rel(rid)
        elif rel.kind not in dropped_unless_referenced and not any(
                mentions(piece, rid) for piece in replaced):
            ctx.keep_rel(rid)
