#!/usr/bin/env python3
"""Reads what the benchmark measures of a running server from /proc.

  proc_stats.py cpu PID...      CPU seconds (user + system) of the processes,
                                all their descendants and the children they
                                have reaped (a CGI run that ended counts)
  proc_stats.py wakeups PID     voluntary context switches, summed over the
                                process's threads (each is a sleep that ended)
  proc_stats.py rss PID         VmRSS in KiB
  proc_stats.py busy            CPU seconds all processes of the machine
                                have spent (user, nice, system), so that a
                                run can tell how much went to others
  proc_stats.py sample PID...   "CPU BUSY": both of the above at once
  proc_stats.py running PGID... how many processes of these process groups
                                still run (zombies do not count)

A process that is gone counts as 0, so a sample never fails a run."""

import os
import sys
from pathlib import Path

TICKS = os.sysconf("SC_CLK_TCK")


def stat_fields(pid):
    """The fields after the command name (which may hold blanks and
    parentheses): index 0 is the state, 1 the parent pid, 2 the process
    group, 11..14 utime, stime, cutime, cstime."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return text[text.rindex(")") + 2:].split()


def processes():
    """(pid, fields) of every process that can be read."""
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            fields = stat_fields(entry.name)
            if fields:
                yield int(entry.name), fields


def running(groups):
    return sum(1 for _, fields in processes() if int(fields[2]) in groups and fields[0] != "Z")


def descendants(roots):
    children = {}
    for pid, fields in processes():
        children.setdefault(int(fields[1]), []).append(pid)
    seen, todo = set(), list(roots)
    while todo:
        pid = todo.pop()
        if pid not in seen:
            seen.add(pid)
            todo.extend(children.get(pid, []))
    return seen


def cpu_seconds(roots):
    ticks = 0
    for pid in descendants(roots):
        fields = stat_fields(pid)
        if fields:
            ticks += sum(int(f) for f in fields[11:15])
    return ticks / TICKS


def status_value(path, key):
    try:
        for line in Path(path).read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def wakeups(pid):
    try:
        tasks = list(Path(f"/proc/{pid}/task").iterdir())
    except OSError:
        return 0
    return sum(status_value(task / "status", "voluntary_ctxt_switches") for task in tasks)


def busy_seconds():
    fields = Path("/proc/stat").read_text().split("\n", 1)[0].split()
    return sum(int(f) for f in fields[1:4]) / TICKS


def main(argv):
    if argv[1:] == ["busy"]:
        print(f"{busy_seconds():.2f}")
        return
    if len(argv) < 3 or argv[1] not in ("cpu", "wakeups", "rss", "running", "sample"):
        sys.exit(__doc__)
    pids = [int(p) for p in argv[2:] if p.isdigit()]
    if argv[1] == "sample":
        print(f"{cpu_seconds(pids):.2f} {busy_seconds():.2f}")
    elif argv[1] == "running":
        print(running(set(pids)))
    elif argv[1] == "cpu":
        print(f"{cpu_seconds(pids):.2f}")
    elif argv[1] == "wakeups":
        print(sum(wakeups(p) for p in pids))
    else:
        print(sum(status_value(f"/proc/{p}/status", "VmRSS") for p in pids))


if __name__ == "__main__":
    main(sys.argv)
