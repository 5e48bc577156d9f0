"""What every part of the converter uses: its name in messages, its errors,
the array types, and the import of modules that carry no type information."""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np
import numpy.typing as npt

PROG = "quillrow convert"

Matrix = npt.NDArray[np.float32]
Times = npt.NDArray[np.datetime64]


class ConvertError(Exception):
    """A conversion that cannot go on; its text is the message to print."""


class KeptPartial(ConvertError):
    """A finished output that could not be put in place, and is left where it is."""


def untyped(name: str) -> Any:
    """A dependency that has no type information, imported when first needed."""
    return importlib.import_module(name)
