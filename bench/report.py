#!/usr/bin/env python3
"""Prints the benchmark tables from a results directory written by run.sh.

Files, per workload and server: <workload>.<server>.out (the client's
output: wrk --latency, handshake_client's lines in wrk's format, or
h2load's summary, whose mean time per request stands in the p50 column),
<workload>.<server>.check (status and size of one answer fetched first) and
<workload>.<server>.cpu (key=value: server_cpu_s, client_real_s,
client_cpu_s, machine_cpu_s; server_cpu_complete=no where the server's
CPU misses children that no process reaped). With run.sh --rounds N the
.out and .cpu files are <workload>@<round>.<server>.*, and each server's
median round by requests per second stands for it. Per scheme and server: idle.<scheme>.<server> (key=value).
"workloads" (name, client kind, expected size, description; tab-separated),
"servers" and "scaling" give the order; "meta" the run's settings.

The first server is this one. Its ratios are taken to the best of the other
servers whose run was sound (status 200, the expected size, errors under
1 %); "!" marks a ratio of its own unsound run, which is no result."""

import re
import sys
from pathlib import Path

UNITS = {"B": 1 / 2**20, "KB": 1 / 2**10, "MB": 1.0, "GB": 2**10, "TB": 2**20}
TIME = {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}
# A load client whose core was this busy was (close to) the bottleneck.
CLIENT_BOUND_PERCENT = 90.0
TLS_CLIENTS = ("new", "resume")


def parse_h2load(text):
    """h2load's summary: no percentiles, the mean time per request instead."""

    def number(pattern):
        m = re.search(pattern, text)
        return m.groups() if m else None

    finished = number(r"finished in [\d.]+s, ([\d.]+) req/s, ([\d.]+)(\w+)/s")
    done = number(r"requests: \d+ total, \d+ started, (\d+) done, (\d+) succeeded, (\d+) failed, (\d+) errored")
    if not finished or not done:
        return None
    mean = number(r"time for request:\s+\S+\s+\S+\s+([\d.]+)(\w+)")
    non2xx = number(r"status codes: \d+ 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx")
    errors = int(done[2]) + int(done[3]) + (sum(int(n) for n in non2xx) if non2xx else 0)
    return {
        "rps": float(finished[0]),
        "requests": int(done[1]),
        "mbs": float(finished[1]) * UNITS.get(finished[2], 0),
        "p50": float(mean[0]) * TIME.get(mean[1], 0) if mean else None,  # the mean, shown in the p50 column
        "p99": None,
        "errors": errors,
        "resumed": None,
    }


def parse_client(text):
    """wrk's summary (handshake_client prints the same lines), or h2load's."""

    def number(pattern):
        m = re.search(pattern, text)
        return m.groups() if m else None

    rps = number(r"Requests/sec:\s+([\d.]+)")
    if not rps:
        return parse_h2load(text)
    transfer = number(r"Transfer/sec:\s+([\d.]+)(\w+)")
    p50 = number(r"\n\s+50%\s+([\d.]+)(\w+)")
    p99 = number(r"\n\s+99%\s+([\d.]+)(\w+)")
    requests = number(r"(\d+) requests in")
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    non2xx = number(r"Non-2xx or 3xx responses:\s+(\d+)")
    errors += int(non2xx[0]) if non2xx else 0
    resumed = number(r"Resumed: (\d+) of (\d+) handshakes")
    return {
        "rps": float(rps[0]),
        "requests": int(requests[0]) if requests else 0,
        "mbs": float(transfer[0]) * UNITS.get(transfer[1], 0) if transfer else 0.0,
        "p50": float(p50[0]) * TIME.get(p50[1], 0) if p50 else None,
        "p99": float(p99[0]) * TIME.get(p99[1], 0) if p99 else None,
        "errors": errors,
        "resumed": (int(resumed[0]), int(resumed[1])) if resumed else None,
    }


def read(path):
    return path.read_text(errors="replace") if path.exists() else ""


def values(path):
    return dict(line.split("=", 1) for line in read(path).splitlines() if "=" in line)


def number(text, default=0.0):
    try:
        return float(text)
    except (TypeError, ValueError):
        return default


def deaths(results):
    """(server, row) pairs of the servers that died during a row."""
    return {tuple(line.split("\t", 1)) for line in read(results / "died").splitlines() if "\t" in line}


def load(results, name, server):
    """One run, or the median of its rounds: the client's figures with the
    check and the CPU times; only the check where the client printed no
    result."""
    runs = []
    while (results / f"{name}@{len(runs) + 1}.{server}.out").exists():
        runs.append(load_run(results, f"{name}@{len(runs) + 1}", server, name))
    if not runs:
        return load_run(results, name, server, name)
    measured = sorted((r for r in runs if "rps" in r), key=lambda r: r["rps"])
    if not measured:
        return runs[0]
    # The lower median: an even count does not pick its faster half.
    row = dict(measured[(len(measured) - 1) // 2])
    row["rounds"] = (len(runs), measured[0]["rps"], measured[-1]["rps"])
    return row


def load_run(results, run, server, name):
    row = parse_client(read(results / f"{run}.{server}.out"))
    check = read(results / f"{name}.{server}.check").strip() or "n/a"
    if (server, name) in deaths(results):
        check = "DIED"
    if not row:
        return {"check": check}
    cpu = values(results / f"{run}.{server}.cpu")
    real = number(cpu.get("client_real_s"))
    server_cpu = number(cpu.get("server_cpu_s"))
    client_cpu = number(cpu.get("client_cpu_s"))
    # What the rest of the machine ran meanwhile: noise in this run.
    others = max(0.0, number(cpu.get("machine_cpu_s")) - server_cpu - client_cpu)
    row.update(check=check,
               server_percent=100 * server_cpu / real if real > 0 else None,
               per_cpu=row["requests"] / server_cpu if server_cpu > 0 else None,
               client_percent=100 * client_cpu / real if real > 0 else None,
               other_percent=100 * others / real if real > 0 and "machine_cpu_s" in cpu else None,
               cpu_complete=cpu.get("server_cpu_complete", "yes") != "no")
    return row


def sound(row, expect):
    """A run counts only with right answers: a fast error page or a short
    file must not set the bar, nor pass for a result."""
    if not row or "rps" not in row:
        return False
    status, _, size = row["check"].partition(" ")
    if status != "200" or (expect != "-" and size != f"{expect}B"):
        return False
    return row["errors"] <= 0.01 * max(row["requests"], 1)


def fmt(value, spec, suffix=""):
    return "n/a" if value is None else f"{value:{spec}}{suffix}"


def ratio(ours, best):
    return "" if ours is None or not best else f"{ours / best:.2f}x"


def best_of(rows, peers, key):
    """The best sound peer's figure for key (higher is better) and its name;
    a CPU figure only where all of the server's CPU was counted."""
    candidates = [(rows[p][key], p) for p in peers if rows[p].get("sound") and rows[p].get(key) and
                  (key != "per_cpu" or rows[p]["cpu_complete"])]
    return max(candidates, default=(None, ""))


HEAD = (f"{'workload':<33} {'server':<9} {'req/s':>9} {'MiB/s':>8} {'p50 ms':>7} {'p99 ms':>7} {'errors':>6}  "
        f"{'check':<14} {'srv %':>5} {'req/CPU-s':>9} {'cli %':>6} {'oth %':>5}  {'ratio':>6} {'CPU ratio':>9}  notes")


def line(label, server, r, rps_ratio="", cpu_ratio="", notes="", client_cores=1):
    if "rps" not in r:
        return f"{label:<33} {server:<9} {'n/a':>9} {'n/a':>8} {'n/a':>7} {'n/a':>7} {'n/a':>6}  {r['check']:<14}"
    client = fmt(r["client_percent"], ".0f")
    per_cpu = fmt(r["per_cpu"], ".0f") + ("" if r["cpu_complete"] else "?")
    if r["client_percent"] is not None and r["client_percent"] >= CLIENT_BOUND_PERCENT * client_cores:
        client += "*"
    return (f"{label:<33} {server:<9} {r['rps']:>9.0f} {r['mbs']:>8.1f} {fmt(r['p50'], '.2f'):>7} "
            f"{fmt(r['p99'], '.2f'):>7} {r['errors']:>6}  {r['check']:<14} {fmt(r['server_percent'], '.0f'):>5} "
            f"{per_cpu:>9} {client:>6} {fmt(r['other_percent'], '.0f'):>5}  {rps_ratio:>6} {cpu_ratio:>9}  "
            f"{notes}").rstrip()


def workload_table(results, servers):
    ours, peers = servers[0], servers[1:]
    print(HEAD)
    print("-" * len(HEAD))
    for entry in read(results / "workloads").splitlines():
        if not entry:
            continue
        name, kind, expect, description = entry.split("\t", 3)
        rows = {s: load(results, name, s) for s in servers}
        for r in rows.values():
            r["sound"] = sound(r, expect)
        best, best_peer = best_of(rows, peers, "rps")
        best_cpu, _ = best_of(rows, peers, "per_cpu")
        for s in servers:
            r = rows[s]
            label = description if s == ours else ""
            notes = []
            if "rps" in r and r["resumed"]:
                done, total = r["resumed"]
                notes.append(f"resumed {100 * done / max(total, 1):.0f}%")
            if "rps" in r and not r["cpu_complete"]:
                notes.append("?: its scripts' CPU is not counted")
            if "rounds" in r:
                count, low, high = r["rounds"]
                notes.append(f"median of {count}: {low:.0f} to {high:.0f}")
            if s != ours or "rps" not in r:
                print(line(label, s, r, notes=", ".join(notes)))
                continue
            mark = "" if r["sound"] else " !"
            rps_ratio = ratio(r["rps"], best) + mark if best else ""
            cpu_ratio = ratio(r["per_cpu"], best_cpu) + mark if best_cpu else ""
            if best_peer:
                notes.insert(0, f"best: {best_peer}")
            if kind in TLS_CLIENTS and "nginx" in rows and rows["nginx"]["sound"]:
                notes.append(f"vs nginx {ratio(r['rps'], rows['nginx']['rps'])}{mark}")
            if not r["sound"]:
                notes.append("! errors or wrong answer: not a result")
            print(line(label, s, r, rps_ratio, cpu_ratio, ", ".join(notes)))


def idle_table(results, servers):
    ours, peers = servers[0], servers[1:]
    head = (f"{'idle keep-alive connections':<33} {'server':<9} {'held':>6} {'failed':>6} {'KiB/conn':>9} "
            f"{'CPU %':>6} {'wake-ups/s':>10}  ratio (KiB/conn, lower is better)")
    print(head)
    print("-" * len(head))
    for scheme in ("http", "https", "h2"):
        idle = {s: values(results / f"idle.{scheme}.{s}") for s in servers}
        for v in idle.values():
            held = int(number(v.get("held"), 0))
            seconds = number(v.get("seconds"), 0)
            if held > 0 and "rss_after_kib" in v:
                v["kib"] = (number(v["rss_after_kib"]) - number(v["rss_before_kib"])) / held
            if seconds > 0 and "cpu_s" in v:
                v["cpu"] = 100 * number(v["cpu_s"]) / seconds
                v["wakeups_s"] = number(v.get("wakeups")) / seconds
        best = min((idle[p]["kib"] for p in peers if "kib" in idle[p]), default=None)
        for s in servers:
            v = idle[s]
            label = f"{'HTTP/2' if scheme == 'h2' else scheme.upper()}, one request each" if s == ours else ""
            if "kib" not in v:
                print(f"{label:<33} {s:<9} {'n/a':>6} {'n/a':>6} {'n/a':>9} {'n/a':>6} {'n/a':>10}")
                continue
            print(f"{label:<33} {s:<9} {v['held']:>6} {v['failed']:>6} {v['kib']:>9.1f} "
                  f"{fmt(v.get('cpu'), '.2f'):>6} {fmt(v.get('wakeups_s'), '.1f'):>10}  "
                  f"{ratio(v['kib'], best) if s == ours and best and best > 0 else ''}".rstrip())


def scaling_table(results):
    labels = [l for l in read(results / "scaling").split() if l]
    if not labels:
        return
    print()
    head = (f"{'scaling: not pinned, wrk -t2':<33} {'loops':<9} {'req/s':>9} {'MiB/s':>8} {'p50 ms':>7} "
            f"{'p99 ms':>7} {'errors':>6}  {'check':<14} {'srv %':>5} {'req/CPU-s':>9} {'cli %':>6} {'oth %':>5}")
    print(head)
    print("-" * len(head))
    for label in labels:
        r = load(results, f"scale-{label}", "velko-scale")
        loops = label.removeprefix("loops-")
        text = line("1 KiB keep-alive, 50 conns, HTTP", loops, r, client_cores=2)
        if loops == "default":
            text += "  loops setting not yet available"
        print(text)
    print("wrk shares both cores with the server here: srv % + cli % can reach 200.")


def main(results):
    servers = read(results / "servers").split()
    meta = values(results / "meta")
    if meta:
        print(f"peers: {meta.get('peers', '?')}; clients: {meta.get('client', '?')}")
        print(f"PHP children per peer: {meta.get('php_children', '?')}, "
              f"CGI children: {meta.get('cgi_children', '?')}; kernel {meta.get('kernel', '?')}; "
              f"load average {meta.get('load_at_start', '?')} at start, {meta.get('load_at_end', '?')} at end")
        print()
    for server, name in sorted(deaths(results)):
        print(f"{server} DIED during {name} (see logs/{server}.error.log); the benchmark stopped there.")
        print()
    workload_table(results, servers)
    print("srv %: the server's CPU (its processes and FastCGI helpers) over the run; req/CPU-s: requests")
    print("per second of that CPU; cli %: the load client's core, * where it was the bottleneck (>= 90 %);")
    print("oth %: CPU of everything else on the machine meanwhile (noise: figures are sound near 0).")
    print("ratio, CPU ratio: this server over the best sound peer of this run (higher is better).")
    if any("@" in p.name for p in results.glob("*.out")):
        print("median of N: each server's median round by req/s, with its slowest and fastest rounds.")
    print()
    idle_table(results, servers)
    scaling_table(results)


if __name__ == "__main__":
    main(Path(sys.argv[1]))
