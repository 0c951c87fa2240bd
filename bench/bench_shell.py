"""PyTerm's shell mode beside /bin/bash running the same line over the same files on tmpfs.

Run with `make bench`, or `.venv/bin/python bench/bench_shell.py` after `make install`.
Each line runs in a PyTerm.shell over a PyFs and, as `bash -c LINE`, in a
directory under /dev/shm holding the same files; both must print the same. Prints a Markdown table of
the best of several runs; the ratio is bash's time divided by ovaline's (above 1 means
ovaline is faster). bash's time includes starting it, as a caller would pay.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from ovaline import PyFs, PyTerm

WORDS = ["apple", "banana", "cherry", "error", "warning", "info", "debug", "user", "disk", "net"]

LINES = [
    "grep -c apple big.txt",
    "grep -i error big.txt | cut -d ' ' -f 2 | sort -u",
    "wc -l big.txt",
    "cat big.txt | wc -l",
    "grep -ic error big.txt",
    "sort big.txt | tail -1",
    "sort -n big.txt | tail -1",
    "sed s/apple/pear/g big.txt | wc -l",
    # Only the bytes shown are read.
    "head -c 100 big.txt",
    "head -n 5 big.txt",
    "tail -n 5 big.txt",
    "grep -c apple small.txt",
    "cat small.txt | grep -v info | wc -l",
    # The interpreter itself: a loop of 100,000 tests and arithmetic expansions.
    "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done; echo $i",
    "for f in small.txt big.txt; do n=0; while read -r a b; do n=$((n+1)); done < small.txt; "
    "echo $f $n; done",
]

# Terminals made and given one command, to time what a caller pays per fresh shell.
STARTS = 20000


def make_text(size: int, seed: int) -> str:
    """Lines of a number and five words, about `size` bytes, the same for one seed."""
    rng = random.Random(seed)
    lines = []
    total = 0
    while total < size:
        words = " ".join(rng.choice(WORDS) for _ in range(5))
        line = f"{rng.randrange(100000)} {words.upper() if rng.random() < 0.1 else words}\n"
        lines.append(line)
        total += len(line)
    return "".join(lines)


def best_of(repeats: int, call) -> tuple[float, object]:
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=10 * 1000 * 1000, help="bytes of big.txt")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    bash = shutil.which("bash") or "/bin/bash"
    files = {"big.txt": make_text(args.size, 1), "small.txt": make_text(4000, 2)}

    fs = PyFs()
    for name, text in files.items():
        fs.write_text("/" + name, text)
    term = PyTerm.shell(fs)

    with tempfile.TemporaryDirectory(dir="/dev/shm", prefix="ovaline-bench-") as root:
        for name, text in files.items():
            with open(os.path.join(root, name), "w") as f:
                f.write(text)

        def run_bash(line: str) -> str:
            done = subprocess.run(
                [bash, "--norc", "--noprofile", "-c", line],
                cwd=root,
                env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"},
                capture_output=True,
                check=True,
                timeout=300,
            )
            return done.stdout.decode()

        print(f"big.txt: {len(files['big.txt'])} bytes; best of {args.repeats} runs\n")
        print("| line | ovaline ms | bash ms | bash / ovaline |")
        print("|---|---:|---:|---:|")
        for line in LINES:
            ours, our_out = best_of(args.repeats, lambda: term.exec(line))
            theirs, their_out = best_of(args.repeats, lambda: run_bash(line))
            if our_out != their_out:
                print(f"output differs for {line!r}", file=sys.stderr)
                return 1
            cell = line.replace("|", "\\|")
            print(f"| `{cell}` | {ours * 1e3:.2f} | {theirs * 1e3:.2f} | {theirs / ours:.2f} |")

        def starts() -> None:
            for _ in range(STARTS):
                PyTerm.shell(fs).exec("true")

        ours, _ = best_of(args.repeats, starts)
        theirs, _ = best_of(args.repeats, lambda: run_bash("true"))
        print(f"\n`PyTerm.shell(fs).exec('true')`: {ours / STARTS * 1e6:.2f} µs per terminal; "
              f"`bash -c true`: {theirs * 1e6:.0f} µs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
