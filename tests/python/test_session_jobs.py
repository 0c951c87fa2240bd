"""A session's persistent shell (execute), its background jobs, and both on an asyncio
loop, with real bash as the baseline for what a command prints."""

import asyncio
import os
import signal
import subprocess
import threading
import time

import pytest

from ovaline import PyTerminalSession
from session_support import live_processes, needs_host, uid_of, wait_until

pytestmark = needs_host


@pytest.fixture
def session(pool):
    with PyTerminalSession(pool) as opened:
        yield opened


def drain(session):
    """Reads the interactive shell until it has been silent for a moment."""
    try:
        while True:
            session.read(4096, timeout=0.5)
    except TimeoutError:
        pass


def test_execute_keeps_the_shell_state(session):
    drain(session)
    session.execute("printf 'export VENV=on\\nactivated() { echo \"active:$VENV\"; }\\n' > act")
    steps = [
        ("cd /tmp && export GREETING=hi", b""),
        ("f() { echo \"f:$1\"; }; alias ll='echo alias'", b""),
        ("source ~/act", b""),
        ("pwd; echo $GREETING; f 1; ll; activated", b"/tmp\nhi\nf:1\nalias\nactive:on\n"),
    ]
    for command, out in steps:
        assert tuple(session.execute(command)) == (0, out, b"", False, False), command
    # The interactive shell saw none of it.
    with pytest.raises(TimeoutError):
        session.read(4096, timeout=0.3)


def test_execute_prints_exactly_what_bash_prints(session):
    commands = [
        "printf 'a\\0b'; printf 'no newline' >&2",
        "printf '%s\\n' '__ovaline_run 0' 0 '$?'; echo 0 >&2; (exit 7)",
        "printf '\\xff\\xfe'; printf '\\r\\n\\x1b[0m' >&2",
        "cat; echo read:$?",
        "seq 1 40000",
    ]
    for command in commands:
        bash = subprocess.run(
            ["bash", "-c", command], stdin=subprocess.DEVNULL, capture_output=True, cwd="/"
        )
        got = session.execute(f"cd / && {{ {command}\n}}")
        assert (got.returncode, got.stdout, got.stderr) == (
            bash.returncode,
            bash.stdout,
            bash.stderr,
        ), command
    assert session.execute("printf 0123456789", max_output=4)[1:] == (b"0123", b"", False, True)


def test_a_timeout_ends_the_command_and_keeps_the_shell(session):
    session.execute("export KEPT=yes; cd /tmp")
    uid = uid_of(session)
    for command in ["sleep 300", "sleep 301 & wait", "while :; do :; done"]:
        began = time.monotonic()
        result = session.execute(command, timeout=0.3)
        assert (result.returncode, result.timed_out, result.ended_by) == (124, True, "timeout")
        assert time.monotonic() - began < 10
    assert session.execute("echo $KEPT $PWD").stdout == b"yes /tmp\n"
    assert wait_until(lambda: not any("sleep" in cmdline(p) for p in live_processes(uid)))


def test_an_interrupt_ends_the_command_and_keeps_the_shell(session):
    session.execute("export KEPT=yes")
    started = f"{session.home}/started"
    returned = threading.Event()

    def interrupt_once_started():
        # Bounded: should the command never start, the interrupt still comes.
        wait_until(lambda: returned.is_set() or os.path.exists(started), limit=30)
        if not returned.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    interrupter = threading.Thread(target=interrupt_once_started)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            session.execute("touch ~/started; sleep 303", timeout=60)
    finally:
        returned.set()
        interrupter.join()
    assert session.execute("echo $KEPT").stdout == b"yes\n"


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


@pytest.mark.parametrize("ending, status", [("exit 3", "status 3"), ("kill -KILL $$", "status -9")])
def test_an_ended_shell_raises_and_the_next_call_starts_anew(session, ending, status):
    session.execute("export GONE=1")
    with pytest.raises(ChildProcessError, match=rf"shell ended \({status}\).*next execute"):
        session.execute(ending)
    assert session.execute("echo ${GONE-unset}").stdout == b"unset\n"


def test_threads_take_turns_on_the_shell(session):
    results = {}

    def call(i):
        results[i] = session.execute(f"V={i}; sleep 0.05; echo $V").stdout

    threads = [threading.Thread(target=call, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == {i: f"{i}\n".encode() for i in range(6)}


def test_a_job_streams_takes_input_and_ends(session):
    job = session.start("echo first; read line; echo \"got $line\"; echo err >&2")
    assert session.jobs() == [job] and job.poll() is None
    chunks = iter(job.stdout)
    assert next(chunks) == b"first\n"
    assert job.poll() is None
    job.write(b"x\n")
    job.close_stdin()
    assert b"".join(chunks) == b"got x\n"
    assert b"".join(job.stderr) == b"err\n"
    result = job.wait(timeout=30)
    assert tuple(result) == (0, b"", b"", False, False) and job.poll() == 0
    assert session.jobs() == []
    with pytest.raises(BrokenPipeError):
        job.write(b"late")
    given = session.start("cat; echo $?", input=b"abc")
    assert given.wait(timeout=30).stdout == b"abc0\n"
    with pytest.raises(FileNotFoundError):
        session.start("pwd", cwd="/nonexistent")


def test_a_reader_that_stops_never_blocks_a_job(session):
    job = session.start("head -c 50000000 /dev/zero; echo done >&2", max_output=1 << 20)
    result = job.wait(timeout=60)
    assert (result.returncode, result.timed_out, result.truncated) == (0, False, True)
    assert (len(result.stdout), result.stderr) == (1 << 20, b"done\n")
    assert job.dropped == (50_000_000 - (1 << 20), 0)


@pytest.mark.parametrize(
    "command, sig, returncode",
    [
        ("sleep 300", signal.SIGTERM, -signal.SIGTERM),
        ("trap '' TERM; sleep 300 & wait", signal.SIGKILL, -signal.SIGKILL),
    ],
)
def test_kill_and_timeout_end_a_job(session, command, sig, returncode):
    job = session.start(command)
    job.kill(sig)
    assert job.wait(timeout=30).returncode == returncode
    timed = session.start(command).wait(timeout=0.2)
    assert (timed.timed_out, timed.ended_by) == (True, "timeout")


def test_jobs_end_with_the_session(pool):
    session = PyTerminalSession(pool)
    uid = uid_of(session)
    jobs = [session.start("sleep 300"), session.start("sleep 301 & wait")]
    assert session.jobs() == jobs
    session.close()
    assert wait_until(lambda: all(job.poll() is not None for job in jobs))
    assert wait_until(lambda: live_processes(uid) == [])
    with pytest.raises(ValueError, match="closed"):
        session.start("true")


# The threads that start and read jobs make the process multi-threaded, which Python
# 3.12 and later point out on every fork.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_can_neither_use_nor_end_the_parents_jobs(session):
    job = session.start("sleep 300")
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            refused = 0
            for call in [
                job.poll,
                lambda: job.wait(0),
                lambda: job.kill(9),
                lambda: job.write(b"x"),
                job.close_stdin,
                lambda: next(job.stdout),
                lambda: session.execute("true"),
                lambda: session.start("true"),
            ]:
                try:
                    call()
                except ValueError as error:
                    refused += "forked" in str(error)
            os.write(write_end, bytes([refused]))
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        assert f.read() == bytes([8])
    os.waitpid(child, 0)
    assert job.poll() is None
    job.kill(9)
    assert job.wait(timeout=30).returncode == -signal.SIGKILL


def test_coroutines_give_what_the_calls_give(session):
    cases = [
        {"command": "printf out; printf err >&2; exit 3"},
        {"command": "cat", "input": b"abc"},
        {"command": "pwd", "cwd": "/"},
        {"command": "head -c 1000 /dev/zero", "max_output": 10},
        {"command": "sleep 300", "timeout": 0.2},
    ]

    async def main():
        for kwargs in cases:
            assert tuple(await session.arun(**kwargs)) == tuple(session.run(**kwargs)), kwargs
        await session.aexecute("cd /tmp; export A=1")
        assert (await session.aexecute("echo $A $PWD")).stdout == b"1 /tmp\n"
        assert session.execute("echo $A").stdout == b"1\n"
        job = session.start("echo one; read x; echo two >&2")
        out = [chunk async for chunk in _first(job.astdout)]
        job.close_stdin()
        err = [chunk async for chunk in job.astderr]
        assert (out, err) == ([b"one\n"], [b"two\n"])
        assert (await job.result(timeout=30)).returncode == 0

    asyncio.run(main())


async def _first(chunks):
    async for chunk in chunks:
        yield chunk
        return


def test_jobs_run_side_by_side_on_one_loop_without_threads(session):
    async def main():
        threads = threading.active_count()
        a = session.start("echo a1; read x; echo a2")
        b = session.start("echo b1; read x; echo b2")

        async def first(job):
            async for chunk in job.astdout:
                return chunk

        # Each job waits for input until both have spoken, so the waits overlap.
        assert await asyncio.gather(first(a), first(b)) == [b"a1\n", b"b1\n"]
        assert threading.active_count() == threads
        for job in (a, b):
            job.write(b"\n")
            job.close_stdin()
        results = await asyncio.gather(a.result(), b.result())
        assert [r.stdout for r in results] == [b"a2\n", b"b2\n"]
        assert threading.active_count() == threads

    asyncio.run(main())


def test_cancelling_kills_what_the_call_started(session):
    uid = uid_of(session)

    async def main():
        run = asyncio.create_task(session.arun("sleep 300"))
        assert await _until(lambda: session.jobs())
        (job,) = session.jobs()
        run.cancel()
        with pytest.raises(asyncio.CancelledError):
            await run
        assert job.wait(timeout=30).returncode == -signal.SIGKILL

        await session.aexecute("export STAYS=1")
        execute = asyncio.create_task(session.aexecute("touch ~/started; sleep 302"))
        assert await _until(lambda: os.path.exists(f"{session.home}/started"))
        execute.cancel()
        with pytest.raises(asyncio.CancelledError):
            await execute
        assert (await session.aexecute("echo $STAYS")).stdout == b"1\n"

    asyncio.run(main())
    assert wait_until(lambda: not any("sleep" in cmdline(p) for p in live_processes(uid)))


async def _until(condition, limit=30.0):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(0.01)
    return True


def test_a_sandbox_opens_and_closes_from_a_coroutine(pool):
    async def main():
        sandbox = await PyTerminalSession.asandbox(pool, network=False)
        job = sandbox.start("hostname; id -un")
        # A job and the persistent shell live in the sandbox as a run does.
        assert (await job.result()).stdout == (await sandbox.aexecute("hostname; id -un")).stdout
        assert (await sandbox.aexecute("hostname")).stdout == b"sandbox\n"
        await sandbox.aclose()
        return sandbox

    sandbox = asyncio.run(main())
    with pytest.raises(ValueError, match="closed"):
        sandbox.execute("true")
