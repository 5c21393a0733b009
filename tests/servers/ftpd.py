#!/usr/bin/python3
# FTP peer for the durl tests and the demo: plain FTP, explicit FTPS (AUTH TLS) and implicit
# FTPS on three free ports of 127.0.0.1. usage: ftpd.py ROOT CERT_WITH_KEY_PEM COMMAND_LOG
# Logins "user"/"pass" (home ROOT/user) and anonymous (ROOT/anon), both may write. Each command
# is appended to COMMAND_LOG as "<mode> <remote port> <COMMAND> <argument>" before its answer.
# SIZE of any name starting "size-negative" answers -1048576, of "size-huge" a size beyond 64 bits,
# of "size-none" 502 (not implemented).
# Prints "READY ftp=P1 ftpes=P2 ftps=P3" once all listen; exits at the end of standard input.
# /usr/bin/python3 has pyftpdlib and OpenSSL from the Debian packages.
import logging
import os
import sys
import threading
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

root, certfile, command_log = sys.argv[1], sys.argv[2], sys.argv[3]
log_file = open(command_log, "a", buffering=1)


class DTP(TLS_DTPHandler):
    # libcurl starts the data-channel handshake right after connecting, before RETR/STOR;
    # stock pyftpdlib 1.5.7 takes that early readable event for a hang-up and closes.
    def readable(self):
        return self._ssl_accepting or super().readable()


class Explicit(TLS_FTPHandler):
    dtp_handler = DTP
    certfile = certfile
    tls_control_required = False
    tls_data_required = False


class Implicit(Explicit):
    def handle(self):  # TLS from the first byte, the banner after the handshake
        self.secure_connection(self.ssl_context)

    def handle_ssl_established(self):
        FTPHandler.handle(self)

    def ftp_AUTH(self, line):
        self.respond("503 Already using TLS.")


def serve(base, mode):
    class Handler(base):
        def pre_process_command(self, line, cmd, arg):
            log_file.write(("%s %d %s %s" % (mode, self.remote_port, cmd, arg or "")).rstrip() + "\n")
            return super().pre_process_command(line, cmd, arg)

        def ftp_SIZE(self, path):
            # Hostile size answers for the append tests; the files need not exist.
            name = os.path.basename(path)
            if name.startswith("size-negative"):
                return self.respond("213 -1048576")
            if name.startswith("size-huge"):
                return self.respond("213 123456789012345678901234567890")
            if name.startswith("size-none"):  # a download that announces no size
                return self.respond("502 SIZE not implemented.")
            return super().ftp_SIZE(path)

    Handler.authorizer = DummyAuthorizer()
    Handler.authorizer.add_user("user", "pass", os.path.join(root, "user"), perm="elradfmwMT")
    Handler.authorizer.add_anonymous(os.path.join(root, "anon"), perm="elradfmw")
    Handler.auth_failed_timeout = 0  # a denied login answers at once
    Handler.passive_ports = None  # any free port: several servers never clash
    server = FTPServer(("127.0.0.1", 0), Handler)
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
