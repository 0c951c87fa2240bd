"""Side-by-side timings of PyTerminalSession.run against subprocess doing the same as
the same account, and how long a session takes to start and to close. Needs root and
the host's useradd and su.

Run with `.venv/bin/python bench/bench_session.py`. Prints two Markdown tables; a ratio
is ovaline's figure divided by subprocess's (below 1 means ovaline is faster).
"""

from __future__ import annotations

import os
import pwd
import statistics
import subprocess
import time

import ovaline

LATENCY_ROUNDS = 200
THROUGHPUT_ROUNDS = 5
START_ROUNDS = 30
WARM_ROUNDS = 20
BIG = "head -c 200M /dev/zero"


def median_seconds(call, rounds):
    call()  # warm up
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main():
    with ovaline.PyTerminalSession(ovaline.PyUserPool()) as session:
        user = pwd.getpwnam(session.user)

        def run_true():
            assert session.run("true").returncode == 0

        def su_true():
            subprocess.run(["su", session.user, "-c", "true"], check=True)

        def run_big():
            assert len(session.run(BIG, max_output=None).stdout) == 200 * 2**20

        def subprocess_big():
            done = subprocess.run(
                ["bash", "-c", BIG],
                capture_output=True,
                user=user.pw_uid,
                group=user.pw_gid,
                extra_groups=[],
                cwd=session.home,
                check=True,
            )
            assert len(done.stdout) == 200 * 2**20

        rows = [
            ("`run(\"true\")` median latency", run_true, su_true, "`su user -c true`", LATENCY_ROUNDS),
            (f"`{BIG}` through `run`", run_big, subprocess_big, "`subprocess.run` as the account", THROUGHPUT_ROUNDS),
        ]
        print("| workload | ovaline | subprocess | against | ratio |")
        print("|---|---:|---:|---|---:|")
        for name, ours, theirs, against, rounds in rows:
            a = median_seconds(ours, rounds)
            b = median_seconds(theirs, rounds)
            print(f"| {name} | {a * 1e3:.1f} ms | {b * 1e3:.1f} ms | {against} | {a / b:.2f} |")
    print()
    start_and_close()
    print()
    warm_takes()
    print()
    sandbox_run_latency()


def shells():
    """The number of this process's children: the shells of its sessions."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/children") as f:
                count += len(f.read().split())
        except FileNotFoundError:
            pass  # a thread that ended meanwhile has no children left
    return count


def wait_for_shells(count):
    deadline = time.monotonic() + 60
    while shells() != count:
        if time.monotonic() > deadline:
            raise SystemExit(f"expected {count} shells, have {shells()}")
        time.sleep(0.001)


def start_and_close():
    """Median start and close of plain sessions and sandboxes: cold (a new pool, which
    finds its account on the host), reused (an account the pool had before) and warm (a
    shell the pool started ahead)."""
    plain = ovaline.PyTerminalSession
    sandbox = ovaline.PyTerminalSession.sandbox
    kinds = [
        ("session, cold", ovaline.PyUserPool, plain, True, 0),
        ("session, reused", ovaline.PyUserPool, plain, False, 0),
        ("session, warm", lambda: ovaline.PyUserPool.warm(1), plain, False, 1),
        ("sandbox, cold", ovaline.PyUserPool, sandbox, True, 0),
        ("sandbox, reused", ovaline.PyUserPool, sandbox, False, 0),
        ("sandbox, warm", lambda: ovaline.PyUserPool.warm(1, sandbox=True), sandbox, False, 1),
    ]
    print("| session | start | close |")
    print("|---|---:|---:|")
    for kind, make_pool, start, fresh, ready in kinds:
        starts, closes = [], []
        pool = make_pool()
        for _ in range(START_ROUNDS + 1):
            if fresh:
                pool = make_pool()
            wait_for_shells(ready)
            began = time.perf_counter()
            session = start(pool)
            started = time.perf_counter()
            session.close()
            closed = time.perf_counter()
            starts.append(started - began)
            closes.append(closed - started)
        # The first round finds the account or the shell; it is left out.
        start_ms, close_ms = statistics.median(starts[1:]), statistics.median(closes[1:])
        print(f"| {kind} | {start_ms * 1e3:.2f} ms | {close_ms * 1e3:.2f} ms |")
        del pool
        wait_for_shells(0)


def warm_takes():
    """A warm sandbox taken soon after the last, and seconds later: median and 95th
    percentile of the take."""
    print("| pause between takes | median | p95 |")
    print("|---|---:|---:|")
    for pause in (0.05, 0.2, 1.0):
        pool = ovaline.PyUserPool.warm(1, sandbox=True)
        takes = []
        for _ in range(WARM_ROUNDS):
            wait_for_shells(1)
            time.sleep(pause)
            began = time.perf_counter()
            session = ovaline.PyTerminalSession.sandbox(pool)
            takes.append(time.perf_counter() - began)
            session.close()
        takes.sort()
        p95 = takes[int(len(takes) * 0.95) - 1]
        print(f"| {pause:.2f} s | {statistics.median(takes) * 1e3:.2f} ms | {p95 * 1e3:.2f} ms |")
        del pool
        wait_for_shells(0)


def sandbox_run_latency():
    """`run("true")` in a sandbox beside the same in a plain session."""
    pool = ovaline.PyUserPool()
    with ovaline.PyTerminalSession(pool) as plain, ovaline.PyTerminalSession.sandbox(pool) as box:
        a = median_seconds(lambda: box.run("true"), LATENCY_ROUNDS)
        b = median_seconds(lambda: plain.run("true"), LATENCY_ROUNDS)
    print("| `run(\"true\")` | sandbox | session | ratio |")
    print("|---|---:|---:|---:|")
    print(f"| median | {a * 1e3:.2f} ms | {b * 1e3:.2f} ms | {a / b:.2f} |")


if __name__ == "__main__":
    main()
