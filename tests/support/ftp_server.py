#!/usr/bin/python3
"""A pyftpdlib server for the tests: serves one folder for one user on 127.0.0.1.

Binds port 0, prints "PORT <n>" as the first line on stdout, then serves until killed.
Each option switches on a misbehaviour a backup client has to survive; they are mixins
composed onto pyftpdlib's handler classes, so they combine (e.g. TLS with slow data).
"""

import argparse
import hashlib
import logging
import os
import sys
import time
import zlib

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


class DosListMixin:
    """LIST in the DOS form IIS uses, 12-hour times: '03-15-12  02:25PM  <DIR>  name'."""

    def ftp_LIST(self, path):
        try:
            if not self.fs.isdir(path):
                raise OSError("Not a directory")
            names = sorted(self.run_as_current_user(self.fs.listdir, path))
            lines = []
            for name in names:
                st = self.fs.lstat(os.path.join(path, name))
                stamp = time.strftime("%m-%d-%y  %I:%M%p", time.gmtime(st.st_mtime))
                # The name starts at column 39 whether the entry is a file or a folder.
                if self.fs.isdir(os.path.join(path, name)):
                    column = "       <DIR>          "
                else:
                    column = " %20d " % st.st_size
                lines.append("%s%s%s\r\n" % (stamp, column, name))
        except OSError as err:
            self.respond("550 %s." % err)
            return
        data = "".join(lines).encode("utf8", self.unicode_errors)
        self.push_dtp_data(data, cmd="LIST")
        return path


class StallAfterLoginMixin:
    """Once logged in, reads every command and answers none (socket stays open), but for
    OPTS, which a client refused it before the login sends again as part of logging in."""

    def pre_process_command(self, line, cmd, arg):
        if self.authenticated and cmd != "OPTS":
            return
        super().pre_process_command(line, cmd, arg)


class StallOnConnectMixin:
    """Accepts the TCP connection but never sends the greeting nor answers."""

    def handle(self):
        pass

    def pre_process_command(self, line, cmd, arg):
        pass


class ImplicitTlsMixin:
    """FTPS on the first byte: pyftpdlib only knows AUTH TLS, so the socket is wrapped
    before the greeting is queued; the greeting goes out once the handshake is done."""

    def __init__(self, conn, server, ioloop=None):
        super().__init__(conn, server, ioloop)
        if self.connected:
            self.secure_connection(self.ssl_context)


class EarlyTlsHandshakeMixin:
    """Lets a client start the data connection's TLS handshake before it sends the transfer
    command (curl does). pyftpdlib closes a data channel that turns readable before a
    transfer is queued, which would reset the connection mid-handshake."""

    def readable(self):
        return self._ssl_accepting or super().readable()


class DropDataMixin:
    """RETR sends `drop_after` bytes, then cuts the data connection and answers 426."""

    drop_after = 0

    def use_sendfile(self):
        return False

    def send(self, data):
        # file_obj, unlike cmd, is set before the first chunk goes out; listings have none.
        if self.file_obj is None or self.receive:
            return super().send(data)
        left = self.drop_after - self.tot_bytes_sent
        if left <= 0:
            self._error = True  # no TLS close_notify: the connection just dies
            self._resp = ("426 Connection closed; transfer aborted.", logging.info)
            self.close()
            return 0
        return super().send(bytes(data)[:left])


class DropUploadMixin:
    """STOR takes `drop_upload_after` bytes, then cuts the data connection and answers 426."""

    drop_upload_after = 0

    def handle_read(self):
        super().handle_read()
        if self.receive and not self._closed and self.tot_bytes_received >= self.drop_upload_after:
            self.transfer_finished = False
            self._resp = ("426 Connection closed; transfer aborted.", logging.info)
            self.close()

    def handle_read_event(self):
        self.handle_read()


class NoReplaceMixin:
    """Like servers on Windows: RNTO onto an existing file is refused."""

    def ftp_RNTO(self, path):
        if self._rnfr and self.fs.lexists(path):
            self._rnfr = None
            self.respond("553 Cannot rename onto an existing file.")
            return None
        return super().ftp_RNTO(path)


class RefuseRenameOfMixin:
    """RNFR of a path holding `refuse_rename_of` is refused, as for a file the server keeps
    locked."""

    refuse_rename_of = ""

    def ftp_RNFR(self, path):
        if self.refuse_rename_of in path:
            self.respond("550 The file is in use.")
            return None
        return super().ftp_RNFR(path)


class DropControlMixin:
    """Every session (or those numbered in `drop_sessions`, counting from 1) closes its
    control connection, unanswered, on its command N + 1, as a server does that drops
    sessions now and then."""

    drop_every = 0
    drop_sessions = ()
    sessions_begun = 0

    def on_connect(self):
        DropControlMixin.sessions_begun += 1
        self.session_number = DropControlMixin.sessions_begun
        super().on_connect()

    def pre_process_command(self, line, cmd, arg):
        self.commands_seen = getattr(self, "commands_seen", 0) + 1
        dropping = not self.drop_sessions or self.session_number in self.drop_sessions
        if dropping and self.commands_seen > self.drop_every:
            self.log("dropped the session at " + cmd)
            self.close()
            return
        super().pre_process_command(line, cmd, arg)


class RefuseRetrMixin:
    """RETR of a file with this name is refused with 550, as a server refuses an unreadable file."""

    refused_name = ""

    def ftp_RETR(self, file):
        if os.path.basename(file) == self.refused_name:
            self.respond("550 Permission denied: %s is not readable." % self.refused_name)
            return None
        return super().ftp_RETR(file)


class ChecksumMixin:
    """HASH (algorithm chosen by OPTS HASH) and the X commands; the files named
    `wrong_checksum` get a checksum with its first digit changed."""

    hash_algorithms = ()
    wrong_checksum = ""
    hash_selected = None
    checksum_feats = ()

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        # pyftpdlib sets its extra FEAT lines per session (TLS adds its own).
        self._extra_feats = list(self._extra_feats) + list(self.checksum_feats)

    def _digest(self, path, algorithm):
        with open(path, "rb") as source:
            data = source.read()
        if algorithm == "CRC32":
            value = "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)
        else:
            value = hashlib.new({"SHA-256": "sha256", "SHA-1": "sha1", "MD5": "md5"}[algorithm],
                                data).hexdigest()
        if self.wrong_checksum and os.path.basename(path) == self.wrong_checksum:
            value = ("1" if value[0] == "0" else "0") + value[1:]
        return value, len(data)

    def ftp_OPTS(self, line):
        command, _, argument = line.partition(" ")
        if command.upper() != "HASH":
            return super().ftp_OPTS(line)
        if argument.upper() not in self.hash_algorithms:
            self.respond("501 Unknown algorithm.")
            return
        self.hash_selected = argument.upper()
        self.respond("200 " + self.hash_selected)

    def _checked(self, path):
        if not self.fs.isfile(path):
            self.respond("550 %s is not a file." % self.fs.fs2ftp(path))
            return False
        return True

    def ftp_HASH(self, path):
        if self._checked(path):
            algorithm = self.hash_selected or self.hash_algorithms[0]
            value, size = self._digest(path, algorithm)
            self.respond("213 %s 0-%d %s %s" % (algorithm, size, value, self.fs.fs2ftp(path)))

    def _x_command(self, path, algorithm):
        if self._checked(path):
            self.respond("250 %s" % self._digest(path, algorithm)[0])

    def ftp_XCRC(self, path):
        self._x_command(path, "CRC32")

    def ftp_XMD5(self, path):
        self._x_command(path, "MD5")

    def ftp_XSHA1(self, path):
        self._x_command(path, "SHA-1")

    def ftp_XSHA256(self, path):
        self._x_command(path, "SHA-256")


def add_checksums(args, control_bases, attrs):
    """Offers the checksums of --hash and --x-commands, and drops MFMT for --no-mfmt."""
    commands = dict(attrs.get("proto_cmds", control_bases[-1].proto_cmds))
    if args.no_mfmt:
        commands.pop("MFMT", None)
    features = []
    hashes = [name.upper() for name in args.hash.split(",") if name] if args.hash else []
    extra = [name.upper() for name in args.x_commands.split(",") if name] if args.x_commands else []
    for command in (["HASH"] if hashes else []) + extra:
        commands[command] = dict(perm="r", auth=True, arg=True, help="Syntax: %s <SP> file-name" % command)
    if hashes:
        features.append("HASH " + ";".join(hashes))
    features += extra
    attrs.update(proto_cmds=commands, checksum_feats=tuple(features), hash_algorithms=tuple(hashes),
                 wrong_checksum=args.wrong_checksum or "")
    control_bases.insert(0, ChecksumMixin)


def build_handler(args):
    control_bases = []
    data_bases = []
    attrs = {}
    data_attrs = {}
    if args.dos_list:
        control_bases.append(DosListMixin)
    if args.stall_after_login:
        control_bases.append(StallAfterLoginMixin)
    if args.stall_on_connect:
        control_bases.append(StallOnConnectMixin)
    if args.drop_control_every:
        control_bases.append(DropControlMixin)
        attrs["drop_every"] = args.drop_control_every
        if args.drop_sessions:
            attrs["drop_sessions"] = {int(n) for n in args.drop_sessions.split(",")}
    if args.refuse_retr:
        control_bases.append(RefuseRetrMixin)
        attrs["refused_name"] = args.refuse_retr
    if args.drop_data_after is not None:
        data_bases.append(DropDataMixin)
        data_attrs["drop_after"] = args.drop_data_after
    if args.drop_upload_after is not None:
        data_bases.append(DropUploadMixin)
        data_attrs["drop_upload_after"] = args.drop_upload_after
    if args.no_replace:
        control_bases.append(NoReplaceMixin)
    if args.refuse_rename_of:
        control_bases.append(RefuseRenameOfMixin)
        attrs["refuse_rename_of"] = args.refuse_rename_of

    if args.tls:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        if not args.cert:
            sys.exit("--tls needs --cert")
        if args.tls == "implicit":
            control_bases.insert(0, ImplicitTlsMixin)
        control_bases.append(TLS_FTPHandler)
        data_bases += [EarlyTlsHandshakeMixin, TLS_DTPHandler]
        attrs.update(certfile=args.cert, keyfile=args.key or args.cert,
                     tls_control_required=True, tls_data_required=True)
    else:
        control_bases.append(FTPHandler)
    if args.slow_data:
        data_bases.append(ThrottledDTPHandler)
        data_attrs.update(read_limit=args.slow_data, write_limit=args.slow_data)
    if args.no_mlsd or args.dos_list:
        # Without the commands in proto_cmds, FEAT omits MLST and they are answered 500.
        attrs["proto_cmds"] = {cmd: info for cmd, info in control_bases[-1].proto_cmds.items()
                               if cmd not in ("MLSD", "MLST")}
    for flag, command in ((args.no_epsv, "EPSV"), (args.no_eprt, "EPRT")):
        if flag:
            commands = attrs.get("proto_cmds", control_bases[-1].proto_cmds)
            attrs["proto_cmds"] = {cmd: info for cmd, info in commands.items() if cmd != command}
    if args.pasv_address:
        attrs["masquerade_address"] = args.pasv_address
    if args.hash or args.x_commands or args.no_mfmt:
        add_checksums(args, control_bases, attrs)
    if not any(issubclass(b, DTPHandler) for b in data_bases):
        data_bases.append(DTPHandler)

    attrs["dtp_handler"] = type("TestDTPHandler", tuple(data_bases), data_attrs)
    return type("TestFTPHandler", tuple(control_bases), attrs)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="folder to serve")
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--no-mlsd", action="store_true")
    parser.add_argument("--dos-list", action="store_true")
    parser.add_argument("--tls", choices=("explicit", "implicit"))
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--stall-after-login", action="store_true")
    parser.add_argument("--stall-on-connect", action="store_true")
    parser.add_argument("--refuse-retr", metavar="NAME", help="answer RETR of files named NAME with 550")
    parser.add_argument("--drop-data-after", type=int, metavar="BYTES")
    parser.add_argument("--slow-data", type=int, metavar="BYTES_PER_SEC")
    parser.add_argument("--no-epsv", action="store_true",
                        help="EPSV not offered and answered 500, so clients fall back to PASV")
    parser.add_argument("--no-eprt", action="store_true",
                        help="EPRT not offered and answered 500, so active clients fall back to PORT")
    parser.add_argument("--drop-upload-after", type=int, metavar="BYTES")
    parser.add_argument("--drop-control-every", type=int, metavar="N",
                        help="each session closes its control connection on its command N + 1")
    parser.add_argument("--drop-sessions", metavar="1,3",
                        help="only these sessions (counted from 1) drop, not every one")
    parser.add_argument("--no-replace", action="store_true",
                        help="RNTO onto an existing file is refused")
    parser.add_argument("--refuse-rename-of", metavar="TEXT",
                        help="RNFR of a path holding TEXT is refused")
    parser.add_argument("--permissions", default="elradfmwMT",
                        help="the user's rights, as pyftpdlib spells them (no 'w': no uploads)")
    parser.add_argument("--pasv-address", metavar="ADDRESS",
                        help="address PASV announces instead of the real one (as behind NAT)")
    parser.add_argument("--log-commands", action="store_true",
                        help="log every command and reply, not only transfers and logins")
    parser.add_argument("--hash", metavar="SHA-256,CRC32", help="offer HASH with these algorithms")
    parser.add_argument("--x-commands", metavar="XCRC,XMD5", help="offer these X checksum commands")
    parser.add_argument("--wrong-checksum", metavar="NAME", help="give files named NAME a wrong checksum")
    parser.add_argument("--max-sessions", type=int, default=0,
                        help="at most this many sessions at once; one more is greeted with 421")
    parser.add_argument("--no-mfmt", action="store_true", help="MFMT not offered and answered 500")
    args = parser.parse_args()

    logging.basicConfig(level=logging.DEBUG if args.log_commands else logging.INFO, stream=sys.stderr,
                        format="[%(asctime)s] %(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.permissions)
    handler = build_handler(args)
    handler.authorizer = authorizer
    handler.use_gmt_times = True

    server = FTPServer(("127.0.0.1", 0), handler)
    if args.max_sessions > 0:
        server.max_cons_per_ip = args.max_sessions
    # A test killed before its teardown must not leave the server behind: once the parent
    # is gone (we are re-parented), stop.
    parent = os.getppid()
    server.ioloop.call_every(0.5, lambda: os.getppid() != parent and os._exit(0))
    print("PORT %d" % server.address[1], flush=True)
    # Nothing else goes to stdout: the reader may have closed its end of the pipe.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    server.serve_forever()


if __name__ == "__main__":
    main()
