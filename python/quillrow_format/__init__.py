"""What every reader and writer of STS files in this project agrees on: the
header rules, the identity of a file's version, the channels of an output and
the shared constants.

Needs only the standard library and NumPy, so that the xarray engine
(quillrow_xarray) and the converter (quillrow_cli) can both use it without
importing each other.
"""

from __future__ import annotations

from .constants import CALENDAR, CHANNELS, ROW_FIELDS, TIME_UNITS
from .header import channel_names, header_line_count, parse_header, read_header, take_header
from .identity import FileIdentity, times_digest
from .schema import NUMBERED, ChannelSchema, channel_schema, given_channels

__all__ = [
    "CALENDAR",
    "CHANNELS",
    "NUMBERED",
    "ROW_FIELDS",
    "TIME_UNITS",
    "ChannelSchema",
    "FileIdentity",
    "channel_names",
    "channel_schema",
    "given_channels",
    "header_line_count",
    "parse_header",
    "read_header",
    "take_header",
    "times_digest",
]
