"""Images and charts saved here, judged by independent programs: LibreOffice
converts each workbook to xlsx (its output still holds the image and
chart parts, with the same series ranges) and to PDF (pdftoppm renders
every page), and python-calamine reads the cell values unchanged."""

import io
import shutil
import subprocess
import zipfile
from xml.etree import ElementTree as ET

import pytest
from python_calamine import CalamineWorkbook

import tavrinex
from tavrinex.chart import (AreaChart, BarChart, DoughnutChart, LineChart, PieChart, Reference,
                            ScatterChart)
from tavrinex.drawing import read_chart

from soffice import SOFFICE, convert, plain_env

PDFTOPPM = shutil.which("pdftoppm")
pytestmark = pytest.mark.skipif(SOFFICE is None or PDFTOPPM is None,
                                reason="LibreOffice or pdftoppm is not installed")

ROWS = [["Month", "North", "South"], ["Jan", 10, 4], ["Feb", 12, 7], ["Mar", 9, 11],
        ["Apr", 14, 6], ["May", 8, 9], ["Jun", 11, 13]]


def picture(kind, size):
    from PIL import Image as PILImage
    out = io.BytesIO()
    PILImage.new("RGB", size, (200, 40, 40)).save(out, kind)
    return out.getvalue()


def data_book():
    wb = tavrinex.Workbook()
    ws = wb.active
    ws.title = "My Data"
    for row in ROWS:
        ws.append(row)
    return wb, ws


def chart_books():
    values = ("'My Data'!$B$2:$B$7", "'My Data'!$C$2:$C$7")
    for make in [lambda: BarChart(title="Bars", y_title="Units", y_number_format="0.0"),
                 lambda: BarChart("bar", "stacked", title="Stacked"),
                 lambda: LineChart(title="Lines", legend="bottom", x_title="Month"),
                 lambda: AreaChart(grouping="stacked", legend="top"),
                 lambda: PieChart(title="Pie", legend="left"),
                 lambda: DoughnutChart(title="Doughnut", hole_size=40),
                 lambda: ScatterChart(title="Points", legend=None)]:
        wb, ws = data_book()
        chart = make()
        for i, ref in enumerate(values):
            if isinstance(chart, ScatterChart):
                chart.add_series(ref, "'My Data'!$B$2:$B$7" if i else Reference(ws, 3, 2, 3, 7),
                                 title=Reference(ws, 2 + i, 1))
            else:
                chart.add_series(ref, Reference(ws, 1, 2, max_row=7), title=Reference(ws, 2 + i, 1),
                                 color="2E75B6" if i else None)
            if isinstance(chart, PieChart):
                break
        ws.add_chart(chart, "E2")
        yield chart, wb


def check_calamine(path):
    sheet = CalamineWorkbook.from_path(str(path)).get_sheet_by_name("My Data")
    got = sheet.to_python()
    assert [[v if isinstance(v, str) else int(v) for v in row] for row in got] == ROWS


def rendered_pages(pdf, folder):
    subprocess.run([PDFTOPPM, "-png", "-r", "30", str(pdf), str(folder / "page")],
                   check=True, capture_output=True, env=plain_env(), timeout=120)
    return sorted(folder.glob("page*.png"))


def lo_parts(path):
    with zipfile.ZipFile(path) as z:
        charts = [read_chart(ET.fromstring(z.read(n))) for n in sorted(z.namelist())
                  if n.startswith("xl/charts/chart") and n.endswith(".xml")]
        media = [n for n in z.namelist() if n.startswith("xl/media/")]
    return charts, media


@pytest.mark.parametrize("index", range(7))
def test_each_chart_kind_survives_libreoffice(tmp_path, index):
    chart, wb = list(chart_books())[index]
    path = tmp_path / f"{chart.kind}.xlsx"
    wb.save(path)
    check_calamine(path)
    out = tmp_path / "lo"
    out.mkdir()
    convert(out, "xlsx", path)
    [back], _ = lo_parts(out / path.name)
    assert back.kind == chart.kind
    assert [s.values for s in back.series] == [s.values for s in chart.series]
    assert [s.categories for s in back.series] == [s.categories for s in chart.series]
    convert(out, "pdf", path)
    assert rendered_pages(out / f"{chart.kind}.pdf", out)
    # Read back here, the chart is listed with its ranges.
    [listed] = tavrinex.load_workbook(path)["My Data"].charts
    assert (listed.kind, listed.title) == (chart.kind, chart.title)


def test_images_survive_libreoffice(tmp_path):
    wb, ws = data_book()
    png, jpeg, gif = picture("PNG", (64, 32)), picture("JPEG", (40, 40)), picture("GIF", (20, 10))
    ws.add_image(tavrinex.Image(png, "E2"))
    ws.add_image(tavrinex.Image(io.BytesIO(jpeg), "E10:G14"))
    ws.add_image(tavrinex.Image(gif, "I2", width=60))
    path = tmp_path / "images.xlsx"
    wb.save(path)
    check_calamine(path)
    placed = tavrinex.load_workbook(path)["My Data"].images
    assert [(i.anchor, i.format, i.width, i.height) for i in placed] == [
        ("E2", "png", 64, 32), ("E10:G14", "jpeg", 40, 40), ("I2", "gif", 60, 30)]
    assert [i.data for i in placed] == [png, jpeg, gif]
    out = tmp_path / "lo"
    out.mkdir()
    convert(out, "xlsx", path)
    _, media = lo_parts(out / path.name)
    assert len(media) == 3
    again = tavrinex.load_workbook(out / path.name)["My Data"].images
    assert sorted(i.anchor.partition(":")[0] for i in again) == ["E10", "E2", "I2"]
    convert(out, "pdf", path)
    assert rendered_pages(out / "images.pdf", out)
