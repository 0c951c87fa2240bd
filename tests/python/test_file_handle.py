import enum
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ovaline
from ovaline import Whence

VALID_MODES = ["", "r", "w", "rw", "wr"]
IN_USE = "^Resource is currently in use$"
CLOSED = "^Invalid file descriptor$"


@pytest.fixture
def fs():
    return ovaline.PyFs()


def file_with(fs, data, path="/f"):
    with fs.open(path, "w") as handle:
        handle.write(data)
    return path


def lock_flag(fs, path="/f"):
    handle = fs.open(path, "")
    ident = handle.id()
    handle.close()
    return int(re.search(rf"{ident}: INode .*?FileLock {{ flag: (-?\d+) }}", str(fs)).group(1))


@pytest.mark.parametrize("mode", VALID_MODES)
def test_open_creates_missing_file_in_any_mode(fs, mode):
    handle = fs.open("/new", mode)
    assert fs.listdir("/") == (["new"], [])
    assert handle.id() == 1 and handle.tell() == 0


@pytest.mark.parametrize("mode", ["rr", "ww", "R", "W", "a", "r+", " r", "rwr", "x"])
def test_unrecognized_modes_create_nothing(fs, mode):
    with pytest.raises(ValueError, match="^Unrecognized file mode$"):
        fs.open("/new", mode)
    assert fs.listdir("/") == ([], [])


@pytest.mark.parametrize(
    "path, message",
    [("/d", "The specified INode is not a file"), ("/d/", "The specified INode is not a file"),
     ("/missing/f", "Inode not found"), ("/f/x", "The specified INode is not a directory")],
)
def test_open_failures(fs, path, message):
    fs.mkdir("/d")
    fs.touch("/f")
    with pytest.raises(ValueError, match=f"^{message}$"):
        fs.open(path, "r")


def test_backslash_separates_components(fs):
    fs.mkdir("/d")
    fs.open("\\d\\f", "r").close()
    assert fs.listdir("/d") == (["f"], [])


@pytest.mark.parametrize(
    "mode, read_ok, write_ok",
    [("", False, False), ("r", True, False), ("w", False, True), ("rw", True, True), ("wr", True, True)],
)
def test_mode_permissions(fs, mode, read_ok, write_ok):
    handle = fs.open("/f", mode)
    handle.seek(0, Whence.SEEK_END)
    for name, ok, call in [("read", read_ok, lambda: handle.read(1)), ("write", write_ok, lambda: handle.write(b"x"))]:
        if ok:
            call()
        else:
            with pytest.raises(ValueError, match=f"^File does not support the specified operation: {name}$"):
                call()


def test_readers_and_writers_exclude_each_other(fs):
    first, second = fs.open("/f", "r"), fs.open("/f", "")
    assert first.id() == second.id()
    for mode in ["w", "rw", "wr"]:
        with pytest.raises(ValueError, match=IN_USE):
            fs.open("/f", mode)
    first.close()
    second.close()
    writer = fs.open("/f", "w")
    for mode in VALID_MODES:
        with pytest.raises(ValueError, match=IN_USE):
            fs.open("/f", mode)
    writer.close()
    assert lock_flag(fs) == 0


@pytest.mark.parametrize("mode", VALID_MODES)
def test_open_file_cannot_be_removed(fs, mode):
    fs.mkdir("/d")
    handle = fs.open("/d/f", mode)
    for path, recurse in [("/d/f", False), ("/d", True)]:
        with pytest.raises(ValueError, match=IN_USE):
            fs.remove(path, recurse)
    handle.close()
    fs.remove("/d", True)
    assert fs.listdir("/") == ([], [])


@pytest.mark.parametrize("mode", ["r", "w"])
def test_deallocation_releases_the_lock_once(fs, mode):
    kept = fs.open("/f", "r") if mode == "r" else None
    dropped = fs.open("/f", mode)
    del dropped
    if kept is not None:
        kept.close()
    assert lock_flag(fs) == 0
    fs.open("/f", "w").close()


def test_closed_handle_fails_but_renders(fs):
    handle = fs.open("/f", "rw")
    handle.close()
    for call in [handle.id, handle.tell, handle.close, lambda: handle.read(1),
                 lambda: handle.write(b"x"), lambda: handle.seek(0, Whence.SEEK_SET)]:
        with pytest.raises(ValueError, match=CLOSED):
            call()
    assert str(handle).startswith("FileHandle { id: None, type: FileHandleType(READ | WRITE), fs: FileSystem {")
    assert str(handle).endswith(", offset: 0 }")


def test_write_leaves_offset_and_read_advances(fs):
    handle = fs.open("/f", "rw")
    assert handle.write(b"abc") == 3
    assert handle.tell() == 0
    assert handle.read(10) == b"abc"
    assert handle.tell() == 3
    assert handle.read(10) == b""


def test_writes_overwrite_until_seek_and_extend(fs):
    handle = fs.open("/f", "rw")
    handle.write(b"abc")
    handle.write(b"xy")
    handle.seek(10, Whence.SEEK_SET)
    assert handle.tell() == 3
    handle.write(b"12")
    handle.seek(0, Whence.SEEK_SET)
    assert handle.read(100) == b"xyc12"


@pytest.mark.parametrize(
    "start, offset, whence, expected",
    [
        (0, 100, Whence.SEEK_SET, 10),
        (0, 4, Whence.SEEK_SET, 4),
        (10, 1, Whence.SEEK_CUR, 10),
        (2, 3, Whence.SEEK_CUR, 5),
        (8, 2**64 - 1, Whence.SEEK_CUR, 10),
        (0, 3, Whence.SEEK_END, 7),
        (0, 0, Whence.SEEK_END, 10),
        (5, 11, Whence.SEEK_END, 0),
    ],
)
def test_seek_clamps_and_saturates(fs, start, offset, whence, expected):
    file_with(fs, b"0123456789")
    handle = fs.open("/f", "")
    handle.seek(start, Whence.SEEK_SET)
    assert handle.seek(offset, whence) is None
    assert handle.tell() == expected


def test_read_prints_one_line_on_descriptor_one(fs, capfd):
    file_with(fs, b"abcd")
    handle = fs.open("/f", "r")
    capfd.readouterr()
    assert handle.read(0) == b"" and handle.tell() == 0
    assert handle.read(10) == b"abcd"
    assert handle.read(10) == b""
    assert capfd.readouterr().out == "Read 0 bytes from file\nRead 4 bytes from file\nRead 0 bytes from file\n"
    with pytest.raises(ValueError):
        fs.open("/g", "w").read(1)
    assert capfd.readouterr().out == ""


class Index:
    """Converts to an int through __index__ but is not one."""

    def __index__(self):
        return 1


class Size(enum.IntEnum):
    ONE = 1


@pytest.mark.parametrize(
    "size, exc",
    [(2**63, OverflowError), (2**64, OverflowError),
     (-1, OverflowError), ("1", TypeError), (1.0, TypeError), (Index(), TypeError)],
)
def test_read_size_errors_leave_handle_usable(fs, size, exc):
    file_with(fs, b"abc")
    handle = fs.open("/f", "r")
    with pytest.raises(exc):
        handle.read(size)
    assert handle.read(3) == b"abc"


@settings(max_examples=200)
@given(data=st.binary(max_size=40), offset=st.integers(0, 50),
       size=st.one_of(st.integers(0, 60), st.integers(0, 2**63 - 1)))
def test_read_returns_what_remains_for_any_size(data, offset, size):
    """A request past the end allocates only what the file holds, up to the largest size."""
    fs = ovaline.PyFs()
    file_with(fs, data)
    handle = fs.open("/f", "r")
    handle.seek(offset, Whence.SEEK_SET)
    start = handle.tell()
    assert handle.read(size) == data[start : start + size]
    assert handle.tell() == min(len(data), start + size)


@pytest.mark.parametrize(
    "call, exc",
    [(lambda h: h.write(bytearray(b"x")), TypeError), (lambda h: h.write("x"), TypeError),
     (lambda h: h.write(memoryview(b"x")), TypeError), (lambda h: h.seek(0, 0), TypeError),
     (lambda h: h.seek(-1, Whence.SEEK_SET), OverflowError), (lambda h: h.seek(0, None), TypeError),
     (lambda h: h.seek(Index(), Whence.SEEK_SET), TypeError)],
)
def test_argument_kinds(fs, call, exc):
    handle = fs.open("/f", "rw")
    with pytest.raises(exc):
        call(handle)
    assert handle.tell() == 0 and handle.read(10) == b""


@pytest.mark.parametrize("one", [1, True, Size.ONE], ids=["int", "bool", "IntEnum"])
def test_int_subclasses_are_sizes(fs, one):
    file_with(fs, b"abc")
    handle = fs.open("/f", "r")
    assert handle.read(one) == b"a"
    handle.seek(one, Whence.SEEK_CUR)
    assert handle.tell() == 2


def test_whence_instance_error_names_the_class(fs):
    with pytest.raises(TypeError, match="whence.*Whence"):
        fs.open("/f", "").seek(0, 0)


@pytest.mark.parametrize("member, value", [(Whence.SEEK_SET, 0), (Whence.SEEK_CUR, 1), (Whence.SEEK_END, 2)])
def test_whence_members(member, value):
    name = ["SEEK_SET", "SEEK_CUR", "SEEK_END"][value]
    assert getattr(Whence, name) is member
    assert repr(member) == str(member) == f"Whence.{name}"
    assert int(member) == value
    assert member == value and value == member and not (member != value)
    assert member != value + 1
    assert (member == True) is (value == 1)  # noqa: E712, bool is an int
    others = [m for m in (Whence.SEEK_SET, Whence.SEEK_CUR, Whence.SEEK_END) if m is not member]
    assert member == member and all(member != other for other in others)
    assert member != "SEEK" and member != 2**70 and member != float(value)


@pytest.mark.parametrize("compare", [lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b])
def test_whence_has_no_order_and_no_hash(compare):
    with pytest.raises(TypeError):
        compare(Whence.SEEK_SET, Whence.SEEK_END)
    with pytest.raises(TypeError):
        hash(Whence.SEEK_SET)


def test_context_manager(fs):
    with fs.open("/f", "w") as handle:
        assert isinstance(handle, ovaline.PyFileHandle)
        handle.write(b"x")
    with pytest.raises(ValueError, match=CLOSED):
        handle.tell()
    with fs.open("/f", "w") as handle:
        handle.close()
    with pytest.raises(KeyError):
        with fs.open("/f", "w") as handle:
            raise KeyError("body")
    assert lock_flag(fs) == 0
