#!/usr/bin/python3
"""A small FTP server for the tests that serves a virtual tree and misbehaves on request.

Usage: virtual_ftp.py --tree TREE.json. Binds 127.0.0.1 port 0, prints "PORT <n>" as the
first line on stdout, then serves (one thread per session) until killed. Read-only: it
answers what a backup source is asked (login, PWD, CWD, CDUP, TYPE, EPSV, PASV, LIST, MLSD,
SIZE, MDTM, REST, RETR, XSHA1, NOOP, QUIT). Every RETR, REST and XSHA1 is written to stderr
("<- RETR path", "<- REST 123"), for the tests to count the tries.

The tree file is JSON:
  {"mlsd": true,          # offer MLSD (else LIST in the Unix form only)
   "size": true,          # answer SIZE (else 502)
   "rest": false,         # offer REST STREAM (else REST is answered 502)
   "mdtm": false,         # offer MDTM (else 502)
   "xsha1": false,        # offer XSHA1, the SHA-1 of a file's whole content
   "ignore_rest": false,  # REST is taken (350) but RETR still sends from the start
   "drop_every": N,       # a session closes its control connection, unanswered, on its
                          # command N + 1 (a server that drops sessions now and then)
   "logins": N,           # only the first N logins are taken, later ones get 530
   "sessions": N,         # at most N sessions at once: one more is greeted with 421
   "drop_noops": N,       # the first N NOOPs close the control connection unanswered
                          # (written to stderr as "<- NOOP, dropped")
   "tree": { NAME: ENTRY, ... }}
An ENTRY is one of
  {"data": "text", "repeat": 1}   a file holding the text `repeat` times
  {"path": "/some/file"}          a file holding what that local file holds
  {"folder": { NAME: ENTRY, ... }} a folder
  {"loop": true}                  a folder that lists its own parent again (loop/loop/...)
  {"folder": {...}, "deny": true}  a folder that is listed but cannot be entered (CWD 550)
and a file may carry misbehaviour:
  "send": N        RETR sends only the first N bytes, then still answers 226
  "cuts": N        only the first N RETRs are cut short by "send"; later ones send it all
  "hangup": N      the first N RETRs close the control connection without an answer
  "oops": N        the first N RETRs are answered "500 OOPS: priv_sock_get_int", then the
                   control connection is closed (vsftpd under load)
  "listed": "TEXT" the size the listing gives ("" leaves MLSD's size fact out)
  "rate": N        RETR sends N bytes per second
  "refuse": true   every RETR is answered 550
  "abort": true    a cut transfer closes its data connection and answers 426, not 226
  "changes": ENTRY once the cuts are over, the file holds what ENTRY holds ("data" or
                   "path") and has ENTRY's "modify" time
  "modify": "YYYYMMDDhhmmss" the time MLSD and MDTM give
Names are listed byte for byte, so a name may hold "/" or "\\" or be 250 bytes long; a
name with "/" can be listed but never reached.
"""

import argparse
import hashlib
import json
import socket
import socketserver
import sys
import threading
import time

MODIFY = "20120315142500"


class Node:
    def __init__(self, desc, parent=None):
        self.parent = parent
        self.desc = desc
        self.loop = bool(desc.get("loop"))
        self.children = None
        self.retrieved = 0  # RETRs of this file so far, over all sessions
        self.changed = False  # the "changes" of a file are in force
        if "folder" in desc:
            self.children = {name: Node(child, self) for name, child in desc["folder"].items()}

    @property
    def is_folder(self):
        return self.children is not None or self.loop

    def target(self):
        """The folder a loop entry stands for: the folder that lists it."""
        return self.parent if self.loop else self

    def now(self):
        return self.desc["changes"] if self.changed else self.desc

    def data(self):
        desc = self.now()
        if "path" in desc:
            with open(desc["path"], "rb") as f:
                return f.read()
        return desc.get("data", "").encode("utf-8", "surrogateescape") * desc.get("repeat", 1)

    def modify(self):
        return self.now().get("modify", MODIFY)

    def listed_size(self):
        return self.desc.get("listed", str(len(self.data())))


class Session(socketserver.StreamRequestHandler):
    def setup(self):
        super().setup()
        self.request.settimeout(120)
        self.cwd = []  # path components below the root
        self.passive = None
        self.commands = 0
        self.rest = 0

    def reply(self, text):
        self.wfile.write((text + "\r\n").encode("utf-8", "surrogateescape"))
        self.wfile.flush()

    def resolve(self, path):
        parts = list(self.cwd) if not path.startswith("/") else []
        for part in path.split("/"):
            if part in ("", "."):
                continue
            if part == "..":
                if parts:
                    parts.pop()
                continue
            parts.append(part)
        node = self.server.root
        for part in parts:
            node = node.target()
            if node.children is None or part not in node.children:
                return None, parts
            node = node.children[part]
        return node.target() if node.loop else node, parts

    def handle(self):
        with self.server.lock:
            self.server.sessions += 1
            crowded = self.server.sessions > self.server.options.get("sessions", self.server.sessions)
        try:
            if crowded:
                self.reply("421 Too many connections.")
                return
            self.serve()
        finally:
            with self.server.lock:
                self.server.sessions -= 1

    def serve(self):
        self.reply("220 virtual tree ready")
        while True:
            try:
                line = self.rfile.readline()
            except OSError:
                return
            if not line:
                return
            text = line.decode("utf-8", "surrogateescape").rstrip("\r\n")
            verb, _, arg = text.partition(" ")
            self.commands += 1
            if self.commands > self.server.options.get("drop_every", self.commands):
                return
            handler = getattr(self, "cmd_" + verb.upper(), None)
            if handler is None:
                self.reply("502 Command not implemented.")
            elif handler(arg) is False:
                return

    def cmd_USER(self, arg):
        self.reply("331 Password please.")

    def cmd_PASS(self, arg):
        with self.server.lock:
            self.server.logins += 1
            refused = self.server.logins > self.server.options.get("logins", self.server.logins)
        self.reply("530 Login incorrect." if refused else "230 Logged in.")

    def cmd_SYST(self, arg):
        self.reply("215 UNIX Type: L8")

    def cmd_FEAT(self, arg):
        lines = ["211-Features:"]
        if self.server.options.get("mlsd", True):
            lines.append(" MLST type*;size*;modify*;")
        if self.server.options.get("size", True):
            lines.append(" SIZE")
        if self.server.options.get("rest"):
            lines.append(" REST STREAM")
        if self.server.options.get("mdtm"):
            lines.append(" MDTM")
        if self.server.options.get("xsha1"):
            lines.append(" XSHA1")
        lines.append("211 End")
        self.reply("\r\n".join(lines))

    def cmd_OPTS(self, arg):
        self.reply("200 OK.")

    def cmd_NOOP(self, arg):
        with self.server.lock:
            self.server.noops += 1
            drop = self.server.noops <= self.server.options.get("drop_noops", 0)
        if drop:
            print("<- NOOP, dropped", file=sys.stderr, flush=True)
            return False
        self.reply("200 OK.")

    def cmd_QUIT(self, arg):
        self.reply("221 Bye.")
        return False

    def cmd_TYPE(self, arg):
        self.reply("200 Type set.")

    def cmd_PWD(self, arg):
        self.reply('257 "/%s" is the current folder.' % "/".join(self.cwd))

    def cmd_CWD(self, arg):
        node, parts = self.resolve(arg)
        if node is None or not node.is_folder or node.desc.get("deny"):
            self.reply("550 No such folder.")
            return
        self.cwd = parts
        self.reply("250 OK.")

    def cmd_CDUP(self, arg):
        return self.cmd_CWD("..")

    def cmd_MKD(self, arg):
        self.reply("550 Read-only.")

    def cmd_SIZE(self, arg):
        if not self.server.options.get("size", True):
            self.reply("502 SIZE not implemented.")
            return
        node, _ = self.resolve(arg)
        if node is None or node.is_folder:
            self.reply("550 No such file.")
            return
        self.reply("213 %d" % len(node.data()))

    def cmd_MDTM(self, arg):
        node, _ = self.resolve(arg)
        if not self.server.options.get("mdtm"):
            self.reply("502 MDTM not implemented.")
        elif node is None or node.is_folder:
            self.reply("550 No such file.")
        else:
            self.reply("213 " + node.modify())

    def cmd_XSHA1(self, arg):
        print("<- XSHA1 " + arg, file=sys.stderr, flush=True)
        node, _ = self.resolve(arg)
        if not self.server.options.get("xsha1"):
            self.reply("502 XSHA1 not implemented.")
        elif node is None or node.is_folder:
            self.reply("550 No such file.")
        else:
            self.reply("250 " + hashlib.sha1(node.data()).hexdigest())

    def cmd_REST(self, arg):
        print("<- REST " + arg, file=sys.stderr, flush=True)
        if not self.server.options.get("rest"):
            self.reply("502 REST not implemented.")
            return
        self.rest = 0 if self.server.options.get("ignore_rest") else int(arg)
        self.reply("350 Restarting at %s." % arg)

    def open_passive(self):
        if self.passive is not None:
            self.passive.close()
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind(("127.0.0.1", 0))
        self.passive.listen(1)
        self.passive.settimeout(30)
        return self.passive.getsockname()[1]

    def cmd_EPSV(self, arg):
        self.reply("229 Entering Extended Passive Mode (|||%d|)" % self.open_passive())

    def cmd_PASV(self, arg):
        port = self.open_passive()
        self.reply("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port // 256, port % 256))

    def send_data(self, payload, rate=0, abort=False):
        if self.passive is None:
            self.reply("425 Use PASV or EPSV first.")
            return
        self.reply("150 Opening data connection.")
        try:
            conn, _ = self.passive.accept()
        except OSError:
            self.reply("425 No data connection.")
            return
        finally:
            self.passive.close()
            self.passive = None
        with conn:
            step = max(1, rate // 10) if rate else 65536
            for start in range(0, len(payload), step):
                conn.sendall(payload[start:start + step])
                if rate:
                    time.sleep(step / rate)
        self.reply("426 Connection closed; transfer aborted." if abort else "226 Transfer complete.")

    def listing(self, arg, line):
        node, _ = self.resolve("" if arg.startswith("-") else arg)
        if node is None or not node.is_folder:
            self.reply("550 No such folder.")
            return
        lines = [line(name, child) for name, child in node.target().children.items()]
        self.send_data("".join(lines).encode("utf-8", "surrogateescape"))

    def cmd_MLSD(self, arg):
        if not self.server.options.get("mlsd", True):
            self.reply("500 Unknown command.")
            return

        def line(name, child):
            if child.is_folder:
                return "type=dir;modify=%s; %s\r\n" % (MODIFY, name)
            size = child.listed_size()
            facts = "type=file;" + ("size=%s;" % size if size != "" else "") + "modify=%s;" % child.modify()
            return "%s %s\r\n" % (facts, name)

        self.listing(arg, line)

    def cmd_LIST(self, arg):
        def line(name, child):
            if child.is_folder:
                return "drwxr-xr-x 2 user group 0 Mar 15  2012 %s\r\n" % name
            return "-rw-r--r-- 1 user group %s Mar 15  2012 %s\r\n" % (child.listed_size() or "0", name)

        self.listing(arg, line)

    def cmd_RETR(self, arg):
        node, _ = self.resolve(arg)
        if node is None or node.is_folder:
            self.reply("550 No such file.")
            return
        print("<- RETR " + arg, file=sys.stderr, flush=True)
        with self.server.lock:
            node.retrieved += 1
            tries = node.retrieved
        if tries <= node.desc.get("hangup", 0):
            return False
        if tries <= node.desc.get("oops", 0):
            self.reply("500 OOPS: priv_sock_get_int")
            return False
        if node.desc.get("refuse"):
            self.reply("550 Permission denied.")
            return
        data = node.data()[self.rest:]
        self.rest = 0
        cut = "send" in node.desc and tries <= node.desc.get("cuts", tries)
        if cut:
            data = data[:node.desc["send"]]
        self.send_data(data, node.desc.get("rate", 0), cut and node.desc.get("abort", False))
        if cut and "changes" in node.desc and tries == node.desc.get("cuts", tries):
            node.changed = True


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tree", required=True, help="JSON file describing the tree")
    args = parser.parse_args()
    with open(args.tree, encoding="utf-8") as f:
        options = json.load(f)
    server = Server(("127.0.0.1", 0), Session)
    server.options = options
    server.lock = threading.Lock()
    server.logins = 0
    server.sessions = 0
    server.noops = 0
    server.root = Node({"folder": options.get("tree", {})})
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
