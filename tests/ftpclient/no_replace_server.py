#!/usr/bin/python3
"""The test FTP server (tests/support/ftp_server.py, same options) with one change: like
servers on Windows, RNTO onto an existing file is refused."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import ftp_server  # noqa: E402


class RefuseRenameOverMixin:
    def ftp_RNTO(self, path):
        if self._rnfr and self.fs.lexists(path):
            self._rnfr = None
            self.respond("553 Cannot rename onto an existing file.")
            return None
        return super().ftp_RNTO(path)


_build_handler = ftp_server.build_handler
ftp_server.build_handler = lambda args: type(
    "NoReplaceHandler", (RefuseRenameOverMixin, _build_handler(args)), {})

if __name__ == "__main__":
    ftp_server.main()
