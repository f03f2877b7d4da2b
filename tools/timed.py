#!/usr/bin/env python3
"""Runs one step of `make test` and records how long it took, or prints the
table of the recorded steps.

    tools/timed.py LOG NAME COMMAND...   run COMMAND, append NAME's times to LOG
    tools/timed.py --table LOG           print LOG as a table, with totals

A step's CPU time is that of every process it started, including those that
outlive their parent (the JVM of a Spark session, a server a test started):
this process adopts orphaned descendants and reaps them, so their times
count too. Steps run side by side, so the sum of their wall times exceeds
the run's; the table shows the run's wall time separately.
"""

from __future__ import annotations

import ctypes
import os
import resource
import signal
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36


def run(log: str, name: str, command: list[str]) -> int:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    start = time.monotonic()
    # Descriptors stay open: a make inside the step keeps its jobserver.
    proc = subprocess.Popen(command, close_fds=False)
    # Ctrl-C reaches the whole foreground group; the step decides how it ends.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    code = proc.wait()
    # Adopted descendants still running are waited for a while: a step is
    # over when everything it started is, but one that left a process behind
    # should not hang the run.
    deadline = time.monotonic() + 60
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            break
        if pid == 0:
            if time.monotonic() > deadline:
                print(f"{name}: left processes running", file=sys.stderr)
                break
            time.sleep(0.2)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(log, "a") as f:
        f.write(f"{name}\t{start:.3f}\t{wall:.1f}\t{usage.ru_utime + usage.ru_stime:.1f}\t{code}\n")
    return code


def table(log: str) -> int:
    rows = []
    with open(log) as f:
        for line in f:
            name, start, wall, cpu, code = line.rstrip("\n").split("\t")
            rows.append((name, float(start), float(wall), float(cpu), int(code)))
    if not rows:
        return 0
    rows.sort(key=lambda r: r[1])
    first = rows[0][1]
    span = max(r[1] + r[2] for r in rows) - first
    width = max(len(r[0]) for r in rows + [("total",)])
    print(f"{'step':<{width}}  {'start':>7}  {'wall':>7}  {'cpu':>7}")
    for name, start, wall, cpu, code in rows:
        status = "" if code == 0 else f"  failed ({code})"
        print(f"{name:<{width}}  {start - first:>6.0f}s  {wall:>6.0f}s  {cpu:>6.0f}s{status}")
    print(f"{'total':<{width}}  {'':>7}  {span:>6.0f}s  {sum(r[3] for r in rows):>6.0f}s")
    return 0


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "--table":
        return table(argv[1])
    if len(argv) < 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    return run(argv[0], argv[1], argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
