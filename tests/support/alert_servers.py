#!/usr/bin/python3
"""Servers that receive alerts, for the tests: a mail server (aiosmtpd) and a web hook
server (http.server). Each binds 127.0.0.1 on a free port, prints "PORT n" on stdout and
writes every message or request it receives as a JSON file into the folder it is given.

  alert_servers.py smtp DIR --tls starttls|implicit|none [--cert C --key K] [--user U --password P]
  alert_servers.py hook DIR [--cert C --key K] [--fail N]
"""
import argparse
import asyncio
import itertools
import json
import os
import ssl
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

counter = itertools.count(1)


def write_record(folder, record, raw):
    """NNNN.txt holds the message or body as received; NNNN.json, written last, the rest."""
    number = next(counter)
    with open(os.path.join(folder, "%04d.txt" % number), "w") as f:
        f.write(raw)
    path = os.path.join(folder, "%04d.json" % number)
    with open(path + ".part", "w") as f:
        json.dump(record, f)
    os.rename(path + ".part", path)  # the test never sees half a record


def tls_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    return context


def run_smtp(args):
    from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            write_record(args.folder, {
                "mail_from": envelope.mail_from,
                "rcpt_tos": envelope.rcpt_tos,
                "tls": server.transport.get_extra_info("ssl_object") is not None,
                "login": session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else "",
            }, envelope.original_content.decode("utf-8", "replace"))
            return "250 OK"

    def authenticator(server, session, envelope, mechanism, auth_data):
        good = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user
                and auth_data.password.decode() == args.password)
        return AuthResult(success=good, handled=False, auth_data=auth_data if good else None)

    context = tls_context(args) if args.tls != "none" else None
    login = args.user is not None

    def factory():
        return SMTP(Handler(), hostname="127.0.0.1",
                    tls_context=context if args.tls == "starttls" else None,
                    require_starttls=args.tls == "starttls",
                    # Over implicit TLS aiosmtpd cannot tell that the line is encrypted.
                    auth_required=login, auth_require_tls=args.tls == "starttls",
                    authenticator=authenticator if login else None)

    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(loop.create_server(
        factory, "127.0.0.1", 0, ssl=context if args.tls == "implicit" else None))
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    loop.run_forever()


def run_hook(args):
    failures = {"left": args.fail}

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length).decode("utf-8", "replace")
            write_record(args.folder, {"path": self.path,
                                       "content_type": self.headers.get("Content-Type", "")}, body)
            status = 200
            if failures["left"] > 0:
                failures["left"] -= 1
                status = 500
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *unused):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if args.cert:
        server.socket = tls_context(args).wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["smtp", "hook"])
    parser.add_argument("folder")
    parser.add_argument("--tls", default="none")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--fail", type=int, default=0)
    args = parser.parse_args()
    (run_smtp if args.kind == "smtp" else run_hook)(args)


if __name__ == "__main__":
    sys.exit(main())
