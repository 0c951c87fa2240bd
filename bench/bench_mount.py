"""A PyFs mounted with PyFs.mount against the same work on a tmpfs directory: a
sequential read of a large file, stat of every file of a tree, a git commit of many
small files, and the Python API's own speed with and without a mount up.

Run with `make bench` (as root: mounting needs it). Prints a Markdown table; the ratio
is the mount's time over tmpfs's. Each figure is the best of ROUNDS runs.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time

import ovaline

ROUNDS = 3
BIG = 256 << 20
CHUNK = 1 << 20
STAT_FILES = 10_000
GIT_FILES = 1_000
API_FILES = 20_000
GIT = ["git", "-c", "user.name=b", "-c", "user.email=b@example.com", "-c", "init.defaultBranch=main"]


def best(work, prepare=lambda: None):
    times = []
    for _ in range(ROUNDS):
        prepare()
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return min(times)


def read_all(path):
    fd = os.open(path, os.O_RDONLY)
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    try:
        while os.readv(fd, [view]) > 0:
            pass
    finally:
        os.close(fd)


def stat_all(root):
    subprocess.run(
        "find . -type f | xargs stat > /dev/null", shell=True, cwd=root, check=True, timeout=600
    )


def fill(root, count, size, per_dir=100):
    payload = b"x" * size
    for i in range(count):
        directory = os.path.join(root, f"d{i // per_dir}")
        if i % per_dir == 0:
            os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, f"f{i}"), "wb") as f:
            f.write(payload)


def clear(root):
    for name in os.listdir(root):
        path = os.path.join(root, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)


def git_commit(root):
    subprocess.run(GIT + ["add", "-A"], cwd=root, check=True, timeout=600)
    subprocess.run(GIT + ["commit", "-qm", "all"], cwd=root, check=True, timeout=600)


def git_prepare(root):
    def prepare():
        clear(root)
        subprocess.run(GIT + ["init", "-q"], cwd=root, check=True, timeout=600)
        fill(root, GIT_FILES, 200)

    return prepare


def api_speed(point=None):
    """Python's own work on a tree; with `point`, on the tree mounted there, in a
    directory the kernel has seen, so every change has a mount to keep informed."""
    fs = ovaline.PyFs()
    fs.mkdir("/a")
    mount = fs.mount(point) if point else None
    if mount:
        os.listdir(os.path.join(point, "a"))
    started = time.perf_counter()
    for i in range(API_FILES):
        fs.write_bytes(f"/a/f{i}", b"x")
        fs.stat(f"/a/f{i}")
    seconds = time.perf_counter() - started
    if mount:
        mount.unmount()
    return seconds


def workloads(root):
    """Each workload's seconds on the directory `root`."""
    results = {}
    clear(root)
    with open(os.path.join(root, "big"), "wb") as f:
        block = os.urandom(CHUNK)
        for _ in range(BIG // CHUNK):
            f.write(block)
    seconds = best(lambda: read_all(os.path.join(root, "big")))
    results["read 256 MiB"] = (seconds, f"{BIG / seconds / 2**30:.2f} GiB/s")
    clear(root)
    fill(root, STAT_FILES, 10)
    results[f"find \\| xargs stat, {STAT_FILES:,} files"] = (best(lambda: stat_all(root)), "")
    results[f"git add -A && commit, {GIT_FILES:,} files"] = (
        best(lambda: git_commit(root), git_prepare(root)),
        "",
    )
    clear(root)
    return results


def main():
    if os.geteuid() != 0:
        print("bench_mount.py mounts a PyFs, which needs root: skipped", file=sys.stderr)
        return
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=shm) as tmpfs_dir, tempfile.TemporaryDirectory() as point:
        tmpfs = workloads(tmpfs_dir)
        fs = ovaline.PyFs()
        with fs.mount(point):
            mounted = workloads(point)
        # Taking turns, so a busy spell of the machine falls on both alike.
        without, with_mount = [], []
        for _ in range(ROUNDS * 2):
            without.append(api_speed())
            with_mount.append(api_speed(point))
        without, with_mount = min(without), min(with_mount)
    print("| Workload | tmpfs | PyFs mount | mount / tmpfs |")
    print("|---|---|---|---|")
    for name, (seconds, note) in mounted.items():
        base, base_note = tmpfs[name]
        extra = f" ({note} vs {base_note})" if note else ""
        print(f"| {name}{extra} | {base * 1000:.0f} ms | {seconds * 1000:.0f} ms | {seconds / base:.2f}x |")
    print()
    print("| Python API, create+stat 20,000 files | not mounted | mounted | ratio |")
    print("|---|---|---|---|")
    print(f"| PyFs.write_bytes + PyFs.stat | {without * 1000:.0f} ms | {with_mount * 1000:.0f} ms "
          f"| {with_mount / without:.2f}x |")


if __name__ == "__main__":
    main()
