"""Parquet: one wide file written by this process, a row group per chunk."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from quillrow_cli.convert.archive import Archive
from quillrow_cli.convert.base import ConvertError, Matrix, untyped
from quillrow_cli.convert.sinks import Sink
from quillrow_format import CHANNELS


class ParquetSink(Sink):
    REQUIRES = ("pyarrow", "pyarrow.parquet")

    def __init__(self, path: str, archive: Archive, chunk_rows: int) -> None:
        super().__init__(path, archive, chunk_rows)
        pa = untyped("pyarrow")
        pq = untyped("pyarrow.parquet")

        names = [str(c) for c in archive.schema.names]
        if "time" in names or len(set(names)) != len(names):
            raise ConvertError(f"channel names {names} would not make distinct Parquet columns beside 'time'")
        units: Sequence[str | None] = archive.schema.units or [None] * CHANNELS
        fields = [pa.field("time", pa.timestamp("ms"), nullable=False)] + [
            pa.field(name, pa.float32(), nullable=False, metadata=None if unit is None else {"units": unit})
            for name, unit in zip(names, units, strict=True)
        ]
        metadata = {f"quillrow.{key}": json.dumps(value) for key, value in archive.attrs().items()}
        self.schema = pa.schema(fields, metadata=metadata)
        self.times = archive.times()
        self.writer: Any = pq.ParquetWriter(
            path,
            self.schema,
            compression="zstd",
            # Measured values seldom repeat: no dictionaries; their bytes split
            # by significance compress better.
            use_dictionary=False,
            column_encoding=dict.fromkeys(names, "BYTE_STREAM_SPLIT"),
        )

    def write(self, start: int, block: Any) -> None:
        pa = untyped("pyarrow")

        rows: Matrix = block
        columns = [pa.array(self.times[start : start + len(rows)], type=pa.timestamp("ms"))]
        columns += [pa.array(rows[:, j]) for j in range(CHANNELS)]
        self.writer.write_table(pa.Table.from_arrays(columns, schema=self.schema), row_group_size=len(rows))

    def close(self) -> None:
        writer, self.writer = self.writer, None
        if writer is not None:
            writer.close()


SINK = ParquetSink
