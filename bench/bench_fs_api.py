"""Side-by-side timings of the filesystem API users reach for first: queries, whole-file
reads, renames, walking and globbing a large tree, and reading through a file object.
ovaline's PyFs against a plain-dict floor, PyFilesystem2's MemoryFS, pyfakefs and
fsspec's memory filesystem.

Run with `make bench`. Prints a Markdown table of time per operation (for walk and glob:
per pass over the whole tree). Ratios are the other tool's figure divided by ovaline's:
above 1 means ovaline is faster or smaller. The last column is ovaline's figure divided
by the floor's, beside the target it should stay within.

Each tool is measured alone in a fresh process (`bench_fs_api.py --tool NAME` prints its
figures as JSON), which also reports how far one walk over the tree raised the process's
resident memory. Slow tools are given a time budget per workload, not every call.
"""

from __future__ import annotations

import fnmatch
import gc
import io
import json
import random
import subprocess
import sys
import time

import bench_fs
from peers import fresh_fsspec_memory

# The large tree: TOP directories of SUB subdirectories of FILES files each, alternately
# .txt and .bin, so 100,000 entries in all.
TOP, SUB, FILES = 10, 100, 99
SMALL_FILES = 1000
KIB = bytes(range(256)) * 4
QUERY_ROUNDS = 20


def tree_paths():
    dirs, files = [], []
    for t in range(TOP):
        dirs.append(f"/tree/t{t}")
        for s in range(SUB):
            d = f"/tree/t{t}/s{s}"
            dirs.append(d)
            files.extend(f"{d}/f{i}.{'txt' if i % 2 else 'bin'}" for i in range(FILES))
    return dirs, files


TREE_DIRS, TREE_FILES = tree_paths()
SMALL = [f"/small/f{i}" for i in range(SMALL_FILES)]
MISSING = [f"/small/missing{i}" for i in range(SMALL_FILES)]


class Ovaline(bench_fs.Ovaline):
    def write(self, path, data):
        self.fs.write_bytes(path, data)

    def exists(self, path):
        return self.fs.exists(path)

    def size(self, path):
        return self.fs.stat(path).size

    def read_bytes(self, path):
        return self.fs.read_bytes(path)

    def rename(self, src, dst):
        self.fs.rename(src, dst)

    def walk(self, path):
        return self.fs.walk(path)

    def glob_txt(self):
        return self.fs.glob("/tree/**/*.txt")

    def open_read(self, path):
        with self.fs.open_io(path, "rb") as f:
            return f.read()


class DictFloor(bench_fs.DictFloor):
    def write(self, path, data):
        parent, name = self._parent(path)
        parent[name] = bytes(data)

    def touch(self, path):
        self.write(path, b"")

    def _node(self, path):
        parent, name = self._parent(path)
        return parent[name]

    def exists(self, path):
        try:
            self._node(path)
        except KeyError:
            return False
        return True

    def size(self, path):
        return len(self._node(path))

    def read_bytes(self, path):
        return self._node(path)

    def rename(self, src, dst):
        parent, name = self._parent(src)
        node = parent.pop(name)
        parent, name = self._parent(dst)
        parent[name] = node

    def walk(self, path):
        # Top-down like os.walk, one directory's lists at a time.
        pending = [(path, self._node(path))]
        while pending:
            top, node = pending.pop()
            dirs = [n for n, v in node.items() if isinstance(v, dict)]
            files = [n for n, v in node.items() if not isinstance(v, dict)]
            yield top, dirs, files
            pending.extend((f"{top}/{d}", node[d]) for d in reversed(dirs))

    def glob_txt(self):
        return sorted(
            f"{top}/{name}" for top, _, files in self.walk("/tree") for name in fnmatch.filter(files, "*.txt")
        )

    def open_read(self, path):
        # The standard buffered layer over io.BytesIO of the stored bytes, after one
        # lookup: what any file object stacked on a raw file costs at least.
        with io.BufferedReader(io.BytesIO(self._node(path))) as f:
            return f.read()


class MemoryFS(bench_fs.MemoryFS):
    def write(self, path, data):
        self.fs.writebytes(path, data)

    def exists(self, path):
        return self.fs.exists(path)

    def size(self, path):
        return self.fs.getsize(path)

    def read_bytes(self, path):
        return self.fs.readbytes(path)

    def rename(self, src, dst):
        self.fs.move(src, dst)

    def walk(self, path):
        return self.fs.walk.walk(path)

    def glob_txt(self):
        return sorted(match.path for match in self.fs.glob("/tree/**/*.txt"))

    def open_read(self, path):
        with self.fs.openbin(path) as f:
            return f.read()


class FakeFs(bench_fs.FakeFs):
    def __init__(self):
        super().__init__()
        from pyfakefs import fake_pathlib

        self.pathlib = fake_pathlib.FakePathlibModule(self.fs)

    def write(self, path, data):
        self.fs.create_file(path, contents=data)

    def exists(self, path):
        return self.fs.exists(path)

    def size(self, path):
        return self.os.stat(path).st_size

    def read_bytes(self, path):
        with self.open(path, "rb") as f:
            return f.read()

    def rename(self, src, dst):
        self.os.rename(src, dst)

    def walk(self, path):
        return self.os.walk(path)

    def glob_txt(self):
        return sorted(str(p) for p in self.pathlib.Path("/tree").glob("**/*.txt"))

    def open_read(self, path):
        return self.read_bytes(path)


class Fsspec:
    name = "fsspec memory"

    def __init__(self):
        self.fs = fresh_fsspec_memory()

    def mkdir(self, path):
        self.fs.mkdir(path)

    def write(self, path, data):
        self.fs.pipe_file(path, data)

    def touch(self, path):
        self.fs.touch(path)

    def exists(self, path):
        return self.fs.exists(path)

    def size(self, path):
        return self.fs.size(path)

    def read_bytes(self, path):
        return self.fs.cat_file(path)

    def rename(self, src, dst):
        self.fs.mv(src, dst)

    def walk(self, path):
        return self.fs.walk(path)

    def glob_txt(self):
        return sorted(self.fs.glob("/tree/**/*.txt"))

    def open_read(self, path):
        with self.fs.open(path, "rb") as f:
            return f.read()


TOOLS = {cls.name: cls for cls in (Ovaline, DictFloor, MemoryFS, FakeFs, Fsspec)}
# Each target bounds ovaline's time divided by the floor's.
TARGETS = {
    "exists": 1.2,
    "stat (size)": 1.2,
    "stat (size), 99,000 files in random order": 1.2,
    "read_bytes 1 KiB": 1.0,
    "read_bytes, 99,000 files in random order": 1.0,
    "rename": 2.0,
    "walk 100,000 entries": 2.0,
    'glob("**/*.txt") 100,000 entries': 3.0,
    "file object read() 1 KiB": 1.2,
}


# Seconds a tool may spend on one workload: the slow ones get through only part of it.
BUDGET = 2.0


def build(tool):
    tool.mkdir("/small")
    for path in SMALL:
        tool.write(path, KIB)
    tool.mkdir("/tree")
    for d in TREE_DIRS:
        tool.mkdir(d)
    for path in TREE_FILES:
        tool.touch(path)


def per_call(action, items, repeats=5):
    """The least time per item that `action` took over one batch of `items`, in `repeats`
    runs whose batches double from 10 up to 1,000 items. The best batch is the figure least
    disturbed by other work on the machine; a slow tool stops once it has spent BUDGET.
    With one repeat over a large set, every item is met for the first time."""
    best, spent = float("inf"), 0.0
    for _ in range(repeats):
        gc.collect()
        done, size = 0, 10
        while done < len(items) and spent < BUDGET:
            batch = items[done : done + size]
            start = time.perf_counter()
            action(batch)
            took = time.perf_counter() - start
            spent += took
            best = min(best, took / len(batch))
            done += len(batch)
            size = min(2 * size, 1000)
    return best


def consume_walk(tool):
    entries = 0
    for _, dirs, files in tool.walk("/tree"):
        entries += len(dirs) + len(files)
    assert entries == len(TREE_DIRS) + len(TREE_FILES), entries
    return entries


def rss_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def walk_memory(tool):
    """How far one walk over the tree raised the process's resident memory above what it
    held before, in bytes: the kernel's peak is reset first, so the build does not count."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = rss_kib("VmRSS")
    consume_walk(tool)
    return (rss_kib("VmHWM") - before) * 1024


def time_tool(cls):
    tool = cls()
    build(tool)
    memory = walk_memory(tool)
    exists, size, read, open_read = tool.exists, tool.size, tool.read_bytes, tool.open_read
    assert read(SMALL[0]) == KIB and open_read(SMALL[0]) == KIB and size(SMALL[0]) == len(KIB)
    assert exists(SMALL[0]) and not exists(MISSING[0])
    globbed = tool.glob_txt()
    assert len(globbed) == sum(p.endswith(".txt") for p in TREE_FILES), (cls.name, len(globbed))
    queries = SMALL * QUERY_ROUNDS
    # A working set far past the caches, each file met once per pass.
    scattered = list(TREE_FILES)
    random.Random(7).shuffle(scattered)

    def exists_all(paths):
        for path in paths:
            exists(path)

    def size_all(paths):
        for path in paths:
            size(path)

    def read_all(paths):
        for path in paths:
            read(path)

    def open_all(paths):
        for path in paths:
            open_read(path)

    def rename_there_and_back(paths):
        for path in paths:
            tool.rename(path, path + "r")
        for path in paths:
            tool.rename(path + "r", path)

    timings = {
        "exists": per_call(exists_all, queries),
        "stat (size)": per_call(size_all, queries),
        "stat (size), 99,000 files in random order": per_call(size_all, scattered, repeats=1),
        "read_bytes 1 KiB": per_call(read_all, queries),
        "read_bytes, 99,000 files in random order": per_call(read_all, scattered, repeats=1),
        "rename": per_call(rename_there_and_back, SMALL, repeats=3) / 2,
        "walk 100,000 entries": per_call(lambda _: consume_walk(tool), [None], repeats=3),
        'glob("**/*.txt") 100,000 entries': per_call(lambda _: tool.glob_txt(), [None], repeats=3),
        "file object read() 1 KiB": per_call(open_all, queries),
    }
    return {"timings": timings, "walk_memory": memory}


def measure(name):
    """One tool's figures, measured alone in a fresh process."""
    out = subprocess.run(
        [sys.executable, __file__, "--tool", name], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out.splitlines()[-1])


def available(cls):
    """Whether this build of the tool has every call the workloads make."""
    try:
        tool = cls()
        tool.mkdir("/probe")
        tool.write("/probe/f", b"x")
        tool.exists("/probe/f")
        tool.size("/probe/f")
        tool.rename("/probe/f", "/probe/g")
        list(tool.walk("/probe"))
    except (AttributeError, ImportError) as exc:
        print(f"skipping {cls.name}: {exc}", file=sys.stderr)
        return False
    return True


def cell(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.2f} µs"


def main():
    # `bench_fs_api.py --tool NAME`: one tool's figures as JSON, measured in this process.
    if len(sys.argv) == 3 and sys.argv[1] == "--tool":
        print(json.dumps(time_tool(TOOLS[sys.argv[2]])))
        return
    names = [name for name, cls in TOOLS.items() if available(cls)]
    if "ovaline" not in names:
        sys.exit("this build of ovaline lacks the calls the workloads make")
    results = {name: measure(name) for name in names}
    timings = {name: result["timings"] for name, result in results.items()}
    base = timings["ovaline"]
    floor = timings[DictFloor.name]
    others = [name for name in names if name != "ovaline"]
    print("| workload | ovaline | " + " | ".join(others) + " | ovaline / floor (target) |")
    print("|" + "---|" * (3 + len(others)))
    for label, seconds in base.items():
        cells = [f"{cell(timings[n][label])} ({timings[n][label] / seconds:.2f}x)" for n in others]
        verdict = f"{seconds / floor[label]:.2f}x (≤ {TARGETS[label]}x)"
        print(f"| {label} | {cell(seconds)} | " + " | ".join(cells) + f" | {verdict} |")
    memories = {name: result["walk_memory"] / 2**20 for name, result in results.items()}
    cells = [f"{memories[n]:.1f} MB" for n in others]
    print(f"| memory added by a walk | {memories['ovaline']:.1f} MB | " + " | ".join(cells) + " | flat |")


if __name__ == "__main__":
    main()
