"""Generated worksheets for the demonstration and the benchmarks."""

import random

from tavrinex.utils.cell import get_column_letter

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def worksheet_xml(rows, columns=20, seed=1, shared=1000):
    """A worksheet part of rows x columns cells: integers, floats (styled),
    shared strings, booleans and a formula column, in turn."""
    rnd = random.Random(seed)
    letters = [get_column_letter(c) for c in range(1, columns + 1)]
    parts = [f'<worksheet xmlns="{MAIN}"><dimension ref="A1:{letters[-1]}{rows}"/>'
             f'<sheetFormatPr defaultRowHeight="15"/><sheetData>']
    for r in range(1, rows + 1):
        parts.append(f'<row r="{r}" spans="1:{columns}">')
        for c, col in enumerate(letters, 1):
            ref = f"{col}{r}"
            kind = c % 5
            if kind == 0:
                parts.append(f'<c r="{ref}"><v>{rnd.randint(-10**6, 10**6)}</v></c>')
            elif kind == 1:
                parts.append(f'<c r="{ref}" s="1"><v>{rnd.random() * 1000:.6f}</v></c>')
            elif kind == 2:
                parts.append(f'<c r="{ref}" t="s"><v>{rnd.randrange(shared)}</v></c>')
            elif kind == 3:
                parts.append(f'<c r="{ref}" t="b"><v>{rnd.randint(0, 1)}</v></c>')
            else:
                parts.append(f'<c r="{ref}"><f>A{r}*2+B{r}</f><v>{r}</v></c>')
        parts.append("</row>")
    parts.append('</sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'
                 '</worksheet>')
    return "".join(parts).encode()


def shared_strings(count=1000):
    return [f"text {i}" for i in range(count)]
