import csv
import errno
import gc
import importlib.metadata
import io
import json
import os
import pickle
import zipfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ovaline

IN_USE = "^Resource is currently in use$"


@pytest.fixture
def fs():
    return ovaline.PyFs()


def content(fs, path="/f"):
    with fs.open_io(path, "rb") as f:
        return f.read()


def put(fs, data, path="/f"):
    with fs.open_io(path, "wb") as f:
        f.write(data)


# mode, the mode the object shows (binary layers show the raw one, as open does), layer,
# readable, writable, what writing b"Z" to a file holding b"abc" leaves
MODES = [
    ("r", "r", io.TextIOWrapper, True, False, None),
    ("r+", "r+", io.TextIOWrapper, True, True, b"Zbc"),
    ("w", "w", io.TextIOWrapper, False, True, b"Z"),
    ("w+", "w+", io.TextIOWrapper, True, True, b"Z"),
    ("a", "a", io.TextIOWrapper, False, True, b"abcZ"),
    ("a+", "a+", io.TextIOWrapper, True, True, b"abcZ"),
    ("rb", "rb", io.BufferedReader, True, False, None),
    ("rb+", "rb+", io.BufferedRandom, True, True, b"Zbc"),
    ("wb", "wb", io.BufferedWriter, False, True, b"Z"),
    ("bw+", "rb+", io.BufferedRandom, True, True, b"Z"),
    ("ab", "ab", io.BufferedWriter, False, True, b"abcZ"),
    ("a+b", "ab+", io.BufferedRandom, True, True, b"abcZ"),
    ("xb", "xb", io.BufferedWriter, False, True, None),
    ("xt+", "xt+", io.TextIOWrapper, True, True, None),]


@pytest.mark.parametrize("mode, shown, layer, readable, writable, after", MODES)
def test_modes(fs, mode, shown, layer, readable, writable, after):
    put(fs, b"abc")
    if "x" in mode:
        with pytest.raises(FileExistsError):
            fs.open_io("/f", mode)
        with fs.open_io("/new", mode) as f:
            assert (f.readable(), f.writable()) == (readable, writable)
        assert content(fs, "/new") == b""
        return
    with fs.open_io("/f", mode) as f:
        assert type(f) is layer and f.mode == shown and f.name == "/f"
        assert (f.readable(), f.writable()) == (readable, writable)
        if after is not None:
            f.write("Z" if "b" not in mode else b"Z")
            f.seek(0)
        if readable:
            expected = b"abc" if after is None else after
            assert f.read() == (expected if "b" in mode else expected.decode())
    assert content(fs) == (after or b"abc")
    if "r" in mode:
        with pytest.raises(FileNotFoundError):
            fs.open_io("/missing", mode)
        assert fs.listdir("/") == (["f"], [])
    else:
        fs.open_io("/made", mode).close()
        assert "made" in fs.listdir("/")[0]


@pytest.mark.parametrize("mode", ["rb", "wb", "r+b", "ab", "xb"])
def test_unbuffered_binary_is_the_raw_file(fs, mode):
    if "r" in mode:
        put(fs, b"")
    f = fs.open_io("/f", mode, buffering=0)
    assert type(f) is ovaline.PyFs.RawFile and isinstance(f, io.RawIOBase)
    assert f.mode == {"rb": "rb", "wb": "wb", "r+b": "rb+", "ab": "ab", "xb": "xb"}[mode]
    assert repr(f) == f"<ovaline.PyFs.RawFile name='/f' mode='{f.mode}'>"
    f.close()
    assert repr(f) == "<ovaline.PyFs.RawFile [closed]>"


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        (("rw",), {}, ValueError),
        (("rbt",), {}, ValueError),
        (("",), {}, ValueError),
        (("ww",), {}, ValueError),
        (("wq",), {}, ValueError),
        ((1,), {}, TypeError),
        (("wb",), {"encoding": "utf-8"}, ValueError),
        (("wb",), {"errors": "strict"}, ValueError),
        (("wb",), {"newline": ""}, ValueError),
        (("w",), {"buffering": 0}, ValueError),
        (("w",), {"buffering": "big"}, TypeError),
        (("w",), {"newline": "x"}, ValueError),
        (("w",), {"encoding": "no-such-codec"}, LookupError),
        (("w",), {"encoding": 8}, TypeError),
    ],
)
def test_refused_arguments_leave_the_file_alone(fs, args, kwargs, error):
    put(fs, b"abc")
    with pytest.raises(error):
        fs.open_io("/f", *args, **kwargs)
    assert content(fs) == b"abc"
    # Nothing kept the lock either.
    fs.open("/f", "w").close()


def test_python_libraries_read_and_write_through_it(fs):
    with fs.open_io("/data.json", "w") as f:
        json.dump({"a": [1, 2.5, "é"]}, f)
    with fs.open_io("/data.json") as f:
        assert json.load(f) == {"a": [1, 2.5, "é"]}

    rows = [["name", "note"], ["a,b", 'say "hi"'], ["multi\nline", ""]]
    with fs.open_io("/t.csv", "w", newline="") as f:
        csv.writer(f).writerows(rows)
    with fs.open_io("/t.csv", newline="") as f:
        assert list(csv.reader(f)) == rows

    value = {"bytes": bytes(range(256)) * 40, "nested": [(1, 2), {3}]}
    with fs.open_io("/p.pickle", "wb") as f:
        pickle.dump(value, f, protocol=pickle.HIGHEST_PROTOCOL)
    with fs.open_io("/p.pickle", "rb") as f:
        assert pickle.load(f) == value

    with fs.open_io("/z.zip", "wb") as f, zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("a.txt", "alpha" * 1000)
        z.writestr("dir/b.bin", bytes(range(256)))
    with fs.open_io("/z.zip", "rb") as f, zipfile.ZipFile(f) as z:
        assert z.testzip() is None
        assert z.read("a.txt") == b"alpha" * 1000 and z.read("dir/b.bin") == bytes(range(256))
    # Appending a member rewrites the central directory in place.
    with fs.open_io("/z.zip", "r+b") as f, zipfile.ZipFile(f, "a") as z:
        z.writestr("c.txt", "gamma")
    with fs.open_io("/z.zip", "rb") as f, zipfile.ZipFile(f) as z:
        assert z.namelist() == ["a.txt", "dir/b.bin", "c.txt"]


def test_text_lines_and_iteration(fs):
    put(fs, b"one\r\ntwo\nthree")
    with fs.open_io("/f") as f:
        assert list(f) == ["one\n", "two\n", "three"]
    with fs.open_io("/f", newline="") as f:
        assert f.readlines() == ["one\r\n", "two\n", "three"]
    with fs.open_io("/f", "rb", buffering=0) as raw:
        assert list(raw) == [b"one\r\n", b"two\n", b"three"]


class FileModel(io.BytesIO):
    """io.BytesIO with a file's two differences: truncate lengthens with zeros, and a
    seek to before the start is refused instead of clamped."""

    def truncate(self, size=None):
        size = self.tell() if size is None else size
        length = len(self.getvalue())
        if size <= length:
            return super().truncate(size)
        position = self.tell()
        self.seek(length)
        self.write(bytes(size - length))
        self.seek(position)
        return size

    def seek(self, offset, whence=0):
        base = {0: 0, 1: self.tell(), 2: len(self.getvalue())}[whence]
        if base + offset < 0:
            raise OSError(errno.EINVAL, "Invalid argument")
        return super().seek(base + offset)


OPERATIONS = st.one_of(
    st.tuples(st.just("write"), st.binary(max_size=300).map(lambda b: b.replace(b"\0", b"\n"))),
    st.tuples(st.just("read"), st.integers(-1, 300)),
    st.tuples(st.just("readline"), st.integers(-1, 300)),
    st.tuples(st.just("readlines"), st.integers(-1, 300)),
    st.tuples(st.just("seek"), st.tuples(st.integers(-50, 400), st.sampled_from([0, 1, 2]))),
    st.tuples(st.just("truncate"), st.one_of(st.none(), st.integers(0, 400))),
    st.tuples(st.just("readinto"), st.integers(0, 300)),
    st.tuples(st.just("tell"), st.none()),
)


def apply(f, name, arg):
    try:
        if name == "seek":
            return f.seek(*arg)
        if name == "readinto":
            buffer = bytearray(arg)
            return f.readinto(buffer), bytes(buffer)
        if name == "tell":
            return f.tell()
        return getattr(f, name)(arg)
    except (ValueError, OSError):
        return "refused"


@settings(max_examples=300, deadline=None)
@given(st.lists(OPERATIONS, max_size=25))
def test_raw_file_behaves_like_a_file_model(operations):
    fs = ovaline.PyFs()
    model = FileModel()
    with fs.open_io("/f", "w+b", buffering=0) as f:
        for name, arg in operations:
            assert apply(f, name, arg) == apply(model, name, arg), name
        assert f.tell() == model.tell()
    assert content(fs) == model.getvalue()


def test_long_lines_cross_the_read_chunks(fs):
    line = b"x" * 200_000 + b"\n"
    put(fs, line * 2 + b"tail")
    with fs.open_io("/f", "rb", buffering=0) as f:
        assert f.readline(150_000) == b"x" * 150_000
        assert f.readline() == b"x" * 50_000 + b"\n"
        assert f.readlines(1) == [line]
        assert f.readline() == b"tail" and f.readline() == b""


def test_appending_writes_at_the_end_wherever_the_position_is(fs):
    put(fs, b"abc")
    with fs.open_io("/f", "a+b", buffering=0) as f:
        assert f.tell() == 3
        f.seek(0)
        assert f.read(1) == b"a"
        f.write(b"Z")
        assert f.tell() == 4
    assert content(fs) == b"abcZ"


def test_closed_and_unsupported(fs):
    f = fs.open_io("/f", "wb", buffering=0)
    with pytest.raises(io.UnsupportedOperation, match="^File not open for reading$"):
        f.read()
    with pytest.raises(io.UnsupportedOperation):
        f.fileno()
    assert not f.isatty() and f.seekable() and not f.closed
    f.close()
    f.close()
    assert f.closed
    for call in (f.read, f.tell, f.flush, f.readable, lambda: f.write(b"x"), lambda: f.seek(0)):
        with pytest.raises(ValueError, match="^I/O operation on closed file$"):
            call()
    with pytest.raises(ValueError):
        with f:
            pass
    r = fs.open_io("/f", "rb", buffering=0)
    with pytest.raises(io.UnsupportedOperation, match="^File not open for writing$"):
        r.write(b"x")
    with pytest.raises(io.UnsupportedOperation):
        r.truncate(0)
    r.close()


def test_shares_the_file_lock_with_file_handles(fs):
    put(fs, b"abc")
    reader = fs.open_io("/f", "rb")
    second = fs.open("/f", "r")
    with pytest.raises(ValueError, match=IN_USE):
        fs.open("/f", "w")
    # A refused "w" must not have emptied the file in use.
    with pytest.raises(OSError) as info:
        fs.open_io("/f", "w")
    assert info.value.errno == errno.EBUSY
    assert reader.read() == b"abc"
    reader.close()
    second.close()

    writer = fs.open("/f", "w")
    for mode in ("r", "rb", "a", "r+b"):
        with pytest.raises(OSError, match="busy"):
            fs.open_io("/f", mode)
    writer.close()

    text = fs.open_io("/f", "w")
    with pytest.raises(ValueError, match=IN_USE):
        fs.open("/f", "r")
    del text
    gc.collect()
    fs.open("/f", "rw").close()


def test_reads_print_nothing(fs, capfd):
    put(fs, b"abc\n")
    with fs.open_io("/f", "rb", buffering=0) as f:
        f.read(2)
        f.readline()
        f.readinto(bytearray(4))
    with fs.open_io("/f") as f:
        f.read()
    assert capfd.readouterr().out == ""


def test_reprs_and_version(fs):
    fs.mkdir("/d")
    assert repr(fs) == "<ovaline.PyFs with 2 inodes>"
    handle = fs.open("/d/f", "rw")
    handle.write(b"abc")
    handle.seek(2, ovaline.Whence.SEEK_SET)
    assert repr(handle) == "<ovaline.PyFileHandle path='/d/f' mode='rw' offset=2>"
    assert repr(fs) == "<ovaline.PyFs with 3 inodes>"
    handle.close()
    assert repr(handle) == "<ovaline.PyFileHandle [closed] mode='rw'>"
    assert str(handle).startswith("FileHandle { id: None")
    assert ovaline.__version__ == importlib.metadata.version("ovaline")


def test_text_seek_and_tell_round_trip(fs):
    with fs.open_io("/f", "w+", encoding="utf-8") as f:
        f.write("héllo\nwörld\n")
        f.seek(0)
        f.readline()
        mark = f.tell()
        assert f.readline() == "wörld\n"
        f.seek(mark)
        assert f.read() == "wörld\n"
        f.seek(0, os.SEEK_END)
        f.write("!")
    assert content(fs) == "héllo\nwörld\n!".encode()
