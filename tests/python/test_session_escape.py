"""What one tenant of an account could leave for the next, or see of the host: each
attempt is replayed and its traces looked for afterwards."""

import os
import platform
import pwd
import resource
import shlex
import subprocess
import sys

import pytest

from ovaline import PyFs, PyTerminalSession, PyUserPool
from session_support import needs_host, uid_of

pytestmark = [
    needs_host,
    pytest.mark.skipif(not os.path.exists("/usr/bin/python3"), reason="needs the host's python3"),
]

SHARED = ("/tmp", "/var/tmp", "/dev/shm")

# Objects a tenant makes, as Python run inside the session: with PLANT it makes them,
# and either way it prints whether each is there. Key calls have no C library wrapper;
# their numbers stand in.
LIBC = """import ctypes, os
libc = ctypes.CDLL(None, use_errno=True)
"""
IPC = """libc.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
flags = 0o1600 if PLANT else 0
print(libc.shmget(0x6F7601, 4096, flags) >= 0, libc.msgget(0x6F7602, flags) >= 0,
      libc.mq_open(b"/ovaline_escape", os.O_CREAT | os.O_RDWR if PLANT else 0, 0o600, None) >= 0)
"""
KEY_CALLS = {"x86_64": (248, 250), "aarch64": (217, 219)}.get(platform.machine())
KEYS = """ADD_KEY, KEYCTL = {}
if PLANT:
    libc.syscall(ADD_KEY, b"user", b"ovaline_escape", b"secret", 6, -4)
print(libc.syscall(KEYCTL, 10, -4, b"user", b"ovaline_escape", 0) > 0)
""".format(KEY_CALLS)
PROBES = [IPC] + ([KEYS] if KEY_CALLS else [])


def probe(session, body, plant=False):
    script = f"PLANT = {plant}\n{LIBC}{body}"
    return session.run(f"/usr/bin/python3 -c {shlex.quote(script)}", timeout=30).stdout.split()


def host_leftovers(uid):
    """Entries at the top of the shared temporary places that belong to `uid`."""
    entries = [entry for root in SHARED for entry in os.scandir(root)]
    return [e.path for e in entries if e.stat(follow_symlinks=False).st_uid == uid]


def test_nothing_of_a_tenant_reaches_the_next_on_its_account(pool):
    first = PyTerminalSession(pool)
    uid = uid_of(first)
    plant = ("touch /tmp/left_$$ /dev/shm/left_$$; mkdir -p /var/tmp/left_$$/deep/er;"
             " ln -s /etc/passwd /tmp/link_$$")
    listing = "ls -d /tmp/left_* /dev/shm/left_* /tmp/link_* /var/tmp/left_*"
    assert first.run(f"{plant} && {listing} | wc -l").stdout == b"4\n"
    # The shared places the tenant wrote to are its own: the host's never see it.
    assert host_leftovers(uid) == []
    for body in PROBES:
        made = probe(first, body, plant=True)
        # A later run of the same tenant shares them: runs join the shell's namespaces.
        assert made == probe(first, body) == [b"True"] * len(made)
    with open("/proc/sysvipc/shm") as shm, open("/proc/sysvipc/msg") as msg:
        assert str(0x6F7601) not in shm.read() and str(0x6F7602) not in msg.read()
    first.close()
    with PyTerminalSession(pool) as second:
        assert second.user == first.user
        assert host_leftovers(uid) == [] and os.path.exists("/etc/passwd")
        assert second.run(listing).returncode != 0
        for body in PROBES:
            found = probe(second, body)
            assert found == [b"False"] * len(found), body


def test_start_clears_what_an_owner_killed_before_close_left():
    # An owner that plants files as its account and dies by SIGKILL, never closing; a
    # new pool hands out the same account first.
    owner = subprocess.Popen(
        [sys.executable, "-c", "import ovaline, os\n"
         "s = ovaline.PyTerminalSession(ovaline.PyUserPool())\n"
         "s.run('touch /tmp/crashed_$$ /var/tmp/crashed_$$ /dev/shm/crashed_$$')\n"
         "print(s.user, flush=True)\n"
         "os.kill(os.getpid(), 9)"],
        stdout=subprocess.PIPE, text=True,
    )
    user = owner.stdout.readline().strip()
    owner.wait(30)
    owner.stdout.close()
    uid = pwd.getpwnam(user).pw_uid
    assert host_leftovers(uid) == []
    with PyTerminalSession(PyUserPool()) as session:
        assert session.user == user
        found = session.run("ls -d /tmp/crashed_* /var/tmp/crashed_* /dev/shm/crashed_*")
        assert found.returncode != 0 and found.stdout == b""


def test_proc_shows_only_the_sessions_processes(running):
    session, _ = running
    # Only the run's bash, and readlink, whose pid comes last: the init, su and
    # everything of the host stay out of sight.
    listed = session.run("for p in /proc/[0-9]*; do cat $p/comm; done; readlink /proc/self")
    *names, own = listed.stdout.split()
    assert names == [b"bash"] and int(own) <= 10, listed
    session.write(b'echo "<<$(ls -d /proc/[0-9]* | wc -l)>>$((6*7))"\n')
    seen = b""
    while b">>42" not in seen:
        seen += session.read(4096, timeout=30)
    assert 1 <= int(seen[seen.rindex(b"<<") + 2 : seen.rindex(b">>42")]) <= 4, seen


def test_a_home_nested_deeper_than_the_descriptor_limit_does_not_break_the_account(pool):
    with PyTerminalSession(pool) as session:
        user = session.user
        nest = f"cd {session.home} && for i in $(seq 600); do mkdir d && cd d || exit 1; done"
        assert session.run(nest, timeout=30).returncode == 0
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
    try:
        with PyTerminalSession(pool) as session:
            assert session.user == user and os.listdir(session.home) == []
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_an_account_whose_home_cannot_be_made_afresh_is_passed_over(pool):
    with PyTerminalSession(pool) as session:
        broken = session.user
        stuck = os.path.join(session.home, "stuck")
    # A mount point in the old home cannot be removed while it stays mounted.
    os.mkdir(stuck)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", stuck], check=True)
    try:
        for _ in range(2):
            with PyTerminalSession(pool) as session:
                assert session.user != broken
                assert session.run("echo ok").stdout == b"ok\n"
    finally:
        subprocess.run(["umount", stuck], check=True)


def test_pull_of_a_file_too_big_for_memory_fails_and_the_session_stays_usable(running):
    session, _ = running
    assert session.run("truncate -s 200G huge && truncate -s 2M big").returncode == 0
    for fs in (PyFs(), PyFs.limited(max_bytes=1 << 20)):
        with pytest.raises(OSError) as failure:
            session.pull(fs)
        assert failure.value.errno == 28  # ENOSPC
        assert fs.listdir("/") == PyFs().listdir("/")
    assert session.run("echo still here").stdout == b"still here\n"
    session.close()


def test_run_output_is_capped_by_default(running):
    session, _ = running
    size = 16 * 1024 * 1024
    for kwargs, kept in [({}, size), ({"max_output": None}, size + 4096), ({"max_output": 10}, 10)]:
        result = session.run(f"head -c {size + 4096} /dev/zero", timeout=30, **kwargs)
        assert (len(result.stdout), result.truncated) == (kept, kept < size + 4096), kwargs
