#!/usr/bin/env python3
"""Measures what hostile or careless clients cost the server, on loopback.

  hostile.py HOST_BINARY [--churn N] [--flood N] [--seconds S]

Starts HOST_BINARY (bench_host) on a document root of its own with a
throw-away certificate, then:

  churn   opens and closes N connections (a fifth send nothing, the others
          one request whose answer they read), 200 at a time, and prints the
          server's resident memory after each tenth of them: memory that
          keeps growing is a leak per connection.
  flood   over HTTP, then HTTPS: one connection sends N pipelined
          "GET /index.html" and reads nothing for S seconds, while another
          client fetches /index.html on a new connection every 100 ms. Prints
          the server's open descriptors and memory at their peak, the other
          client's latencies, and whether the flooding client then gets all N
          answers in order once it reads.

Exits non-zero when the server cannot be started or answers wrongly."""

import argparse
import os
import re
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

PAGE = b"<html><body>" + b"x" * 900 + b"</body></html>\n"


def rss_kib(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def tls_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the throw-away certificate
    return context


def request(path="/index.html", extra=""):
    return f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{extra}\r\n".encode()


def connect(port, tls):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    return tls_context().wrap_socket(s) if tls else s


def fetch_once(port, tls):
    """Seconds one new-connection GET takes, or None when it fails."""
    started = time.monotonic()
    try:
        with connect(port, tls) as s:
            s.sendall(request(extra="Connection: close\r\n"))
            data = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                data += piece
        if not data.startswith(b"HTTP/1.1 200") or not data.endswith(PAGE):
            return None
        return time.monotonic() - started
    except (OSError, ssl.SSLError):
        return None


class Server:
    def __init__(self, binary, root, work):
        cert, key = work / "cert.pem", work / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", str(key), "-out", str(cert)],
                       check=True, capture_output=True)
        self.process = subprocess.Popen([binary, str(root), str(cert), str(key), "0", "0"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        ports = {}
        while len(ports) < 2:
            line = self.process.stdout.readline().decode()
            if not line:
                sys.exit("hostile: the host ended before it reported its ports")
            match = re.match(r"(https?) port (\d+)", line)
            if match:
                ports[match.group(1)] = int(match.group(2))
        self.https, self.http = ports["https"], ports["http"]
        # The access log goes on standard output: drain it.
        threading.Thread(target=lambda: [None for _ in self.process.stdout], daemon=True).start()

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def churn(server, total):
    print(f"churn: {total} connections, 200 at a time (resident KiB after each tenth)")
    done = 0
    samples = []
    step = max(total // 10, 1)
    while done < total:
        batch = []
        for i in range(min(200, total - done)):
            s = socket.create_connection(("127.0.0.1", server.http), timeout=10)
            if (done + i) % 5:
                s.sendall(request())
            batch.append(s)
        for i, s in enumerate(batch):
            if (done + i) % 5:
                data = b""
                while not data.endswith(PAGE):
                    piece = s.recv(65536)
                    if not piece:
                        break
                    data += piece
            s.close()
        done += len(batch)
        if done % step == 0 or done == total:
            time.sleep(0.2)  # the server sees the last ends
            samples.append((done, rss_kib(server.pid)))
            print(f"  {done:>8}  {samples[-1][1]:>8} KiB")
    grown = samples[-1][1] - samples[0][1]
    print(f"churn: grew {grown} KiB from {samples[0][0]} to {samples[-1][0]} connections "
          f"({grown * 1024 / max(samples[-1][0] - samples[0][0], 1):.1f} bytes per connection)")


def flood(server, count, seconds, tls):
    port = server.https if tls else server.http
    name = "HTTPS" if tls else "HTTP"
    payload = request() * count
    s = connect(port, tls)
    s.setblocking(False)
    sent, answers, tail = 0, 0, b""
    marker = b"HTTP/1.1 200 "
    peak_fd, peak_rss = descriptors(server.pid), rss_kib(server.pid)
    latencies, failures = [], 0
    stop = threading.Event()

    def other_client():
        nonlocal failures
        while not stop.is_set():
            took = fetch_once(port, tls)
            if took is None:
                failures += 1
            else:
                latencies.append(took)
            stop.wait(0.1)

    watcher = threading.Thread(target=other_client)
    watcher.start()
    reading_from = time.monotonic() + seconds
    give_up = reading_from + 120
    while time.monotonic() < give_up and answers < count:
        reading = time.monotonic() >= reading_from
        if reading and not stop.is_set():
            stop.set()
        readable, writable, _ = select.select([s] if reading else [], [s] if sent < len(payload) else [], [], 0.05)
        if writable:
            try:
                sent += s.send(payload[sent:sent + 65536])
            except (ssl.SSLWantWriteError, ssl.SSLWantReadError, BlockingIOError):
                pass
        if reading:
            # Pending TLS records may be buffered inside the SSL object.
            while True:
                try:
                    piece = s.recv(262144)
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
                    break
                if not piece:
                    give_up = 0
                    break
                text = tail + piece
                answers += text.count(marker)
                tail = text[-(len(marker) - 1):]
        peak_fd = max(peak_fd, descriptors(server.pid))
        peak_rss = max(peak_rss, rss_kib(server.pid))
    stop.set()
    watcher.join()
    s.close()
    latencies.sort()
    median = latencies[len(latencies) // 2] * 1000 if latencies else float("nan")
    worst = latencies[-1] * 1000 if latencies else float("nan")
    print(f"flood {name}: {count} pipelined requests, {sent} of {len(payload)} bytes taken by the server "
          f"while unread; peak {peak_fd} descriptors, {peak_rss} KiB resident; other client: "
          f"{len(latencies)} served (median {median:.1f} ms, worst {worst:.1f} ms), {failures} failed; "
          f"{answers} of {count} answers received once read")
    return answers == count and failures == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--churn", type=int, default=100000)
    parser.add_argument("--flood", type=int, default=50000)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        root = work / "root"
        root.mkdir()
        (root / "index.html").write_bytes(PAGE)
        server = Server(args.binary, root, work)
        try:
            print(f"server {server.pid}: {descriptors(server.pid)} descriptors, {rss_kib(server.pid)} KiB at start")
            sound = True
            if args.flood:
                sound = flood(server, args.flood, args.seconds, tls=False) and sound
                sound = flood(server, args.flood, args.seconds, tls=True) and sound
            if args.churn:
                churn(server, args.churn)
        finally:
            server.stop()
    sys.exit(0 if sound else 1)


if __name__ == "__main__":
    main()
