"""Images measured from their bytes, the chart model and its chart parts
(checked against the chart schema's order of children and read back by
the package's own chart reader), and drawing parts written and read."""

import io
import struct
import sys
import zlib
from xml.etree import ElementTree as ET

import pytest

from tavrinex.chart import (AreaChart, BarChart, DoughnutChart, LineChart, PieChart, Reference,
                            ScatterChart)
from tavrinex.chart.writer import chart_xml
from tavrinex.drawing import Placement, drawing_xml, read_chart, read_drawing
from tavrinex.image import Image, ImageError, image_info, parse_anchor


def png(width, height):
    """A valid PNG of one grey colour."""
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    rows = b"".join(b"\x00" + b"\x80" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0,
                                                               0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def gif(width, height):
    """A valid GIF of one pixel colour, `width` x `height`."""
    data = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
    data += b"," + struct.pack("<HHHHB", 0, 0, width, height, 0)
    return data + b"\x02\x02\x44\x01\x00;"


def jpeg_header(width, height, extra=b""):
    """The first segments of a JPEG: APP0, `extra` segments, then a frame."""
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0"
    sof = b"\xff\xc2" + struct.pack(">HBHHB", 11, 8, height, width, 1) + b"\x01\x11\x00"
    return b"\xff\xd8" + app0 + extra + b"\xff\xff" + sof + b"\xff\xda\x00\x02"


def test_image_sizes_from_headers():
    assert image_info(png(7, 3)) == ("png", 7, 3)
    assert image_info(gif(300, 2)) == ("gif", 300, 2)
    comment = b"\xff\xfe" + struct.pack(">H", 6) + b"abcd"
    assert image_info(jpeg_header(640, 480, comment)) == ("jpeg", 640, 480)
    for broken in [b"\x89PNG\r\n\x1a\n\0\0", b"\xff\xd8\xff\xda\0\2", b"GIF89a\1"]:
        with pytest.raises(ImageError):
            image_info(broken)


def test_other_formats_need_pillow(monkeypatch):
    from PIL import Image as PILImage
    buffer = io.BytesIO()
    PILImage.new("RGB", (5, 4)).save(buffer, "BMP")
    assert image_info(buffer.getvalue()) == ("bmp", 5, 4)
    monkeypatch.setitem(sys.modules, "PIL", None)
    with pytest.raises(ImageError, match="need Pillow"):
        image_info(buffer.getvalue())
    with pytest.raises(ImageError):
        image_info(b"plain text")


def test_image_sources_sizes_and_anchors(tmp_path):
    data = png(200, 100)
    path = tmp_path / "a.png"
    path.write_bytes(data)
    for source in (data, str(path), path, io.BytesIO(data)):
        img = Image(source)
        assert (img.format, img.width, img.height, img.anchor) == ("png", 200, 100, "B2")
    assert (Image(data, width=50).height, Image(data, height=50).width) == (25, 100)
    assert (Image(data, "c3:e9", 10, 10).anchor) == "C3:E9"
    assert parse_anchor("B2:E10") == ((2, 2), (10, 5))
    for bad in ["", "B", "E10:B2", "XFE1", "A0"]:
        with pytest.raises(ValueError):
            Image(data, anchor=bad)
    with pytest.raises(ValueError):
        Image(data, width=0)
    with pytest.raises(TypeError):
        Image(io.StringIO("text"))


# The chart schema's order of the children this package writes, per parent.
ORDER = {
    "chartSpace": ["roundedCorners", "chart"],
    "chart": ["title", "autoTitleDeleted", "plotArea", "legend", "plotVisOnly", "dispBlanksAs"],
    "plotArea": ["layout", "barChart", "lineChart", "areaChart", "pieChart", "doughnutChart",
                 "scatterChart", "catAx", "valAx"],
    "barChart": ["barDir", "grouping", "varyColors", "ser", "gapWidth", "overlap", "axId"],
    "lineChart": ["grouping", "varyColors", "ser", "marker", "axId"],
    "areaChart": ["grouping", "varyColors", "ser", "axId"],
    "pieChart": ["varyColors", "ser", "firstSliceAng"],
    "doughnutChart": ["varyColors", "ser", "firstSliceAng", "holeSize"],
    "scatterChart": ["scatterStyle", "varyColors", "ser", "axId"],
    "ser": ["idx", "order", "tx", "spPr", "marker", "invertIfNegative", "cat", "val", "xVal",
            "yVal", "smooth"],
    "catAx": ["axId", "scaling", "delete", "axPos", "majorGridlines", "title", "numFmt",
              "majorTickMark", "minorTickMark", "tickLblPos", "crossAx", "crosses", "auto",
              "lblAlgn", "lblOffset", "noMultiLvlLbl"],
    "valAx": ["axId", "scaling", "delete", "axPos", "majorGridlines", "title", "numFmt",
              "majorTickMark", "minorTickMark", "tickLblPos", "crossAx", "crosses",
              "crossBetween"],
    "legend": ["legendPos", "layout", "overlay"],
}


def check_order(el):
    name = el.tag.rpartition("}")[2]
    if name in ORDER:
        seen = [c.tag.rpartition("}")[2] for c in el]
        assert all(s in ORDER[name] for s in seen), (name, seen)
        positions = [ORDER[name].index(s) for s in seen]
        assert positions == sorted(positions), (name, seen)
    for child in el:
        check_order(child)


def every_chart():
    values, cats = Reference("My Data", 2, 2, max_row=7), "'My Data'!$A$2:$A$7"
    charts = [BarChart(title="Bars", y_number_format="0%"), BarChart("bar", "stacked"),
              LineChart(title="Lines", legend="bottom", x_title="x", y_title="y"),
              AreaChart(grouping="percentStacked", legend=None), PieChart(title="Pie"),
              DoughnutChart(hole_size=40)]
    for chart in charts:
        chart.add_series(values, cats, title=Reference("My Data", 2, 1), color="1F77B4")
        chart.add_series("='My Data'!$C$2:$C$7", title="second")
    scatter = ScatterChart(title="Points", lines=True)
    scatter.add_series(values, "'My Data'!$A$2:$A$7", color="#ff0000")
    return charts + [scatter]


def test_chart_parts_follow_the_schema_and_read_back():
    for chart in every_chart():
        root = ET.fromstring(chart_xml(chart))
        check_order(root)
        back = read_chart(root)
        assert (back.kind, back.title) == (chart.kind, chart.title)
        assert [(s.values, s.categories, s.title, s.title_ref) for s in back.series] == [
            (s.values, s.categories, s.title, s.title_ref) for s in chart.series]
    hole = ET.fromstring(chart_xml(every_chart()[5]))
    assert hole.find(".//{*}holeSize").get("val") == "40"
    bars = ET.fromstring(chart_xml(every_chart()[1]))
    assert [bars.find(f".//{{*}}{t}").get("val") for t in ("barDir", "grouping", "overlap")] == [
        "bar", "stacked", "100"]


def test_chart_arguments_are_checked():
    for make in [lambda: BarChart(direction="up"), lambda: BarChart(grouping="standard"),
                 lambda: LineChart(legend="middle"), lambda: DoughnutChart(hole_size=95),
                 lambda: PieChart(width=0), lambda: Reference("S", 0, 1),
                 lambda: Reference("S", 2, 2, max_col=1),
                 lambda: BarChart().add_series("B2:B7"),
                 lambda: BarChart().add_series("'S'!B2:B7", color="red"),
                 lambda: BarChart().add_series("'S'!B2:B7", title=Reference("S", 1, 1, 2, 2))]:
        with pytest.raises((ValueError, TypeError)):
            make()
    with pytest.raises(TypeError):
        ScatterChart().add_series("'S'!B2:B7")
    with pytest.raises(ValueError, match="no series"):
        chart_xml(BarChart())
    assert str(Reference("Data", 1, 2, 3, 4)) == "Data!$A$2:$C$4"
    assert str(Reference("It's", 2, 2)) == "'It''s'!$B$2"


def test_drawing_parts_round_trip():
    items = [Placement("B2", 200, 100, "pic", "rId1", "Picture 1"),
             Placement("D4:F9", 10, 10, "pic", "rId2", "Picture 2"),
             Placement("H2", 480, 288, "chart", "rId3", "Chart 1")]
    found = read_drawing(ET.fromstring(drawing_xml(items)))
    assert [(f.kind, f.anchor, f.rel_id) for f in found] == [
        ("pic", "B2", "rId1"), ("pic", "D4:F9", "rId2"), ("chart", "H2", "rId3")]
    assert (found[0].width, found[0].height) == (200, 100)
    assert (found[2].width, found[2].height) == (480, 288)


def test_images_and_charts_read_from_a_file_are_listed(tmp_path):
    import xlsxwriter

    import tavrinex

    image = tmp_path / "dot.png"
    image.write_bytes(png(40, 20))
    path = tmp_path / "xw.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet("Data")
    for r in range(6):
        sheet.write_row(r, 0, [f"c{r}", r, r * 2])
    sheet.insert_image("E2", str(image), {"x_scale": 2, "y_scale": 2})
    line = book.add_chart({"type": "line"})
    line.add_series({"values": "=Data!$B$1:$B$6", "categories": "=Data!$A$1:$A$6",
                     "name": "=Data!$C$1"})
    line.set_title({"name": "Trend"})
    sheet.insert_chart("H2", line)
    pie = book.add_chart({"type": "pie"})
    pie.add_series({"values": "=Data!$C$1:$C$6", "name": "Share"})
    sheet.insert_chart("H20", pie)
    book.close()

    ws = tavrinex.load_workbook(path)["Data"]
    [placed] = ws.images
    assert (placed.format, placed.width, placed.height) == ("png", 80, 40)
    assert placed.data == image.read_bytes() and placed.anchor.startswith("E2")
    kinds = [(c.kind, c.title, c.anchor.partition(":")[0]) for c in ws.charts]
    assert kinds == [("line", "Trend", "H2"), ("pie", None, "H20")]
    assert [(s.values, s.categories, s.title, s.title_ref) for s in ws.charts[0].series] == [
        ("Data!$B$1:$B$6", "Data!$A$1:$A$6", None, "Data!$C$1")]
    assert ws.charts[1].series[0].title == "Share"
    ws.insert_rows(1)
    assert ws.charts[0].series[0].values == "Data!$B$2:$B$7"
    assert [c.anchor.partition(":")[0] for c in ws.charts] == ["H3", "H21"]
    assert ws.images[0].anchor.startswith("E3")


def test_added_images_and_charts_follow_row_and_column_edits():
    import tavrinex

    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws.add_image(Image(png(10, 10)), "B3")
    ws.add_image(Image(png(10, 10), "B3:D6"))
    chart = BarChart()
    chart.add_series(Reference(ws, 2, 2, max_row=7), Reference(ws, 1, 2, max_row=7),
                     title=Reference(ws, 2, 1))
    ws.add_chart(chart, "h2")
    ws.insert_rows(2, 2)
    assert [i.anchor for i in ws.images] == ["B5", "B5:D8"] and chart.anchor == "H4"
    assert (chart.series[0].values, chart.series[0].title_ref) == ("Data!$B$4:$B$9", "Data!$B$1")
    ws.delete_rows(5, 3)               # the one-cell image's row goes: it sits at row 5
    assert [i.anchor for i in ws.images] == ["B5", "B5:D5"]
    ws.delete_cols("A")
    assert chart.series[0].categories == "Data!#REF!" and chart.anchor == "G4"
    ws.title = "My Data"
    assert chart.series[0].values == "'My Data'!$A$4:$A$6"
    assert ws.charts == [chart] and len(ws.images) == 2
    with pytest.raises(ValueError):
        ws.add_chart(BarChart(), "A1")
    with pytest.raises(TypeError):
        ws.add_image(png(1, 1))


def test_kept_chart_and_drawing_parts_follow_edits():
    from tavrinex.drawing import rewrite_chart_part, shift_drawing_part
    from tavrinex.formula.rewrite import Rename, Shift

    chart = (b'<c:chartSpace xmlns:c="x"><c:ser><c:tx><c:strRef><c:f>Data!$B$1</c:f>'
             b'</c:strRef></c:tx><c:val><c:numRef><c:f>Data!$B$2:$B$7</c:f><c:numCache/>'
             b'</c:numRef></c:val><c:cat><c:strRef><c:f>\'A &amp; B\'!$A$2:$A$7</c:f>'
             b'</c:strRef></c:cat></c:ser></c:chartSpace>')
    edits = [Shift("Data", "rows", 2, 2), Rename("A & B", "Q"), Shift("Data", "rows", 1, -1)]
    assert rewrite_chart_part(chart, edits) == chart.replace(
        b"Data!$B$1<", b"Data!#REF!<").replace(b"$B$2:$B$7", b"$B$3:$B$8").replace(
        b"'A &amp; B'!", b"Q!")
    assert rewrite_chart_part(chart, [Shift("Other", "rows", 1, 5)]) == chart
    drawing = (b'<xdr:wsDr xmlns:xdr="x"><xdr:twoCellAnchor><xdr:from><xdr:col>1</xdr:col>'
               b'<xdr:colOff>5</xdr:colOff><xdr:row>3</xdr:row><xdr:rowOff>7</xdr:rowOff>'
               b'</xdr:from><xdr:to><xdr:col>4</xdr:col><xdr:colOff>0</xdr:colOff>'
               b'<xdr:row>9</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:to></xdr:twoCellAnchor>'
               b'</xdr:wsDr>')
    moved = shift_drawing_part(drawing, [Shift("Data", "rows", 3, 4),      # rows 3.. move by 4
                                         Shift("Data", "cols", 1, -2)])    # A:B deleted
    assert moved == (drawing.replace(b"<xdr:row>3<", b"<xdr:row>7<")
                     .replace(b"<xdr:row>9<", b"<xdr:row>13<")
                     .replace(b"<xdr:col>1</xdr:col><xdr:colOff>5<", b"<xdr:col>0</xdr:col>"
                              b"<xdr:colOff>0<")
                     .replace(b"<xdr:rowOff>7<", b"<xdr:rowOff>0<")
                     .replace(b"<xdr:col>4<", b"<xdr:col>2<"))
