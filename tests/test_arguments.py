"""Binding of the one argument `path`, and the exceptions of opening a file."""

import os
import pathlib
import subprocess
import sys

import pytest

from quillrow import read_sts

from conftest import ROW


class StrPath(str):
    def __str__(self):
        return "/definitely/not/this"


# A name with no UTF-8 form: messages keep it as CPython's own messages do.
Surrogate = type("Surrogate", (), {"__qualname__": "A\udcffB"})


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "read_sts() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "read_sts() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {"x": 1}, "read_sts() takes 1 positional arguments but 3 were given"),
        (("a",), {"path": "b"}, "read_sts() got multiple values for argument 'path'"),
        ((), {"x": 1}, "read_sts() got an unexpected keyword argument 'x'"),
        (("a",), {"x": 1}, "read_sts() got an unexpected keyword argument 'x'"),
        ((), {"path": "a", "Path": 1}, "read_sts() got an unexpected keyword argument 'Path'"),
        ((1,), {}, "argument 'path': 'int' object is not an instance of 'str'"),
        ((None,), {}, "argument 'path': 'None' is not an instance of 'str'"),
        ((b"/etc/hostname",), {}, "argument 'path': 'bytes' object is not an instance of 'str'"),
        (
            (pathlib.PurePosixPath("/etc"),),
            {},
            "argument 'path': 'PurePosixPath' object is not an instance of 'str'",
        ),
        ((), {"path": 3.5}, "argument 'path': 'float' object is not an instance of 'str'"),
        ((), {"k\udcffz": 1}, "read_sts() got an unexpected keyword argument 'k\udcffz'"),
        ((Surrogate(),), {}, "argument 'path': 'A\udcffB' object is not an instance of 'str'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        read_sts(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_keyword_path_alone_equals_positional(sts_file):
    path = sts_file(ROW)
    by_position = read_sts(path)
    by_keyword = read_sts(path=path)
    assert (by_position[0] == by_keyword[0]).all() and (by_position[1] == by_keyword[1]).all()


def test_rewritten_type_error_has_no_cause_and_suppresses_context():
    try:
        try:
            raise KeyError("context")
        except KeyError:
            read_sts(42)
    except TypeError as error:
        assert error.__cause__ is None
        assert error.__suppress_context__ is True
    else:
        pytest.fail("no TypeError")


def test_pathlike_refused_even_for_existing_file(sts_file):
    path = sts_file(ROW)
    with pytest.raises(TypeError, match="'PosixPath' object is not an instance of 'str'"):
        read_sts(pathlib.Path(path))


def test_str_subclass_uses_its_characters(sts_file):
    path = sts_file(ROW)
    timestamps, _ = read_sts(StrPath(path))
    assert len(timestamps) == 1


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        read_sts("/tmp/\udcff.sts")


@pytest.mark.parametrize("length", [10, 383, 384, 4000])
def test_nul_in_path(length):
    path = "/tmp/" + "a" * (length - 6) + "\0"
    assert len(path.encode()) == length
    with pytest.raises(OSError) as info:
        read_sts(path)
    assert type(info.value) is OSError
    assert str(info.value) == "file name contained an unexpected NUL byte"
    assert info.value.errno is None


@pytest.mark.parametrize(
    "make_path, error_type, text",
    [
        (lambda d: str(d / "missing.sts"), FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda d: "", FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda d: str(d / "plain") + "/below", NotADirectoryError, "Not a directory (os error 20)"),
        (lambda d: str(d), OSError, "No such device (os error 19)"),
        (lambda d: str(d / ("n" * 300)), OSError, "File name too long (os error 36)"),
        (lambda d: "/tmp/" + "d/" * 300 + "x", FileNotFoundError, "No such file or directory (os error 2)"),
    ],
)
def test_os_errors(tmp_path, make_path, error_type, text):
    (tmp_path / "plain").write_bytes(b"x")
    with pytest.raises(OSError) as info:
        read_sts(make_path(tmp_path))
    assert type(info.value) is error_type
    assert str(info.value) == text
    assert info.value.errno is None and info.value.filename is None and info.value.strerror is None


def test_relative_path_follows_current_directory(sts_file, tmp_path, monkeypatch):
    path = sts_file(ROW)
    monkeypatch.chdir(os.path.dirname(path))
    timestamps, _ = read_sts(os.path.basename(path))
    assert len(timestamps) == 1


def test_unreadable_file_raises_permission_error(tmp_path):
    target = tmp_path / "secret.sts"
    target.write_bytes(b"x")
    target.chmod(0)
    tmp_path.chmod(0o755)
    code = (
        "import os, sys, quillrow\n"
        "if os.geteuid() == 0:\n"
        "    os.setgid(65534); os.setuid(65534)\n"
        "try:\n"
        "    quillrow.read_sts(sys.argv[1])\n"
        "except PermissionError as e:\n"
        "    print(type(e).__name__, str(e))\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(target)], capture_output=True, text=True)
    assert out.stdout.strip() == "PermissionError Permission denied (os error 13)", out.stderr
