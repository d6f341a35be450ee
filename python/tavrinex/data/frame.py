"""Table: columns read from a sheet, handed to Arrow, pandas and polars."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from tavrinex import _native
from tavrinex.data.types import python_value

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]
    import polars
    import pyarrow  # type: ignore[import-untyped]

class Table:
    """Columns of one type each, held as Arrow arrays.

    Arrow consumers take it through the PyCapsule interface
    (``__arrow_c_stream__``, ``__arrow_c_schema__``, ``__arrow_c_array__``)
    without copying its buffers: ``pyarrow.table(t)``, ``polars.DataFrame(t)``,
    ``to_arrow()``, ``to_polars()`` and ``to_pandas()`` do so.
    """

    def __init__(self, arrays: Any = None, *, names: list[str] | None = None,
                 types: list[str] | None = None, columns: list[list[Any]] | None = None,
                 num_rows: int = 0, strings: str = "view", reader_path: str = "engine") -> None:
        # Built by the engine (`arrays`, an ArrowTable) or from columns of
        # values in their Arrow units, packed into Arrow arrays when first asked.
        self._arrays = arrays
        if arrays is not None:
            self._names = list(arrays.column_names)
            self._types = list(arrays.column_types)
            self._num_rows = int(arrays.num_rows)
            self._columns = None
        else:
            self._names = list(names or [])
            self._types = list(types or [])
            self._columns = columns or []
            self._num_rows = num_rows
        self._strings = strings
        #: which road read the sheet: "engine" or "python"
        self.reader_path = reader_path

    @property
    def schema(self) -> dict[str, str]:
        """Column names to type names ("int", "string", ...), in order."""
        return dict(zip(self._names, self._types))

    @property
    def column_names(self) -> list[str]:
        return list(self._names)

    @property
    def num_rows(self) -> int:
        return self._num_rows

    @property
    def num_columns(self) -> int:
        return len(self._names)

    def __len__(self) -> int:
        return self._num_rows

    def __repr__(self) -> str:
        columns = ", ".join(f"{n}: {t}" for n, t in zip(self._names, self._types))
        return f"<tavrinex.Table {self._num_rows} rows: {columns}>"

    # -- the Arrow PyCapsule interface

    def _packed(self) -> Any:
        if self._arrays is None:
            engine = _native.native
            if engine is not None:
                self._arrays = engine.pack_table(self._names, self._types, self._columns,
                                                 self._num_rows, self._strings)
            else:
                self._arrays = self._pyarrow_table()
        return self._arrays

    def _pyarrow_table(self) -> Any:
        import pyarrow as pa  # type: ignore[import-untyped]
        types = {"null": pa.null(), "boolean": pa.bool_(), "int": pa.int64(),
                 "float": pa.float64(), "datetime": pa.timestamp("us"), "date": pa.date32(),
                 "time": pa.time64("us"), "duration": pa.duration("us"),
                 "string": {"view": pa.string_view(), "plain": pa.large_string(),
                            "dictionary": pa.dictionary(pa.int32(), pa.string())}[self._strings]}
        arrays = []
        for type_name, values in zip(self._types, self._columns or []):
            if type_name == "string" and self._strings == "dictionary":
                arrays.append(pa.array(values, pa.string()).dictionary_encode())
            else:
                arrays.append(pa.array(values, types[type_name]))
        return pa.Table.from_arrays(arrays, names=self._names)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._packed().__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._packed().__arrow_c_schema__()

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        packed = self._packed()
        if hasattr(packed, "to_batches"):   # a pyarrow table
            import pyarrow as pa  # type: ignore[import-untyped]
            batches = packed.combine_chunks().to_batches()
            batch = batches[0] if batches else pa.RecordBatch.from_pylist([], packed.schema)
            return batch.__arrow_c_array__(requested_schema)  # type: ignore[no-any-return]
        return packed.__arrow_c_array__(requested_schema)  # type: ignore[no-any-return]

    # -- the data libraries

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow.Table over the same buffers."""
        import pyarrow as pa  # type: ignore[import-untyped]
        return pa.table(self)

    def to_polars(self) -> polars.DataFrame:
        """A polars.DataFrame over the same buffers."""
        import polars as pl
        return pl.DataFrame(self)

    def to_pandas(self, **options: Any) -> pandas.DataFrame:
        """A pandas.DataFrame, through pyarrow (`options` go to its
        to_pandas; dates become datetime64 as pandas.read_excel gives
        them); numeric columns without nulls share the buffers."""
        options.setdefault("split_blocks", True)
        options.setdefault("date_as_object", False)
        return self.to_arrow().to_pandas(**options)

    def to_pydict(self) -> dict[str, list[Any]]:
        """The columns as lists of Python values (None for nulls)."""
        if self._columns is not None:
            return {name: [python_value(t, v) for v in values]
                    for name, t, values in zip(self._names, self._types, self._columns)}
        packed = self._packed()
        return {name: packed.column(i) for i, name in enumerate(self._names)}
