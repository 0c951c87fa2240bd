"""Whole trees: clones, real directories, and a session's home."""

import errno
import hashlib
import os
import pathlib
import pwd
import stat
import threading

import pytest
from session_support import needs_host, open_session, read_until

import ovaline


def build(fs):
    """A small tree with nested, empty and binary entries; returns its contents."""
    fs.mkdir("/d")
    fs.mkdir("/d/empty")
    fs.mkdir("/d/sub")
    fs.write_bytes("/d/sub/bin", bytes(range(256)))
    fs.write_bytes("/d/top.txt", b"top")
    fs.touch("/d/zero")
    return {"/d/sub/bin": bytes(range(256)), "/d/top.txt": b"top", "/d/zero": b""}


def real_tree(root):
    """Every entry below `root`: directories as None, files as their bytes."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for name in dirnames:
            out[os.path.normpath(os.path.join(rel, name))] = None
        for name in filenames:
            out[os.path.normpath(os.path.join(rel, name))] = pathlib.Path(dirpath, name).read_bytes()
    return out


def test_clone_is_an_independent_copy():
    fs = ovaline.PyFs()
    contents = build(fs)
    copy = fs.clone()
    assert type(copy) is ovaline.PyFs
    assert str(copy) == str(fs)
    copy.write_bytes("/d/top.txt", b"changed")
    fs.remove("/d/sub", True)
    copy.mkdir("/only-in-copy")
    assert fs.read_bytes("/d/top.txt") == b"top"
    assert copy.read_bytes("/d/sub/bin") == contents["/d/sub/bin"]
    assert fs.listdir("/") == ([], ["d"])
    assert sorted(copy.listdir("/")[1]) == ["d", "only-in-copy"]


def test_export_then_import_round_trips(tmp_path):
    fs = ovaline.PyFs()
    contents = build(fs)
    fs.export_to(tmp_path, src="/d")
    assert real_tree(tmp_path) == {
        "empty": None,
        "sub": None,
        "sub/bin": contents["/d/sub/bin"],
        "top.txt": b"top",
        "zero": b"",
    }
    assert stat.S_IMODE(os.stat(tmp_path / "sub").st_mode) == 0o700
    assert stat.S_IMODE(os.stat(tmp_path / "top.txt").st_mode) == 0o600

    back = ovaline.PyFs()
    back.mkdir("/in")
    back.import_from(str(tmp_path), dst="/in")
    for path, data in contents.items():
        assert back.read_bytes(path.replace("/d", "/in", 1)) == data
    assert back.listdir("/in/empty") == ([], [])


def test_failures_raise_oserror_and_change_nothing(tmp_path):
    fs = ovaline.PyFs()
    build(fs)
    (tmp_path / "taken").write_bytes(b"x")
    with pytest.raises(OSError) as caught:
        fs.export_to(tmp_path)
    assert (caught.value.errno, caught.value.filename) == (errno.ENOTEMPTY, str(tmp_path))
    with pytest.raises(FileNotFoundError):
        fs.export_to(tmp_path / "missing")
    with pytest.raises(TypeError):
        fs.export_to(bytes(tmp_path))  # type: ignore[arg-type]
    with pytest.raises(FileNotFoundError):
        fs.export_to(tmp_path / "taken", src="/nope")

    # A name the host cannot hold is refused, by its path in the tree, before anything
    # is written.
    os.mkdir(tmp_path / "out")
    for name, code in (("only\0hidden", errno.EINVAL), ("n" * 256, errno.ENAMETOOLONG)):
        bad = ovaline.PyFs()
        bad.mkdir("/a")
        bad.touch("/a/" + name)
        with pytest.raises(OSError) as caught:
            bad.export_to(tmp_path / "out")
        assert (caught.value.errno, caught.value.filename) == (code, "/a/" + name)
        assert os.listdir(tmp_path / "out") == []

    # A link to a directory outside is refused on the way in, not followed.
    os.mkdir(tmp_path / "inner")
    os.symlink(tmp_path / "inner", tmp_path / "via")
    with pytest.raises(OSError) as caught:
        fs.import_from(tmp_path / "via")
    assert caught.value.errno == errno.ELOOP

    # Each kind that is not a regular file or a directory is named in the error, and the
    # import adds nothing even though other entries were read first.
    before = str(fs)
    os.remove(tmp_path / "via")
    for make, code in ((os.mkfifo, errno.EINVAL), (lambda p: os.symlink("/etc/passwd", p), errno.ELOOP)):
        bad = tmp_path / "inner" / "bad"
        make(bad)
        with pytest.raises(OSError) as caught:
            fs.import_from(tmp_path)
        assert (caught.value.errno, caught.value.filename) == (code, str(bad))
        os.remove(bad)
        assert str(fs) == before
    # A name that is already there refuses the whole tree.
    fs.touch("/taken")
    with pytest.raises(FileExistsError):
        fs.import_from(tmp_path)
    assert fs.listdir("/") == (["taken"], ["d"])


def test_limits_hold_for_clones_and_imports(tmp_path):
    fs = ovaline.PyFs.limited(max_bytes=300, max_inodes=8)
    build(fs)
    copy = fs.clone()
    assert copy.usage() == fs.usage()
    with pytest.raises(OSError) as caught:
        copy.write_bytes("/more", bytes(100))
    assert caught.value.errno == errno.ENOSPC
    # A file too big for what is left is refused before it is read whole.
    (tmp_path / "big").write_bytes(bytes(1 << 20))
    with pytest.raises(OSError) as caught:
        fs.import_from(tmp_path)
    assert caught.value.errno == errno.ENOSPC
    assert fs.usage() == copy.usage()
    # So is a tree with more entries than there is room for.
    os.remove(tmp_path / "big")
    for i in range(3):
        (tmp_path / str(i)).touch()
    with pytest.raises(OSError) as caught:
        fs.import_from(tmp_path)
    assert caught.value.errno == errno.ENOSPC
    assert fs.usage() == copy.usage()


@pytest.mark.skipif(os.geteuid() != 0, reason="giving files away needs root")
def test_export_gives_everything_to_the_owner(tmp_path):
    fs = ovaline.PyFs()
    build(fs)
    fs.export_to(tmp_path, owner="nobody")
    nobody = pwd.getpwnam("nobody")
    for dirpath, dirnames, filenames in os.walk(tmp_path):
        for name in dirnames + filenames:
            info = os.lstat(os.path.join(dirpath, name))
            assert (info.st_uid, info.st_gid) == (nobody.pw_uid, nobody.pw_gid)
    with pytest.raises(LookupError, match="No such user"):
        fs.export_to(tmp_path / "d", owner="no-such-user-here")


def shell(session, pid, command):
    """Runs a command in the session's shell and returns what the terminal shows."""
    session.write(command.encode() + b'; echo "<<$((6*7))>>"\n')
    return read_until(session, b"<<42>>", pid).decode().replace("\r", "")


@needs_host
def test_push_and_pull_through_the_home(pool):
    session, pid = open_session(pool)
    with session:
        fs = ovaline.PyFs()
        contents = build(fs)
        session.push(fs, src="/d")
        # The shell sees the files as its own.
        out = shell(session, pid, f"cd {session.home} && cat top.txt && stat -c %U sub/bin")
        assert f"top{session.user}\n" in out
        shell(session, pid, "mkdir made && echo from-shell > made/note")
        back = ovaline.PyFs()
        back.mkdir("/home")
        session.pull(back, dst="/home")
        assert back.read_bytes("/home/made/note") == b"from-shell\n"
        assert back.read_bytes("/home/sub/bin") == contents["/d/sub/bin"]
        # Paths inside the home, relative or absolute; never outside it.
        sub = ovaline.PyFs()
        session.pull(sub, src=session.home + "/made")
        assert sub.listdir("/") == (["note"], [])
        session.push(sub, dst="sub")
        assert back.read_bytes("/home/made/note") == b"from-shell\n"
        for outside in ("..", "sub/../..", "/etc"):
            with pytest.raises(ValueError, match="Not inside"):
                session.pull(ovaline.PyFs(), src=outside)
        # A second push of the same names fails and leaves the first in place.
        with pytest.raises(FileExistsError):
            session.push(fs, src="/d")
        assert "top" in shell(session, pid, "cat top.txt")
    with pytest.raises(ValueError, match="closed"):
        session.pull(ovaline.PyFs())


@needs_host
def test_hostile_account_never_reaches_outside(pool):
    """The account swaps its entries for links to /etc/shadow and /etc in a loop while
    we push and pull: nothing outside the home is read or written."""
    with open("/etc/shadow", "rb") as f:
        shadow = f.read()
    shadow_stat = os.stat("/etc/shadow")
    etc_names = set(os.listdir("/etc"))
    session, pid = open_session(pool)
    with session:
        session.write(
            f"cd {session.home} && while :".encode() + b"; do ln -sfn /etc/shadow .f; mv -Tf .f file; "
            b"echo plain > .p; mv -Tf .p file; ln -sfn /etc .d; mv -Tf .d dir; "
            b"rm -rf dir; mkdir dir; done >/dev/null 2>&1 &\n"
        )
        fs = ovaline.PyFs()
        fs.write_bytes("/file", b"OURS")
        fs.mkdir("/dir")
        fs.write_bytes("/dir/shadow", b"OURS")
        pulled = 0
        for _ in range(200):
            target = ovaline.PyFs()
            try:
                session.pull(target)
                pulled += 1
            except (OSError, ValueError):
                continue
            files, _ = target.listdir("/")
            if "file" in files:
                assert target.read_bytes("/file") != shadow
            try:
                session.push(fs)
            except OSError:
                pass
        assert pulled > 0
    with open("/etc/shadow", "rb") as f:
        assert f.read() == shadow
    after = os.stat("/etc/shadow")
    assert (after.st_mtime_ns, after.st_uid, after.st_mode) == (
        shadow_stat.st_mtime_ns,
        shadow_stat.st_uid,
        shadow_stat.st_mode,
    )
    assert set(os.listdir("/etc")) == etc_names
