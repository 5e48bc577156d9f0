#!/usr/bin/env python3
"""Writes seed files for fuzz_rows into the directory given as argument: short
files made of rows from the project's generator (tools/gen_sts.py) under a
small header, in the variants the reader must handle (CR LF, blank lines, no
final LF, tabs), a few faulty ones, one generator file as written and rows
with the values in exponent form."""

import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
SMALL_HEADER = b"OBJECT = FILE\nEND_OBJECT = FILE\n"


def generated(rows, seed, **extra):
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "seed.sts"
        args = [sys.executable, str(ROOT / "tools" / "gen_sts.py"), "--rows", str(rows), "--seed", str(seed)]
        for key, value in extra.items():
            args += [f"--{key}", str(value)]
        subprocess.run([*args, str(out)], check=True)
        return out.read_bytes()


def split(content):
    """(header, rows) of a generated file: rows are the lines after the last END_OBJECT."""
    lines = content.split(b"\n")
    last = max(i for i, line in enumerate(lines) if b"END_OBJECT" in line)
    return b"\n".join(lines[: last + 1]) + b"\n", [line for line in lines[last + 1 :] if line]


def seeds():
    full = generated(3, 1)
    yield "generated", full
    for seed in range(4):
        _, rows = split(generated(3, seed, start="2020-366T23:59:59"))
        body = b"\n".join(rows) + b"\n"
        yield f"small-{seed}", SMALL_HEADER + body
        yield f"crlf-{seed}", (SMALL_HEADER + body).replace(b"\n", b"\r\n")
        yield f"blank-{seed}", SMALL_HEADER + b"\n\r\n" + body.replace(b"\n", b"\n\n")
        yield f"no-final-lf-{seed}", SMALL_HEADER + body.rstrip(b"\n")
        yield f"tabs-{seed}", SMALL_HEADER + body.replace(b" ", b"\t")
        row = rows[0]
        fields = row.split()
        yield f"short-row-{seed}", SMALL_HEADER + b" ".join(fields[:-1]) + b"\n"
        yield f"long-row-{seed}", SMALL_HEADER + row + b" 1\n"
        yield f"field7-missing-{seed}", SMALL_HEADER + b" ".join(fields[:6]) + b"\n"
        yield f"nested-{seed}", b"OBJECT\n OBJECT\n END_OBJECT\nEND_OBJECT\n" + row + b"\n"
    _, rows = split(generated(4, 5, values="exp"))
    yield "exponent-form", SMALL_HEADER + b"\n".join(rows) + b"\n"
    yield (
        "special",
        SMALL_HEADER + b"2024 001 12 30 15 250 Q nan -inf INFINITY 1e38 -1e-46 0 -0 .5 5. 3.4028236e38 7\n",
    )
    yield "header-only", SMALL_HEADER
    yield "empty", b""


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, content in seeds():
        (out / f"seed-{name}").write_bytes(content)


if __name__ == "__main__":
    main()
