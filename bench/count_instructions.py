#!/usr/bin/env python3
"""Instructions per request of bench_host under callgrind: the same cached
1 KiB GET over one keep-alive connection as count_allocations.py (HTTP, then
HTTPS), counted between a warm-up and the end of a fixed number of requests
(callgrind_control zeroes the counters, then dumps them). Counts do not
depend on what else the machine runs, as times do. With --h2 it asks over
HTTP/2 with h2load (one connection, 10 streams at once) in counted runs of
two lengths, after a warm-up run: the difference of the least of each is
what the requests cost, without the connection's set-up.

    bench/count_instructions.py BENCH_HOST [--requests N] [--warmup N] [--keep DIR] [--h2]
"""
import argparse
import glob
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from count_allocations import REQUEST, h2load, run_requests  # noqa: E402


def control(pid, *args):
    subprocess.run(["callgrind_control", *args, str(pid)], check=True, stdout=subprocess.DEVNULL)


def dumped_instructions(out_dir, name):
    """The Ir total of the dump callgrind_control made for name."""
    for path in glob.glob(os.path.join(out_dir, "callgrind.out.*")):
        with open(path) as f:
            text = f.read()
        if re.search(r"^desc: Trigger: dump %s$" % re.escape(name), text, re.M):
            return int(re.search(r"^summary:\s+(\d+)", text, re.M).group(1))
    raise RuntimeError("no callgrind dump for " + name)


def count_h2(pid, port, out_dir, warmup, requests, runs=3):
    """Instructions per request over HTTP/2: the difference of a run of
    warmup and one of warmup + requests requests, each the least of runs
    (work that comes now and then, not per request, falls into some runs)."""
    h2load(port, "/1k.bin", warmup, [])
    spent = []
    for n in (warmup, warmup + requests):
        counts = []
        for run in range(runs):
            name = "h2-%d-%d" % (n, run)
            control(pid, "--zero")
            h2load(port, "/1k.bin", n, [])
            control(pid, "--dump=" + name)
            counts.append(dumped_instructions(out_dir, name))
        spent.append(min(counts))
    return (spent[1] - spent[0]) / requests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--keep", help="leave the callgrind dumps in this directory")
    parser.add_argument("--h2", action="store_true", help="over HTTP/2 with h2load (HTTPS only)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "cgi-bin"))
        with open(os.path.join(root, "1k.bin"), "wb") as f:
            f.write(b"a" * 1024)
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        out_dir = args.keep or os.path.join(work, "dumps")
        os.makedirs(out_dir, exist_ok=True)
        process = subprocess.Popen(
            ["valgrind", "--tool=callgrind", "--separate-threads=no", "--compress-strings=no", "--compress-pos=no",
             "--callgrind-out-file=" + os.path.join(out_dir, "callgrind.out.%p"),
             args.binary, root + "/", cert, key, "0", "0"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ports = {}
        for _ in range(3):
            words = process.stdout.readline().split()
            if len(words) == 3 and words[1] == "port":
                ports[words[0]] = int(words[2])
        threading.Thread(target=lambda: [None for _ in process.stdout], daemon=True).start()
        try:
            if args.h2:
                print("h2    %.0f instructions per GET /1k.bin" %
                      count_h2(process.pid, ports["https"], out_dir, args.warmup, args.requests), flush=True)
                return 0
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            kinds = [("http", lambda: socket.create_connection(("127.0.0.1", ports["http"])))]
            if ports.get("https"):
                kinds.append(("https", lambda: context.wrap_socket(
                    socket.create_connection(("127.0.0.1", ports["https"])))))
            for name, connect in kinds:
                conn = connect()
                try:
                    run_requests(conn, args.warmup, REQUEST)
                    control(process.pid, "--zero")
                    run_requests(conn, args.requests, REQUEST)
                    control(process.pid, "--dump=" + name)
                finally:
                    conn.close()
                print("%-5s %.0f instructions per GET /1k.bin" %
                      (name, dumped_instructions(out_dir, name) / args.requests), flush=True)
        finally:
            process.stdin.close()
            process.wait(timeout=120)
    return 0


if __name__ == "__main__":
    sys.exit(main())
