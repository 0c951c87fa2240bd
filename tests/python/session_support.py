"""What the session tests share: the host check, process-table helpers and fixtures."""

import os
import pwd
import shutil
import threading
import time

import pytest

from ovaline import PyTerminalSession

HOME_PARENT = "/tmp/tmp_user_home"

needs_host = pytest.mark.skipif(
    os.geteuid() != 0 or not all(shutil.which(p) for p in ("useradd", "su", "id")),
    reason="real sessions need root and the host's useradd, su and id",
)


def child_pids():
    """Process ids of this process's children, from the process table."""
    me = os.getpid()
    children = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            children.add(int(entry))
    return children


def descendants(pid):
    """Every process below `pid`; one may end while it is looked at."""
    found = []
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return found
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                children = f.read().split()
        except FileNotFoundError:
            continue
        for child in map(int, children):
            found += [child, *descendants(child)]
    return found


def process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def assert_reaped(pid):
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)
    assert process_state(pid) is None


def open_session(pool, **options):
    """A new session and the process id of the child that runs its shell."""
    before = child_pids()
    session = PyTerminalSession.sandbox(pool, **options) if options else PyTerminalSession(pool)
    (pid,) = child_pids() - before
    return session, pid


def read_until(session, needle, pid, limit=30):
    """Reads the shell's output until `needle` shows up. Should it never come, su is
    killed after `limit` seconds, which ends the stream and fails the test instead of
    hanging it."""
    watchdog = threading.Timer(limit, os.kill, (pid, 9))
    watchdog.start()
    seen = b""
    try:
        while needle not in seen:
            chunk = session.read(4096)
            assert 1 <= len(chunk) <= 4096, f"stream ended; output so far: {seen!r}"
            seen += chunk
    finally:
        watchdog.cancel()
    return seen


def account_name(session, pid):
    # The shell echoes the typed line, so the marker is computed, not typed.
    session.write(b'echo "<<$(whoami)>>$((6*7))"\n')
    out = read_until(session, b">>42", pid).decode()
    return out[out.rindex("<<") + 2 : out.rindex(">>42")]


def processes(uid):
    """The processes whose real uid is `uid`: pid -> (state letter, parent pid)."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == uid:
            found[int(entry)] = (fields["State"].split()[0], int(fields["PPid"]))
    return found


def live_processes(uid):
    """Pids of the processes, zombies left out, whose real uid is `uid`."""
    return [pid for pid, (state, _) in processes(uid).items() if state not in "ZX"]


def wait_until(condition, limit=10.0):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def uid_of(session):
    return pwd.getpwnam(session.user).pw_uid
