"""Charts: bar, line, area, pie, doughnut and scatter charts over ranges of
cells, written as DrawingML charts that Excel and LibreOffice both draw.

    chart = BarChart(title="Sales")
    chart.add_series(Reference(ws, 2, 2, max_row=7), categories="'Data'!$A$2:$A$7",
                     title=Reference(ws, 2, 1))
    ws.add_chart(chart, "H2")

Charts read from a file are kept as they were and listed in ``ws.charts``
as ReadChart values (kind, title, series references).
"""

from tavrinex.chart.model import (
    AreaChart,
    BarChart,
    Chart,
    DoughnutChart,
    LineChart,
    PieChart,
    ReadChart,
    Reference,
    ScatterChart,
    Series,
)

__all__ = ["AreaChart", "BarChart", "Chart", "DoughnutChart", "LineChart", "PieChart",
           "ReadChart", "Reference", "ScatterChart", "Series"]
