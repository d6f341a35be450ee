"""The two XML back ends of the worksheet writer.

`LxmlBackend` serialises with lxml's incremental writer (ASCII output,
character references for everything else, empty elements as start and end
tag); `EtreeBackend` with the standard library's ElementTree (UTF-8 text,
empty elements as ``<x />``). Both give each row, and each cell, as one
bytes (lxml) or str (ElementTree) value.
"""

import io
import xml.etree.ElementTree as ET

from tavrinex.writer.prepare import EMPTY, FORMULA, INLINE, RICH, cells_to_write, prepare_cell
from tavrinex.writer.values import add_comment, check_row_attribute

try:
    from lxml import etree as _lxml
except ImportError:  # the package then writes with ElementTree only
    _lxml = None

XML_SPACE = "{http://www.w3.org/XML/1998/namespace}space"


def row_attributes(ws, row_idx):
    """The attributes of a row's start tag: ``r``, then those its row
    dimension yields, in the order it yields them."""
    attrs = {"r": str(row_idx)}
    dim = ws.row_dimensions.get(row_idx)
    if dim is not None:
        attrs.update(dim)
        for name, value in attrs.items():
            check_row_attribute(name, value)
    return attrs


def _rich_item(tree, runs):
    """The `is` element of rich text, built with `tree` (lxml's etree or
    ElementTree): one `r` per run, with its `rPr` when it has properties."""
    item = tree.Element("is")
    for props, text, preserve in runs:
        run = tree.SubElement(item, "r")
        if props:
            rpr = tree.SubElement(run, "rPr")
            for name, attrs in props:
                tree.SubElement(rpr, name, attrs)
        t = tree.SubElement(run, "t", {XML_SPACE: "preserve"} if preserve else {})
        t.text = text
    return item


class LxmlBackend:
    lxml = True
    empty = b""

    def __init__(self):
        if _lxml is None:
            raise ImportError("lxml is not installed")

        def body(xf):
            with xf.element("sheetData"):
                pass

        whole = self._document(body)
        half = whole.index(b"</")
        self.open_sheet, self.close_sheet = whole[:half], whole[half:]

    @staticmethod
    def _document(body):
        out = io.BytesIO()
        with _lxml.xmlfile(out) as xf:
            body(xf)
        return out.getvalue()

    def _cell(self, xf, ws, cell, styled):
        attrs, shape, content = prepare_cell(ws, cell, styled, True)
        with xf.element("c", attrs):
            if shape == EMPTY:
                return
            if shape == FORMULA:
                f_attrs, text, cached = content
                with xf.element("f", f_attrs):
                    if text:
                        xf.write(text)
                with xf.element("v"):
                    if cached:
                        xf.write(cached)
            elif shape == INLINE:
                text, preserve = content
                item = _lxml.Element("is")
                t = _lxml.SubElement(item, "t")
                if preserve:
                    t.set(XML_SPACE, "preserve")
                t.text = text
                xf.write(item)
            elif shape == RICH:
                xf.write(_rich_item(_lxml, content))
            else:
                with xf.element("v"):
                    if content:
                        xf.write(content)

    def write_cell(self, ws, cell, styled):
        """The whole <c> element of one cell, as bytes."""
        return self._document(lambda xf: self._cell(xf, ws, cell, styled))

    def row(self, ws, row_idx, cells, add_comment=add_comment):
        """One <row> with its cells, as bytes."""
        attrs = row_attributes(ws, row_idx)

        def body(xf):
            with xf.element("row", attrs):
                for cell, styled in cells_to_write(ws, cells, add_comment):
                    self._cell(xf, ws, cell, styled)

        return self._document(body)


class EtreeBackend:
    lxml = False
    empty = ""

    def __init__(self):
        whole = ET.tostring(ET.Element("sheetData"), encoding="unicode",
                            short_empty_elements=False)
        half = whole.index("</")
        self.open_sheet, self.close_sheet = whole[:half], whole[half:]

    @staticmethod
    def _element(ws, cell, styled):
        attrs, shape, content = prepare_cell(ws, cell, styled, False)
        c = ET.Element("c", attrs)
        if shape == FORMULA:
            f_attrs, text, cached = content
            f = ET.SubElement(c, "f", f_attrs)
            f.text = text
            ET.SubElement(c, "v").text = cached
        elif shape == INLINE:
            text, preserve = content
            item = ET.SubElement(c, "is")
            t = ET.SubElement(item, "t", {XML_SPACE: "preserve"} if preserve else {})
            t.text = text
        elif shape == RICH:
            c.append(_rich_item(ET, content))
        elif shape != EMPTY:
            v = ET.SubElement(c, "v")
            v.text = content
        return c

    def write_cell(self, ws, cell, styled):
        """The whole <c> element of one cell, as str."""
        return ET.tostring(self._element(ws, cell, styled), encoding="unicode")

    def row(self, ws, row_idx, cells, add_comment=add_comment):
        """One <row> with its cells, as str."""
        attrs = row_attributes(ws, row_idx)
        whole = ET.tostring(ET.Element("row", attrs), encoding="unicode",
                            short_empty_elements=False)
        parts = [whole[:-len("</row>")]]
        for cell, styled in cells_to_write(ws, cells, add_comment):
            parts.append(self.write_cell(ws, cell, styled))
        parts.append("</row>")
        return "".join(parts)


def backend(lxml):
    """The back end for the `lxml` flag; ElementTree when lxml is absent."""
    if lxml and _lxml is not None:
        return LxmlBackend()
    return EtreeBackend()


def lxml_available():
    return _lxml is not None
