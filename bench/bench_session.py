"""Side-by-side timings of PyTerminalSession.run against subprocess doing the same as
the same account. Needs root and the host's useradd and su.

Run with `.venv/bin/python bench/bench_session.py`. Prints a Markdown table; a ratio is
ovaline's figure divided by subprocess's (below 1 means ovaline is faster).
"""

from __future__ import annotations

import pwd
import statistics
import subprocess
import time

import ovaline

LATENCY_ROUNDS = 200
THROUGHPUT_ROUNDS = 5
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
            assert len(session.run(BIG).stdout) == 200 * 2**20

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


if __name__ == "__main__":
    main()
