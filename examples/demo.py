"""A short tour of ovaline."""

import sys

import ovaline
from ovaline import Whence


def tour_filesystem():
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


def main():
    # The module writes its read reports straight to descriptor 1; keep our own lines
    # in step with them.
    sys.stdout.reconfigure(line_buffering=True)
    tour_filesystem()


if __name__ == "__main__":
    main()
