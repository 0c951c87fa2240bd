"""Side-by-side timings and memory of ovaline's PyFs against what users would pick
instead: PyFilesystem2's MemoryFS, pyfakefs, fsspec's memory filesystem, and a plain
dict as the floor.

Run with `make bench`. Prints a Markdown table; ratios are the other tool's figure
divided by ovaline's (above 1 means ovaline is faster or smaller). With
`--plot FILE.png` it also draws every tool's figures as multiples of the floor's.

Each workload's time is the best of up to ROUNDS runs, each on a fresh tree, with the
tools taking turns round by round so a busy spell of the machine falls on all of them
alike. A tool whose rounds have taken more than ROUND_BUDGET seconds runs no more: the
slowest peers are tens of times off, where one run is precise enough.
"""

from __future__ import annotations

import contextlib
import gc
import json
import os
import subprocess
import sys
import time

from peers import fresh_fsspec_memory

DIRS = 100
FILES_PER_DIR = 200
PAYLOAD = b"x" * 64
MEMORY_FILES = 200_000
ROUNDS = 5
ROUND_BUDGET = 10.0


@contextlib.contextmanager
def quiet_stdout():
    """Every PyFileHandle.read reports on file descriptor 1; keep it off the table."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


class Ovaline:
    name = "ovaline"

    def __init__(self):
        import ovaline

        self.fs = ovaline.PyFs()
        self.whence = ovaline.Whence

    def mkdir(self, path):
        self.fs.mkdir(path)

    def touch(self, path):
        self.fs.touch(path)

    def write_read(self, path):
        handle = self.fs.open(path, "rw")
        handle.write(PAYLOAD)
        data = handle.read(len(PAYLOAD))
        handle.close()
        return data

    def open_close(self, path):
        self.fs.open(path, "r").close()

    def listdir(self, path):
        return self.fs.listdir(path)

    def rmtree(self, path):
        self.fs.remove(path, True)


class FileObjects:
    """Opening, writing and reading through the file objects a tool's `open` returns."""

    def write_read(self, path):
        with self.open(path, "r+b") as handle:
            handle.write(PAYLOAD)
            handle.seek(0)
            return handle.read(len(PAYLOAD))

    def open_close(self, path):
        self.open(path, "rb").close()


class MemoryFS(FileObjects):
    name = "pyfilesystem2 MemoryFS"

    def __init__(self):
        from fs.memoryfs import MemoryFS as Impl

        self.fs = Impl()
        self.open = self.fs.open

    def mkdir(self, path):
        self.fs.makedir(path)

    def touch(self, path):
        self.fs.create(path)

    def listdir(self, path):
        return self.fs.listdir(path)

    def rmtree(self, path):
        self.fs.removetree(path)


class FakeFs(FileObjects):
    name = "pyfakefs"

    def __init__(self):
        from pyfakefs import fake_filesystem

        self.fs = fake_filesystem.FakeFilesystem()
        self.os = fake_filesystem.FakeOsModule(self.fs)
        self.open = fake_filesystem.FakeFileOpen(self.fs)

    def mkdir(self, path):
        self.os.mkdir(path)

    def touch(self, path):
        self.fs.create_file(path)

    def listdir(self, path):
        return self.os.listdir(path)

    def rmtree(self, path):
        self.fs.remove_object(path)


class FsspecMemory(FileObjects):
    name = "fsspec memory"

    def __init__(self):
        self.fs = fresh_fsspec_memory()
        self.open = self.fs.open

    def mkdir(self, path):
        self.fs.mkdir(path)

    def touch(self, path):
        self.fs.touch(path)

    def listdir(self, path):
        return self.fs.ls(path, detail=False)

    def rmtree(self, path):
        self.fs.rm(path, recursive=True)


class DictFloor:
    """No locks, no paths, no checks: the least any in-memory tree can cost."""

    name = "plain dict (floor)"

    def __init__(self):
        self.root = {}

    def _parent(self, path):
        parts = path.strip("/").split("/")
        node = self.root
        for part in parts[:-1]:
            node = node[part]
        return node, parts[-1]

    def mkdir(self, path):
        parent, name = self._parent(path)
        parent[name] = {}

    def touch(self, path):
        parent, name = self._parent(path)
        parent[name] = bytearray()

    def write_read(self, path):
        parent, name = self._parent(path)
        parent[name][0 : len(PAYLOAD)] = PAYLOAD
        return bytes(parent[name][: len(PAYLOAD)])

    def open_close(self, path):
        # Opening finds the file; closing has nothing to give back.
        parent, name = self._parent(path)
        return parent[name]

    def listdir(self, path):
        parent, name = self._parent(path + "/x")
        return list(parent)

    def rmtree(self, path):
        parent, name = self._parent(path)
        del parent[name]


TOOLS = {cls.name: cls for cls in (Ovaline, MemoryFS, FakeFs, FsspecMemory, DictFloor)}


# Built once, so no workload pays for formatting its paths.
PATHS = [(f"/top/d{d}", [f"/top/d{d}/f{i}" for i in range(FILES_PER_DIR)]) for d in range(DIRS)]


def time_workloads(tool_cls):
    """One round: every workload once, in order, on a fresh tool."""
    tool = tool_cls()
    results = {}

    def timed(label, action):
        gc.collect()
        start = time.perf_counter()
        action()
        results[label] = time.perf_counter() - start

    def create():
        tool.mkdir("/top")
        for directory, files in PATHS:
            tool.mkdir(directory)
            for path in files:
                tool.touch(path)

    def write_read():
        for _, files in PATHS:
            for path in files:
                assert tool.write_read(path) == PAYLOAD

    def open_close():
        for _, files in PATHS:
            for path in files:
                tool.open_close(path)

    def listdirs_first():
        for directory, _ in PATHS:
            tool.listdir(directory)

    def listdirs_again():
        for _ in range(9):
            for directory, _ in PATHS:
                tool.listdir(directory)

    with quiet_stdout():
        timed("create 20,000 files", create)
        timed("write+read 20,000 files", write_read)
        timed("open+close 20,000 files", open_close)
        timed("list 100 dirs, first time", listdirs_first)
        timed("list 100 dirs again x9", listdirs_again)
        timed("remove the tree", lambda: tool.rmtree("/top"))
    return results


def best_timings():
    """Every tool's best time per workload over its rounds."""
    best = {name: {} for name in TOOLS}
    spent = dict.fromkeys(TOOLS, 0.0)
    for _ in range(ROUNDS):
        for name, cls in TOOLS.items():
            if spent[name] > ROUND_BUDGET:
                continue
            start = time.perf_counter()
            for label, seconds in time_workloads(cls).items():
                best[name][label] = min(seconds, best[name].get(label, seconds))
            spent[name] += time.perf_counter() - start
    return best


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(name, files):
    tool = TOOLS[name]()
    tool.mkdir("/m")
    gc.collect()
    before = rss_bytes()
    for d in range(files // 1000):
        tool.mkdir(f"/m/d{d}")
        for i in range(1000):
            tool.touch(f"/m/d{d}/file{i}")
    gc.collect()
    grown = rss_bytes() - before
    print(json.dumps({"bytes_per_file": grown / files, "megabytes": grown / 2**20}))


def memory(name):
    out = subprocess.run(
        [sys.executable, __file__, "--memory", name, str(MEMORY_FILES)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.splitlines()[-1])["bytes_per_file"]


def big_directory(files):
    """One directory of `files` entries: creating, listing and removing it."""
    import ovaline

    fs = ovaline.PyFs()
    fs.mkdir("/big")
    names = [f"/big/f{i}" for i in range(files)]
    start = time.perf_counter()
    for name in names:
        fs.touch(name)
    created = time.perf_counter()
    listed = len(fs.listdir("/big")[0])
    after_listing = time.perf_counter()
    fs.remove("/big", True)
    removed = time.perf_counter()
    print(
        f"{listed:,} entries in one directory: created in {created - start:.2f} s, "
        f"listed in {after_listing - created:.2f} s, removed in {removed - after_listing:.2f} s"
    )


def main():
    # `bench_fs.py --memory TOOL FILES`: the memory of one tool alone, in this process.
    if len(sys.argv) == 4 and sys.argv[1] == "--memory":
        memory_child(sys.argv[2], int(sys.argv[3]))
        return
    # `bench_fs.py --big FILES`: one large directory in ovaline.
    if len(sys.argv) == 3 and sys.argv[1] == "--big":
        big_directory(int(sys.argv[2]))
        return
    plot_file = sys.argv[2] if len(sys.argv) == 3 and sys.argv[1] == "--plot" else None
    timings = best_timings()
    memories = {name: memory(name) for name in TOOLS}
    base = timings["ovaline"]
    others = [name for name in TOOLS if name != "ovaline"]
    header = "| workload | ovaline | " + " | ".join(others) + " |"
    print(header)
    print("|" + "---|" * (2 + len(others)))
    for label, seconds in base.items():
        cells = [f"{timings[n][label] * 1e3:.1f} ms ({timings[n][label] / seconds:.2f}x)" for n in others]
        print(f"| {label} | {seconds * 1e3:.1f} ms | " + " | ".join(cells) + " |")
    mine = memories["ovaline"]
    cells = [f"{memories[n]:.0f} B ({memories[n] / mine:.2f}x)" for n in others]
    print(f"| memory per empty file ({MEMORY_FILES:,} files) | {mine:.0f} B | " + " | ".join(cells) + " |")
    if plot_file:
        plot(timings, memories, plot_file)


def plot(timings, memories, path):
    """One group of bars per workload: each tool's figure divided by the floor's."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    floor = DictFloor.name
    labels = list(timings[floor]) + ["memory per empty file"]
    tools = [name for name in TOOLS if name != floor]
    fig, ax = plt.subplots(figsize=(10, 5))
    width = 0.8 / len(tools)
    for i, name in enumerate(tools):
        ratios = [timings[name][label] / timings[floor][label] for label in labels[:-1]]
        ratios.append(memories[name] / memories[floor])
        ax.bar([x + i * width for x in range(len(labels))], ratios, width, label=name)
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_ylabel("time or memory / plain dict (log; lower is better)")
    ax.set_xticks([x + width * (len(tools) - 1) / 2 for x in range(len(labels))], labels, fontsize=8)
    ax.legend()
    ax.set_title("ovaline beside the alternatives, as multiples of a plain dict")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()
