import inspect
import subprocess
import sys

from session_support import descendants, needs_host

# A daemon thread blocks in session.read with the interpreter lock released; the main
# thread exits. While the interpreter finalises, an object dropped with sys.modules
# kills the shell, so the read returns and the thread takes the lock back, which ends
# it by a forced unwind through the module.
READER_AT_EXIT = """
import os, platform, signal, sys, threading, time
import ovaline

# A read waits in ppoll.
WAIT_SYSCALL = {"x86_64": "271", "aarch64": "73"}.get(platform.machine())


""" + inspect.getsource(descendants) + """

class EndShellWhileFinalising:
    def __del__(self, kill=os.kill, sleep=time.sleep, getpid=os.getpid, descendants=descendants):
        for pid in descendants(getpid()):
            # Killing the init takes the rest of its namespace along, maybe reaped already.
            try:
                kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        sleep(0.5)


session = ovaline.PyTerminalSession(ovaline.PyUserPool())


def read_forever():
    while True:
        session.read(4096)


reader = threading.Thread(target=read_forever, daemon=True)
reader.start()
deadline = time.monotonic() + 10
while True:
    with open(f"/proc/self/task/{reader.native_id}/syscall") as f:
        if WAIT_SYSCALL is None or f.read().split()[0] == WAIT_SYSCALL:
            break
    if time.monotonic() > deadline:
        raise SystemExit("the reader never blocked in read")
    time.sleep(0.01)
sys.modules["end_shell_while_finalising"] = EndShellWhileFinalising()
"""


@needs_host
def test_exit_while_a_thread_blocks_in_read():
    result = subprocess.run([sys.executable, "-c", READER_AT_EXIT], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
