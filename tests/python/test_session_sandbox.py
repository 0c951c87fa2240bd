"""Sessions as a sandbox: commands run beside the shell, limits, a private network, and
nothing of a session or a run outliving it."""

import os
import shutil
import signal
import socket
import threading

import pytest

from ovaline import PyTerminalSession
from session_support import (
    account_name,
    live_processes,
    needs_host,
    open_session,
    processes,
    read_until,
    uid_of,
    wait_until,
)

pytestmark = needs_host

needs_python = pytest.mark.skipif(
    shutil.which("python3", path="/usr/bin:/bin") is None, reason="needs the host's python3"
)


def running_sleeps(*seconds):
    """The live `sleep N` processes, for any of the given N, host-wide."""
    wanted = {f"sleep\0{n}\0" for n in seconds}
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline") as f:
                if f.read() in wanted:
                    found.append(int(entry))
        except OSError:
            continue
    return found


def test_run_returns_status_and_streams(running, monkeypatch):
    session, _ = running
    home, user = session.home, session.user
    monkeypatch.setenv("OVALINE_SECRET_TOKEN", "hunter2")
    cases = [
        ({"command": "printf out; printf err >&2; exit 3"}, (3, b"out", b"err", False, False)),
        ({"command": "cat", "input": b"abc"}, (0, b"abc", b"", False, False)),
        ({"command": "cat"}, (0, b"", b"", False, False)),
        (
            {"command": 'printf "%s|%s|%s|%s" "$(pwd)" "$HOME" "$(id -un)" "${OVALINE_SECRET_TOKEN-unset}"'},
            (0, f"{home}|{home}|{user}|unset".encode(), b"", False, False),
        ),
        ({"command": "pwd", "cwd": "/"}, (0, b"/\n", b"", False, False)),
        ({"command": "kill -TERM $$"}, (-signal.SIGTERM, b"", b"", False, False)),
        (
            {"command": "head -c 100000 /dev/zero; echo done >&2", "max_output": 10},
            (0, b"\0" * 10, b"done\n", False, True),
        ),
    ]
    for kwargs, expected in cases:
        result = session.run(**kwargs)
        assert type(result) is PyTerminalSession.RunResult
        assert tuple(result) == expected, kwargs
    assert result.truncated and result.returncode == 0
    with pytest.raises(AttributeError):
        result.returncode = 1  # type: ignore[misc]


def test_run_arguments(running):
    session, _ = running
    for call, error in [
        (lambda: session.run(b"true"), TypeError),
        (lambda: session.run("true", 1), TypeError),
        (lambda: session.run("true", input="text"), TypeError),
        (lambda: session.run("true", max_output=-1), OverflowError),
        (lambda: session.run("true", timeout=-1), ValueError),
        (lambda: session.run("true\0false"), ValueError),
        (lambda: session.run("true", cwd="/\0"), ValueError),
    ]:
        with pytest.raises(error):
            call()
    # A directory the account may not enter is refused as it would be to the account.
    with pytest.raises(ValueError, match="Permission denied"):
        session.run("true", cwd="/root")
    session.close()
    with pytest.raises(ValueError, match="^Failed to run a command in terminal session$"):
        session.run("true")


ESCAPES = (
    "(trap '' HUP TERM; exec sleep 3141) & setsid sleep 3142 & (sleep 3143 &) ; "
    "nohup sleep 3144 >/dev/null 2>&1 & echo started; exec sleep 3145"
)


def test_timeout_ends_everything_the_run_started(running):
    session, _ = running
    # A loaded machine may not reach the echo within a short timeout; each try must
    # still end everything, and a longer one must also bring back the partial output.
    for timeout in (0.5, 2, 8, 32):
        result = session.run(ESCAPES, timeout=timeout)
        assert result.timed_out
        assert result.returncode == -signal.SIGKILL
        assert running_sleeps(*range(3141, 3146)) == []
        if result.stdout:
            break
    assert result.stdout == b"started\n"


@needs_python
def test_run_reports_how_it_ended_and_what_it_took(running):
    session, _ = running
    mib = 2**20
    # Work done in a child of the command's shell counts as the command's.
    burn = "/usr/bin/python3 -c 'import time\nwhile time.process_time() < 0.3: pass'; true"
    hold = f"/usr/bin/python3 -c 'b = b\"x\" * {200 * mib}'; true"
    cases = [
        ("exit 3", {}, "exit"),
        ("kill -9 $$", {}, "signal"),
        ("sleep 30", {"timeout": 0.5}, "timeout"),
        (burn, {}, "exit"),
        (hold, {}, "exit"),
    ]
    results = {}
    for command, kwargs, ended_by in cases:
        result = session.run(command, **kwargs)
        assert result.ended_by == ended_by, (command, result)
        assert result.wall_time >= 0 and result.cpu_time >= 0, command
        results[command] = result
    assert 0.45 <= results["sleep 30"].wall_time < 30
    assert results[burn].cpu_time >= 0.3
    assert results[burn].wall_time >= results[burn].cpu_time - 0.05
    assert results[hold].peak_memory >= 200 * mib
    # The peak counts the program's process before its exec, a copy of this one, which
    # under AddressSanitizer holds hundreds of megabytes of its own.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert results["exit 3"].peak_memory < 200 * mib


def test_interrupt_ends_the_run_and_propagates(running):
    session, _ = running
    returned = threading.Event()

    def interrupt_once_all_started():
        # Bounded: should the run never get that far, the interrupt still comes.
        wait_until(
            lambda: returned.is_set() or len(running_sleeps(*range(3141, 3146))) == 5, limit=30
        )
        if not returned.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    interrupter = threading.Thread(target=interrupt_once_all_started)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            session.run(ESCAPES, timeout=60)
    finally:
        returned.set()
        interrupter.join()
    assert running_sleeps(*range(3141, 3146)) == []


def test_runs_go_on_beside_each_other_and_the_shell(running):
    session, pid = running
    flag = os.path.join(session.home, "flag")
    results = []
    # This run finishes only once another thread's run has made the flag, which it
    # cannot while this one holds the interpreter lock.
    waiter = threading.Thread(
        target=lambda: results.append(
            session.run(f"while [ ! -e {flag} ]; do sleep 0.01; done; echo seen", timeout=60)
        )
    )
    waiter.start()
    assert account_name(session, pid) == session.user
    assert session.run(f"touch {flag}").returncode == 0
    waiter.join(60)
    assert [tuple(r)[:3] for r in results] == [(0, b"seen\n", b"")]
    assert not results[0].timed_out


def test_orphans_inside_a_session_are_reaped_by_it(running):
    session, pid = running
    uid = uid_of(session)
    session.write(b"for i in $(seq 30); do (true &); done; (exec sleep 3146 &); echo $((7*7))o\n")
    read_until(session, b"49o", pid)
    assert wait_until(lambda: running_sleeps(3146) != [])
    (sleeper,) = running_sleeps(3146)
    assert processes(uid)[sleeper][1] == pid
    assert wait_until(lambda: "Z" not in [state for state, _ in processes(uid).values()])


@needs_python
@pytest.mark.parametrize(
    "limits, command, bites",
    [
        ({"cpu_seconds": 1}, "while :; do :; done", lambda r: r.returncode == -signal.SIGXCPU),
        (
            {"address_space": 256 * 2**20},
            "python3 -c 'bytearray(512 * 2**20)'",
            lambda r: b"MemoryError" in r.stderr,
        ),
        (
            {"file_size": 1000},
            "python3 -c \"f = open('f', 'wb', buffering=0); [f.write(b'x' * 600) for _ in range(3)]\"",
            lambda r: b"[Errno 27] File too large" in r.stderr,
        ),
        (
            {"open_files": 20},
            "python3 -c \"[open('/dev/null') for _ in range(100)]\"",
            lambda r: b"[Errno 24] Too many open files" in r.stderr,
        ),
    ],
)
def test_each_limit_bites(pool, limits, command, bites):
    with PyTerminalSession.sandbox(pool, **limits) as session:
        result = session.run(command, timeout=60)
        assert not result.timed_out
        assert bites(result), result


FORK_BOMB = """
import os, time
n = 0
try:
    while n < 1000:
        if os.fork() == 0:
            time.sleep(60)
            os._exit(0)
        n += 1
except BlockingIOError:
    print("stopped at", n)
"""


@needs_python
def test_fork_bomb_stops_at_the_process_limit(pool):
    session = PyTerminalSession.sandbox(pool, processes=20)
    uid = uid_of(session)
    result = session.run(f"python3 -c '{FORK_BOMB}'", timeout=60)
    words = result.stdout.split()
    assert words[:2] == [b"stopped", b"at"] and int(words[2]) < 20
    session.close()
    assert live_processes(uid) == []


def test_limits_hold_in_the_shell_and_in_runs(pool):
    limits = {
        "cpu_seconds": 50,
        "address_space": 2**30,
        "processes": 60,
        "file_size": 2**20,
        "open_files": 70,
    }
    expected = b"50 1048576 1024 70"
    probe = 'echo "<$(ulimit -t) $(ulimit -v) $(ulimit -f) $(ulimit -n)>"'
    session, pid = open_session(pool, **limits)
    with session:
        session.write(probe.encode() + b"\n")
        assert b"<" + expected + b">" in read_until(session, expected + b">", pid)
        assert session.run(probe).stdout == b"<" + expected + b">\n"
        # The processes bound holds for the whole session, the shell's included.
        forks = session.run("for i in $(seq 100); do sleep 30 & done 2>&1")
        assert b"fork: Resource temporarily unavailable" in forks.stdout


@needs_python
def test_private_network_has_only_its_own_loopback(pool):
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    probe = f"exec 3<>/dev/tcp/127.0.0.1/{port} && echo reached"
    try:
        with PyTerminalSession(pool) as shared:
            assert shared.run(probe).stdout == b"reached\n"
        session, pid = open_session(pool, network=False)
        with session:
            assert session.run(probe).stdout == b""
            # The shell and its runs share one loopback.
            session.write(b"python3 -m http.server --bind 127.0.0.1 8765 >/dev/null 2>&1 &\n")
            fetch = "exec 3<>/dev/tcp/127.0.0.1/8765 && printf 'GET / HTTP/1.0\\r\\n\\r\\n' >&3 && head -c 12 <&3"
            assert wait_until(lambda: session.run(fetch).stdout == b"HTTP/1.0 200", limit=30)
    finally:
        listener.close()


@needs_python
def test_a_sandbox_bounds_the_whole_session(pool):
    mib = 2**20
    with PyTerminalSession.sandbox(pool, memory=64 * mib, disk=16 * mib) as session:
        # Memory: the kernel kills the biggest process inside, and the run says why.
        hog = session.run("/usr/bin/python3 -c 'b = bytearray(300 << 20)'")
        assert (hog.returncode, hog.ended_by) == (-9, "memory")
        # Disk: what it writes anywhere counts against one bound.
        fill = session.run("head -c 20M /dev/zero > /tmp/a; head -c 20M /dev/zero > ~/b; du -cm /tmp/a ~/b | tail -1")
        assert b"No space left on device" in fill.stderr and int(fill.stdout.split()[0]) <= 16
        assert session.run("echo alive").stdout == b"alive\n"
