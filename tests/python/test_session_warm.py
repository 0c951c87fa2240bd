"""Pools that keep sessions started ahead of time: what a warm session is, and that it
leaves nothing behind however its pool or owner goes."""

import os
import pwd
import subprocess
import sys
import textwrap

import pytest

from ovaline import PyTerminalSession, PyUserPool
from session_support import (
    HOME_PARENT,
    account_name,
    child_pids,
    descendants,
    needs_host,
    open_session,
    processes,
    uid_of,
    wait_until,
)


def account_uids(pid):
    """The uids of the accounts whose processes run below `pid`."""
    uids = set()
    for child in descendants(pid):
        try:
            with open(f"/proc/{child}/status") as f:
                uid = next(int(line.split()[1]) for line in f if line.startswith("Uid:"))
        except (FileNotFoundError, StopIteration):
            continue
        if uid != 0:
            uids.add(uid)
    return uids


def warm_shells(before):
    """This process's new children that run an account's shell: `id` and `useradd`
    come and go as children too."""
    return {pid for pid in child_pids() - before if account_uids(pid)}


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize(
    "warm, error",
    [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError), (None, TypeError)],
)
def test_warm_must_be_a_count(warm, error):
    with pytest.raises(error, match="count"):
        PyUserPool.warm(warm)


def test_no_warm_pool_starts_nothing():
    before = threads()
    PyUserPool()
    PyUserPool.warm(0)
    assert threads() == before


@needs_host
def test_a_warm_pool_hands_out_a_started_shell_and_makes_another():
    before = child_pids()
    pool = PyUserPool.warm(1)
    assert wait_until(lambda: len(warm_shells(before)) == 1, 30)
    (warm_pid,) = warm_shells(before)
    # A warm session is the shell already running.
    with PyTerminalSession(pool) as session:
        name = account_name(session, warm_pid)
        assert name == session.user
        uid = pwd.getpwnam(name).pw_uid
        assert uid in account_uids(warm_pid)
        assert session.home == f"{HOME_PARENT}/{name}"
        assert os.stat(session.home).st_uid == uid
        assert os.listdir(session.home) == []
        assert session.run("id -u").stdout == f"{uid}\n".encode()
        # The pool makes the next one meanwhile, for another account.
        assert wait_until(lambda: len(warm_shells(before)) == 2, 30)
        (next_pid,) = warm_shells(before) - {warm_pid}
        assert uid not in account_uids(next_pid)
        # Other options start a shell of their own and leave the warm one waiting.
        cold, cold_pid = open_session(pool, network=False)
        with cold:
            assert cold_pid not in (warm_pid, next_pid)
            assert cold.run("echo cold").stdout == b"cold\n"
    del pool
    assert wait_until(lambda: not child_pids() - before, 30)


@needs_host
def test_a_warm_sandbox_pool_hands_out_sandboxes_of_its_shape_only():
    with pytest.raises(TypeError, match="sandbox=True"):
        PyUserPool.warm(1, memory=2**28)
    before = child_pids()
    pool = PyUserPool.warm(1, sandbox=True, memory=2**28)
    assert wait_until(lambda: len(warm_shells(before)) == 1, 30)
    (warm_pid,) = warm_shells(before)
    with PyTerminalSession.sandbox(pool, memory=2**28) as taken:
        assert account_name(taken, warm_pid) == taken.user
        assert taken.run("hostname").stdout == b"sandbox\n"
    # Another shape, or a plain session, starts its own.
    with PyTerminalSession.sandbox(pool) as other, PyTerminalSession(pool) as plain:
        assert other.run("hostname").stdout == b"sandbox\n"
        assert plain.run("hostname").stdout != b"sandbox\n"
    del pool
    # Nothing of this pool is left; a session an earlier test dropped may end meanwhile.
    assert wait_until(lambda: not child_pids() - before, 30)


@needs_host
def test_dropping_the_pool_leaves_nothing_of_its_warm_accounts():
    before = child_pids()
    pool = PyUserPool.warm(2)
    assert wait_until(lambda: len(warm_shells(before)) == 2, 60)
    uids = set().union(*(account_uids(pid) for pid in warm_shells(before)))
    # Their accounts are held host-wide: another pool passes them over.
    with PyTerminalSession(PyUserPool()) as other:
        assert uid_of(other) not in uids
    del pool
    # A session an earlier test dropped may end meanwhile: only new children count.
    assert wait_until(
        lambda: not child_pids() - before and all(processes(uid) == {} for uid in uids), 30
    )
    # The accounts are free again for any pool on the host.
    with PyTerminalSession(PyUserPool()) as session:
        assert session.run("true").returncode == 0


OWNER = textwrap.dedent(
    """
    import os, sys, time, ovaline
    pool = ovaline.PyUserPool.warm(2)
    deadline = time.monotonic() + 60
    def shells():
        # Shells are children of the thread that started them.
        tasks = os.listdir("/proc/self/task")
        return sum(len(open(f"/proc/self/task/{t}/children").read().split()) for t in tasks)

    while shells() < 2:
        if time.monotonic() > deadline:
            raise SystemExit("no warm sessions")
        time.sleep(0.01)
    print("ready", flush=True)
    sys.stdin.read()
    """
)


@needs_host
def test_warm_shells_die_with_the_owner():
    owner = subprocess.Popen(
        [sys.executable, "-c", OWNER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
    )
    try:
        assert owner.stdout.readline() == "ready\n"
        assert wait_until(lambda: len(account_uids(owner.pid)) == 2, 30)
        uids = account_uids(owner.pid)
    finally:
        owner.kill()
        owner.wait(30)
        owner.stdin.close()
        owner.stdout.close()
    assert wait_until(lambda: all(processes(uid) == {} for uid in uids))
