"""The source files of a conversion: what SRC arguments name, in order."""

from __future__ import annotations

import glob
import os
from collections.abc import Sequence

from quillrow_cli.convert.base import ConvertError


def is_pattern(text: str) -> bool:
    return any(c in text for c in "*?[")


def expand_sources(sources: Sequence[str]) -> list[str]:
    """Files, directories' ``*.sts`` files and glob matches, ordered by file name
    (then by the whole path), each once.  A path that does not exist is kept: it
    is reported as a bad file with the reader's message."""
    found: list[str] = []
    for source in sources:
        if os.path.isdir(source):
            names = [n for n in os.listdir(source) if n.lower().endswith(".sts")]
            if not names:
                raise ConvertError(f"{source}: no .sts files in this directory")
            found += [os.path.join(source, n) for n in names]
        elif is_pattern(source) and not os.path.exists(source):
            matches = [m for m in glob.glob(source) if not os.path.isdir(m)]
            if not matches:
                raise ConvertError(f"{source}: no file matches")
            found += matches
        else:
            found.append(source)
    unique: dict[str, str] = {}
    for path in found:
        unique.setdefault(os.path.abspath(path), path)
    return sorted(unique.values(), key=lambda p: (os.path.basename(p), p))


def printable(path: str) -> str:
    """The path as text that can be printed and stored: bytes of a name that are
    not UTF-8 (kept by Python as lone surrogates) appear as ``\\xNN``."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def name_fault(path: str) -> str | None:
    """Why a path cannot be converted before it is even read, or None.  The
    reader takes paths as UTF-8 text, and every format stores the sources'
    names as such: a name in another encoding is left out."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return f"{printable(path)}: the file name is not UTF-8 text"
    return None
