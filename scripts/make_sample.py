"""Regenerate samples/sample.xlsx with XlsxWriter (an independent writer).

    .venv/bin/python scripts/make_sample.py [OUTPUT]

The output is the same bytes on every run: the document properties carry
a fixed creation time and the data come from a seeded generator.
"""

import datetime
import random
import sys
from pathlib import Path

import xlsxwriter

ROWS = 2500
REGIONS = ["North", "South", "East", "West", "Centre", "Überseegebiete", "東京"]


def build(path):
    wb = xlsxwriter.Workbook(str(path))
    wb.set_properties({"title": "tavrinex sample", "author": "scripts/make_sample.py",
                       "created": datetime.datetime(2026, 1, 1)})
    bold = wb.add_format({"bold": True, "bg_color": "#DDEEFF", "border": 1})
    day = wb.add_format({"num_format": "yyyy-mm-dd"})
    money = wb.add_format({"num_format": "#,##0.00 [$€-407]"})
    clock = wb.add_format({"num_format": "[h]:mm"})
    rnd = random.Random(13)

    sales = wb.add_worksheet("Sales")
    header = ["Order", "Date", "Region", "Units", "Price", "Paid", "Time spent", "Total"]
    sales.write_row(0, 0, header, bold)
    sales.freeze_panes(1, 0)
    sales.set_column("B:B", 12)
    sales.set_column("C:C", 16)
    for r in range(1, ROWS + 1):
        units, price = rnd.randint(1, 500), round(rnd.uniform(0.5, 250), 2)
        sales.write_number(r, 0, 10000 + r)
        sales.write_datetime(r, 1, datetime.date(2025, 1, 1) + datetime.timedelta(days=r % 365),
                             day)
        sales.write_string(r, 2, REGIONS[rnd.randrange(len(REGIONS))])
        sales.write_number(r, 3, units)
        sales.write_number(r, 4, price, money)
        sales.write_boolean(r, 5, rnd.random() < 0.8)
        sales.write_datetime(r, 6, datetime.timedelta(minutes=rnd.randint(5, 3000)), clock)
        sales.write_formula(r, 7, f"=D{r + 1}*E{r + 1}", money, round(units * price, 2))

    notes = wb.add_worksheet("Notes")
    notes.merge_range("A1:D1", "About this workbook", bold)
    notes.write_rich_string("A2", "Made by ", bold, "XlsxWriter", " for tavrinex's make run")
    notes.write_url("A3", "https://example.com/tavrinex", string="project page")
    notes.write_url("A4", "internal:'Sales'!A1", string="go to the sales")
    notes.write_comment("A1", "Generated, do not edit by hand", {"author": "make_sample"})
    notes.write("A5", "Error value:")
    notes.write_formula("B5", "=1/0", None, "#DIV/0!")
    notes.set_row(0, 30)

    hidden = wb.add_worksheet("Lookup")
    hidden.hide()
    for i, region in enumerate(REGIONS):
        hidden.write_row(i, 0, [region, i])
    wb.define_name("Regions", "=Lookup!$A$1:$A$7")
    wb.close()


if __name__ == "__main__":
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else \
        Path(__file__).resolve().parent.parent / "samples" / "sample.xlsx"
    build(out)
    print(out)
