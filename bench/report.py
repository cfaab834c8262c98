#!/usr/bin/env python3
"""Prints the benchmark table from a results directory written by run.sh.

Per workload and server: <workload>.<server>.wrk (wrk --latency output) and
<workload>.<server>.check (status and size of one answer fetched first);
per server: idle.<server> (key=value lines). The files "workloads" (name and
description, tab-separated) and "servers" give the order. The first server
is this one; its ratio is taken to the best of the others that answered
soundly (status 200, errors under 1 %); "!" marks a ratio of its own
unsound run."""

import re
import sys
from pathlib import Path

UNITS = {"B": 1 / 2**20, "KB": 1 / 2**10, "MB": 1.0, "GB": 2**10, "TB": 2**20}
TIME = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}


def parse_wrk(text):
    def number(pattern):
        m = re.search(pattern, text)
        return m.groups() if m else None

    rps = number(r"Requests/sec:\s+([\d.]+)")
    if not rps:
        return None
    transfer = number(r"Transfer/sec:\s+([\d.]+)(\w+)")
    p50 = number(r"\n\s+50%\s+([\d.]+)(\w+)")
    p99 = number(r"\n\s+99%\s+([\d.]+)(\w+)")
    requests = number(r"(\d+) requests in")
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    non2xx = number(r"Non-2xx or 3xx responses:\s+(\d+)")
    errors += int(non2xx[0]) if non2xx else 0
    return {
        "rps": float(rps[0]),
        "requests": int(requests[0]) if requests else 0,
        "mbs": float(transfer[0]) * UNITS.get(transfer[1], 0) if transfer else 0.0,
        "p50": float(p50[0]) * TIME.get(p50[1], 0) if p50 else None,
        "p99": float(p99[0]) * TIME.get(p99[1], 0) if p99 else None,
        "errors": errors,
    }


def sound(row, check):
    """A peer counts as the best only with right answers: a fast error page
    must not set the bar."""
    return bool(row) and check.startswith("200 ") and row["errors"] <= 0.01 * max(row["requests"], 1)


def read(path):
    return path.read_text(errors="replace") if path.exists() else ""


def ms(value):
    return "n/a" if value is None else f"{value:.2f}"


def main(results):
    servers = read(results / "servers").split()
    workloads = [line.split("\t", 1) for line in read(results / "workloads").splitlines() if line]
    ours, peers = servers[0], servers[1:]

    head = f"{'workload':<34} {'server':<9} {'req/s':>10} {'MiB/s':>9} {'p50 ms':>8} {'p99 ms':>8} {'errors':>7}  {'check':<14} ratio"
    print(head)
    print("-" * len(head))
    for name, description in workloads:
        rows = {s: parse_wrk(read(results / f"{name}.{s}.wrk")) for s in servers}
        best = max((rows[p]["rps"] for p in peers if sound(rows[p], read(results / f"{name}.{p}.check"))),
                   default=0.0)
        for s in servers:
            r = rows[s]
            check = read(results / f"{name}.{s}.check").strip() or "n/a"
            label = description if s == servers[0] else ""
            if not r:
                print(f"{label:<34} {s:<9} {'n/a':>10} {'n/a':>9} {'n/a':>8} {'n/a':>8} {'n/a':>7}  {check:<14}")
                continue
            ratio = ""
            if s == ours and best > 0:
                ratio = f"{r['rps'] / best:.2f}x" + ("" if sound(r, check) else " !")
            print(f"{label:<34} {s:<9} {r['rps']:>10.0f} {r['mbs']:>9.1f} {ms(r['p50']):>8} {ms(r['p99']):>8} "
                  f"{r['errors']:>7}  {check:<14} {ratio}")

    print()
    head = f"{'idle connections':<34} {'server':<9} {'held':>10} {'failed':>9} {'KiB/conn':>9} {'idle CPU %':>10}  ratio (KiB, lower is better)"
    print(head)
    print("-" * len(head))
    idle = {}
    for s in servers:
        values = dict(line.split("=", 1) for line in read(results / f"idle.{s}").splitlines() if "=" in line)
        idle[s] = values
    peer_kib = [float(idle[p]["kib_per_conn"]) for p in peers if "kib_per_conn" in idle[p]]
    best = min(peer_kib, default=0.0)
    for s in servers:
        v = idle[s]
        label = "hold, one request each" if s == servers[0] else ""
        if "kib_per_conn" not in v:
            print(f"{label:<34} {s:<9} {'n/a':>10} {'n/a':>9} {'n/a':>9} {'n/a':>10}")
            continue
        kib = float(v["kib_per_conn"])
        ratio = f"{kib / best:.2f}x" if s == ours and best > 0 else ""
        print(f"{label:<34} {s:<9} {v['held']:>10} {v['failed']:>9} {kib:>9.1f} {float(v['idle_cpu_percent']):>10.2f}  {ratio}")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
