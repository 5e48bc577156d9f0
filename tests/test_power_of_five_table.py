"""Recomputes the conversion tables from their definitions with Python
integers and compares them with the constants in the C++ sources."""

import pathlib
import re

import pytest

NUMERIC = pathlib.Path(__file__).resolve().parents[1] / "src" / "sts" / "numeric"
MASK64 = (1 << 64) - 1


def reference_entry(q):
    """T(q): 5^q as a 128-bit number with bit 127 set (truncated for q >= 0,
    a rounded-up reciprocal for q < 0)."""
    if q >= 0:
        v = 5**q
        shift = 128 - v.bit_length()
        return v << shift if shift >= 0 else v >> -shift
    p = 5**-q
    z = (p - 1).bit_length()  # least z with 2^z >= p
    if q >= -27:
        return (1 << (z + 127)) // p + 1
    t = (1 << (2 * z + 128)) // p + 1
    return t >> max(0, t.bit_length() - 128)


def table_entries():
    text = (NUMERIC / "power_of_five_128.cpp").read_text()
    body = text[text.index("POWER_OF_FIVE_128[") :]
    pairs = re.findall(r"\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)\s*\}", body)
    return [(int(high, 16), int(low, 16)) for high, low in pairs]


def test_power_of_five_128_has_651_entries():
    assert len(table_entries()) == 651


def test_first_entry():
    assert table_entries()[0] == (0xEEF453D6923BD65A, 0x113FAA2906A13B3F)


def test_every_entry_matches_its_definition():
    mismatches = []
    for index, (high, low) in enumerate(table_entries()):
        q = index - 342
        expected = reference_entry(q)
        assert 2**127 <= expected < 2**128
        if (high, low) != (expected >> 64, expected & MASK64):
            mismatches.append(
                f"q={q}: table {high:#018x} {low:#018x}, "
                f"expected {expected >> 64:#018x} {expected & MASK64:#018x}"
            )
    assert not mismatches, "\n".join(mismatches[:10])


def _array(name):
    text = (NUMERIC / "tables.hpp").read_text()
    match = re.search(re.escape(name) + r"\[\d+\]\s*=\s*\{(.*?)\};", text, re.S)
    assert match, name
    return match.group(1)


def _integers(body):
    return [int(v, 0) for v in re.findall(r"0x[0-9A-Fa-f]+|\d+", body.replace("ULL", ""))]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("POWERS_OF_TEN_U64", [10**i for i in range(20)]),
        ("POWERS_OF_FIVE_U64", [5**i for i in range(28)]),
        ("POWER_OF_FIVE_135", [(5**135 >> (64 * i)) & MASK64 for i in range(5)]),
    ],
)
def test_small_tables(name, expected):
    assert _integers(_array(name)) == expected


def test_single_precision_powers_of_ten_are_exact():
    literals = re.findall(r"1e(\d+)f", _array("POWERS_OF_TEN_F32"))
    assert [int(e) for e in literals] == list(range(11))
    for e in range(11):
        v = 10**e
        assert (v >> ((v & -v).bit_length() - 1)).bit_length() <= 24
