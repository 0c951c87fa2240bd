import gc
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
import weakref

import pytest

import ovaline
from ovaline import PyTerminalSession, PyUserPool
from session_support import (
    HOME_PARENT,
    account_name,
    assert_reaped,
    child_pids,
    needs_host,
    open_session,
    process_state,
    read_until,
)


def test_class_surface():
    assert ovaline.__all__[-2:] == ["PyUserPool", "PyTerminalSession"]
    assert PyUserPool.__text_signature__ == "()"
    assert PyTerminalSession.__text_signature__ == "(pool)"
    assert PyUserPool.warm.__text_signature__.startswith("($type, count, *, sandbox=False,")
    assert PyTerminalSession.sandbox.__text_signature__ == (
        "($type, pool, *, memory=1073741824, processes=512, cpu=None, disk=1073741824,"
        " host_paths=None, network=False, cpu_seconds=None, address_space=None, file_size=None,"
        " open_files=None)"
    )
    assert PyTerminalSession.read_err.__doc__ == (
        "\nRead data from the stderr of the terminal session.\n"
    )
    assert PyUserPool.__doc__.startswith("\nA class that represents a pool of UNIX users.\n")
    for cls in (PyUserPool, PyTerminalSession):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    pool = PyUserPool()
    assert not hasattr(pool, "__dict__")
    assert not gc.is_tracked(pool)
    with pytest.raises(TypeError):
        weakref.ref(pool)
    with pytest.raises(TypeError):
        PyUserPool(1)


@pytest.mark.parametrize("pool", [None, "pool", ovaline.PyFs()])
def test_constructor_wants_a_pool(pool):
    with pytest.raises(TypeError, match="pool"):
        PyTerminalSession(pool)


@needs_host
def test_command_output_is_read_back(running):
    session, pid = running
    name = account_name(session, pid)
    assert name.startswith("test_") and len(name) == 13
    session.write(b"cd /tmp; pwd; cd -; echo $((2+3))x\n")
    out = read_until(session, b"5x", pid)
    assert b"/tmp" in out


@needs_host
def test_shell_knows_nothing_of_the_callers_directory(pool, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    session, pid = open_session(pool)
    with session:
        session.write(b'echo "[$(pwd)|$OLDPWD]$((1+1))"\n')
        out = read_until(session, b"]2", pid)
    assert b"[/|]2" in out
    assert str(tmp_path).encode() not in out


@needs_host
def test_zero_byte_reads_return_at_once(running):
    session, _ = running
    # Nothing ever arrives on su's own standard error, so only a read that does not
    # wait can return here.
    assert session.read_err(0) == b""
    assert session.read(0) == b""


@needs_host
def test_argument_kinds(running):
    session, _ = running
    with pytest.raises(TypeError, match="data"):
        session.write("text")
    with pytest.raises(TypeError, match="data"):
        session.write(bytearray(b"x"))
    with pytest.raises(OverflowError):
        session.read(-1)
    with pytest.raises(OverflowError):
        session.read_err(2**64)
    with pytest.raises(TypeError):
        session.read(buffer="1")


@needs_host
@pytest.mark.parametrize("size", [2**62, 2**63, 2**64 - 1])
def test_unallocatable_buffer_is_a_memory_error(running, size):
    session, pid = running
    with pytest.raises(MemoryError):
        session.read(size)
    with pytest.raises(MemoryError):
        session.read_err(size)
    assert account_name(session, pid).startswith("test_")


@needs_host
def test_closed_session_errors(pool):
    session, pid = open_session(pool)
    assert session.close() is None
    assert session.close() is None
    assert_reaped(pid)
    calls = [
        (lambda: session.write(b"echo\n"), "Failed to write to terminal session"),
        (lambda: session.write(b""), "Failed to write to terminal session"),
        (lambda: session.read(10), "Failed to read from terminal session"),
        (lambda: session.read(0), "Failed to read from terminal session"),
        (lambda: session.read_err(10), "Failed to read from terminal session"),
    ]
    for call, message in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


@needs_host
def test_home_directory_is_fresh_and_owned(pool):
    session, pid = open_session(pool)
    try:
        name = account_name(session, pid)
        uid = pwd.getpwnam(name).pw_uid
        home = os.path.join(HOME_PARENT, name)
        info = os.lstat(home)
        assert stat.S_ISDIR(info.st_mode)
        assert (info.st_uid, info.st_gid) == (uid, uid)
        assert os.listdir(home) == []
        # Leftovers of an earlier session are gone from the next one's home.
        with open(os.path.join(home, "leftover"), "w") as f:
            f.write("x")
        os.mkdir(os.path.join(home, "dir"))
    finally:
        session.close()
    session, pid = open_session(pool)
    try:
        assert account_name(session, pid) == name
        assert os.listdir(home) == []
    finally:
        session.close()


@needs_host
def test_accounts_are_reused(pool):
    names = set()
    for _ in range(10):
        session, pid = open_session(pool)
        names.add(account_name(session, pid))
        session.close()
        assert_reaped(pid)
    assert len(names) == 1


@needs_host
def test_dropped_session_is_closed_and_account_returned(pool):
    session, pid = open_session(pool)
    name = account_name(session, pid)
    del session
    # The close happens on another thread; the next session waits for it.
    session, new_pid = open_session(pool)
    try:
        assert_reaped(pid)
        assert account_name(session, new_pid) == name
    finally:
        session.close()


@needs_host
def test_session_whose_shell_exited_still_closes(pool):
    session, pid = open_session(pool)
    session.write(b"exit\n")
    while session.read(4096):
        pass
    # The stream ends a moment before su itself does.
    deadline = time.monotonic() + 30
    while process_state(pid) != "Z" and time.monotonic() < deadline:
        time.sleep(0.01)
    assert process_state(pid) == "Z"
    session.close()
    assert_reaped(pid)


@needs_host
def test_context_manager_closes(pool):
    before = child_pids()
    with PyTerminalSession(pool) as session:
        assert isinstance(session, PyTerminalSession)
        (pid,) = child_pids() - before
    assert_reaped(pid)
    with pytest.raises(ValueError, match="Failed to read from terminal session"):
        session.read(1)
    with pytest.raises(KeyError):
        with PyTerminalSession(pool):
            raise KeyError("not swallowed")


@needs_host
def test_other_threads_run_while_one_reads(running):
    session, pid = running
    account_name(session, pid)
    reader = threading.Thread(target=read_until, args=(session, b"84", pid))
    reader.start()
    counted = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        counted += 1
    assert counted > 1000
    # Only now can the reader's read return.
    session.write(b"echo $((6*14))\n")
    reader.join(30)
    assert not reader.is_alive()


@pytest.fixture
def planted_symlink():
    """Puts a symbolic link to a fresh directory in place of the home parent, keeping
    whatever was there aside and restoring it afterwards."""
    saved = None
    if os.path.lexists(HOME_PARENT):
        saved = tempfile.mktemp(prefix="tmp_user_home.saved.", dir="/tmp")
        os.rename(HOME_PARENT, saved)
    target = tempfile.mkdtemp(prefix="ovaline_target_")
    try:
        os.symlink(target, HOME_PARENT)
        yield target
    finally:
        if os.path.islink(HOME_PARENT):
            os.unlink(HOME_PARENT)
        if saved is not None:
            os.rename(saved, HOME_PARENT)
        shutil.rmtree(target)


@needs_host
def test_planted_symlink_is_refused(pool, planted_symlink):
    before = os.lstat(planted_symlink)
    children = child_pids()
    with pytest.raises(ValueError) as info:
        PyTerminalSession(pool)
    assert str(info.value) == (
        "Failed to create the temporary home directory: /tmp/tmp_user_home is a symbolic link"
    )
    assert os.listdir(planted_symlink) == []
    after = os.lstat(planted_symlink)
    assert (after.st_uid, after.st_gid, after.st_mode) == (
        before.st_uid,
        before.st_gid,
        before.st_mode,
    )
    assert os.readlink(HOME_PARENT) == planted_symlink
    assert child_pids() == children


@needs_host
def test_without_root_a_sandbox_says_root_is_needed():
    # In a child that gave up root.
    script = (
        "import os, ovaline\n"
        "os.setuid(65534)\n"
        "try:\n"
        "    ovaline.PyTerminalSession.sandbox(ovaline.PyUserPool())\n"
        "except PermissionError as error:\n"
        "    assert 'need root' in str(error), error\n"
        "else:\n"
        "    raise SystemExit('started without root')\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
