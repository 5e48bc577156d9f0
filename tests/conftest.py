import os
import platform
import signal
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))


def pytest_sessionstart(session):
    # A command started in the background by a shell without job control
    # (tools/test_wheels.sh runs the roots' suites so, and CI may start the
    # whole run so) begins with SIGINT ignored, and a process started from it
    # keeps it ignored: the tests of Ctrl-C would then time out.  With a
    # handler here, every process a test starts gets the usual one.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    # tools/test_wheels.sh tests an installed wheel: make sure that is what
    # `import quillrow` finds, not a build lying in the checkout.
    if os.environ.get("QUILLROW_TEST_INSTALLED"):
        import quillrow

        site = Path(sysconfig.get_paths()["platlib"])
        assert Path(quillrow.__file__).parent == site, f"quillrow imported from {quillrow.__file__}"


def has_kernel_switch() -> bool:
    """Whether the module under test honours QUILLROW_ROW_KERNEL: builds with
    the kernel switch (the C++ test and sanitizer builds) hold the variable's
    name, release builds (the wheels, `pip install .`) read no environment and
    hold no such text."""
    import quillrow

    return b"QUILLROW_ROW_KERNEL" in Path(quillrow.__file__).read_bytes()


def row_kernel() -> str:
    """The row kernel the suite runs on: the one QUILLROW_ROW_KERNEL names in a
    build with the kernel switch (any other name fails every read), else the
    one the module chooses by the processor's features, which it does not
    name (its surface is read_sts alone)."""
    forced = os.environ.get("QUILLROW_ROW_KERNEL")
    if not has_kernel_switch():
        ignored = f"; QUILLROW_ROW_KERNEL={forced} is ignored by a release build" if forced else ""
        return f"chosen by the processor ({platform.machine()}){ignored}"
    if forced:
        return f"{forced} (QUILLROW_ROW_KERNEL)"
    return f"chosen by the processor ({platform.machine()}); QUILLROW_ROW_KERNEL would choose one"


def pytest_report_header(config):
    return f"quillrow row kernel: {row_kernel()}"


HEADER = b"FORMAT_VERSION = 1\nOBJECT = FILE\n  OBJECT = RECORD\n  END_OBJECT = RECORD\nEND_OBJECT = FILE\n"
HEADER_LINES = HEADER.count(b"\n")

# One well-formed row: 2024-001 12:30:15.250, then field 7 and the values 1..11.
ROW = b"2024 001 12 30 15 250 Q 1 2 3 4 5 6 7 8 9 10 11"
ROW_MS = 1704112215250


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(content: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"f{next(counter)}.sts")
        path.write_bytes(content)
        return str(path)

    return write


@pytest.fixture
def sts_file(write_file):
    """A file made of the standard header and the given data lines."""

    def make(*lines: bytes, header: bytes = HEADER) -> str:
        return write_file(header + b"".join(line + b"\n" for line in lines))

    return make


def open_fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def file_map_count() -> int:
    """Mappings of files, the only mappings the module makes itself.  Anonymous ones
    belong to the allocators, which split and merge them as they go: the brk heap, the
    sanitizer's allocator, and mimalloc's arena, split where the module asks for small
    pages under large result buffers (a few entries, bounded, never a leak).  A leak of
    anonymous memory shows in the resident-memory checks instead."""
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.split()[5:6] and line.split()[5].startswith("/"))


def under_asan() -> bool:
    """True when the AddressSanitizer runtime is preloaded (tools/test_sanitized.sh)."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def resource_counts() -> tuple[int, int]:
    """Open descriptors and mappings of files."""
    return open_fd_count(), file_map_count()
