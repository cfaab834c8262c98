#!/usr/bin/env python3
"""Tests of the benchmark's own tools: the table (report.py), the /proc
readings (proc_stats.py) and, when its path is given, the TLS load client
against `openssl s_server` on loopback.

  bench_test.py [HANDSHAKE_CLIENT]"""

import contextlib
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import proc_stats  # noqa: E402
import report  # noqa: E402

HANDSHAKE_CLIENT = None

WRK_OUTPUT = """Running 2s test @ http://127.0.0.1:28080/1k.bin
  1 threads and 50 connections
  Thread Stats   Avg      Stdev     Max   +/- Stdev
    Latency     1.92ms  516.57us   6.01ms   65.16%
    Req/Sec    26.11k     1.18k   27.70k    60.00%
  Latency Distribution
     50%    1.88ms
     75%    2.35ms
     90%    2.55ms
     99%    3.05ms
  51941 requests in 2.00s, 56.12MB read
  Socket errors: connect 0, read 2, write 1, timeout 3
  Non-2xx or 3xx responses: 4
Requests/sec:  25964.19
Transfer/sec:     28.05MB
"""


def wrk(rps, requests, size_mb=1.0, p99="3.05ms"):
    return (f"  Latency Distribution\n     50%  800.00us\n     99%  {p99}\n"
            f"  {requests} requests in 2.00s, 1.00MB read\nRequests/sec: {rps}\nTransfer/sec: {size_mb}MB\n")


class ParseClientTest(unittest.TestCase):
    def test_wrk_summary(self):
        r = report.parse_client(WRK_OUTPUT)
        self.assertEqual(r["requests"], 51941)
        self.assertAlmostEqual(r["rps"], 25964.19)
        self.assertAlmostEqual(r["mbs"], 28.05)
        self.assertAlmostEqual(r["p50"], 1.88)
        self.assertAlmostEqual(r["p99"], 3.05)
        self.assertEqual(r["errors"], 2 + 1 + 3 + 4)
        self.assertIsNone(r["resumed"])

    def test_units(self):
        r = report.parse_client(wrk(10, 20, p99="1.50s").replace("1.0MB\n", "512.00KB\n"))
        self.assertAlmostEqual(r["p50"], 0.8)
        self.assertAlmostEqual(r["p99"], 1500.0)
        self.assertAlmostEqual(r["mbs"], 0.5)

    def test_handshake_client_lines(self):
        r = report.parse_client(wrk(800, 1600) + "Resumed: 3 of 1651 handshakes\n")
        self.assertEqual(r["resumed"], (3, 1651))

    def test_no_result(self):
        self.assertIsNone(report.parse_client("unable to connect to 127.0.0.1:28080 Connection refused\n"))

    def test_h2load_summary(self):
        r = report.parse_client(
            "finished in 1.00s, 52339.00 req/s, 54.82MB/s\n"
            "requests: 52400 total, 52839 started, 52339 done, 52330 succeeded, 9 failed, 2 errored, 0 timeout\n"
            "status codes: 52330 2xx, 0 3xx, 3 4xx, 0 5xx\n"
            "                     min         max         mean         sd        +/- sd\n"
            "time for request:      127us     10.11ms      1.64ms      1.08ms    78.99%\n")
        self.assertAlmostEqual(r["rps"], 52339.0)
        self.assertEqual(r["requests"], 52330)
        self.assertAlmostEqual(r["mbs"], 54.82)
        self.assertAlmostEqual(r["p50"], 1.64)
        self.assertIsNone(r["p99"])
        self.assertEqual(r["errors"], 9 + 2 + 3)


class SoundTest(unittest.TestCase):
    def row(self, check, errors=0, requests=1000):
        return {"rps": 1.0, "requests": requests, "errors": errors, "check": check}

    def test_sound_needs_status_size_and_few_errors(self):
        self.assertTrue(report.sound(self.row("200 1024B"), "1024"))
        self.assertTrue(report.sound(self.row("200 29B"), "-"))
        self.assertTrue(report.sound(self.row("200 1024B", errors=10), "1024"))
        self.assertFalse(report.sound(self.row("200 1024B", errors=11), "1024"))
        self.assertFalse(report.sound(self.row("200 1000B"), "1024"))
        self.assertFalse(report.sound(self.row("503 1024B"), "1024"))
        self.assertFalse(report.sound(self.row("no answer"), "-"))
        self.assertFalse(report.sound({"check": "200 1024B"}, "1024"))


class TableTest(unittest.TestCase):
    """Writes a results folder as run.sh does and reads the printed table."""

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)
        (self.dir / "servers").write_text("velko h2o nginx lighttpd\n")

    def run_result(self, name, server, check, output, server_cpu=2.0, client_cpu=1.0, machine_cpu=None,
                   complete=True):
        (self.dir / f"{name}.{server}.check").write_text(check)
        (self.dir / f"{name}.{server}.out").write_text(output)
        machine = server_cpu + client_cpu if machine_cpu is None else machine_cpu
        (self.dir / f"{name}.{server}.cpu").write_text(
            f"server_cpu_s={server_cpu}\nclient_real_s=2.0\nclient_cpu_s={client_cpu}\nmachine_cpu_s={machine}\n" +
            ("" if complete else "server_cpu_complete=no\n"))

    def table(self):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            report.main(self.dir)
        return out.getvalue().splitlines()

    def rows(self, lines, description):
        start = next(i for i, l in enumerate(lines) if l.startswith(description))
        return {l.split()[0] if i else "velko": l for i, l in enumerate(lines[start:start + 4])}

    def test_ratios_only_against_sound_peers(self):
        (self.dir / "workloads").write_text("w\tkeep\t1024\tsmall file\n")
        self.run_result("w", "velko", "200 1024B", wrk(1000, 2000), server_cpu=2.0)
        # h2o is fastest but answered an error page: it must not set the bar.
        self.run_result("w", "h2o", "503 21B", wrk(9000, 18000))
        self.run_result("w", "nginx", "200 1024B", wrk(500, 1000), server_cpu=0.5)
        self.run_result("w", "lighttpd", "200 1024B", wrk(800, 1600), server_cpu=2.0)
        ours = self.rows(self.table(), "small file")["velko"]
        self.assertIn("1.25x", ours)  # 1000 / lighttpd's 800
        self.assertIn("0.50x", ours)  # 1000 per CPU-s / nginx's 2000
        self.assertIn("best: lighttpd", ours)
        self.assertNotIn("!", ours)

    def test_cpu_ratio_skips_peers_whose_cpu_was_not_all_counted(self):
        (self.dir / "workloads").write_text("c\tkeep\t-\tscripts\n")
        self.run_result("c", "velko", "200 26B", wrk(1000, 2000), server_cpu=2.0)
        # nginx's scripts were reaped by no one: its tiny CPU figure must not
        # set the bar.
        self.run_result("c", "nginx", "200 26B", wrk(900, 1800), server_cpu=0.2, complete=False)
        self.run_result("c", "lighttpd", "200 26B", wrk(900, 1800), server_cpu=1.8)
        rows = self.rows(self.table(), "scripts")
        self.assertIn("1.00x", rows["velko"])  # 1000 per CPU-s / lighttpd's 1000
        self.assertIn("9000?", rows["nginx"].split())
        self.assertIn("scripts' CPU is not counted", rows["nginx"])

    def test_unsound_run_of_ours_is_marked(self):
        (self.dir / "workloads").write_text("w\tkeep\t1024\tsmall file\n")
        self.run_result("w", "velko", "200 1000B", wrk(5000, 10000))
        self.run_result("w", "nginx", "200 1024B", wrk(500, 1000))
        ours = self.rows(self.table(), "small file")["velko"]
        self.assertIn("10.00x !", ours)
        self.assertIn("not a result", ours)

    def test_client_bound_noise_and_resumption(self):
        (self.dir / "workloads").write_text("t\tnew\t1024\thandshakes\n")
        self.run_result("t", "velko", "200 1024B", wrk(600, 1200) + "Resumed: 0 of 1200 handshakes\n",
                        client_cpu=1.9, machine_cpu=5.0)
        self.run_result("t", "nginx", "200 1024B", wrk(400, 800) + "Resumed: 0 of 800 handshakes\n")
        rows = self.rows(self.table(), "handshakes")
        fields = rows["velko"].split()
        self.assertIn("95*", fields)   # client 1.9 s of 2 s
        self.assertIn("55", fields)    # others: 5.0 - 2.0 - 1.9 = 1.1 s of 2 s
        self.assertIn("vs nginx 1.50x", rows["velko"])
        self.assertIn("resumed 0%", rows["nginx"])

    def test_rounds_report_each_servers_median_round_with_its_own_cpu(self):
        (self.dir / "workloads").write_text("w\tkeep\t1024\tsmall file\n")
        for server, rates in (("velko", (900, 1500, 1200)), ("h2o", (1000, 1300, 2000, 1100))):
            (self.dir / f"w.{server}.check").write_text("200 1024B")
            for round_, rps in enumerate(rates, 1):
                # Each round's CPU differs, so the CPU figure shows which round stood.
                self.run_result(f"w@{round_}", server, "", wrk(rps, 2 * rps), server_cpu=rps / 1000)
        rows = self.rows(self.table(), "small file")
        self.assertIn("1200", rows["velko"].split())
        self.assertIn("median of 3: 900 to 1500", rows["velko"])
        self.assertIn("1100", rows["h2o"].split())  # the lower of the two middle rounds
        self.assertIn("median of 4: 1000 to 2000", rows["h2o"])
        self.assertIn("1.09x", rows["velko"])  # 1200 / 1100
        self.assertIn("1.00x", rows["velko"])  # both 1000 per CPU-s in their median rounds

    def test_missing_server_is_na(self):
        (self.dir / "workloads").write_text("w\tkeep\t1024\tsmall file\n")
        self.run_result("w", "nginx", "200 1024B", wrk(500, 1000))
        self.assertIn("n/a", self.rows(self.table(), "small file")["velko"])

    def test_a_server_that_died_is_named_and_its_row_marked(self):
        # The table showed "no answer" for the row and went on as if nothing
        # had happened.
        (self.dir / "workloads").write_text("m\tkeep\t1048576\tbig file\n")
        self.run_result("m", "velko", "no answer", "")
        self.run_result("m", "nginx", "200 1048576B", wrk(500, 1000))
        (self.dir / "died").write_text("velko\tm\n")
        lines = self.table()
        self.assertTrue(lines[0].startswith("velko DIED during m"))
        self.assertIn("DIED", self.rows(lines, "big file")["velko"])

    def test_idle_per_connection_and_wakeups(self):
        (self.dir / "workloads").write_text("")
        for server, after in (("velko", 40000), ("nginx", 30000), ("h2o", 50000)):
            (self.dir / f"idle.http.{server}").write_text(
                f"held=10000\nfailed=0\nrss_before_kib=10000\nrss_after_kib={after}\nseconds=10\n"
                "cpu_s=0.05\nwakeups=25\n")
        lines = self.table()
        ours = next(l for l in lines if l.startswith("HTTP, one request each"))
        self.assertIn("3.0", ours.split())   # (40000 - 10000) KiB / 10000
        self.assertIn("1.50x", ours)         # over nginx's 2.0
        self.assertIn("0.50", ours.split())  # 0.05 s of 10 s
        self.assertIn("2.5", ours.split())   # wake-ups per second


class ProcStatsTest(unittest.TestCase):
    def spawn(self, code):
        """Runs code in a child that prints "done" when it is ready; the
        child is ended after the test."""
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)

        def end():
            child.kill()
            child.wait()
            child.stdout.close()

        self.addCleanup(end)
        self.assertEqual(child.stdout.readline().strip(), "done")
        return child

    def test_cpu_counts_descendants_and_reaped_children(self):
        burn = "import time\nend = time.process_time() + 0.3\nwhile time.process_time() < end: pass\n"
        # A parent that runs one burning child to its end, then waits.
        parent = self.spawn(f"import subprocess, sys, time\n"
                            f"subprocess.run([sys.executable, '-c', {burn!r}])\n"
                            f"print('done', flush=True)\ntime.sleep(30)\n")
        self.assertGreaterEqual(proc_stats.cpu_seconds([parent.pid]), 0.25)

    def test_gone_process_counts_zero(self):
        child = subprocess.Popen(["true"])
        child.wait()
        self.assertEqual(proc_stats.cpu_seconds([child.pid]), 0.0)
        self.assertEqual(proc_stats.wakeups(child.pid), 0)

    def test_wakeups_sum_over_threads(self):
        # Three threads sleep 20 times each and stay: 60 wake-ups at least,
        # more than any one thread holds.
        sleeper = self.spawn("import threading, time\n"
                             "stay = threading.Event()\n"
                             "def nap():\n"
                             "    for _ in range(20): time.sleep(0.002)\n"
                             "    stay.wait()\n"
                             "for _ in range(3): threading.Thread(target=nap, daemon=True).start()\n"
                             "time.sleep(0.5)\nprint('done', flush=True)\ntime.sleep(30)\n")
        self.assertGreaterEqual(proc_stats.wakeups(sleeper.pid), 60)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(shutil.which("openssl"), "needs openssl")
class HandshakeClientTest(unittest.TestCase):
    """The client that the full-handshake row rests on: it must never resume
    without --resume, and resume with it."""

    @classmethod
    def setUpClass(cls):
        if not HANDSHAKE_CLIENT:
            raise unittest.SkipTest("no handshake_client path given")
        cls.dir = Path(tempfile.mkdtemp())
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-keyout", cls.dir / "key.pem", "-out", cls.dir / "cert.pem"],
                       check=True, capture_output=True)
        (cls.dir / "page.txt").write_text("x" * 1000)
        cls.port = free_port()
        # -WWW answers HTTP/1.0 without a length and closes: the client must
        # end the answer at the end of the stream.
        cls.server = subprocess.Popen(["openssl", "s_server", "-quiet", "-accept", f"127.0.0.1:{cls.port}",
                                       "-cert", "cert.pem", "-key", "key.pem", "-WWW"],
                                      cwd=cls.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", cls.port)) == 0:
                    break
            time.sleep(0.05)

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.server.wait()
        shutil.rmtree(cls.dir)

    def run_client(self, *flags):
        out = subprocess.run([HANDSHAKE_CLIENT, *flags, "-c", "2", "-d", "1",
                              f"https://127.0.0.1:{self.port}/page.txt"],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        return report.parse_client(out.stdout)

    def test_full_handshakes_never_resume(self):
        r = self.run_client()
        self.assertGreater(r["requests"], 5)
        self.assertEqual(r["errors"], 0)
        done, total = r["resumed"]
        self.assertEqual(done, 0)
        self.assertGreaterEqual(total, r["requests"])

    def test_resume_offers_the_previous_session(self):
        r = self.run_client("--resume")
        self.assertEqual(r["errors"], 0)
        done, total = r["resumed"]
        # Each of the two connections' first handshake is a full one.
        self.assertGreater(total, 2)
        self.assertGreaterEqual(done, 0.9 * (total - 2))

    def test_refuses_a_non_loopback_address(self):
        out = subprocess.run([HANDSHAKE_CLIENT, "-d", "1", "https://192.0.2.1:443/"], capture_output=True, text=True)
        self.assertNotEqual(out.returncode, 0)
        self.assertIn("loopback only", out.stderr)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        HANDSHAKE_CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
