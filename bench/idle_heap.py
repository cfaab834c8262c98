#!/usr/bin/env python3
"""Memory of idle connections in bench_host: for HTTP, HTTPS and HTTP/2
over TLS in turn, starts a fresh bench_host (pinned to core 0), opens COUNT
idle connections with idle_clients.py (core 1) and prints, per connection
held, the growth of the heap in use (bench_host's "heap" command: every
malloc of the process, OpenSSL's and nghttp2's included) and of VmRSS.

    bench/idle_heap.py build-rel/bench/bench_host [--count 1000] [--kinds http,https,h2]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

here = pathlib.Path(__file__).resolve().parent


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def heap_bytes(host):
    host.stdin.write("heap\n")
    host.stdin.flush()
    while True:
        line = host.stderr.readline()
        if not line:
            raise RuntimeError("bench_host ended")
        if line.startswith("heap "):
            return int(line.split()[1])


def run(binary, root, cert, key, kind, count):
    host = subprocess.Popen(["taskset", "-c", "0", binary, root, cert, key], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ports = {}
        while len(ports) < 2:
            line = host.stdout.readline()
            if not line:
                raise RuntimeError("bench_host did not start")
            words = line.split()
            if len(words) == 3 and words[1] == "port":
                ports[words[0]] = int(words[2])
        # The access log goes to standard output: drain it so the host never blocks.
        subprocess.Popen(["cat"], stdin=host.stdout, stdout=subprocess.DEVNULL)
        time.sleep(0.5)
        heap0, rss0 = heap_bytes(host), rss_kib(host.pid)
        port = ports["http"] if kind == "http" else ports["https"]
        flags = {"http": [], "https": ["--tls"], "h2": ["--h2"]}[kind]
        client = subprocess.Popen(["taskset", "-c", "1", sys.executable, str(here / "idle_clients.py"), "--port",
                                   str(port), "--count", str(count), "--hold", "120"] + flags,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = client.stdout.readline().split()
        held = int(ready[1]) if len(ready) == 3 else 0
        time.sleep(1.0)  # the last answers leave, the connections settle
        heap1, rss1 = heap_bytes(host), rss_kib(host.pid)
        client.stdin.close()
        client.wait()
        per = max(held, 1)
        print(f"{kind:6} held {held:6}  heap {(heap1 - heap0) / 1024 / per:7.2f} KiB/conn"
              f"  rss {(rss1 - rss0) / per:7.2f} KiB/conn", flush=True)
    finally:
        host.stdin.close()
        host.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--kinds", default="http,https,h2")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        os.mkdir(root)
        with open(os.path.join(root, "1k.bin"), "wb") as f:
            f.write(b"x" * 1024)
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
        for kind in args.kinds.split(","):
            run(args.binary, root, cert, key, kind, args.count)


if __name__ == "__main__":
    main()
