"""The keyword header of an STS file: its text, its structure, and the column names it gives.

Standard library only, so that tools without xarray can use it too.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from .constants import CHANNELS, ROW_FIELDS


def take_header(lines: Iterator[bytes]) -> tuple[list[bytes], bool]:
    """Takes an STS file's header lines off an iterator over its lines, and says
    whether the header closed.

    The header ends on the line on which the closing lines first balance the
    opening ones: a line holding END_OBJECT closes a block (and counts only as
    that), any other line holding OBJECT opens one.  The lines after it are
    left in the iterator.
    """
    opened = closed = 0
    header = []
    for line in lines:
        header.append(line)
        if b"END_OBJECT" in line:
            closed += 1
        elif b"OBJECT" in line:
            opened += 1
        if opened and opened == closed:
            return header, True
    return header, False


def header_line_count(path: str | os.PathLike[str]) -> int:
    """How many lines the header of an STS file has, counted to the one that closes it."""
    with open(path, "rb") as file:
        header, closed = take_header(file)
    if not closed:
        raise ValueError(f"Invalid file {os.fspath(path)}: header END_OBJECT not found")
    return len(header)


def read_header(path: str | os.PathLike[str]) -> str:
    """The header of an STS file as text, lines joined by LF (a CR before the LF dropped).

    The file is read only as far as its header goes (see take_header); a
    header that never closes gives the whole file.  Empty lines are kept.
    Bytes that are not UTF-8 appear as backslash escapes such as ``\\xff``.
    """
    with open(path, "rb") as file:
        header, _ = take_header(file)
    lines = [line.removesuffix(b"\n").removesuffix(b"\r") for line in header]
    return b"\n".join(lines).decode("utf-8", "backslashreplace")


def unquote(value: str) -> str:
    if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
        return value[1:-1]
    return value


def add(mapping: dict[str, Any], key: str, value: Any) -> None:
    """A key seen again turns into a list of its values, in file order."""
    if key not in mapping:
        mapping[key] = value
    elif isinstance(mapping[key], list):
        mapping[key].append(value)
    else:
        mapping[key] = [mapping[key], value]


def header_objects(text: str) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The header as nested dicts, and its innermost objects (those that hold no
    other object) in file order."""
    root: dict[str, Any] = {}
    stack = [root]
    has_child = [False]
    innermost: list[dict[str, Any]] = []
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        key = key.strip()
        value = unquote(value.strip())
        if key != "END_OBJECT" and not (sep and key):
            continue
        if key == "OBJECT":
            block: dict[str, Any] = {}
            add(stack[-1], value, block)
            has_child[-1] = True
            stack.append(block)
            has_child.append(False)
        elif key == "END_OBJECT":
            # A stray close before any open has nothing to close.
            if len(stack) > 1:
                if not has_child.pop():
                    innermost.append(stack[-1])
                stack.pop()
        else:
            add(stack[-1], key, value)
    return root, innermost


def parse_header(text: str) -> dict[str, Any]:
    """The header's keywords as nested dicts.

    ``KEY = VALUE`` lines become entries of the enclosing object;
    ``OBJECT = X`` ... ``END_OBJECT`` becomes a dict under ``X``.  Objects or
    keywords of one name that occur more than once in one object become a list,
    in file order.  Values stay strings, with one pair of enclosing double or
    single quotes removed.  A bare ``END_OBJECT`` closes an object too; other
    lines without ``=`` are passed over.

    >>> parse_header('A = 1\\nOBJECT = COLUMN\\n NAME = "X"\\nEND_OBJECT = COLUMN')
    {'A': '1', 'COLUMN': {'NAME': 'X'}}
    """
    return header_objects(text)[0]


def channel_names(header: str) -> tuple[list[str], list[str]] | None:
    """Names and units of the eleven value columns, from the header text.

    Taken when the header's innermost objects are exactly the file's eighteen
    columns in order: each has a ``NAME`` (the value columns' names distinct),
    and a ``COLUMN_NUMBER``, where present, counts 1 to 18.  The last eleven are the
    value columns; a column without ``UNIT`` has the unit ``""``.  Otherwise
    None: the channels are then numbered.
    """
    columns = header_objects(header)[1]
    if len(columns) != ROW_FIELDS:
        return None
    names = [column.get("NAME") for column in columns]
    if not all(isinstance(name, str) and name for name in names):
        return None
    if len(set(names[ROW_FIELDS - CHANNELS :])) != CHANNELS:
        return None
    for position, column in enumerate(columns, start=1):
        number = column.get("COLUMN_NUMBER")
        if number is not None and number != str(position):
            return None
    values = columns[ROW_FIELDS - CHANNELS :]
    units = [column.get("UNIT", "") for column in values]
    if not all(isinstance(unit, str) for unit in units):
        return None
    return [str(name) for name in names[ROW_FIELDS - CHANNELS :]], units
