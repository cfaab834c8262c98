#!/usr/bin/env python3
"""Instructions per request of bench_host under callgrind: the same cached
1 KiB GET over one keep-alive connection as count_allocations.py (HTTP, then
HTTPS), counted between a warm-up and the end of a fixed number of requests
(callgrind_control zeroes the counters, then dumps them). Counts do not
depend on what else the machine runs, as times do. With --h2 it asks over
HTTP/2 with h2load (one connection, 10 streams at once) in counted runs of
two lengths, after a warm-up run: the difference of the least of each is
what the requests cost, without the connection's set-up.

With --new-connections each request comes on a connection of its own over
HTTP ("Connection: close", read to the server's close), one connection after
another, with one event loop (as the benchmark's pinned server runs): it
prints instructions and allocations per connection.

With --handshakes the same comes over HTTPS, a TLS handshake per request:
first full handshakes (no session offered), then resumed ones (each
connection offers the session the one before it got); a handshake that was
not resumed fails the run.

    bench/count_instructions.py BENCH_HOST [--requests N] [--warmup N] [--keep DIR]
                                [--new-connections | --handshakes | --h2]
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
import time

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


CLOSE_REQUEST = b"GET /1k.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"


def one_connection_each(port, count, context=None, resume=False, session=None):
    """Returns the last TLS session (to resume in the next call)."""
    for _ in range(count):
        conn = socket.create_connection(("127.0.0.1", port))
        if context is not None:
            conn = context.wrap_socket(conn, session=session if resume else None)
        try:
            conn.sendall(CLOSE_REQUEST)
            answer = b""
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                answer += chunk
            if resume and session is not None and not conn.session_reused:
                raise RuntimeError("the server did not resume the session")
            if context is not None:
                session = conn.session
        finally:
            conn.close()
        if b" 200 " not in answer.split(b"\r\n", 1)[0] or not answer.endswith(b"a" * 1024):
            raise RuntimeError("unexpected answer: %r" % answer[:80])
    return session


class Allocations:
    """The counts bench_host prints on standard error when asked."""

    def __init__(self, process):
        self.process = process
        self.counts = []
        self.counted = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            words = line.split()
            if len(words) >= 4 and words[0] == "allocations" and words[2] == "mallocs":
                with self.counted:
                    self.counts.append((int(words[1]), int(words[3])))
                    self.counted.notify_all()

    def now(self):
        with self.counted:
            seen = len(self.counts)
            self.process.stdin.write("allocations\n")
            self.process.stdin.flush()
            if not self.counted.wait_for(lambda: len(self.counts) > seen, timeout=60):
                raise RuntimeError("bench_host did not report its allocations")
            return self.counts[-1]


def new_connections(process, port, args, out_dir, kinds=(("http", None, False),)):
    allocations = Allocations(process)
    for name, context, resume in kinds:
        session = one_connection_each(port, args.warmup, context, resume)
        time.sleep(1)  # the last closes are done with
        control(process.pid, "--zero")
        before = allocations.now()
        one_connection_each(port, args.requests, context, resume, session)
        time.sleep(1)
        after = allocations.now()
        control(process.pid, "--dump=" + name)
        print("%-7s %.0f instructions, %.1f allocations, %.1f mallocs per new connection" %
              (name, dumped_instructions(out_dir, name) / args.requests,
               (after[0] - before[0]) / args.requests, (after[1] - before[1]) / args.requests), flush=True)
    return 0


def client_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


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
    parser.add_argument("--new-connections", action="store_true",
                        help="a new HTTP connection per request (Connection: close)")
    parser.add_argument("--handshakes", action="store_true",
                        help="a new HTTPS connection per request: full, then resumed TLS handshakes")
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
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE if args.new_connections or args.handshakes else subprocess.DEVNULL, text=True,
            env=dict(os.environ, VELKO_LOOPS="1") if args.new_connections or args.handshakes else None)
        ports = {}
        for _ in range(3):
            words = process.stdout.readline().split()
            if len(words) == 3 and words[1] == "port":
                ports[words[0]] = int(words[2])
        threading.Thread(target=lambda: [None for _ in process.stdout], daemon=True).start()
        try:
            if args.new_connections:
                return new_connections(process, ports["http"], args, out_dir)
            if args.handshakes:
                context = client_context()
                return new_connections(process, ports["https"], args, out_dir,
                                       (("full", context, False), ("resumed", context, True)))
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
