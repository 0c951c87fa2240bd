"""Cloning a PyFs of 100,000 files of 1 KiB against deep-copying the same data held
in a dict tree, the floor: time and memory.

Run with `.venv/bin/python bench/bench_trees.py`. Each figure comes from a fresh
process, so one measurement's allocations do not flatter or burden the next.
"""

from __future__ import annotations

import copy
import json
import statistics
import subprocess
import sys
import time

DIRS = 100
FILES_PER_DIR = 1000
FILE_SIZE = 1024
ROUNDS = 5


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def build_ovaline(empty=False):
    import ovaline

    fs = ovaline.PyFs()
    payload = b"x" * FILE_SIZE
    for d in range(DIRS):
        fs.mkdir(f"/d{d}")
        for f in range(FILES_PER_DIR):
            if empty:
                fs.touch(f"/d{d}/f{f}")
            else:
                with fs.open(f"/d{d}/f{f}", "w") as handle:
                    handle.write(payload)
    return fs


def build_dict(kind):
    return {
        f"d{d}": {f"f{f}": kind(b"x" * FILE_SIZE) for f in range(FILES_PER_DIR)}
        for d in range(DIRS)
    }


def measure(tool):
    """Run in a child: build, then copy ROUNDS times; the median time and what one copy
    adds to the process."""
    if tool == "ovaline":
        source = build_ovaline()
        copy_once = source.clone
    elif tool == "empty-files":
        before = rss_bytes()
        source = build_ovaline(empty=True)
        return {"per_file": (rss_bytes() - before) / (DIRS * FILES_PER_DIR)}
    else:
        source = build_dict(bytearray if tool == "dict-bytearray" else bytes)

        def copy_once():
            return copy.deepcopy(source)

    # The first copy lands on fresh memory; later ones reuse what the one before freed.
    before = rss_bytes()
    kept = copy_once()
    grown = rss_bytes() - before
    del kept
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        copied = copy_once()
        times.append(time.perf_counter() - start)
        del copied
    return {"seconds": statistics.median(times), "grown": grown}


def in_child(tool):
    out = subprocess.run(
        [sys.executable, __file__, "--child", tool], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def main():
    files = DIRS * FILES_PER_DIR
    data = files * FILE_SIZE
    ours = in_child("ovaline")
    per_file = in_child("empty-files")["per_file"]
    print(f"{files:,} files of {FILE_SIZE} B in {DIRS} directories, median of {ROUNDS} copies\n")
    print("| copy | time (ms) | ratio to ovaline | memory added (MiB) |")
    print("|---|---|---|---|")
    print(f"| ovaline clone() | {ours['seconds'] * 1e3:.1f} | 1.00 | {ours['grown'] / 2**20:.1f} |")
    for tool, label in (
        ("dict-bytearray", "deepcopy of a dict tree of bytearray"),
        ("dict-bytes", "deepcopy of a dict tree of bytes (data shared, not copied)"),
    ):
        theirs = in_child(tool)
        print(
            f"| {label} | {theirs['seconds'] * 1e3:.1f} | "
            f"{theirs['seconds'] / ours['seconds']:.2f} | {theirs['grown'] / 2**20:.1f} |"
        )
    budget = data + per_file * files
    print(
        f"\nclone() memory: {ours['grown'] / 2**20:.1f} MiB against a budget of "
        f"{budget / 2**20:.1f} MiB (the data, {data / 2**20:.1f} MiB, plus {per_file:.0f} B "
        "per file, what a file costs in a PyFs while empty)"
    )


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(measure(sys.argv[2])))
    else:
        main()
