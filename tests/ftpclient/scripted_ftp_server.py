#!/usr/bin/python3
"""A small FTP server whose replies the tests script, for the quirks real servers have.

Binds 127.0.0.1 port 0, prints "PORT <n>" as the first line on stdout, then serves until
killed (or until its parent is gone). Every command is logged to stderr as "<- COMMAND", and
each read from the control connection as "-- read" before the commands it completed, so a
test can see which commands a client sent together.

It serves the files below --root (RETR, SIZE, MDTM, CWD, MKD) and takes uploads (STOR, RNFR, RNTO,
DELE). LIST of "/" (the current folder or the
argument) sends the bytes of --list exactly as they are; LIST of any other folder sends nothing. Scripted quirks:
  --reply VERB=TEXT          answer VERB with TEXT instead ("CWD=314 Folder unchanged.");
                             "VERB ARGUMENT=TEXT" only when the argument matches
  --epsv-port-unreachable    EPSV names a port on which nothing listens; PASV works
  --after-150 TEXT           LIST and RETR answer 150, then TEXT at once, and never open the
                             data connection (a TEXT starting with 421 also hangs up)
  --replies-after-data       LIST and RETR send all data first, then 150 and 226 at once
  --stor-hangs-up            STOR takes the data connection and closes it unread, then answers
                             150 and 426 (the client writes into a closed connection)
  --delay SECONDS            every reply goes out this much later (a slow or far server)
  --stor-oops N              the first N STORs (over all sessions) are answered
                             "500 OOPS: priv_sock_get_int" and the session is closed, as
                             vsftpd does under load
"""

import argparse
import os
import posixpath
import socket
import socketserver
import sys
import threading
import time


OOPS_LOCK = threading.Lock()


class Session(socketserver.StreamRequestHandler):
    options = None

    def send(self, text):
        if self.options.delay:
            time.sleep(self.options.delay)
        self.wfile.write(text.encode("utf-8", "surrogateescape") + b"\r\n")
        self.wfile.flush()

    def handle(self):
        self.cwd = "/"
        self.listener = None
        self.active = None
        self.send("220 Scripted test server ready.")
        for raw in self.lines():
            line = raw.rstrip(b"\r\n").decode("utf-8", "surrogateescape")
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            print("<- " + (line if verb != "PASS" else "PASS ****"), file=sys.stderr, flush=True)
            scripted = self.options.replies.get(verb + " " + arg, self.options.replies.get(verb))
            if scripted is not None:
                self.send(scripted)
                continue
            handler = getattr(self, "ftp_" + verb, None)
            if handler is None:
                self.send("502 Command not implemented.")
            elif handler(arg) == "quit":
                break
        if self.listener:
            self.listener.close()

    def lines(self):
        pending = b""
        while True:
            chunk = self.connection.recv(65536)
            if not chunk:
                return
            pending += chunk
            if b"\n" in pending:
                print("-- read", file=sys.stderr, flush=True)
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                yield line

    # Paths: every name is resolved inside --root.
    def local(self, path):
        virtual = posixpath.normpath(posixpath.join(self.cwd, path or "."))
        return virtual, os.path.join(self.options.root, virtual.lstrip("/"))

    def ftp_USER(self, arg):
        self.send("331 Password required.")

    def ftp_PASS(self, arg):
        self.send("230 Logged in.")

    def ftp_FEAT(self, arg):
        self.send("211-Features:\r\n EPSV\r\n MDTM\r\n PASV\r\n SIZE\r\n211 End")

    def ftp_SYST(self, arg):
        self.send("215 UNIX Type: L8")

    def ftp_OPTS(self, arg):
        self.send("200 OK.")

    def ftp_TYPE(self, arg):
        self.send("200 Type set.")

    def ftp_NOOP(self, arg):
        self.send("200 OK.")

    def ftp_QUIT(self, arg):
        self.send("221 Goodbye.")
        return "quit"

    def ftp_PWD(self, arg):
        self.send('257 "%s" is the current folder.' % self.cwd)

    def ftp_CWD(self, arg):
        virtual, path = self.local(arg)
        if not os.path.isdir(path):
            self.send("550 No such folder.")
            return
        self.cwd = virtual
        self.send("250 Folder changed.")

    def ftp_CDUP(self, arg):
        self.cwd = posixpath.dirname(self.cwd) or "/"
        self.send("250 Folder changed.")

    def ftp_MKD(self, arg):
        virtual, path = self.local(arg)
        try:
            os.mkdir(path)
        except OSError as error:
            self.send("550 %s." % error.strerror)
            return
        self.send('257 "%s" created.' % virtual)

    def ftp_SIZE(self, arg):
        _, path = self.local(arg)
        if not os.path.isfile(path):
            self.send("550 No such file.")
            return
        self.send("213 %d" % os.path.getsize(path))

    def ftp_MDTM(self, arg):
        _, path = self.local(arg)
        if not os.path.isfile(path):
            self.send("550 No such file.")
            return
        self.send("213 " + time.strftime("%Y%m%d%H%M%S", time.gmtime(os.path.getmtime(path))))

    def ftp_STOR(self, arg):
        _, path = self.local(arg)
        with OOPS_LOCK:
            oops = self.options.stor_oops > 0
            self.options.stor_oops -= 1 if oops else 0
        if oops:
            self.send("500 OOPS: priv_sock_get_int")
            return "quit"
        if self.options.stor_hangs_up:
            connection = self.open_data()
            if connection:
                connection.close()
            self.send("150 Ready for the data.\r\n426 Connection closed; transfer aborted.")
            return
        self.send("150 Ready for the data.")
        connection = self.open_data()
        if connection is None:
            self.send("425 Cannot open data connection.")
            return
        with connection, open(path, "wb") as target:
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                target.write(chunk)
        self.send("226 Transfer complete.")

    def ftp_RNFR(self, arg):
        _, path = self.local(arg)
        self.rename_from = path if os.path.exists(path) else None
        self.send("350 Ready for RNTO." if self.rename_from else "550 No such file.")

    def ftp_RNTO(self, arg):
        _, path = self.local(arg)
        if not getattr(self, "rename_from", None):
            self.send("503 RNFR first.")
            return
        os.replace(self.rename_from, path)
        self.rename_from = None
        self.send("250 Renamed.")

    def ftp_DELE(self, arg):
        _, path = self.local(arg)
        try:
            os.remove(path)
        except OSError as error:
            self.send("550 %s." % error.strerror)
            return
        self.send("250 Deleted.")

    def listen(self):
        if self.listener:
            self.listener.close()
        self.active = None
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(10)
        return self.listener.getsockname()[1]

    def ftp_EPSV(self, arg):
        port = self.listen()
        if self.options.epsv_port_unreachable:
            # A port bound and released again: nothing listens there.
            probe = socket.create_server(("127.0.0.1", 0))
            port = probe.getsockname()[1]
            probe.close()
        self.send("229 Entering Extended Passive Mode (|||%d|)" % port)

    def ftp_PASV(self, arg):
        port = self.listen()
        self.send("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port // 256, port % 256))

    def ftp_PORT(self, arg):
        numbers = arg.split(",")
        self.active = (".".join(numbers[:4]), int(numbers[4]) * 256 + int(numbers[5]))
        self.send("200 PORT command successful.")

    def ftp_EPRT(self, arg):
        parts = arg.split(arg[0])
        self.active = (parts[2], int(parts[3]))
        self.send("200 EPRT command successful.")

    def ftp_LIST(self, arg):
        data = b""
        if self.local(arg)[0] == "/" and self.options.list:
            with open(self.options.list, "rb") as listing:
                data = listing.read()
        return self.transfer(data)

    def ftp_RETR(self, arg):
        _, path = self.local(arg)
        if not os.path.isfile(path):
            self.send("550 No such file.")
            return None
        with open(path, "rb") as source:
            return self.transfer(source.read())

    def open_data(self):
        try:
            if self.active:
                return socket.create_connection(self.active, timeout=10)
            if self.listener:
                connection, _ = self.listener.accept()
                return connection
        except OSError:
            pass
        return None

    def transfer(self, data):
        if self.options.replies_after_data:
            connection = self.open_data()
            if connection is None:
                self.send("425 Cannot open data connection.")
                return None
            connection.sendall(data)
            connection.close()
            self.send("150 Opening data connection.\r\n226 Transfer complete.")
            return None
        self.send("150 Opening data connection.")
        if self.options.after_150:
            self.send(self.options.after_150)
            return "quit" if self.options.after_150.startswith("421") else None
        connection = self.open_data()
        if connection is None:
            self.send("425 Cannot open data connection.")
            return None
        connection.sendall(data)
        connection.close()
        self.send("226 Transfer complete.")
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default="/nonexistent")
    parser.add_argument("--list", help="file whose bytes LIST of / sends")
    parser.add_argument("--reply", action="append", default=[], metavar="VERB=TEXT")
    parser.add_argument("--epsv-port-unreachable", action="store_true")
    parser.add_argument("--after-150", metavar="TEXT")
    parser.add_argument("--replies-after-data", action="store_true")
    parser.add_argument("--stor-hangs-up", action="store_true")
    parser.add_argument("--stor-oops", type=int, default=0)
    parser.add_argument("--delay", type=float, default=0.0)
    options = parser.parse_args()
    options.replies = {}
    for reply in options.reply:
        key, _, text = reply.partition("=")
        verb, _, arg = key.partition(" ")
        options.replies[verb.upper() + (" " + arg if arg else "")] = text
    Session.options = options

    socketserver.ThreadingTCPServer.daemon_threads = True
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Session)
    parent = os.getppid()

    def watch_parent():
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(0)

    threading.Thread(target=watch_parent, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    # Nothing else goes to stdout: the reader may have closed its end of the pipe.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    server.serve_forever()


if __name__ == "__main__":
    main()
