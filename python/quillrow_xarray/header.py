"""The header functions, kept importable here; they live in quillrow_format.header."""

from __future__ import annotations

from quillrow_format.header import channel_names, header_line_count, parse_header, read_header, take_header

__all__ = ["channel_names", "header_line_count", "parse_header", "read_header", "take_header"]
