"""Operations per second on one shared filesystem from 1, 2, 4 and 8 threads: ovaline's
PyFs beside PyFilesystem2's MemoryFS.

Each thread works in its own directory of one shared tree: it creates a file, writes
64 bytes to it, lists its directory and removes the file again. Each figure is the best
of three runs. Run with `make bench`; prints a Markdown table.
"""

from __future__ import annotations

import threading
import time

ROUNDS = 20_000
RUNS = 3
PAYLOAD = b"x" * 64


def ovaline_worker(fs, directory):
    def work():
        for i in range(ROUNDS):
            path = f"{directory}/f{i % 16}"
            fs.write_bytes(path, PAYLOAD)
            fs.listdir(directory)
            fs.remove(path, False)

    return work


def memoryfs_worker(fs, directory):
    def work():
        for i in range(ROUNDS):
            path = f"{directory}/f{i % 16}"
            fs.writebytes(path, PAYLOAD)
            fs.listdir(directory)
            fs.remove(path)

    return work


def ovaline_setup():
    import ovaline

    return ovaline.PyFs(), lambda fs, d: fs.mkdir(d), ovaline_worker


def memoryfs_setup():
    from fs.memoryfs import MemoryFS

    return MemoryFS(), lambda fs, d: fs.makedir(d), memoryfs_worker


def ops_per_second(setup, threads):
    fs, mkdir, worker = setup()
    works = []
    for t in range(threads):
        mkdir(fs, f"/t{t}")
        works.append(worker(fs, f"/t{t}"))
    runners = [threading.Thread(target=work) for work in works]
    start = time.perf_counter()
    for runner in runners:
        runner.start()
    for runner in runners:
        runner.join()
    # Three operations a round: write, list, remove.
    return threads * ROUNDS * 3 / (time.perf_counter() - start)


def main():
    counts = (1, 2, 4, 8)
    # Once untimed, so imports and first allocations count against no thread count.
    ops_per_second(ovaline_setup, 1)
    ops_per_second(memoryfs_setup, 1)
    print("| threads | ovaline ops/s | MemoryFS ops/s | ovaline / MemoryFS |")
    print("|---|---|---|---|")
    for threads in counts:
        mine = max(ops_per_second(ovaline_setup, threads) for _ in range(RUNS))
        theirs = max(ops_per_second(memoryfs_setup, threads) for _ in range(RUNS))
        print(f"| {threads} | {mine:,.0f} | {theirs:,.0f} | {mine / theirs:.1f}x |")


if __name__ == "__main__":
    main()
