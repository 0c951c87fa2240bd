"""Sessions against the real host: waiting, closing from anywhere, what is left behind,
and what one session can see of another or of its owner."""

import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from ovaline import PyTerminalSession, PyUserPool
from session_support import (
    HOME_PARENT,
    account_name,
    child_pids,
    live_processes,
    needs_host,
    open_session,
    processes,
    read_until,
    uid_of,
    wait_until,
)

pytestmark = needs_host

def drain(session):
    """Reads until the shell has been quiet for a moment."""
    try:
        while True:
            session.read(4096, timeout=0.3)
    except TimeoutError:
        pass


def test_identity_and_exit_status(running):
    session, pid = running
    assert session.user == account_name(session, pid)
    assert session.home == f"{HOME_PARENT}/{session.user}"
    for name in ("user", "home"):
        with pytest.raises(AttributeError):
            setattr(session, name, "x")
    assert session.poll() is None
    with pytest.raises(TimeoutError):
        session.wait(timeout=0.1)
    session.write(b"exit 3\n")
    assert session.wait(timeout=30) == 3
    assert session.poll() == 3
    session.close()
    assert session.wait() == 3


@pytest.mark.parametrize("stopped", [False, True])
def test_close_reports_the_killed_shell(pool, stopped):
    session, pid = open_session(pool)
    account_name(session, pid)
    if stopped:
        session.write(b"kill -STOP $$\n")
        uid = uid_of(session)
        assert wait_until(lambda: "T" in [state for state, _ in processes(uid).values()])
    session.close()
    # su reports the killed shell as 128 + SIGKILL, stopped or not.
    assert session.poll() == 137
    assert session.wait(timeout=0) == 137


def longest_pause_while_dropping(pool, polled, names):
    """Drops three stopped sessions and polls another while a thread counts; the longest
    gap between two of its turns."""
    dropped = [open_session(pool) for _ in range(3)]
    for session, pid in dropped:
        names.add(account_name(session, pid))
        # A stopped shell makes its close wait for su to notice.
        session.write(b"kill -STOP $$\n")
    longest = 0.0
    done = threading.Event()

    def count():
        nonlocal longest
        last = time.monotonic()
        while not done.is_set():
            now = time.monotonic()
            longest = max(longest, now - last)
            last = now

    counter = threading.Thread(target=count)
    counter.start()
    try:
        dropped.clear()
        for _ in range(100):
            assert polled.poll() is None
    finally:
        done.set()
        counter.join()
    return longest


def test_dropping_and_polling_never_hold_up_other_threads(pool, running):
    """Closing waits for the shell to end; none of that may pause another thread."""
    polled, _ = running
    names = set()
    # A busy machine may pause any thread once; a close made under the interpreter lock
    # pauses the counter in every round.
    pauses = []
    while len(pauses) < 3 and min(pauses, default=1) >= 0.05:
        pauses.append(longest_pause_while_dropping(pool, polled, names))
    assert min(pauses) < 0.05, pauses
    # The dropped sessions are still closed, and their accounts come back.
    with PyTerminalSession(pool) as session:
        assert session.user in names


@pytest.mark.parametrize("read", ["read", "read_err"])
def test_idle_read_times_out(running, read):
    session, _ = running
    drain(session)
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        getattr(session, read)(4096, timeout=0.2)
    assert 0.2 <= time.monotonic() - began < 5
    with pytest.raises(TimeoutError):
        getattr(session, read)(4096, timeout=0)
    # A timeout changes nothing for the next call.
    session.write(b"echo $((3*11))z\n")
    assert b"33z" in read_until(session, b"33z", running[1])


@pytest.mark.parametrize(
    "timeout, error",
    [(-1, ValueError), (float("nan"), ValueError), ("1", TypeError), (True, TypeError)],
)
def test_timeout_must_be_a_non_negative_number(running, timeout, error):
    session, _ = running
    for call in (session.read, session.read_err):
        with pytest.raises(error, match="timeout"):
            call(1, timeout=timeout)
    with pytest.raises(error, match="timeout"):
        session.wait(timeout)
    with pytest.raises(TypeError):
        session.read(1, 0.5)


def test_signal_handler_runs_during_a_blocked_read(running):
    session, _ = running
    drain(session)

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(
        0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGUSR1)
    )
    timer.start()
    try:
        with pytest.raises(Interrupted):
            session.read_err(4096, timeout=30)
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)


def test_close_from_another_thread_ends_pending_reads(running):
    session, _ = running
    drain(session)
    outcomes = {}

    def wait_on(read):
        try:
            getattr(session, read)(4096)
            outcomes[read] = "returned"
        except ValueError as error:
            outcomes[read] = str(error)

    readers = [threading.Thread(target=wait_on, args=(r,)) for r in ("read", "read_err")]
    for reader in readers:
        reader.start()
    time.sleep(0.2)
    # Neither pending read stands in the way of a write.
    session.write(b"true\n")
    began = time.monotonic()
    session.close()
    for reader in readers:
        reader.join(5)
        assert not reader.is_alive()
    assert time.monotonic() - began < 5
    assert outcomes["read_err"] == "Failed to read from terminal session"
    assert outcomes["read"] in ("returned", "Failed to read from terminal session")


def test_close_ends_every_process_of_the_account(pool):
    session, pid = open_session(pool)
    name = account_name(session, pid)
    uid = uid_of(session)
    session.write(
        b"setsid sleep 300 & nohup sleep 301 >/dev/null 2>&1 & sleep 302 & echo $((2*21))q\n"
    )
    read_until(session, b"42q", pid)
    assert wait_until(lambda: len(live_processes(uid)) >= 4)
    session.close()
    # Whatever the shell started, orphaned or not, ended inside the session's own PID
    # namespace and was reaped there: nothing is left, not even a zombie.
    assert processes(uid) == {}
    # The account comes back with a fresh home and nothing running in it.
    session, pid = open_session(pool)
    with session:
        assert account_name(session, pid) == name
        assert os.listdir(session.home) == []


OWNER = textwrap.dedent(
    """
    import os, sys, ovaline
    session = ovaline.PyTerminalSession(ovaline.PyUserPool())
    session.write(b"(trap '' HUP TERM; sleep 300) & setsid sleep 301 & echo $((6*7))s\\n")
    seen = b""
    while b"42s" not in seen:
        seen += session.read(4096, timeout=30)
    print(session.user, flush=True)
    how = sys.argv[1]
    if how == "_exit":
        os._exit(0)
    if how == "SIGKILL":
        sys.stdin.read()
    """
)


@pytest.mark.parametrize("how", ["exit", "_exit", "SIGKILL"])
def test_everything_dies_with_the_owner(how):
    owner = subprocess.Popen(
        [sys.executable, "-c", OWNER, how], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    user = owner.stdout.readline().strip()
    assert user.startswith("test_")
    uid = pwd.getpwnam(user).pw_uid
    if how == "SIGKILL":
        owner.kill()
    owner.wait(30)
    owner.stdin.close()
    owner.stdout.close()
    if how == "exit":
        # An orderly exit closes the session: nothing of the account is left.
        assert live_processes(uid) == []
        return
    # A sudden death takes the session's PID namespace with it, and every process
    # inside, whatever signals it ignores and however it detached.
    assert wait_until(lambda: processes(uid) == {})


def test_session_outlives_the_thread_that_made_it(pool):
    made = []
    maker = threading.Thread(target=lambda: made.append(open_session(pool)))
    maker.start()
    maker.join()
    session, pid = made[0]
    with session:
        assert account_name(session, pid).startswith("test_")
        assert session.poll() is None


def test_a_live_account_is_never_handed_out_twice(pool):
    first, pid = open_session(pool)
    with first:
        account_name(first, pid)
        marker = os.path.join(first.home, "kept")
        first.write(f"echo x > {marker}; echo $((5*5))m\n".encode())
        read_until(first, b"25m", pid)
        # Another pool in this process starts from the same names.
        with PyTerminalSession(PyUserPool()) as second:
            assert second.user != first.user
        # And so does another process.
        other = subprocess.run(
            [
                sys.executable,
                "-c",
                "import ovaline; print(ovaline.PyTerminalSession(ovaline.PyUserPool()).user)",
            ],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert other.returncode == 0, other.stderr
        assert other.stdout.strip() not in ("", first.user)
        assert os.path.exists(marker)
        assert first.poll() is None


@pytest.mark.skipif(shutil.which("unshare") is None, reason="needs the host's unshare")
def test_a_private_tmp_does_not_hide_a_held_account(running):
    """A service with a private /tmp (systemd's PrivateTmp=) still sees which accounts
    other processes hold."""
    session, pid = running
    account_name(session, pid)
    took = "import ovaline; print(ovaline.PyTerminalSession(ovaline.PyUserPool()).user)"
    # The private view covers the homes' parent, all a session keeps in /tmp, rather
    # than the whole of /tmp, so an interpreter installed under /tmp stays in reach.
    other = subprocess.run(
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            'mount -t tmpfs -o mode=0755 private-tmp "$2" && exec "$0" -c "$1"',
            sys.executable,
            took,
            HOME_PARENT,
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert other.returncode == 0, other.stderr
    assert other.stdout.strip() not in ("", session.user)
    # Nor did it end this session's shell while making the account its own.
    assert session.poll() is None
    assert account_name(session, pid) == session.user


def test_shell_sees_only_a_minimal_environment(pool, monkeypatch):
    monkeypatch.setenv("OVALINE_SECRET_TOKEN", "hunter2")
    monkeypatch.setenv("LC_ALL", "C.UTF-8")
    monkeypatch.setenv("PATH", "/opt/ovaline-nowhere:" + os.environ["PATH"])
    session, pid = open_session(pool)
    with session:
        session.write(b'echo "<${OVALINE_SECRET_TOKEN-unset}|$LC_ALL|$PATH>"$((4*4))e\n')
        out = read_until(session, b"16e", pid).decode()
    line = out[out.rindex("<") : out.rindex(">") + 1]
    assert line.startswith("<unset|C.UTF-8|")
    assert "hunter2" not in out and "ovaline-nowhere" not in line


def test_home_is_private_whatever_the_umask(pool):
    old = os.umask(0)
    try:
        session, _ = open_session(pool)
    finally:
        os.umask(old)
    with session:
        assert os.stat(session.home).st_mode & 0o7777 == 0o700


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def test_open_close_cycles_leave_nothing_behind(pool):
    session, _ = open_session(pool)
    session.close()
    uid = uid_of(session)
    children = child_pids()
    fds = fd_count()
    for _ in range(100):
        with PyTerminalSession(pool):
            pass
    assert live_processes(uid) == []
    assert child_pids() == children
    # A dropped session is freed on the closing thread, a moment after its close.
    assert wait_until(lambda: fd_count() <= fds)


FOREIGN = "The terminal session belongs to the process that created it, not to this forked one"


# The thread that starts shells makes the process multi-threaded, which Python 3.12 and
# later point out on every fork.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_can_neither_use_nor_end_the_parents_shell(running):
    session, pid = running
    account_name(session, pid)
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            calls = [
                lambda: session.write(b"exit 7\n"),
                lambda: session.run("exit 7"),
                lambda: session.read(4096, timeout=0),
                lambda: session.read_err(4096, timeout=0),
                session.poll,
                lambda: session.wait(0),
                session.close,
            ]
            outcomes = []
            for call in calls:
                try:
                    call()
                    outcomes.append("ran")
                except ValueError as error:
                    outcomes.append(str(error))
            with PyTerminalSession(PyUserPool()) as own:
                outcomes.append(own.user)
            os.write(write_end, json.dumps(outcomes).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    assert wait_until(lambda: os.waitpid(child, os.WNOHANG) != (0, 0), limit=60)
    with os.fdopen(read_end) as f:
        outcomes = json.loads(f.read())
    assert outcomes[:-1] == [FOREIGN] * 7
    assert outcomes[-1].startswith("test_")
    assert session.poll() is None
    assert account_name(session, pid).startswith("test_")


@pytest.mark.parametrize("su", ["absent", "not a program"])
def test_missing_su_is_reported_and_the_account_kept(pool, monkeypatch, tmp_path, su):
    with PyTerminalSession(pool) as session:
        name = session.user
    if su == "not a program":
        # Found on the search path, but exec refuses it: the start itself fails.
        (tmp_path / "su").write_bytes(b"\0\0\0\0")
        (tmp_path / "su").chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(BaseException, match="Failed to execute the command `su`") as info:
        PyTerminalSession(pool)
    assert type(info.value).__name__ == "InternalError"
    monkeypatch.undo()
    with PyTerminalSession(pool) as session:
        assert session.user == name
