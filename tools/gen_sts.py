#!/usr/bin/env python3
"""Seeded generator of sample STS files from a made-up sensor, standard library only.

    python3 tools/gen_sts.py OUT.sts --rows N [--seed S] [--start 2021-045T12:00:00] [--values exp]

or, from Python:

    from gen_sts import write_sts
    write_sts("out.sts", rows=1000, seed=1)

A file is a keyword header of nested OBJECT / END_OBJECT blocks (it closes
on the line where the two counts first balance, so no other header line
holds either word), then one row per second of 18 space-separated fields:

    2021 045 12 00 00 145 045.50000168 -75.104 -69.682  79.571 265.119 ...

year, day of year (3 digits), hour, minute, second (2 digits each),
millisecond (3 digits), the decimal day of year (8 fraction digits), then
the eleven channels C01..C11 of an invented sensor, without units: C01 to
C04 with 3 decimals and up to three integer digits (C04 never negative),
C05 and C06 with 2 decimals and five or six integer digits, C07 and C08
with 1 decimal (C08 never negative), C09 with 3 decimals, C10 and C11 with
2 decimals.  Rows average about 125 bytes, LF line ends.

Every value has at most 8 fraction digits and a magnitude below 2**25.
For such a decimal d the nearest binary32 is reached identically whether
it is rounded once, or first to binary64 and then to binary32 (as
numpy.loadtxt and pandas do): a binary32 rounding midpoint M near d has
the form k * 2**(E-24) with |d| in [2**E, 2**(E+1)) and E <= 24, so d - M
is either 0 or at least 1 / (10**8 * 2**(24-E)), which exceeds half a
binary64 ulp, 2**(E-53), because 2**29 > 10**8.  Rounding d to binary64 can
therefore never land on a midpoint that d itself is not on.

With values="exp" the same numbers are written in exponent form instead,
right-aligned to no width: "%.9e" (ten significant digits, such as
-2.552049145e+04) from magnitude 10 up, where that keeps at most 8 fraction
digits, and below 10 the value rounded to 8 fraction digits and written
"%.8e", which shows that decimal exactly.  The bound above holds for both.
"""

from __future__ import annotations

import argparse
import math
import random
import sys
from collections.abc import Iterator, Sequence

SECONDS_PER_DAY = 86400

# The largest magnitude and fraction-digit count for which double rounding
# (decimal -> binary64 -> binary32) is provably innocuous; see the module
# docstring.
MAX_MAGNITUDE = 2.0**25
MAX_FRACTION_DIGITS = 8


class Column:
    """One value column: a smooth signal plus noise, printed right-aligned."""

    def __init__(
        self,
        name: str,
        width: int,
        decimals: int,
        centre: float,
        amplitude: float,
        noise: float,
        period: int,
        positive: bool = False,
    ) -> None:
        assert decimals <= MAX_FRACTION_DIGITS
        assert abs(centre) + amplitude + 4 * noise < MAX_MAGNITUDE
        self.name = name
        self.width = width
        self.decimals = decimals
        self.centre = centre
        self.amplitude = amplitude
        self.noise = noise
        self.period = period
        self.positive = positive


# Widths include nothing but the number; columns are joined by one space.
# Values are chosen so the right-aligned numbers fill their width most of
# the time, which gives rows of about 125 bytes.
COLUMNS: Sequence[Column] = (
    Column("C01", 7, 3, -12.0, 190.0, 1.5, 52_361),
    Column("C02", 7, 3, 30.0, 170.0, 1.5, 47_123),
    Column("C03", 7, 3, 5.0, 120.0, 1.5, 61_001),
    Column("C04", 7, 3, 160.0, 140.0, 0.8, 52_361, positive=True),
    Column("C05", 9, 2, -65_000.0, 80_000.0, 0.0, 90_001),
    Column("C06", 9, 2, 110_000.0, 60_000.0, 0.0, 87_011),
    Column("C07", 8, 1, -20_000.0, 65_000.0, 0.0, 93_503),
    Column("C08", 8, 1, 180_000.0, 70_000.0, 0.0, 90_001, positive=True),
    Column("C09", 5, 3, 2.5, 2.0, 0.3, 3_607, positive=True),
    Column("C10", 6, 2, 900.0, 380.0, 0.5, 41_009),
    Column("C11", 5, 2, 12.0, 11.0, 0.01, 86_400),
)

# Distinct values precomputed per column; rows index them cyclically with a
# different length per column, so consecutive rows change smoothly and the
# combination of columns repeats only after a very long stretch.
POOL_SIZES = (8191, 8209, 8219, 8221, 8231, 8233, 8237, 8243, 8263, 8269, 8273)


def is_leap(year: int) -> bool:
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def days_in_year(year: int) -> int:
    return 366 if is_leap(year) else 365


def header_lines(rows: int, seed: int, start: tuple[int, int, int]) -> list[str]:
    """Keyword header: FILE holds a RECORD, which holds one block per column.

    Only the block lines hold the words OBJECT and END_OBJECT, so the header
    closes exactly on its last line.
    """
    year, doy, sod = start
    lines = [
        "FORMAT_VERSION       = 1",
        "RECORD_TYPE          = FIXED_LENGTH",
        f"FILE_RECORDS         = {rows}",
        "SENSOR_ID            = S01",
        "SOURCE_NAME          = QUILLROW-SAMPLE",
        f"START_TIME           = {year:04d}-{doy:03d}T{sod // 3600:02d}:{sod // 60 % 60:02d}:{sod % 60:02d}",
        f"PRODUCT_ID           = QR{seed:06d}",
        "OBJECT               = FILE",
        "  DATA_FORMAT        = ASCII",
        "  OBJECT             = RECORD",
        "    COLUMNS          = 18",
        "    SAMPLING         = 1 s",
    ]
    names = [
        ("YEAR", "y"),
        ("DOY", "d"),
        ("HOUR", "h"),
        ("MIN", "min"),
        ("SEC", "s"),
        ("MSEC", "ms"),
        ("DECIMAL_DAY", "d"),
    ]
    names += [(c.name, "none") for c in COLUMNS]
    for index, (name, units) in enumerate(names, start=1):
        lines += [
            "    OBJECT           = COLUMN",
            f"      NAME           = {name}",
            f"      COLUMN_NUMBER  = {index}",
            f'      UNIT           = "{units}"',
            "    END_OBJECT       = COLUMN",
        ]
    lines += [
        "  END_OBJECT         = RECORD",
        "END_OBJECT           = FILE",
    ]
    return lines


VALUE_FORMATS = ("fixed", "exp")


def exponent_form(v: float) -> str:
    """v in exponent form with a value of at most 8 fraction digits."""
    return f"{v:.9e}" if abs(v) >= 10.0 else f"{round(v, MAX_FRACTION_DIGITS):.8e}"


def value_pools(seed: int, values: str = "fixed") -> list[list[str]]:
    """Formatted tokens per column: a closed loop of smooth values plus noise."""
    if values not in VALUE_FORMATS:
        raise ValueError(f"values must be one of {VALUE_FORMATS}")
    rng = random.Random(seed)
    pools = []
    for column, size in zip(COLUMNS, POOL_SIZES, strict=True):
        phase = rng.uniform(0.0, 2.0 * math.pi)
        # Two harmonics whose periods divide the pool length, so the loop
        # closes without a jump; the noise is what the eye sees between rows.
        turns = max(1, round(size * 40 / column.period))
        fmt = f"{{:{column.width}.{column.decimals}f}}"
        limit = MAX_MAGNITUDE * (1.0 - 1e-9)
        pool = []
        for i in range(size):
            t = 2.0 * math.pi * turns * i / size + phase
            v = (
                column.centre
                + column.amplitude * (0.8 * math.sin(t) + 0.2 * math.sin(3.0 * t + phase))
                + rng.gauss(0.0, column.noise)
            )
            if column.positive:
                v = abs(v)
            v = max(-limit, min(limit, v))
            pool.append(fmt.format(v) if values == "fixed" else exponent_form(v))
        pools.append(pool)
    return pools


def parse_start(text: str) -> tuple[int, int, int]:
    """'YYYY-DOYTHH:MM:SS' -> (year, doy, second of day)."""
    date, _, clock = text.partition("T")
    year, doy = (int(p) for p in date.split("-"))
    h, m, s = (int(p) for p in (clock or "00:00:00").split(":"))
    if not 1 <= doy <= days_in_year(year):
        raise ValueError(f"day of year {doy} outside {year}")
    if not (0 <= h < 24 and 0 <= m < 60 and 0 <= s < 60):
        raise ValueError(f"bad time of day {clock}")
    return year, doy, h * 3600 + m * 60 + s


def iter_rows(
    rows: int,
    seed: int = 0,
    start: tuple[int, int, int] = (2021, 45, 43200),
    millisecond: int | None = None,
    values: str = "fixed",
) -> Iterator[str]:
    """Data lines (with LF) at one-second cadence from `start`."""
    rng = random.Random(seed ^ 0x5EED)
    ms = rng.randrange(1000) if millisecond is None else millisecond
    if not 0 <= ms < 1000:
        raise ValueError("millisecond outside 0..999")
    pools = value_pools(seed, values)
    offsets = [rng.randrange(len(p)) for p in pools]

    # Everything that depends only on the second of the day is formatted
    # once: "HH MM SS mmm " and the fraction digits of the decimal day.
    clock = [f"{s // 3600:02d} {s // 60 % 60:02d} {s % 60:02d} {ms:03d} " for s in range(SECONDS_PER_DAY)]
    fraction = [f"{(s + ms / 1000.0) / SECONDS_PER_DAY:.8f}"[1:] + " " for s in range(SECONDS_PER_DAY)]

    year, doy, sod = start
    index = 0
    while index < rows:
        day = f"{year:04d} {doy:03d} "
        decimal_day = f"{doy:03d}"
        stop = min(SECONDS_PER_DAY, sod + rows - index)
        for s in range(sod, stop):
            i = index + s - sod
            yield "".join(
                (
                    day,
                    clock[s],
                    decimal_day,
                    fraction[s],
                    " ".join(pool[(i + off) % len(pool)] for pool, off in zip(pools, offsets, strict=True)),
                    "\n",
                )
            )
        index += stop - sod
        sod = 0
        doy += 1
        if doy > days_in_year(year):
            year += 1
            doy = 1


def write_sts(
    path: str,
    rows: int,
    seed: int = 0,
    start: tuple[int, int, int] | str = (2021, 45, 43200),
    millisecond: int | None = None,
    values: str = "fixed",
) -> int:
    """Write an STS file of `rows` data rows; returns the file size in bytes."""
    if rows < 0:
        raise ValueError("rows must be >= 0")
    if isinstance(start, str):
        start = parse_start(start)
    size = 0
    with open(path, "w", encoding="ascii", newline="\n") as out:
        head = "\n".join(header_lines(rows, seed, start)) + "\n"
        out.write(head)
        size += len(head)
        chunk: list[str] = []
        for line in iter_rows(rows, seed, start, millisecond, values):
            chunk.append(line)
            if len(chunk) == 65536:
                text = "".join(chunk)
                out.write(text)
                size += len(text)
                chunk.clear()
        text = "".join(chunk)
        out.write(text)
        size += len(text)
    return size


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", help="file to write")
    parser.add_argument("--rows", type=int, required=True, help="number of data rows")
    parser.add_argument("--seed", type=int, default=0, help="seed of the values (default 0)")
    parser.add_argument("--start", default="2021-045T12:00:00", help="first row's time, YYYY-DOYTHH:MM:SS")
    parser.add_argument(
        "--millisecond", type=int, default=None, help="millisecond field of every row (default: from seed)"
    )
    parser.add_argument(
        "--values", choices=VALUE_FORMATS, default="fixed", help="fixed decimals or exponent form (%%.9e)"
    )
    args = parser.parse_args(argv)
    write_sts(args.out, args.rows, args.seed, args.start, args.millisecond, args.values)
    return 0


if __name__ == "__main__":
    sys.exit(main())
