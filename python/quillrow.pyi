"""Type information for the quillrow extension module."""

import numpy

__all__ = ["read_sts"]

def read_sts(
    path: str,
) -> tuple[
    numpy.ndarray[tuple[int], numpy.dtype[numpy.datetime64]],
    numpy.ndarray[tuple[int, int], numpy.dtype[numpy.float32]],
]:
    """Reads one STS file: a datetime64[ms] timestamp per row and a (rows, 11) float32 matrix."""
