"""XML reading figures: tokenizer throughput and read_string_table against
the package's Python shared-string reader, measured in the same run."""

import io
import time

from tavrinex import _probe as probe
from tavrinex import _tavrinex as native
from tavrinex.helpers import reader_helpers
from tavrinex.reader.strings import read_shared_strings_py

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def worksheet(min_bytes):
    """A worksheet-like document: rows of numeric, shared-string, inline and
    formula cells."""
    head = (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<worksheet xmlns="{MAIN}" '
            'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">'
            '<dimension ref="A1:F1"/><sheetData>').encode()
    rows = []
    size = len(head)
    r = 0
    while size < min_bytes:
        r += 1
        row = (f'<row r="{r}" spans="1:6"><c r="A{r}"><v>{r * 1.5}</v></c>'
               f'<c r="B{r}" t="s"><v>{r % 977}</v></c><c r="C{r}" s="2"><v>{r * 37}</v></c>'
               f'<c r="D{r}" t="inlineStr"><is><t>text &amp; more {r}</t></is></c>'
               f'<c r="E{r}"><f>SUM(A{r}:C{r})</f><v>{r * 40}</v></c>'
               f'<c r="F{r}" t="b"><v>{r & 1}</v></c></row>').encode()
        rows.append(row)
        size += len(row)
    return head + b"".join(rows) + b"</sheetData></worksheet>"


def shared_strings(n):
    parts = [f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<sst xmlns="{MAIN}" '
             f'count="{n}" uniqueCount="{n}">']
    for i in range(n):
        if i % 50 == 0:
            parts.append(f"<si><r><rPr><b/><sz val=\"11\"/></rPr><t>Bold {i}</t></r>"
                         f"<r><t xml:space=\"preserve\"> tail</t></r></si>")
        elif i % 10 == 0:
            parts.append(f"<si><t>caf\u00e9 &amp; bar {i}</t></si>")
        else:
            parts.append(f"<si><t>Item number {i}</t></si>")
    parts.append("</sst>")
    return "".join(parts).encode()


def best(fn, repeat):
    """Best wall-clock and best CPU time of `repeat` runs, and the result.
    CPU time is what this process used, so it is less disturbed by other
    work on a shared machine."""
    walls, cpus = [], []
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        walls.append(time.perf_counter() - w0)
        cpus.append(time.process_time() - c0)
    return min(walls), min(cpus), result


def main():
    doc = worksheet(100 * 1024 * 1024)
    wall, cpu, count = best(lambda: probe.xml_count(doc), 7)
    mb = len(doc) / 1e6
    print(f"tokenizer: {mb:.0f} MB, {count} events: wall {wall:.3f} s = {mb / wall:.0f} MB/s, "
          f"cpu {cpu:.3f} s = {mb / cpu:.0f} MB/s ({count / cpu / 1e6:.1f} M events/s)")

    data = shared_strings(1_000_000)
    helpers = reader_helpers()
    # Alternate the two readers so both see the same machine conditions.
    runs = []
    for _ in range(3):
        runs.append((best(lambda: native.read_string_table(io.BytesIO(data), helpers), 1),
                     best(lambda: read_shared_strings_py(io.BytesIO(data)), 1)))
    n_wall = min(n[0] for n, _ in runs)
    n_cpu = min(n[1] for n, _ in runs)
    p_wall = min(p[0] for _, p in runs)
    p_cpu = min(p[1] for _, p in runs)
    assert runs[0][0][2] == runs[0][1][2]
    print(f"read_string_table: 1,000,000 items ({len(data) / 1e6:.0f} MB): "
          f"native wall {n_wall:.3f} s / cpu {n_cpu:.3f} s, "
          f"Python wall {p_wall:.3f} s / cpu {p_cpu:.3f} s, "
          f"ratio wall {p_wall / n_wall:.1f}x / cpu {p_cpu / n_cpu:.1f}x")


if __name__ == "__main__":
    main()
