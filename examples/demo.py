"""A short tour of ovaline."""

import io
import os
import shutil
import sys

import ovaline
from ovaline import Whence


def tour_filesystem() -> None:
    print("== An in-memory filesystem ==")
    fs = ovaline.PyFs()
    fs.mkdir("/projects")
    fs.mkdir("/projects/ovaline")
    fs.touch("/projects/ovaline/README")
    fs.touch("/notes.txt")
    print("listdir('/'):", fs.listdir("/"))
    print("tree('/'):")
    print(fs.tree("/", "  "), end="")

    with fs.open("/notes.txt", "rw") as handle:
        handle.write(b"hello, world")
        handle.seek(7, Whence.SEEK_SET)
        # Each read also reports itself on standard output.
        print("read:", handle.read(5), "offset now", handle.tell())

    try:
        fs.remove("/projects", False)
    except ValueError as exc:
        print("remove('/projects', False) failed:", exc)
    fs.remove("/projects", True)
    print("after remove('/projects', True):", fs.listdir("/"))
    print(fs)


def tour_terminal() -> None:
    print("== terminal ==")
    fs = ovaline.PyFs()
    term = ovaline.PyTerm(fs)
    for line in [
        "mkdir docs",
        "touch docs/notes",
        "echo 'two  spaces' and\\ more # a comment",
        "cd docs",
        "pwd",
        "ls /",
        "cd /",
        "rm docs",
        "rm -r docs",
        "ls",
        "frobnicate",
    ]:
        print(f"$ {line}")
        try:
            output = term.exec(line)
        except ValueError as error:
            print(f"error: {error}")
            continue
        # Only ls and help end their output with a newline.
        if output:
            print(output, end="" if output.endswith("\n") else "\n")
    # The terminal and the PyFs share one filesystem.
    fs.mkdir("/made_by_pyfs")
    print("$ ls\n" + term.exec("ls"), end="")


def tour_session() -> None:
    if os.geteuid() != 0 or not all(shutil.which(p) for p in ("useradd", "su", "id")):
        print("== Shell sessions: skipped (they need root, useradd, su and id) ==")
        return
    print("== A real shell under a throw-away account ==")
    pool = ovaline.PyUserPool()
    with ovaline.PyTerminalSession(pool) as shell:
        print(f"account {shell.user}, home {shell.home}")
        # The shell echoes the typed line; the arithmetic marks the real output.
        shell.write(b"echo hello from $(whoami) $((40+2)); exit 7\n")
        output = b""
        while b" 42" not in output:
            chunk = shell.read(4096, timeout=10)
            if not chunk:
                break
            output += chunk
        for line in output.decode(errors="replace").splitlines():
            if "hello from" in line and " 42" in line and "$" not in line:
                print(line.strip())
        print(f"the shell exited with status {shell.wait(timeout=10)}")


def main() -> None:
    # The module writes its read reports straight to descriptor 1; keep our own lines
    # in step with them.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(line_buffering=True)
    tour_filesystem()
    tour_terminal()
    tour_session()


if __name__ == "__main__":
    main()
