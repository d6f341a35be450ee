"""The data road: sheets into Arrow tables, pandas and polars frames, and
tables written to sheets."""

from tavrinex.data.frame import Table
from tavrinex.data.read import read_table, read_tables
from tavrinex.data.write import write_table

__all__ = ["Table", "read_table", "read_tables", "write_table"]
