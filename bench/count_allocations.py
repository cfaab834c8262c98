#!/usr/bin/env python3
"""Allocations per request of bench_host: serves a 1 KiB file and asks for it
over one keep-alive connection, HTTP and HTTPS, one request at a time (as
wrk does per connection), and prints the allocations per request
after a warm-up. With --gzip it asks for a 4 KiB text file with
"Accept-Encoding: gzip" instead (the cache's compressed bytes). With --h2 it
asks over HTTP/2 (h2load, one connection, 10 streams at once) and counts two
runs of different lengths: their difference is what the requests cost,
without the connection's set-up. Each line gives the operator new calls and
the C allocations (malloc, calloc, realloc: nghttp2's and OpenSSL's, and
operator new's again) per request.

    bench/count_allocations.py BENCH_HOST [--requests N] [--warmup N] [--gzip] [--h2]
"""
import argparse
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading


def read_answer(conn, pending):
    """Reads one answer with a Content-Length body; returns the leftover bytes."""
    data = pending
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed inside a header")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    status = head.split(b"\r\n", 1)[0]
    if b" 200 " not in status:
        raise RuntimeError("unexpected answer: %r" % status)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            raise RuntimeError("connection closed inside a body")
        rest += chunk
    return rest[length:]


REQUEST = b"GET /1k.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
GZIP_REQUEST = b"GET /4k.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n\r\n"


def run_requests(conn, count, request=REQUEST):
    pending = b""
    for _ in range(count):
        conn.sendall(request)
        pending = read_answer(conn, pending)


class Host:
    def __init__(self, binary, root, cert, key):
        self.process = subprocess.Popen([binary, root, cert, key, "0", "0"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.ports = {}
        for _ in range(3):
            words = self.process.stdout.readline().split()
            if len(words) == 3 and words[1] == "port":
                self.ports[words[0]] = int(words[2])
        # The access log goes on standard output: read past it.
        threading.Thread(target=self._drain, args=(self.process.stdout, None), daemon=True).start()
        self.counts = []
        self.counted = threading.Condition()
        threading.Thread(target=self._drain, args=(self.process.stderr, self.counts), daemon=True).start()

    def _drain(self, stream, counts):
        for line in stream:
            if counts is not None and line.startswith("allocations "):
                words = line.split()
                mallocs = int(words[3]) if len(words) >= 4 and words[2] == "mallocs" else 0
                with self.counted:
                    counts.append((int(words[1]), mallocs))
                    self.counted.notify_all()

    def allocations(self):
        with self.counted:
            seen = len(self.counts)
            self.process.stdin.write("allocations\n")
            self.process.stdin.flush()
            if not self.counted.wait_for(lambda: len(self.counts) > seen, timeout=10):
                raise RuntimeError("bench_host did not report its allocations")
            return self.counts[-1]

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def per_request(before, after, requests):
    return tuple((a - b) / requests for a, b in zip(after, before))


def measure(host, connect, warmup, requests, request):
    conn = connect()
    try:
        run_requests(conn, warmup, request)
        before = host.allocations()
        run_requests(conn, requests, request)
        after = host.allocations()
    finally:
        conn.close()
    return per_request(before, after, requests)


def h2load(port, path, requests, extra_headers):
    command = ["h2load", "-c1", "-m10", "-n%d" % requests, "https://127.0.0.1:%d%s" % (port, path)]
    for header in extra_headers:
        command += ["-H", header]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    if "%d succeeded" % requests not in done.stdout:
        raise RuntimeError("h2load did not get every answer:\n" + done.stdout)


def measure_h2(host, port, warmup, requests, path, extra_headers):
    """Two connections of warmup and warmup + requests requests: the
    difference of their counts is what the requests cost."""
    h2load(port, path, warmup, extra_headers)
    spent = []
    for n in (warmup, warmup + requests):
        before = host.allocations()
        h2load(port, path, n, extra_headers)
        spent.append(tuple(a - b for a, b in zip(host.allocations(), before)))
    return per_request(spent[0], spent[1], requests)


def report(label, counts, what):
    print("%-5s %.1f allocations, %.1f mallocs per %s" % (label, counts[0], counts[1], what))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--requests", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--gzip", action="store_true", help="GET /4k.txt with Accept-Encoding: gzip")
    parser.add_argument("--h2", action="store_true", help="over HTTP/2 with h2load (HTTPS only)")
    args = parser.parse_args()
    if args.h2 and not shutil.which("h2load"):
        print("h2load is missing (Debian package nghttp2-client)", file=sys.stderr)
        return 1
    request = GZIP_REQUEST if args.gzip else REQUEST
    what = "GET /4k.txt (gzip)" if args.gzip else "GET /1k.bin"
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "cgi-bin"))
        with open(os.path.join(root, "1k.bin"), "wb") as f:
            f.write(b"a" * 1024)
        with open(os.path.join(root, "4k.txt"), "wb") as f:
            f.write(b"".join(b"line %d of a text that compresses\n" % i for i in range(120))[:4096])
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        host = Host(args.binary, root + "/", cert, key)
        try:
            http = host.ports.get("http", 0)
            https = host.ports.get("https", 0)
            if args.h2:
                if not https:
                    raise RuntimeError("bench_host serves no HTTPS")
                path = "/4k.txt" if args.gzip else "/1k.bin"
                headers = ["Accept-Encoding: gzip"] if args.gzip else []
                report("h2", measure_h2(host, https, args.warmup, args.requests, path, headers), what)
                return 0
            report("http", measure(host, lambda: socket.create_connection(("127.0.0.1", http)), args.warmup,
                                   args.requests, request), what)
            if https:
                context = ssl.create_default_context()
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE

                def connect_tls():
                    return context.wrap_socket(socket.create_connection(("127.0.0.1", https)))

                report("https", measure(host, connect_tls, args.warmup, args.requests, request), what)
        finally:
            host.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
