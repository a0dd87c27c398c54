#!/usr/bin/python3
"""An FTP proxy on 127.0.0.1 that puts a far server behind a near one.

Listens on 127.0.0.1, forwards every control connection to an FTP server on 127.0.0.1 and
delays each chunk, in each direction, by a fixed one-way time: a chunk is queued with the time
it arrived and written out once that time plus the delay has passed, in order, so a stream of
many chunks flows at full speed, each one late by the delay (a delay line, not a throttle).
The opening of a connection towards the server and each end of a stream (FIN) travel through
the same line, so a connection starts and ends one delay late too.

Passive replies (227 PASV, 229 EPSV) are rewritten to a data port of the proxy's own, so the
data connections go through the same delay; each such port takes one connection.

The log has one line per event, tab-separated: milliseconds since start, session number, kind,
text. Times are those the client sees: a command when the client sent it, a reply when the
client got it. Kinds:
  open    the client opened the control connection
  cmd     a command line (PASS's argument masked)
  reply   a reply line
  d-open  the client opened a data connection of this session
  d-eof   the client got the server's end of the data (text: bytes carried to the client)
  d-fin   the client closed its side of the data connection
  close   the control connection ended
  late    (last line, session 0) how late the chunks left, beyond the delay
bench/latency_report.py counts the round trips from it.

Usage: delay_proxy.py --server-port N --delay-ms MS --log FILE [--port-file FILE]
Exits after --max-seconds (default 7200) at the latest; the benchmark stops it earlier.
"""

import argparse
import asyncio
import collections
import itertools
import os
import re
import signal
import sys
import time

HOST = "127.0.0.1"
READ_SIZE = 256 * 1024
QUEUE_LIMIT = 32 * 1024 * 1024  # bytes in flight per direction before reading pauses
PASV_RE = re.compile(rb"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")
EPSV_RE = re.compile(rb"\(([^\d\s])\1\1(\d+)\1\)")
EOF = None


class Log:
    def __init__(self, path):
        self.out = open(path, "w", buffering=1 << 16)
        self.start = time.monotonic()

    def write(self, session, kind, text=""):
        ms = (time.monotonic() - self.start) * 1000.0
        text = text.replace("\t", " ").replace("\r", "").replace("\n", "")
        self.out.write("%.3f\t%d\t%s\t%s\n" % (ms, session, kind, text))

    def close(self):
        self.out.close()


LATENESS = []  # seconds each chunk left after its due time: the proxy's own error


class DelayLine:
    """Chunks in arrival order, each released `delay` seconds after it was put."""

    def __init__(self, delay):
        self.delay = delay
        self.items = collections.deque()
        self.size = 0
        self.changed = asyncio.Event()

    async def put(self, item):
        while self.size > QUEUE_LIMIT:
            self.changed.clear()
            await self.changed.wait()
        loop = asyncio.get_running_loop()
        self.items.append((loop.time() + self.delay, item))
        self.size += len(item) if item else 0
        self.changed.set()

    async def get(self):
        while not self.items:
            self.changed.clear()
            await self.changed.wait()
        due, item = self.items[0]
        wait = due - asyncio.get_running_loop().time()
        if wait > 0:
            await asyncio.sleep(wait)
            LATENESS.append(asyncio.get_running_loop().time() - due)
        self.items.popleft()
        self.size -= len(item) if item else 0
        self.changed.set()
        return item


class Proxy:
    def __init__(self, server_port, delay, log):
        self.server_port = server_port
        self.delay = delay
        self.log = log
        self.sessions = itertools.count(1)

    async def control(self, reader, writer):
        session = next(self.sessions)
        self.log.write(session, "open")
        await self.relay(session, reader, writer, self.server_port, control=True)
        self.log.write(session, "close")

    async def relay(self, session, c_reader, c_writer, port, control):
        """Carries one connection both ways until both ends closed or one of them failed."""
        to_server = DelayLine(self.delay)
        to_client = DelayLine(self.delay)
        upstream = asyncio.ensure_future(self.connect_late(port))
        tasks = [
            asyncio.ensure_future(self.read_client(session, c_reader, to_server, control)),
            asyncio.ensure_future(self.write_server(upstream, to_server)),
            asyncio.ensure_future(self.read_server(session, upstream, to_client, control)),
            asyncio.ensure_future(self.write_client(session, c_writer, to_client, control)),
        ]
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_EXCEPTION)
            for task in done:
                task.result()
        except (OSError, ConnectionError, asyncio.IncompleteReadError, EOFError):
            pass
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            c_writer.close()
            if upstream.done() and not upstream.cancelled() and upstream.exception() is None:
                upstream.result()[1].close()
            upstream.cancel()

    async def connect_late(self, port):
        # The opening travels to the server like any chunk.
        await asyncio.sleep(self.delay)
        return await asyncio.open_connection(HOST, port, limit=READ_SIZE)

    async def read_client(self, session, reader, line, control):
        while True:
            chunk = await (reader.readline() if control else reader.read(READ_SIZE))
            if not chunk:
                if not control:
                    self.log.write(session, "d-fin")
                await line.put(EOF)
                return
            if control:
                text = chunk.decode("latin-1").rstrip("\r\n")
                if text[:5].upper() == "PASS ":
                    text = "PASS ****"
                self.log.write(session, "cmd", text)
            await line.put(chunk)

    async def write_server(self, upstream, line):
        _, writer = await upstream
        await self.drain_line(line, writer)

    async def read_server(self, session, upstream, line, control):
        reader, _ = await upstream
        while True:
            chunk = await (reader.readline() if control else reader.read(READ_SIZE))
            if not chunk:
                await line.put(EOF)
                return
            if control:
                chunk = await self.rewrite_passive(session, chunk)
            await line.put(chunk)

    async def write_client(self, session, writer, line, control):
        carried = 0
        while True:
            chunk = await line.get()
            if chunk is EOF:
                if not control:
                    self.log.write(session, "d-eof", str(carried))
                if writer.can_write_eof():
                    writer.write_eof()
                return
            if control:
                self.log.write(session, "reply", chunk.decode("latin-1").rstrip("\r\n"))
            carried += len(chunk)
            writer.write(chunk)
            await writer.drain()

    @staticmethod
    async def drain_line(line, writer):
        while True:
            chunk = await line.get()
            if chunk is EOF:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(chunk)
            await writer.drain()

    async def rewrite_passive(self, session, chunk):
        """A 227 or 229 reply names a data port of our own that leads to the server's."""
        if chunk.startswith(b"227"):
            found = PASV_RE.search(chunk)
            if found:
                target = int(found.group(5)) * 256 + int(found.group(6))
                mine = await self.data_port(session, target)
                text = b"127,0,0,1,%d,%d" % (mine // 256, mine % 256)
                return chunk[: found.start()] + text + chunk[found.end() :]
        elif chunk.startswith(b"229"):
            found = EPSV_RE.search(chunk)
            if found:
                target = int(found.group(2))
                mine = await self.data_port(session, target)
                sep = found.group(1)
                text = b"(" + sep * 3 + str(mine).encode() + sep + b")"
                return chunk[: found.start()] + text + chunk[found.end() :]
        return chunk

    async def data_port(self, session, target):
        """Listens on a new port for one data connection, relayed to the server's `target`."""
        taken = asyncio.Event()

        async def accept(reader, writer):
            if taken.is_set():
                writer.close()
                return
            taken.set()
            server.close()
            self.log.write(session, "d-open")
            await self.relay(session, reader, writer, target, control=False)

        server = await asyncio.start_server(accept, HOST, 0, limit=READ_SIZE)
        port = server.sockets[0].getsockname()[1]

        async def expire():
            # A port nobody connects to is given up after a minute.
            try:
                await asyncio.wait_for(taken.wait(), 60)
            except asyncio.TimeoutError:
                server.close()

        asyncio.ensure_future(expire())
        return port


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server-port", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, required=True, help="one-way delay")
    parser.add_argument("--log", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="the listening port is written here")
    parser.add_argument("--max-seconds", type=float, default=7200)
    args = parser.parse_args()

    log = Log(args.log)
    proxy = Proxy(args.server_port, args.delay_ms / 1000.0, log)
    server = await asyncio.start_server(proxy.control, HOST, args.port, limit=READ_SIZE)
    port = server.sockets[0].getsockname()[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    try:
        await asyncio.wait_for(stop.wait(), args.max_seconds)
    except asyncio.TimeoutError:
        print("delay_proxy: stopped after %g s" % args.max_seconds, file=sys.stderr)
    server.close()
    if LATENESS:
        late = sorted(LATENESS)
        log.write(0, "late", "chunks=%d median=%.2fms p90=%.2fms max=%.2fms" % (
            len(late), 1000 * late[len(late) // 2], 1000 * late[len(late) * 9 // 10], 1000 * late[-1]))
    log.close()


if __name__ == "__main__":
    asyncio.run(main())
