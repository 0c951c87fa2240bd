"""A tree mounted inside a session: the session's own programs read and write it live, as
its account; other accounts and the host never see it."""

import os

import pytest

from ovaline import PyFs, PyTerminalSession
from session_support import needs_host

pytestmark = [
    needs_host,
    pytest.mark.skipif(not os.path.exists("/dev/fuse"), reason="needs /dev/fuse"),
]


@pytest.mark.parametrize("sandboxed", [False, True], ids=["session", "sandbox"])
def test_one_tree_seen_live_inside_the_session_only(pool, sandboxed):
    fs = PyFs()
    fs.write_bytes("/x", b"from python\n")
    session = PyTerminalSession.sandbox(pool) if sandboxed else PyTerminalSession(pool)
    with session:
        mount = session.mount(fs, "deep/work")
        assert mount.path == f"{session.home}/deep/work" and mount.mounted
        made = session.run(
            "cat deep/work/x && echo from-session > deep/work/y && stat -c %U deep/work/y"
        )
        assert made.stdout == f"from python\n{session.user}\n".encode(), made
        assert fs.read_bytes("/y") == b"from-session\n"
        fs.write_bytes("/z", b"later")
        assert session.run("cat deep/work/z").stdout == b"later"
        # The host's view of the same directory stays empty.
        assert os.listdir(mount.path) == []
        for bad, number in (("/abs", "EINVAL"), ("../up", "EINVAL"), ("deep", "ENOTEMPTY")):
            with pytest.raises(OSError) as raised:
                session.mount(fs, bad)
            assert raised.value.errno == getattr(__import__("errno"), number), bad
        mount.unmount()
        assert not mount.mounted
        assert session.run("ls deep/work").stdout == b""
        second = session.mount(fs, "again", read_only=True)
        # The session keeps a mount whose object was dropped.
        session.mount(fs, "kept")
        assert session.run("cat kept/x").stdout == b"from python\n"
    # Closing the session ends what it still serves.
    assert not second.mounted
