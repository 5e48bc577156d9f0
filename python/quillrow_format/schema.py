"""The channels of an output: their names and units, worked out once for every
writer of STS data (the xarray engine, each format of the converter)."""

from __future__ import annotations

from collections.abc import Hashable, Iterable
from dataclasses import dataclass

from .constants import CHANNELS
from .header import channel_names


@dataclass(frozen=True)
class ChannelSchema:
    """What the ``channel`` dimension of an output holds.

    ``names``: the header's value column names, the names given by the caller,
    or the numbers 0..10 (``numbered``).  ``units``: the header's ``UNIT`` of
    each value column (``""`` where a column has none) when the header names
    the channels, else None.  Equal schemas describe files that can share an
    output.
    """

    names: tuple[Hashable, ...]
    units: tuple[str, ...] | None
    numbered: bool

    @property
    def has_units(self) -> bool:
        """Whether any channel has a unit that is not empty."""
        return self.units is not None and any(self.units)

    def describe(self) -> str:
        """The channels in words, for a message that compares two files."""
        if self.numbered:
            return "not at all (0..10)"
        if self.units is None:
            return ", ".join(str(n) for n in self.names)
        return ", ".join(f"{n} [{u}]" for n, u in zip(self.names, self.units, strict=True))


NUMBERED = ChannelSchema(tuple(range(CHANNELS)), None, True)


def given_channels(channels: Iterable[Hashable]) -> tuple[Hashable, ...]:
    """Names given by the caller, checked: eleven, distinct, one per value column."""
    if isinstance(channels, str | bytes):
        raise TypeError("channels must be a sequence of 11 names, not one string")
    names = tuple(channels)
    if len(names) != CHANNELS or len(set(names)) != CHANNELS:
        raise ValueError(f"channels must give 11 distinct names, one per value column; got {list(names)!r}")
    return names


def channel_schema(header: str, channels: Iterable[Hashable] | None = None) -> ChannelSchema:
    """The channels of a file with this header text: the names given as
    ``channels`` (checked by given_channels; no units then), else the header's
    value column names and units (see channel_names), else numbered 0..10."""
    if channels is not None:
        return ChannelSchema(given_channels(channels), None, False)
    found = channel_names(header)
    if found is None:
        return NUMBERED
    names, units = found
    return ChannelSchema(tuple(names), tuple(units), False)
