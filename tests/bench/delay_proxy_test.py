#!/usr/bin/python3
"""The latency benchmark's proxy against a real pyftpdlib server on 127.0.0.1: replies come a
round trip late, files arrive whole through its own data ports, and the round trips counted
from its log are those of the dialogue; its table gives medians and ratios and fails on a copy
that is not whole."""

import ftplib
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = "/usr/bin/python3"
DELAY_MS = 25


def wait_for_file(path, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return open(path).read().strip()
        time.sleep(0.05)
    raise TimeoutError(path)


class DelayProxyTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.root = os.path.join(self.dir.name, "root")
        os.mkdir(self.root)
        self.data = os.urandom(3 << 20)
        with open(os.path.join(self.root, "big.bin"), "wb") as out:
            out.write(self.data)
        self.server = subprocess.Popen([PYTHON, os.path.join(SOURCE, "tests/support/ftp_server.py"), "--root",
                                        self.root], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(self.stop, self.server)
        line = self.server.stdout.readline()
        self.assertTrue(line.startswith("PORT "), line)
        self.log = os.path.join(self.dir.name, "proxy.log")
        port_file = os.path.join(self.dir.name, "port")
        self.proxy = subprocess.Popen([PYTHON, os.path.join(SOURCE, "bench/delay_proxy.py"), "--server-port",
                                       line.split()[1], "--delay-ms", str(DELAY_MS), "--log", self.log,
                                       "--port-file", port_file, "--max-seconds", "120"])
        self.addCleanup(self.stop, self.proxy)
        self.port = int(wait_for_file(port_file))

    def stop(self, process):
        if process.poll() is None:
            process.terminate()
            process.wait(15)
        if process.stdout:
            process.stdout.close()

    def counts(self):
        self.stop(self.proxy)  # the log is complete once the proxy ended
        out = subprocess.run([PYTHON, os.path.join(SOURCE, "bench/latency_report.py"), "rounds", self.log],
                             capture_output=True, text=True, timeout=60, check=True).stdout.split("\n")
        total, longest, sessions, data, commands, _ = out[0].split()
        verbs = dict(line.split() for line in out[1:] if line)
        return int(total), int(sessions), int(data), int(commands), verbs

    def test_every_reply_comes_a_round_trip_later(self):
        ftp = ftplib.FTP()
        start = time.monotonic()
        ftp.connect("127.0.0.1", self.port, timeout=10)
        elapsed = [time.monotonic() - start]  # the opening and the greeting cross once each
        ftp.login("user", "secret")
        for _ in range(3):
            start = time.monotonic()
            ftp.voidcmd("NOOP")
            elapsed.append(time.monotonic() - start)
        ftp.quit()
        for seconds in elapsed:
            self.assertGreaterEqual(seconds, 2 * DELAY_MS / 1000.0 - 0.001)

    def test_files_come_whole_through_the_proxys_own_data_ports(self):
        for extended in (True, False):
            with self.subTest(epsv=extended):
                ftp = ftplib.FTP()
                ftp.connect("127.0.0.1", self.port, timeout=10)
                ftp.login("user", "secret")
                ftp.af = socket.AF_INET6 if extended else socket.AF_INET  # ftplib asks EPSV for IPv6
                if extended:
                    ftp.sendcmd = self.epsv_on_ipv4(ftp)
                chunks = []
                ftp.retrbinary("RETR big.bin", chunks.append)
                ftp.quit()
                self.assertEqual(b"".join(chunks), self.data)
        _, sessions, data, _, verbs = self.counts()
        self.assertEqual((sessions, data, verbs.get("EPSV"), verbs.get("PASV")), (2, 2, "1", "1"))
        carried = [line.split("\t")[3].strip() for line in open(self.log) if "\td-eof\t" in line]
        self.assertEqual(carried, [str(len(self.data))] * 2)

    @staticmethod
    def epsv_on_ipv4(ftp):
        # ftplib connects the data port it parsed to the control's peer; only the verb differs.
        plain = ftp.sendcmd

        def send(cmd):
            reply = plain(cmd)
            if cmd == "EPSV":
                ftp.af = socket.AF_INET
            return reply

        return send

    def test_round_trips_are_the_turns_of_the_dialogue(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
            replies = s.makefile("rb")
            replies.readline()  # turn 1: the opening, answered by the greeting
            s.sendall(b"USER user\r\nPASS secret\r\n")  # turn 2: two commands in one
            self.assertTrue(replies.readline().startswith(b"331"))
            self.assertTrue(replies.readline().startswith(b"230"))
            for _ in range(2):  # turns 3 and 4
                s.sendall(b"NOOP\r\n")
                self.assertTrue(replies.readline().startswith(b"200"))
            s.sendall(b"QUIT\r\n")  # turn 5
            replies.readline()
        total, sessions, data, commands, _ = self.counts()
        self.assertEqual((total, sessions, data, commands), (5, 1, 0, 5))


class TableTest(unittest.TestCase):
    def table(self, lines):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as results:
            results.write("".join(line + "\n" for line in lines))
            results.flush()
            return subprocess.run([PYTHON, os.path.join(SOURCE, "bench/latency_report.py"), "table", "100",
                                   results.name], capture_output=True, text=True, timeout=60)

    def test_medians_and_ratios_against_each_peer(self):
        # rtt row tool rep seconds check turns longest sessions data commands rt-ms
        done = self.table(["20 x1 vorn 1 10.0 ok 300 300 1 100 220 24.0",
                           "20 x1 vorn 2 12.0 ok 310 310 1 100 220 24.0",
                           "20 x1 vorn 3 50.0 ok 320 320 1 100 220 24.0",
                           "20 x1 wget 1 20.0 ok 330 330 1 100 230 24.0",
                           "20 x1 lftp 1 30.0 ok 440 440 1 100 330 24.0"])
        self.assertEqual(done.returncode, 0, done.stderr)
        vorn = next(line for line in done.stdout.splitlines() if " vorn " in line).split()
        self.assertEqual(vorn[3:7], ["12.00", "8.3", "3.10", "310"])  # the median run's turns
        self.assertIn("vorn/wget 1.67, vorn/lftp 2.50", done.stdout)

    def test_a_copy_not_whole_fails_the_table(self):
        done = self.table(["20 x4 vorn 1 10.0 MISMATCH 300 90 5 100 220 24.0"])
        self.assertEqual(done.returncode, 1)
        self.assertIn("NOT WHOLE", done.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
