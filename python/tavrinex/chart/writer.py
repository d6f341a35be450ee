"""DrawingML chart parts of the charts made here.

Every element is written in the order the chart schema gives its parent's
children, which Excel insists on; axes get the ids 10 (categories, or x)
and 100 (values, or y).
"""

from __future__ import annotations

from tavrinex.chart.model import LEGEND_POSITIONS, AreaChart, BarChart, Chart, DoughnutChart, \
    LineChart, PieChart, ScatterChart, Series
from tavrinex.writer.xmltext import DECLARATION, REL_NS, element, text

C_NS = "http://schemas.openxmlformats.org/drawingml/2006/chart"
A_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"
CHART_CONTENT_TYPE = "application/vnd.openxmlformats-officedocument.drawingml.chart+xml"
CHART_REL = f"{REL_NS}/chart"
X_AXIS, Y_AXIS = 10, 100


def _val(tag: str, value: object) -> str:
    return element(f"c:{tag}", {"val": value})


def _rich(value: str) -> str:
    return element("c:rich", None, "<a:bodyPr/><a:lstStyle/>" + element(
        "a:p", None, element("a:r", None, element("a:t", None, text(value)))))


def _title(value: str) -> str:
    return element("c:title", None, element("c:tx", None, _rich(value))
                   + "<c:layout/>" + _val("overlay", 0))


def _ref(tag: str, kind: str, formula: str) -> str:
    return element(f"c:{tag}", None, element(f"c:{kind}", None,
                                             element("c:f", None, text(formula))))


def _series_xml(chart: Chart, series: Series, index: int) -> str:
    parts = [_val("idx", index), _val("order", index)]
    if series.title_ref:
        parts.append(_ref("tx", "strRef", series.title_ref))
    elif series.title is not None:
        parts.append(element("c:tx", None, element("c:v", None, text(series.title))))
    fill = (element("a:solidFill", None, element("a:srgbClr", {"val": series.color}))
            if series.color else "")
    if isinstance(chart, LineChart) or (isinstance(chart, ScatterChart) and chart.lines):
        if fill:
            parts.append(element("c:spPr", None, element("a:ln", {"w": 28575}, fill)))
    elif isinstance(chart, ScatterChart):
        parts.append(element("c:spPr", None, element("a:ln", {"w": 28575}, "<a:noFill/>")))
    elif fill and not isinstance(chart, PieChart):
        parts.append(element("c:spPr", None, fill))
    if isinstance(chart, ScatterChart):
        marker = element("c:marker", None, _val("symbol", "circle") + _val("size", 7)
                         + (element("c:spPr", None, fill + element("a:ln", None, fill))
                            if fill else ""))
        parts.append(marker)
        parts.append(_ref("xVal", "numRef", series.categories or ""))
        parts.append(_ref("yVal", "numRef", series.values))
        parts.append(_val("smooth", 0))
        return element("c:ser", None, "".join(parts))
    if isinstance(chart, LineChart):
        parts.append(element("c:marker", None, _val("symbol", "none")))
    if isinstance(chart, BarChart):
        parts.append(_val("invertIfNegative", 0))
    if series.categories:
        parts.append(_ref("cat", "strRef", series.categories))
    parts.append(_ref("val", "numRef", series.values))
    if isinstance(chart, LineChart):
        parts.append(_val("smooth", 0))
    return element("c:ser", None, "".join(parts))


def _axis(tag: str, ax_id: int, position: str, title: str | None,
          number_format: str | None, cross_between: str = "between") -> str:
    cross = Y_AXIS if ax_id == X_AXIS else X_AXIS
    parts = [_val("axId", ax_id), element("c:scaling", None, _val("orientation", "minMax")),
             _val("delete", 0), _val("axPos", position)]
    if ax_id == Y_AXIS:
        parts.append("<c:majorGridlines/>")
    if title:
        parts.append(_title(title))
    if number_format is not None:
        parts.append(element("c:numFmt", {"formatCode": number_format, "sourceLinked": 0}))
    elif tag == "valAx":
        parts.append(element("c:numFmt", {"formatCode": "General", "sourceLinked": 1}))
    parts += [_val("majorTickMark", "out"), _val("minorTickMark", "none"),
              _val("tickLblPos", "nextTo"), _val("crossAx", cross), _val("crosses", "autoZero")]
    if tag == "catAx":
        parts += [_val("auto", 1), _val("lblAlgn", "ctr"), _val("lblOffset", 100),
                  _val("noMultiLvlLbl", 0)]
    else:
        parts.append(_val("crossBetween", cross_between))
    return element(f"c:{tag}", None, "".join(parts))


def _plot(chart: Chart) -> str:
    series = "".join(_series_xml(chart, s, i) for i, s in enumerate(chart.series))
    axes_ids = _val("axId", X_AXIS) + _val("axId", Y_AXIS)
    if isinstance(chart, BarChart):
        body = (_val("barDir", chart.direction) + _val("grouping", chart.grouping)
                + _val("varyColors", 0) + series + _val("gapWidth", 150)
                + (_val("overlap", 100) if chart.grouping != "clustered" else "") + axes_ids)
        group = element("c:barChart", None, body)
    elif isinstance(chart, LineChart):
        group = element("c:lineChart", None, _val("grouping", chart.grouping)
                        + _val("varyColors", 0) + series + _val("marker", 1) + axes_ids)
    elif isinstance(chart, AreaChart):
        group = element("c:areaChart", None, _val("grouping", chart.grouping)
                        + _val("varyColors", 0) + series + axes_ids)
    elif isinstance(chart, DoughnutChart):
        group = element("c:doughnutChart", None, _val("varyColors", 1) + series
                        + _val("firstSliceAng", 0) + _val("holeSize", chart.hole_size))
    elif isinstance(chart, PieChart):
        group = element("c:pieChart", None, _val("varyColors", 1) + series
                        + _val("firstSliceAng", 0))
    elif isinstance(chart, ScatterChart):
        group = element("c:scatterChart", None, _val("scatterStyle", "lineMarker")
                        + _val("varyColors", 0) + series + axes_ids)
    else:
        raise TypeError(f"no chart part for {type(chart).__name__}")
    axes = ""
    if isinstance(chart, ScatterChart):
        axes = (_axis("valAx", X_AXIS, "b", chart.x_title, None, "midCat")
                + _axis("valAx", Y_AXIS, "l", chart.y_title, chart.y_number_format, "midCat"))
    elif isinstance(chart, (BarChart, LineChart, AreaChart)):
        horizontal = isinstance(chart, BarChart) and chart.direction == "bar"
        axes = (_axis("catAx", X_AXIS, "l" if horizontal else "b", chart.x_title, None)
                + _axis("valAx", Y_AXIS, "b" if horizontal else "l", chart.y_title,
                        chart.y_number_format))
    return element("c:plotArea", None, "<c:layout/>" + group + axes)


def chart_xml(chart: Chart) -> bytes:
    """The chart part of `chart`."""
    if not chart.series:
        raise ValueError(f"{chart!r} has no series to draw")
    body = []
    if chart.title is not None:
        body.append(_title(chart.title))
    body.append(_val("autoTitleDeleted", 0 if chart.title is not None else 1))
    body.append(_plot(chart))
    if chart.legend is not None:
        body.append(element("c:legend", None, _val("legendPos", LEGEND_POSITIONS[chart.legend])
                            + "<c:layout/>" + _val("overlay", 0)))
    body.append(_val("plotVisOnly", 1))
    body.append(_val("dispBlanksAs", "gap"))
    root = element("c:chartSpace", {"xmlns:c": C_NS, "xmlns:a": A_NS, "xmlns:r": REL_NS},
                   _val("roundedCorners", 0) + element("c:chart", None, "".join(body)))
    return DECLARATION + root.encode("utf-8")
