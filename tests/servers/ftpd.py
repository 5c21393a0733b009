#!/usr/bin/python3
# FTP peer for the durl tests: plain FTP, explicit FTPS (AUTH TLS) and implicit FTPS in one
# process, on three free ports of 127.0.0.1.
#
# usage: /usr/bin/python3 ftpd.py ROOT CERT_WITH_KEY_PEM COMMAND_LOG
#
# Logins: "user"/"pass" (home ROOT/user) and anonymous with any password (home ROOT/anon), both
# with write permission. Every command a client sends is appended to COMMAND_LOG as
# "<mode> <remote port> <COMMAND> <argument>" before it is answered, so a test that has its
# transfer back can read exactly what was sent. Prints "READY ftp=P1 ftpes=P2 ftps=P3" once all
# three listen and exits when standard input reaches end of file (the harness holds the other
# end, so a crashed test never leaves the server behind).
#
# Use /usr/bin/python3: that interpreter has pyftpdlib and OpenSSL from the Debian packages.
import logging
import warnings
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

root, certfile, command_log = sys.argv[1], sys.argv[2], sys.argv[3]
log_file = open(command_log, "a", buffering=1)


def make_authorizer():
    auth = DummyAuthorizer()
    auth.add_user("user", "pass", os.path.join(root, "user"), perm="elradfmwMT")
    auth.add_anonymous(os.path.join(root, "anon"), perm="elradfmw")
    return auth


def logging_handler(base, mode):
    class Handler(base):
        def pre_process_command(self, line, cmd, arg):
            log_file.write(("%s %d %s %s" % (mode, self.remote_port, cmd, arg or "")).rstrip() + "\n")
            return super().pre_process_command(line, cmd, arg)
    return Handler


class DTP(TLS_DTPHandler):
    # libcurl starts the data-channel handshake right after connecting, before RETR/STOR;
    # stock pyftpdlib 1.5.7 takes that early readable event for a hang-up and closes.
    def readable(self):
        if self._ssl_accepting:
            return True
        return super().readable()


class Explicit(TLS_FTPHandler):
    dtp_handler = DTP
    certfile = certfile
    tls_control_required = False
    tls_data_required = False


class Implicit(Explicit):
    def handle(self):  # TLS from the first byte
        self.secure_connection(self.ssl_context)

    def handle_ssl_established(self):  # the banner only after the handshake
        FTPHandler.handle(self)

    def ftp_AUTH(self, line):
        self.respond("503 Already using TLS.")


def serve(base, mode):
    handler = logging_handler(base, mode)
    handler.authorizer = make_authorizer()
    handler.auth_failed_timeout = 0  # a denied login answers at once
    handler.passive_ports = None  # any free port: several servers never clash
    handler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 64
    return server.socket.getsockname()[1]


def watch_stdin():
    while sys.stdin.buffer.read(4096):
        pass
    os._exit(0)


for sub in ("user", "anon"):
    os.makedirs(os.path.join(root, sub), exist_ok=True)
logging.basicConfig(level=logging.WARNING)
warnings.simplefilter("ignore", RuntimeWarning)  # anonymous write access is intended here
ports = [serve(FTPHandler, "ftp"), serve(Explicit, "ftpes"), serve(Implicit, "ftps")]
threading.Thread(target=watch_stdin, daemon=True).start()
print("READY ftp=%d ftpes=%d ftps=%d" % tuple(ports), flush=True)
IOLoop.instance().loop(timeout=1.0)
