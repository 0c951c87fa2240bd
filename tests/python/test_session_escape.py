"""What one tenant of an account might leave for the next, or see of the host, and that
it does not: files in the shared temporary places, IPC objects, keys, processes in
/proc. Each test replays the attempt and looks for its traces afterwards."""

import errno
import os
import platform
import resource
import shlex
import subprocess
import textwrap

import pytest

from ovaline import PyFs, PyTerminalSession
from session_support import needs_host, uid_of

pytestmark = [
    needs_host,
    pytest.mark.skipif(not os.path.exists("/usr/bin/python3"), reason="needs the host's python3"),
]

SHARED = ("/tmp", "/var/tmp", "/dev/shm")

# Key management has no C library wrapper; the system call numbers stand in.
KEY_SYSCALLS = {"x86_64": (248, 250), "aarch64": (217, 219)}


def next_tenant(pool, previous):
    """Closes `previous` and opens the next session on its account, which the pool hands
    out again first."""
    previous.close()
    session = PyTerminalSession(pool)
    assert session.user == previous.user
    return session


def python(session, script):
    """Runs a Python script as the account inside the session; its result."""
    return session.run(f"/usr/bin/python3 -c {shlex.quote(textwrap.dedent(script))}", timeout=30)


def host_leftovers(uid):
    """Entries at the top of the shared temporary places that belong to `uid`."""
    found = []
    for root in SHARED:
        for entry in os.scandir(root):
            if entry.stat(follow_symlinks=False).st_uid == uid:
                found.append(entry.path)
    return found


def test_files_in_shared_temporary_places_go_with_the_tenant(pool):
    first = PyTerminalSession(pool)
    uid = uid_of(first)
    planted = first.run(
        "set -e; touch /tmp/left_$$ /dev/shm/left_$$; mkdir -p /var/tmp/left_$$/deep/er;"
        " touch /var/tmp/left_$$/deep/er/file; ln -s /etc/passwd /tmp/link_$$"
    )
    assert planted.returncode == 0, planted
    assert len(host_leftovers(uid)) == 4
    second = next_tenant(pool, first)
    assert host_leftovers(uid) == []
    assert os.path.exists("/etc/passwd")
    seen = second.run("ls /tmp/left_* /tmp/link_* /dev/shm/left_* /var/tmp/left_* 2>&1")
    assert seen.returncode != 0 and b"No such file" in seen.stdout
    second.close()


def test_start_clears_what_a_crashed_owner_left(pool):
    with PyTerminalSession(pool) as session:
        uid = uid_of(session)
    # As if a process had died holding the session: files of the account, no close.
    left = []
    for root in SHARED:
        path = os.path.join(root, f"ovaline_crash_{os.getpid()}")
        os.mkdir(path)
        os.chown(path, uid, uid)
        left.append(path)
    with PyTerminalSession(pool) as session:
        assert uid_of(session) == uid
        assert not any(os.path.lexists(p) for p in left)


def test_ipc_objects_go_with_the_tenant(pool):
    first = PyTerminalSession(pool)
    made = python(
        first,
        """
        import ctypes, os
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
        assert libc.shmget(0x6f7601, 4096, 0o1600) >= 0
        assert libc.msgget(0x6f7602, 0o1600) >= 0
        assert libc.mq_open(b"/ovaline_escape", os.O_CREAT | os.O_RDWR, 0o600, None) >= 0
        print("made")
        """,
    )
    assert made.stdout == b"made\n", made
    # A run shares the shell's IPC namespace: a later run of the same tenant sees them.
    again = first.run("ipcs -m -q")
    assert b"0x006f7601" in again.stdout and b"0x006f7602" in again.stdout
    # The host never had them.
    with open("/proc/sysvipc/shm") as shm, open("/proc/sysvipc/msg") as msg:
        host = shm.read() + msg.read()
    assert str(0x6F7601) not in host and str(0x6F7602) not in host
    second = next_tenant(pool, first)
    found = python(
        second,
        """
        import ctypes, os
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
        print(libc.shmget(0x6f7601, 0, 0), libc.msgget(0x6f7602, 0),
              libc.mq_open(b"/ovaline_escape", os.O_RDONLY, 0, None))
        """,
    )
    assert found.stdout == b"-1 -1 -1\n", found
    second.close()


@pytest.mark.skipif(platform.machine() not in KEY_SYSCALLS, reason="key syscalls unknown here")
def test_keys_go_with_the_tenant(pool):
    add_key, keyctl = KEY_SYSCALLS[platform.machine()]
    prelude = f"""
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        USER_KEYRING, SEARCH = -4, 10
        def search():
            return libc.syscall({keyctl}, SEARCH, USER_KEYRING, b"user", b"ovaline_escape", 0)
        """
    first = PyTerminalSession(pool)
    added = python(
        first,
        prelude
        + f"""
        key = libc.syscall({add_key}, b"user", b"ovaline_escape", b"secret", 6, USER_KEYRING)
        print(key > 0, search() == key)
        """,
    )
    assert added.stdout == b"True True\n", added
    second = next_tenant(pool, first)
    found = python(second, prelude + "print(search(), ctypes.get_errno())\n")
    assert found.stdout == f"-1 {errno.ENOKEY}\n".encode(), found
    second.close()


def test_proc_shows_only_the_sessions_processes(running):
    session, _ = running
    listed = session.run("for p in /proc/[0-9]*; do cat $p/comm; done; readlink /proc/self")
    # Only the run's bash, and readlink itself, whose pid comes last: the init and
    # everything of the host stay out of sight.
    assert listed.stdout.split()[:-1] == [b"bash"], listed
    assert int(listed.stdout.split()[-1]) <= 10
    # The shell's own /proc holds only what runs under its init.
    session.write(b"echo \"<<$(ls -d /proc/[0-9]* | wc -l)>>$((6*7))\"\n")
    seen = b""
    while b">>42" not in seen:
        seen += session.read(4096, timeout=30)
    count = int(seen[seen.rindex(b"<<") + 2 : seen.rindex(b">>42")])
    assert 1 <= count <= 4, seen


def test_a_home_nested_deeper_than_the_descriptor_limit_does_not_break_the_account(pool):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    levels = 600
    with PyTerminalSession(pool) as session:
        user = session.user
        nested = python(
            session,
            f"""
            import os
            os.chdir({session.home!r})
            for _ in range({levels}):
                os.mkdir("d")
                os.chdir("d")
            print("nested")
            """,
        )
        assert nested.stdout == b"nested\n", nested
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    try:
        with PyTerminalSession(pool) as session:
            assert session.user == user
            assert os.listdir(session.home) == []
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_pull_of_a_file_too_big_for_memory_fails_and_the_session_stays_usable(running):
    session, _ = running
    made = session.run("truncate -s 200G huge && truncate -s 2M big && echo ok")
    assert made.stdout == b"ok\n"
    for fs in (PyFs(), PyFs.limited(max_bytes=1 << 20)):
        with pytest.raises(OSError) as failure:
            session.pull(fs)
        assert failure.value.errno == 28  # ENOSPC
        assert fs.listdir("/") == PyFs().listdir("/")
    assert session.run("echo still here").stdout == b"still here\n"
    session.close()
    session.close()


def test_run_output_is_capped_by_default(running):
    session, _ = running
    size = 16 * 1024 * 1024
    cases = [
        ({}, size, True),
        ({"max_output": None}, size + 4096, False),
        ({"max_output": 10}, 10, True),
    ]
    for kwargs, kept, truncated in cases:
        result = session.run(f"head -c {size + 4096} /dev/zero", timeout=30, **kwargs)
        assert (len(result.stdout), result.truncated) == (kept, truncated), kwargs
        assert result.ended_by == "exit"


def test_an_account_whose_home_cannot_be_made_afresh_is_passed_over(pool):
    with PyTerminalSession(pool) as session:
        broken, home = session.user, session.home
    # A mount point inside the old home: removing it fails with EBUSY for as long as
    # the mount stays.
    stuck = os.path.join(home, "stuck")
    os.mkdir(stuck)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", stuck], check=True)
    try:
        for _ in range(2):
            with PyTerminalSession(pool) as session:
                assert session.user != broken
                assert session.run("echo ok").stdout == b"ok\n"
    finally:
        subprocess.run(["umount", stuck], check=True)
