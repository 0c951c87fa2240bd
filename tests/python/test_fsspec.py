"""The fsspec filesystem over a PyFs: fsspec's shared suite, then what it leaves out."""

import errno
import posixpath
import subprocess
import sys

import fsspec
import pytest
from fsspec.tests.abstract import (
    AbstractCopyTests,
    AbstractFixtures,
    AbstractGetTests,
    AbstractOpenTests,
    AbstractPipeTests,
    AbstractPutTests,
)

import ovaline
from ovaline_fsspec import OvalineFileSystem


class OvalineFixtures(AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return fsspec.filesystem("ovaline", fs=ovaline.PyFs())

    @pytest.fixture
    def fs_join(self):
        return posixpath.join

    @pytest.fixture
    def fs_path(self):
        return "/work"


class TestOvalineCopy(AbstractCopyTests, OvalineFixtures):
    pass


class TestOvalineGet(AbstractGetTests, OvalineFixtures):
    pass


class TestOvalineOpen(AbstractOpenTests, OvalineFixtures):
    pass


class TestOvalinePipe(AbstractPipeTests, OvalineFixtures):
    pass


class TestOvalinePut(AbstractPutTests, OvalineFixtures):
    pass


def test_protocol_wraps_the_given_tree():
    assert fsspec.get_filesystem_class("ovaline") is OvalineFileSystem
    one, two = ovaline.PyFs(), ovaline.PyFs()
    # Each instance is the PyFs it was given, never a cached one made for another.
    fsspec.filesystem("ovaline", fs=one).pipe("/a/b.txt", b"one")
    fsspec.filesystem("ovaline", fs=two).pipe("ovaline://a/b.txt", b"two")
    assert (one.read_bytes("/a/b.txt"), two.read_bytes("/a/b.txt")) == (b"one", b"two")
    with fsspec.open("ovaline://a/c.txt", "w", fs=one) as f:
        f.write("text")
    assert one.read_text("/a/c.txt") == "text"
    fs = fsspec.filesystem("ovaline", fs=one)
    assert fs.ls("/a", detail=False) == ["/a/b.txt", "/a/c.txt"]
    assert fs.info("ovaline://a/") == {"name": "/a", "size": 0, "type": "directory", "ino": one.stat("/a").id}
    assert fs.find("/") == ["/a/b.txt", "/a/c.txt"]
    assert fs.glob("/a/*.txt") == ["/a/b.txt", "/a/c.txt"]


def test_cat_file_ranges_slice_as_python_does():
    fs = OvalineFileSystem(fs=ovaline.PyFs())
    data = bytes(range(10))
    fs.pipe_file("/f", data)
    for start, end in [(None, None), (2, None), (None, 4), (3, 7), (-3, None), (2, -2), (8, 20), (5, 2)]:
        assert fs.cat_file("/f", start, end) == data[start:end]


def test_mv_moves_files_and_trees():
    fs = OvalineFileSystem(fs=ovaline.PyFs())
    fs.pipe({"/src/a": b"A", "/src/sub/b": b"B"})
    fs.mv("/src/a", "/moved")
    fs.mv("/src/sub", "/tree", recursive=True)
    assert fs.cat("/moved") == b"A" and fs.cat("/tree/b") == b"B"
    assert fs.ls("/src") == []
    assert fs.pyfs.listdir("/") == (["moved"], ["src", "tree"])


def test_touch_creates_and_truncates_only_when_asked():
    fs = OvalineFileSystem(fs=ovaline.PyFs())
    fs.touch("/new/empty", truncate=False)
    fs.pipe_file("/kept", b"data")
    fs.touch("/kept", truncate=False)
    assert (fs.cat("/new/empty"), fs.cat("/kept")) == (b"", b"data")
    fs.touch("/kept")
    assert fs.cat("/kept") == b""
    with pytest.raises(IsADirectoryError):
        fs.touch("/new", truncate=False)


def test_failures_are_builtin_exceptions():
    fs = OvalineFileSystem(fs=ovaline.PyFs(), auto_mkdir=False)
    fs.pipe_file("/file", b"x")
    fs.mkdir("/dir/sub")
    cases = [
        (lambda: fs.info("/nope"), FileNotFoundError),
        (lambda: fs.cat_file("/nope"), FileNotFoundError),
        (lambda: fs.open("/nope/new", "wb"), FileNotFoundError),
        (lambda: fs.open("/dir", "rb"), IsADirectoryError),
        (lambda: fs.mkdir("/dir/sub"), FileExistsError),
        (lambda: fs.makedirs("/file/x"), NotADirectoryError),
        (lambda: fs.rmdir("/file"), NotADirectoryError),
        (lambda: fs.pipe_file("/file", b"y", mode="create"), FileExistsError),
        (lambda: fs.open("/file", "wb", autocommit=False), NotImplementedError),
    ]
    for call, kind in cases:
        with pytest.raises(kind):
            call()
    for call, number in [(lambda: fs.rmdir("/dir"), errno.ENOTEMPTY), (lambda: fs.rm_file("/nope"), errno.ENOENT)]:
        with pytest.raises(OSError) as caught:
            call()
        assert caught.value.errno == number and caught.value.filename in ("/dir", "/nope")
    assert fs.cat_file("/file") == b"x"


@pytest.mark.parametrize(
    "change",
    [
        lambda fs: fs.pipe("/new", b"x"),
        lambda fs: fs.open("/file", "wb"),
        lambda fs: fs.copy("/file", "/copy"),
        lambda fs: fs.touch("/file"),
        lambda fs: fs.mkdir("/dir2"),
        lambda fs: fs.makedirs("/dir2/a"),
        lambda fs: fs.rm("/file"),
        lambda fs: fs.rmdir("/dir/sub"),
        lambda fs: fs.mv("/file", "/moved"),
    ],
)
def test_transactions_refuse_every_change(change):
    tree = ovaline.PyFs()
    fs = OvalineFileSystem(fs=tree)
    fs.pipe_file("/file", b"x")
    fs.mkdir("/dir/sub")
    before = tree.tree("/")
    with pytest.raises(NotImplementedError):
        with fs.transaction:
            change(fs)
    assert tree.tree("/") == before and tree.read_bytes("/file") == b"x"
    fs.pipe_file("/file", b"after")


def test_pandas_round_trips_csv_and_parquet():
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    tree = ovaline.PyFs()
    options = {"fs": tree}
    frame = pd.DataFrame({"name": ["a", "b", "c"], "value": [1.5, 2.0, -3.25]})
    frame.to_csv("ovaline://out/data.csv", index=False, storage_options=options)
    frame.to_parquet("ovaline://out/data.parquet", storage_options=options)
    assert tree.listdir("/out") == (["data.csv", "data.parquet"], [])
    pd.testing.assert_frame_equal(pd.read_csv("ovaline://out/data.csv", storage_options=options), frame)
    pd.testing.assert_frame_equal(pd.read_parquet("ovaline://out/data.parquet", storage_options=options), frame)


def test_a_url_without_a_pyfs_is_refused_with_what_to_pass():
    for make in (
        lambda: fsspec.filesystem("ovaline"),
        lambda: fsspec.open("ovaline://lost.txt", "w").open(),
        lambda: OvalineFileSystem(fs="/not/a/pyfs"),
    ):
        with pytest.raises(TypeError, match=r"pass fs=ovaline\.PyFs\(\)"):
            make()


def test_the_installed_package_is_typed(tmp_path):
    pytest.importorskip("mypy")
    user = tmp_path / "user.py"
    user.write_text(
        "import ovaline\nfrom ovaline_fsspec import OvalineFileSystem\n"
        "tree: ovaline.PyFs = OvalineFileSystem(fs=ovaline.PyFs()).pyfs\n"
    )
    # Outside the source tree, so the installed package (and its py.typed) is what mypy reads.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(user)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
