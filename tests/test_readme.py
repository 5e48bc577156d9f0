"""The README (and docs/ material written for it): runnable examples run, and it renders.

A ```python block directly under a line `<!-- runnable -->` is executed in an
empty directory in which every *.sts file name the block mentions has been
generated first (and tools/gen_sts.py put, for a block that runs it).  Links
and images are resolved as a Markdown renderer does: from the document's own
directory.
"""

import re
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT
from gen_sts import write_sts

MARKER = "<!-- runnable -->"
DOCUMENTS = [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]


def runnable_blocks(text):
    """(line number, code) of each ```python block right after the marker."""
    lines = text.splitlines()
    blocks = []
    for i, line in enumerate(lines):
        if line.strip() == MARKER:
            assert i + 1 < len(lines) and lines[i + 1].strip() == "```python", (
                f"marker at line {i + 1} is not above a python block"
            )
            end = next(j for j in range(i + 2, len(lines)) if lines[j].strip() == "```")
            blocks.append((i + 3, "\n".join(lines[i + 2 : end]) + "\n"))
    return blocks


def cells(row):
    """Cells of a table row; a | inside `code` does not split."""
    parts, current, in_code = [], "", False
    for char in row.strip().strip("|"):
        if char == "`":
            in_code = not in_code
        if char == "|" and not in_code:
            parts.append(current)
            current = ""
        else:
            current += char
    return [*parts, current]


EXAMPLES = [
    pytest.param(doc, line, code, id=f"{doc.name}:{line}")
    for doc in DOCUMENTS
    if doc.exists()
    for line, code in runnable_blocks(doc.read_text())
]


def test_readme_has_a_runnable_usage_example():
    blocks = runnable_blocks((ROOT / "README.md").read_text())
    assert blocks, f"README.md has no python block marked {MARKER}"
    assert any("read_sts(" in code for _, code in blocks)


@pytest.mark.parametrize("doc, line, code", EXAMPLES)
def test_runnable_block(tmp_path, doc, line, code):
    # A block that uses an extra (xarray, ...) runs where that extra is installed.
    for module in re.findall(r"^(?:import|from) (\w+)", code, flags=re.MULTILINE):
        pytest.importorskip(module)
    names = set(re.findall(r"""["']([\w.-]+\.sts)["']""", code))
    # A block may make its own samples with the generator, as from the repository root.
    if "tools/gen_sts.py" in code:
        (tmp_path / "tools").mkdir()
        shutil.copy(ROOT / "tools" / "gen_sts.py", tmp_path / "tools")
    else:
        assert names, "a runnable example reads no file"
    for seed, name in enumerate(sorted(names)):
        write_sts(str(tmp_path / name), rows=3600, seed=seed, start="2021-045T00:00:00")
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, f"{doc.name} line {line}:\n{out.stderr}"
    if "print(" in code:
        assert out.stdout.strip()


@pytest.mark.parametrize("doc", [d for d in DOCUMENTS if d.exists()], ids=lambda d: d.name)
def test_renders_cleanly(doc):
    lines = doc.read_text().splitlines()

    fences = [i for i, line in enumerate(lines, 1) if line.lstrip().startswith("```")]
    assert len(fences) % 2 == 0, f"unclosed code fence in {doc.name}, fences at lines {fences}"
    inside = set()
    for start, end in zip(fences[::2], fences[1::2], strict=True):
        inside.update(range(start, end + 1))

    # Tables: a header, a |---| separator of as many cells, and rows of as many cells.
    i = 0
    while i < len(lines):
        if i + 1 not in inside and lines[i].startswith("|"):
            start = i
            while i < len(lines) and lines[i].startswith("|"):
                i += 1
            table = lines[start:i]
            width = len(cells(table[0]))
            assert len(table) >= 2 and re.fullmatch(r"\|(\s*:?-+:?\s*\|)+", table[1].replace(" ", "")), (
                f"{doc.name} line {start + 1}: table without a separator row"
            )
            for offset, row in enumerate(table):
                assert len(cells(row)) == width, (
                    f"{doc.name} line {start + offset + 1}: {len(cells(row))} cells, header has {width}"
                )
        i += 1

    # Local links and images point at files that exist, seen from the document's directory.
    text = "\n".join(line for n, line in enumerate(lines, 1) if n not in inside)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if not re.match(r"[a-z]+:", target) and not target.startswith("#"):
            assert (doc.parent / target.split("#")[0]).exists(), f"{doc.name}: broken link {target}"
