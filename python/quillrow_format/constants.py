"""Facts about STS files and their outputs that every reader of them shares."""

from __future__ import annotations

# Value columns per data row; a row has eighteen fields in all: six time
# fields, one that is never read, then the values.
CHANNELS = 11
ROW_FIELDS = 18

# How the time coordinate is stored when a dataset is written (NetCDF, Zarr,
# Parquet metadata), and what it holds undecoded: the reader's own integer
# milliseconds.
TIME_UNITS = "milliseconds since 1970-01-01"
CALENDAR = "proleptic_gregorian"
