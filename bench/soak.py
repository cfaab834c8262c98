#!/usr/bin/env python3
"""Drives a (sanitizer) build of the benchmark host through every kind of
workload in turn, over HTTP and HTTPS, for a bounded time, and fails on any
sanitizer report, any non-2xx answer to a valid request, or a dead server.

  soak.py HOST_BINARY [--seconds S]

Workloads: keep-alive and a new connection per request (1 KiB), 64 KiB,
1 MiB and 100 MiB files, a CGI script and a PHP script (wrk), clients that
close right after asking and clients that close in the middle of an answer
(threads of small clients here). After each workload one ordinary request
must still be answered whole; at the end the host must stop cleanly (its
leak check runs then). Prints one line per workload; exits 1 on a failure,
2 when it cannot start."""

import argparse
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SIZES = {"1k.bin": 1024, "64k.bin": 64 * 1024, "1m.bin": 1 << 20, "100m.bin": 100 << 20}
CGI = b'#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nhello from a shell script\\n"\n'
PHP = b'<?php\nheader("Content-Type: text/plain");\necho "hello from php\\n";\n'
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "SUMMARY: UndefinedBehavior")

# name, kind, path, connections, share of the time (a 100 MiB answer takes
# seconds under the sanitizer: that row runs longer)
WORKLOADS = [
    ("keep-alive 1 KiB", "keep", "/1k.bin", 50, 1),
    ("new connection per request", "close", "/1k.bin", 20, 1),
    ("64 KiB", "keep", "/64k.bin", 20, 1),
    ("1 MiB", "keep", "/1m.bin", 10, 1),
    ("100 MiB", "keep", "/100m.bin", 2, 2),
    ("CGI", "keep", "/cgi-bin/hello.sh", 8, 1),
    ("PHP", "keep", "/hello.php", 8, 1),
    ("close right after asking", "asked", "/1m.bin", 8, 1),
    ("close mid-answer", "midway", "/100m.bin", 8, 1),
]


def make_site(work):
    root = work / "root"
    (root / "cgi-bin").mkdir(parents=True)
    for name, size in SIZES.items():
        with open(root / name, "wb") as out:
            out.truncate(size)
    (root / "cgi-bin" / "hello.sh").write_bytes(CGI)
    (root / "cgi-bin" / "hello.sh").chmod(0o755)
    (root / "hello.php").write_bytes(PHP)
    cert, key = work / "cert.pem", work / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return root, cert, key


class Host:
    def __init__(self, binary, root, cert, key, log):
        self.log = log
        self.process = subprocess.Popen([binary, str(root), str(cert), str(key), "0", "0"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=open(log, "wb"))
        ports = {}
        while len(ports) < 2:
            line = self.process.stdout.readline().decode(errors="replace")
            if not line:
                sys.exit("soak: the host ended before it reported its ports")
            match = re.match(r"(https?) port (\d+)", line)
            if match:
                ports[match.group(1)] = int(match.group(2))
        self.ports = ports
        if ports["https"] == 0:
            sys.exit("soak: the host serves no HTTPS (see " + str(log) + ")")
        # The access log goes on standard output: drain it.
        threading.Thread(target=lambda: [None for _ in self.process.stdout], daemon=True).start()

    def alive(self):
        return self.process.poll() is None

    def sanitizer_report(self):
        text = Path(self.log).read_text(errors="replace")
        for mark in SANITIZER_MARKS:
            at = text.find(mark)
            if at >= 0:
                return text[max(0, at - 200):at + 3000]
        return None

    def stop(self, timeout):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None


def tls_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the throw-away certificate
    return context


def connect(port, tls, timeout=30):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return tls_context().wrap_socket(s) if tls else s


def request(path, close=False):
    extra = "Connection: close\r\n" if close else ""
    return f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{extra}\r\n".encode()


def fetch(port, tls, path):
    """Status line and body length of one request on a new connection, or the
    failure's text."""
    try:
        with connect(port, tls) as s:
            s.sendall(request(path, close=True))
            data = bytearray()
            while True:
                piece = s.recv(1 << 16)
                if not piece:
                    break
                data += piece
    except (OSError, ssl.SSLError) as error:
        return f"no answer ({error})", 0
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    return head.split(b"\r\n", 1)[0].decode(errors="replace"), len(body)


def run_wrk(url, kind, connections, seconds):
    command = ["wrk", "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "30s", url]
    if kind == "close":
        command[1:1] = ["-H", "Connection: close"]
    out = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 120).stdout
    problems = []
    requests = re.search(r"(\d+) requests in", out)
    if not requests or int(requests.group(1)) == 0:
        problems.append("no request answered")
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if bad:
        problems.append(f"{bad.group(1)} answers not 2xx")
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    if errors and int(errors.group(1)) > 0:
        problems.append(f"{errors.group(1)} connections refused")
    summary = f"{requests.group(1) if requests else 0} requests"
    if errors:
        summary += f" (socket errors {errors.group(0).split(': ', 1)[1]})"
    return summary, problems


def run_abandoning(port, tls, path, kind, connections, seconds):
    """Clients that ask and close at once (asked) or after the start of the
    answer (midway), in `connections` threads for `seconds`."""
    until = time.monotonic() + seconds
    counts = {"done": 0}
    problems = []
    lock = threading.Lock()

    def client():
        while time.monotonic() < until:
            try:
                s = connect(port, tls, timeout=10)
                s.sendall(request(path))
                if kind == "midway":
                    data = b""
                    while len(data) < 200_000:
                        piece = s.recv(1 << 16)
                        if not piece:
                            break
                        data += piece
                    if not data.startswith(b"HTTP/1.1 2"):
                        with lock:
                            problems.append("answer " + repr(data[:40]))
                s.close()
            except (OSError, ssl.SSLError) as error:
                with lock:
                    problems.append(f"client failed: {error}")
            with lock:
                counts["done"] += 1

    threads = [threading.Thread(target=client) for _ in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return f"{counts['done']} clients", problems[:5]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("--seconds", type=float, default=200, help="time for all workloads together")
    args = parser.parse_args()
    if not os.access(args.host, os.X_OK):
        print(f"soak: {args.host} is not a program", file=sys.stderr)
        return 2
    rounds = [(scheme,) + w for scheme in ("http", "https") for w in WORKLOADS]
    each = max(2, int(args.seconds / sum(w[-1] for w in rounds)))
    failures = []
    with tempfile.TemporaryDirectory(prefix="velko-soak-") as scratch:
        work = Path(scratch)
        os.chmod(work, 0o755)
        root, cert, key = make_site(work)
        host = Host(args.host, root, cert, key, work / "host.err")
        print(f"soak: {len(rounds)} workloads, {each} s each (twice that for 100 MiB); http port {host.ports['http']}, "
              f"https port {host.ports['https']}", flush=True)
        for scheme, name, kind, path, connections, share in rounds:
            port = host.ports[scheme]
            tls = scheme == "https"
            label = f"{scheme} {name}"
            seconds = each * share
            if kind in ("keep", "close"):
                summary, problems = run_wrk(f"{scheme}://127.0.0.1:{port}{path}", kind, connections, seconds)
            else:
                summary, problems = run_abandoning(port, tls, path, kind, connections, seconds)
            # The server lives and still answers an ordinary request whole.
            if not host.alive():
                problems.append("the server died")
            else:
                status, length = fetch(port, tls, "/64k.bin")
                if not status.startswith("HTTP/1.1 200") or length != SIZES["64k.bin"]:
                    problems.append(f"then /64k.bin: {status}, {length} bytes")
            report = host.sanitizer_report()
            if report:
                problems.append("sanitizer report:\n" + report)
            print(f"{'FAIL' if problems else 'ok  '} {label}: {summary}", flush=True)
            for problem in problems:
                print(f"     {problem}", flush=True)
            failures += [f"{label}: {p}" for p in problems]
            if not host.alive():
                break
        status = host.stop(timeout=120)
        if status is None:
            failures.append("the server did not stop within 120 s")
        elif status != 0:
            failures.append(f"the server ended with status {status}")
        report = host.sanitizer_report()
        if report and not any("sanitizer report" in f for f in failures):
            failures.append("sanitizer report at exit:\n" + report)
            print(report)
    if failures:
        print(f"soak: FAILED ({len(failures)} problems)")
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
