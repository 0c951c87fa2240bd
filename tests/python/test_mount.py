"""PyFs.mount: real programs are the oracle for what they see through the mount, and the
same steps through PyFs's own methods on a second tree for what they leave behind."""

from __future__ import annotations

import ctypes
import errno
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import ovaline

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or not os.path.exists("/dev/fuse"), reason="mounting needs root and /dev/fuse"
)

TIMEOUT = 60


def mounted_at(path):
    path = os.path.realpath(path)
    with open("/proc/self/mountinfo") as info:
        return any(line.split()[4] == path for line in info)


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def run(*args, cwd=None, check=True, **kwargs):
    return subprocess.run(args, cwd=cwd, check=check, capture_output=True, timeout=TIMEOUT, **kwargs)


@pytest.fixture
def where(tmp_path):
    point = tmp_path / "mnt"
    point.mkdir()
    yield str(point)
    assert not mounted_at(point), "a mount was left behind"


@pytest.fixture
def tree(where):
    fs = ovaline.PyFs()
    with fs.mount(where) as mount:
        yield fs, mount
    assert not mount.mounted


def test_one_tree_three_ways_in(tree):
    fs, mount = tree
    fs.write_bytes("/in.txt", b"from python\n")
    assert run("cat", f"{mount.path}/in.txt").stdout == b"from python\n"
    run("sh", "-c", "tr a-z A-Z < in.txt > out.txt && echo more >> out.txt", cwd=mount.path)
    assert fs.read_bytes("/out.txt") == b"FROM PYTHON\nmore\n"
    assert os.stat(f"{mount.path}/out.txt").st_mtime_ns == fs.stat("/out.txt").mtime_ns
    assert os.stat(f"{mount.path}/out.txt").st_ino == fs.stat("/out.txt").id + 1
    fs.remove("/in.txt", False)
    assert sorted(os.listdir(mount.path)) == ["out.txt"]
    assert "mounted=True" in repr(mount) and repr(mount.path) in repr(mount)


def test_git_commits_inside_the_mount(tree):
    fs, mount = tree
    for i in range(30):
        fs.makedirs(f"/src/pkg{i % 3}", exist_ok=True)
        fs.write_text(f"/src/pkg{i % 3}/m{i}.py", f"VALUE = {i}\n" * (i + 1))
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "-c", "init.defaultBranch=main"]
    run(*git, "init", "-q", cwd=mount.path)
    run(*git, "add", ".", cwd=mount.path)
    run(*git, "commit", "-q", "-m", "first", cwd=mount.path)
    fs.write_text("/src/pkg0/m0.py", "VALUE = 'changed'\n")
    assert run("git", "status", "--porcelain", cwd=mount.path).stdout == b" M src/pkg0/m0.py\n"
    run(*git, "commit", "-qam", "second", cwd=mount.path)
    run("git", "fsck", "--strict", cwd=mount.path)
    assert run("git", "show", "HEAD~1:src/pkg1/m4.py", cwd=mount.path).stdout == b"VALUE = 4\n" * 5
    assert fs.exists("/.git/HEAD") and not fs.exists("/.git/index.lock")


def test_tar_of_the_mount_equals_tar_of_an_export(tree, tmp_path):
    fs, mount = tree
    rng = random.Random(7)
    for d in range(4):
        fs.makedirs(f"/d{d}/sub", exist_ok=True)
        for f in range(5):
            fs.write_bytes(f"/d{d}/sub/f{f}", rng.randbytes(rng.randrange(0, 70000)))
    fs.touch("/empty")
    exported = tmp_path / "export"
    exported.mkdir()
    fs.export_to(str(exported))
    flags = ["--sort=name", "--mtime=@0", "--owner=0", "--group=0", "--numeric-owner", "--mode=a=rX,u+w"]
    ours = run("tar", "c", *flags, "-C", mount.path, ".").stdout
    theirs = run("tar", "c", *flags, "-C", str(exported), ".").stdout
    assert ours == theirs


def test_compileall_and_cp_both_ways(tree, tmp_path):
    fs, mount = tree
    source = tmp_path / "source"
    (source / "pkg").mkdir(parents=True)
    for i in range(20):
        (source / "pkg" / f"mod{i}.py").write_text(f"def f():\n    return {i}\n")
    run("cp", "-a", str(source), f"{mount.path}/copy")
    run(sys.executable, "-m", "compileall", "-q", f"{mount.path}/copy")
    assert len(fs.glob("/copy/pkg/__pycache__/*.pyc")) == 20
    back = tmp_path / "back"
    run("cp", "-a", f"{mount.path}/copy", str(back))
    run("diff", "-r", "-x", "__pycache__", str(source), str(back))
    imported = run(sys.executable, "-c", "import pkg.mod7; print(pkg.mod7.f())", cwd=f"{mount.path}/copy")
    assert imported.stdout == b"7\n"


def test_find_newer_follows_mtimes(tree):
    fs, mount = tree
    fs.write_bytes("/old", b"1")
    fs.write_bytes("/ref", b"2")
    fs.write_bytes("/new", b"3")
    base = fs.stat("/ref").mtime_ns
    os.utime(f"{mount.path}/old", ns=(base - 10**9, base - 10**9))
    os.utime(f"{mount.path}/new", ns=(base + 10**9, base + 10**9))
    assert fs.stat("/old").mtime_ns == base - 10**9
    os.utime(f"{mount.path}/ref", ns=(0, -1_500_000_000))
    assert os.stat(f"{mount.path}/ref").st_mtime_ns == fs.stat("/ref").mtime_ns == -1_500_000_000
    os.utime(f"{mount.path}/ref", ns=(base, base))
    found = run("find", ".", "-type", "f", "-newer", "ref", cwd=mount.path).stdout
    assert found == b"./new\n"
    before = fs.stat("/").mtime_ns
    os.rename(f"{mount.path}/old", f"{mount.path}/older")
    assert fs.stat("/").mtime_ns > before and fs.stat("/older").mtime_ns > base


def test_clone_keeps_mtimes():
    fs = ovaline.PyFs()
    fs.write_bytes("/f", b"x")
    assert fs.clone().stat("/f").mtime_ns == fs.stat("/f").mtime_ns


# One step on the mount through os and on a plain tree through PyFs's methods; both
# must fail or succeed alike, with the same errno where both speak os's language.
def step_os(root, op, a, b, data):
    p, q = root + a, root + b
    if op == "write":
        with open(p, "wb") as f:
            f.write(data)
    elif op == "append":
        with open(p, "ab") as f:
            f.write(data)
    elif op == "truncate":
        os.truncate(p, len(data))
    elif op == "rename":
        os.rename(p, q)
    elif op == "mkdir":
        os.mkdir(p)
    elif op == "rmdir":
        os.rmdir(p)
    elif op == "unlink":
        os.unlink(p)
    elif op == "listdir":
        return sorted(os.listdir(p))
    elif op == "size":
        return os.stat(p).st_size
    return None


def step_fs(fs, op, a, b, data):
    if op == "write":
        fs.write_bytes(a, data)
    elif op in ("append", "truncate"):
        with fs.open_io(a, "ab" if op == "append" else "r+b") as f:
            f.write(data) if op == "append" else f.truncate(len(data))
    elif op == "rename":
        fs.rename(a, b, replace=True)
    elif op == "mkdir":
        fs.mkdir(a)
    elif op in ("rmdir", "unlink"):
        if fs.exists(a) and fs.is_dir(a) != (op == "rmdir"):
            raise OSError(errno.EISDIR if op == "unlink" else errno.ENOTDIR, a)
        fs.remove(a, False)
    elif op == "listdir":
        files, dirs = fs.listdir(a)
        return sorted(files + dirs)
    elif op == "size":
        return fs.stat(a).size
    return None


def outcome(call):
    try:
        return ("ok", call())
    except OSError as e:
        return ("err", e.errno)
    except ValueError:
        return ("err", None)


def snapshot(fs):
    found = {}
    for top, dirs, files in fs.walk("/"):
        for name in dirs:
            found[f"{top.rstrip('/')}/{name}"] = None
        for name in files:
            found[f"{top.rstrip('/')}/{name}"] = fs.read_bytes(f"{top.rstrip('/')}/{name}")
    return found


def test_random_steps_leave_the_same_tree(tree):
    fs, mount = tree
    plain = ovaline.PyFs()
    rng = random.Random(20261209)
    names = ["a", "b", "c"]
    ops = ["write", "append", "truncate", "rename", "mkdir", "rmdir", "unlink", "listdir", "size"]
    for step in range(400):
        op = rng.choice(ops)
        a = "/" + "/".join(rng.choice(names) for _ in range(rng.randint(1, 3)))
        b = "/" + "/".join(rng.choice(names) for _ in range(rng.randint(1, 2)))
        data = rng.randbytes(rng.randrange(0, 3000))
        through_mount = outcome(lambda: step_os(mount.path, op, a, b, data))
        direct = outcome(lambda: step_fs(plain, op, a, b, data))
        context = (step, op, a, b, through_mount, direct)
        assert through_mount[0] == direct[0], context
        if through_mount[0] == "ok" or None not in (through_mount[1], direct[1]):
            assert through_mount == direct, context
    assert snapshot(fs) == snapshot(plain)


def fs_view(fs):
    found = {}
    for top, dirs, files in fs.walk("/"):
        for name in dirs + files:
            path = f"{top.rstrip('/')}/{name}"
            info = fs.stat(path)
            found[path] = (name in dirs, info.size, info.mtime_ns)
    return found


def seen_through(root, path):
    try:
        info = os.stat(root + path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return (stat.S_ISDIR(info.st_mode), info.st_size, info.st_mtime_ns)


def test_python_changes_are_seen_through_the_mount_at_once(tree):
    # The kernel keeps names and attributes it has seen; each step changes from Python
    # what it has just seen, and looking again by name, without listing a directory
    # first (which would refresh it anyway), must find the change.
    fs, mount = tree
    rng = random.Random(5)
    names = ["a", "b", "c"]
    seen = set()
    for step in range(300):
        a = "/" + "/".join(rng.choice(names) for _ in range(rng.randint(1, 3)))
        b = "/" + "/".join(rng.choice(names) for _ in range(rng.randint(1, 2)))
        op = rng.choice(["write", "append", "truncate", "rename", "mkdir", "remove", "utime"])
        if op == "remove":
            outcome(lambda: fs.remove(a, True))
        elif op == "utime":
            outcome(lambda: os.utime(mount.path + a, ns=(step, step)))
        else:
            outcome(lambda: step_fs(fs, op, a, b, rng.randbytes(50)))
        expected = fs_view(fs)
        for path in sorted(seen | expected.keys()):
            assert seen_through(mount.path, path) == expected.get(path), (step, op, a, b, path)
        seen |= expected.keys()
        assert sorted(os.listdir(mount.path)) == sorted(p[1:] for p in expected if p.count("/") == 1)


def test_the_file_lock_holds_through_the_mount(tree):
    fs, mount = tree
    fs.write_bytes("/f", b"data")
    path = f"{mount.path}/f"
    with open(path, "rb") as reader, open(path, "rb") as second:
        assert reader.read() == second.read() == b"data"
        with pytest.raises(OSError) as refused:
            open(path, "wb")
        assert refused.value.errno == errno.EBUSY
        with pytest.raises(OSError):
            fs.write_bytes("/f", b"x")
    with open(path, "r+b") as writer:
        writer.write(b"DA")
        with pytest.raises(OSError) as refused:
            open(path, "rb")
        assert refused.value.errno == errno.EBUSY
        with pytest.raises(OSError) as refused:
            os.unlink(path)
        assert refused.value.errno == errno.EBUSY
    # A close is seen at once: no wait for the kernel's later release.
    for i in range(50):
        with open(path, "wb") as f:
            f.write(b"%d" % i)
        assert fs.read_bytes("/f") == b"%d" % i
    run("sh", "-c", f"exec 3>{path}; echo one >&3; exec 3>&-; echo two > {path}")
    assert fs.read_bytes("/f") == b"two\n"


def test_limits_are_enospc(where):
    fs = ovaline.PyFs.limited(max_bytes=10_000, max_inodes=4)
    with fs.mount(where):
        with open(f"{where}/f", "wb", buffering=0) as f:
            f.write(b"x" * 9000)
            with pytest.raises(OSError) as full:
                f.write(b"y" * 2000)
        assert full.value.errno == errno.ENOSPC
        os.mkdir(f"{where}/d")
        os.mkdir(f"{where}/e")
        with pytest.raises(OSError) as full:
            os.mkdir(f"{where}/g")
        assert full.value.errno == errno.ENOSPC
        assert os.statvfs(where).f_bfree == (10_000 - 9000) // 4096


def test_what_the_tree_cannot_hold_is_refused_clearly(tree):
    fs, mount = tree
    root = mount.path
    for make, number in [
        (lambda: open(f"{root}/back\\slash", "wb"), errno.EINVAL),
        (lambda: os.mkfifo(f"{root}/fifo"), errno.EPERM),
        (lambda: os.symlink("x", f"{root}/link"), errno.EPERM),
        (lambda: os.link(f"{root}/f", f"{root}/hard"), errno.EPERM),
    ]:
        fs.write_bytes("/f", b"")
        with pytest.raises(OSError) as refused:
            make()
        assert refused.value.errno == number
    fs.mkdir("/d")
    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = libc.renameat2
    at_cwd, exchange, noreplace = -100, 2, 1
    assert renameat2(at_cwd, f"{root}/f".encode(), at_cwd, f"{root}/d".encode(), exchange) == -1
    assert ctypes.get_errno() == errno.EINVAL
    fs.write_bytes("/g", b"g")
    assert renameat2(at_cwd, f"{root}/f".encode(), at_cwd, f"{root}/g".encode(), noreplace) == -1
    assert ctypes.get_errno() == errno.EEXIST
    os.chmod(f"{root}/f", 0o600)
    os.chown(f"{root}/f", 1234, 1234)
    info = os.stat(f"{root}/f")
    assert (info.st_mode & 0o777, info.st_uid) == (0o644, os.getuid())
    assert os.stat(f"{root}/d").st_mode & 0o777 == 0o755


def test_read_only_mount(where):
    fs = ovaline.PyFs()
    fs.write_bytes("/f", b"kept")
    with fs.mount(where, read_only=True) as mount:
        assert mount.read_only
        assert open(f"{where}/f", "rb").read() == b"kept"
        with pytest.raises(OSError) as refused:
            open(f"{where}/f", "wb")
        assert refused.value.errno == errno.EROFS
        fs.write_bytes("/g", b"from python")
        assert open(f"{where}/g", "rb").read() == b"from python"


@pytest.mark.parametrize(
    "prepare, number",
    [
        (lambda p: os.rmdir(p), errno.ENOENT),
        (lambda p: open(f"{p}/x", "w").close(), errno.ENOTEMPTY),
        (lambda p: (os.rmdir(p), open(p, "w").close()), errno.ENOTDIR),
    ],
    ids=["missing", "not-empty", "a-file"],
)
def test_a_bad_mount_point_is_an_oserror(where, prepare, number):
    prepare(where)
    with pytest.raises(OSError) as refused:
        ovaline.PyFs().mount(where)
    assert (refused.value.errno, refused.value.filename) == (number, where)
    if os.path.isdir(where):
        shutil.rmtree(where)
    elif os.path.exists(where):
        os.unlink(where)
    os.mkdir(where)


def test_without_dev_fuse_mounting_is_an_oserror_and_the_rest_works(where):
    # A private /dev without fuse in it, in a mount namespace of its own.
    script = textwrap.dedent(f"""
        import ovaline
        fs = ovaline.PyFs()
        try:
            fs.mount({where!r})
        except OSError as e:
            print(e.errno, e.filename)
        fs.write_bytes("/f", b"still works")
        print(fs.read_bytes("/f").decode())
    """)
    shell = 'mount -t tmpfs none /dev && exec "$0" -c "$1"'
    result = run("unshare", "--mount", "--propagation", "private", "sh", "-c", shell, sys.executable, script)
    assert result.stdout.decode().splitlines() == [f"{errno.ENOENT} /dev/fuse", "still works"]


def test_a_relative_mount_point_is_unmounted_wherever_the_process_is_then(where, monkeypatch):
    monkeypatch.chdir(os.path.dirname(where))
    mount = ovaline.PyFs().mount(os.path.basename(where))
    assert mount.path == os.path.realpath(where)
    monkeypatch.chdir("/")
    mount.unmount()
    assert not mounted_at(where)


def test_unmount_is_idempotent_and_leaks_nothing(where):
    fds_before = len(os.listdir("/proc/self/fd"))
    threads_before = len(os.listdir("/proc/self/task"))
    for _ in range(5):
        mount = ovaline.PyFs().mount(where)
        assert mounted_at(where)
        mount.unmount()
        mount.unmount()
        assert not mounted_at(where) and not mount.mounted
    ovaline.PyFs().mount(where)  # dropped at once
    assert not mounted_at(where)
    assert len(os.listdir("/proc/self/fd")) == fds_before
    # Other tests' helper threads may have ended meanwhile; none of the mount's is left.
    assert len(os.listdir("/proc/self/task")) <= threads_before


def test_interpreter_exit_unmounts(where):
    script = f"import ovaline; mount = ovaline.PyFs().mount({where!r}); print(mount.mounted)"
    assert run(sys.executable, "-c", script).stdout == b"True\n"
    assert not mounted_at(where)


def test_a_mount_unmounted_by_hand_says_so(where):
    mount = ovaline.PyFs().mount(where)
    run("umount", where)
    assert wait_until(lambda: not mount.mounted)
    mount.unmount()
    assert not mounted_at(where)


def test_a_busy_mount_goes_and_its_user_gets_an_error(where):
    fs = ovaline.PyFs()
    fs.write_bytes("/f", b"x" * 100)
    mount = fs.mount(where)
    held = open(f"{where}/f", "rb")
    mount.unmount()
    assert not mounted_at(where)
    with pytest.raises(OSError) as cut:
        held.read()
    assert cut.value.errno == errno.ENOTCONN
    with pytest.raises(OSError):
        held.close()
    assert fs.read_bytes("/f") == b"x" * 100  # its claim was given back


@pytest.mark.parametrize("forked", [False, True], ids=["alone", "with-a-forked-child"])
def test_a_killed_owner_leaves_no_program_hanging(where, forked):
    # A child forked by the owner outlives it here: it must not keep the mount alive.
    owner = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import os, sys, time, ovaline
            fs = ovaline.PyFs()
            fs.write_bytes("/f", b"x" * 1000)
            mount = fs.mount({where!r})
            if {forked!r} and os.fork() == 0:
                os.setsid()
                time.sleep(20)
                os._exit(0)
            print("ready", flush=True)
            time.sleep(600)
        """)],
        stdout=subprocess.PIPE,
    )
    try:
        assert owner.stdout.readline() == b"ready\n"
        # Stopped, the owner answers nothing: cat waits in the kernel until the owner dies.
        owner.send_signal(signal.SIGSTOP)
        assert wait_until(lambda: state_of(owner.pid) == "T")
        cat = subprocess.Popen(["cat", f"{where}/f"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        assert wait_until(lambda: state_of(cat.pid) in ("S", "D"))
        owner.kill()
        owner.wait(timeout=TIMEOUT)
        started = time.monotonic()
        assert cat.wait(timeout=2) != 0
        assert time.monotonic() - started < 2
    except BaseException:
        # Nothing left behind by a failure before the mount below detaches it.
        owner.kill()
        owner.wait(timeout=TIMEOUT)
        run("umount", "-l", where, check=False)
        raise
    # The dead mount is detached by the next one at the same place.
    fs = ovaline.PyFs()
    fs.write_bytes("/again", b"yes")
    with fs.mount(where):
        assert open(f"{where}/again", "rb").read() == b"yes"
    assert not mounted_at(where)


def test_a_forked_child_leaves_the_parents_mount_alone(where):
    script = textwrap.dedent(f"""
        import os, sys, ovaline
        fs = ovaline.PyFs()
        mount = fs.mount({where!r})
        pid = os.fork()
        if pid == 0:
            fs.write_bytes("/from-child", b"not seen by the parent")
            del mount
            fs.write_bytes("/from-child", b"its mount gone, the tree still works")
            sys.exit(0)
        os.waitpid(pid, 0)
        fs.write_bytes("/f", b"still served")
        print(open({where!r} + "/f").read(), mount.mounted)
    """)
    assert run(sys.executable, "-c", script).stdout == b"still served True\n"
    assert not mounted_at(where)


def state_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def test_a_flood_through_the_mount_does_not_stall_python(tree):
    fs, mount = tree
    fs.makedirs("/many")
    for i in range(200):
        fs.touch(f"/many/f{i}")
    flood = [
        subprocess.Popen(
            ["sh", "-c", f"while :; do ls -l {mount.path}/many > /dev/null; done"],
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        for _ in range(4)
    ]
    try:
        started = time.monotonic()
        for i in range(5000):
            fs.write_bytes(f"/p{i}", b"x")
            fs.stat(f"/p{i}")
        # Generous: the point is that Python never waits on the server.
        assert time.monotonic() - started < 30
    finally:
        for process in flood:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=TIMEOUT)
