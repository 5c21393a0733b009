#!/usr/bin/python3
# A web server that misbehaves on purpose, for the durl tests (endpoints: tests/support/servers.h).
# usage: hostile.py CERT_PEM KEY_PEM
# Listens on 127.0.0.1: "http" and "http2" (the same endpoints on two ports), "https" (the same
# over TLS) and "stall" (TLS that never answers the handshake). Every request is recorded in the
# format of durl_test_httpd's /_log; every answer closes its connection.
# Prints "READY http=P1 http2=P2 https=P3 stall=P4"; exits at the end of standard input.
# Standard library only.
import hashlib
import os
import socket
import socketserver
import ssl
import sys
import threading
import time
import zlib
from urllib.parse import parse_qs, urlsplit

cert, key = sys.argv[1], sys.argv[2]
log_lock = threading.Lock()
log = []
BLOCK = bytes(range(48, 58)) * 6554  # 65540 printable bytes


def escape(data):
    out = []
    for c in data[:4096]:
        if c in (0x5C, 0x0A, 0x0D):
            out.append({0x5C: "\\\\", 0x0A: "\\n", 0x0D: "\\r"}[c])
        elif c < 0x20 or c >= 0x7F:
            out.append("\\x%02x" % c)
        else:
            out.append(chr(c))
    return "".join(out)


def record(server, request_line, headers, body, status):
    parts = request_line.split(b" ")
    text = "server %s\nmethod %s\ntarget %s\n" % (
        server, escape(parts[0]), escape(parts[1] if len(parts) > 1 else b""))
    for name, value in headers:
        text += "header %s: %s\n" % (escape(name), escape(value))
    text += "body_size %d\nbody_md5 %s\nbody %s\nstatus %d\nend\n" % (
        len(body), hashlib.md5(body).hexdigest(), escape(body), status)
    with log_lock:
        log.append(text)


def body_blocks(size):
    while size > 0:
        n = min(size, len(BLOCK))
        yield BLOCK[:n]
        size -= n


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        try:
            self.serve()
        except (OSError, ssl.SSLError):
            pass  # the client hung up: the point of several endpoints

    def read_request(self):
        data = b""
        while b"\r\n\r\n" not in data:
            got = self.request.recv(65536)
            if not got or len(data) > 1 << 20:
                return None
            data += got
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        headers = [tuple(x.strip() for x in line.split(b":", 1)) for line in lines[1:] if b":" in line]
        length = int(dict((n.lower(), v) for n, v in headers).get(b"content-length", b"0"))
        while len(body) < length:
            got = self.request.recv(65536)
            if not got:
                break
            body += got
        return lines[0], headers, body

    def send(self, data):
        self.request.sendall(data)

    def head(self, status, *lines):
        self.send(("HTTP/1.1 %d X\r\n%s\r\n" % (status, "".join(l + "\r\n" for l in lines))).encode())

    def serve(self):
        got = self.read_request()
        if not got:
            return
        request_line, headers, body = got
        url = urlsplit(request_line.split(b" ")[1].decode("latin-1"))
        q = {k: v[0] for k, v in parse_qs(url.query).items()}
        size = int(q.get("size", "0"))
        path = url.path
        status = {"/loop": 302, "/redirect": int(q.get("code", "302"))}.get(path, 200)
        if path == "/_log":
            with log_lock:
                text = "".join(log).encode()
            self.head(200, "Content-Length: %d" % len(text), "Connection: close")
            return self.send(text)
        if path == "/_reset":
            with log_lock:
                log.clear()
            return self.head(200, "Content-Length: 0", "Connection: close")
        record(self.server.name, request_line, headers, body, status)
        if path == "/ok":
            self.head(200, "Content-Length: %d" % size, "Connection: close")
            for block in body_blocks(size):
                self.send(block)
        elif path == "/chunked":
            self.head(200, "Transfer-Encoding: chunked", "Connection: close")
            for block in body_blocks(size):
                self.send(b"%x\r\n%s\r\n" % (len(block), block))
            self.send(b"0\r\n\r\n")
        elif path == "/close":
            self.head(200, "Connection: close")
            for block in body_blocks(size):
                self.send(block)
        elif path == "/gzip":
            coding = "Content-Encoding" if q.get("as") == "content" else "Transfer-Encoding"
            lines = ["Content-Encoding: gzip", "Transfer-Encoding: chunked"]
            if coding == "Transfer-Encoding":
                lines = ["Transfer-Encoding: gzip, chunked"]
            self.head(200, *lines, "Connection: close")
            z = zlib.compressobj(9, zlib.DEFLATED, 31)
            for block in body_blocks(size):
                out = z.compress(block)
                if out:
                    self.send(b"%x\r\n%s\r\n" % (len(out), out))
            out = z.flush()
            self.send(b"%x\r\n%s\r\n0\r\n\r\n" % (len(out), out))
        elif path == "/length":
            self.head(200, "Content-Length: %s" % q.get("declared", "0"), "Connection: close")
            for block in body_blocks(size):
                self.send(block)
        elif path == "/endless-header":
            self.send(b"HTTP/1.1 200 X\r\nX-Endless: ")
            while True:
                self.send(b"a" * 65536)
        elif path == "/header-flood":
            self.send(b"HTTP/1.1 200 X\r\n")
            n = 0
            while True:
                self.send(b"".join(b"X-Flood-%d: v\r\n" % (n + i) for i in range(1000)))
                n += 1000
        elif path == "/trickle":
            self.head(200, "Content-Length: %d" % size, "Connection: close")
            for _ in range(size):
                self.send(b"t")
                time.sleep(int(q.get("every_ms", "1000")) / 1000.0)
        elif path == "/loop":
            self.head(302, "Location: /loop", "Content-Length: 0", "Connection: close")
        elif path == "/redirect":
            self.head(status, "Location: %s" % q.get("to", "/ok"), "Content-Length: 0",
                      "Connection: close")
        else:
            self.head(404, "Content-Length: 0", "Connection: close")


class TlsHandler(Handler):
    def setup(self):
        self.request = self.server.context.wrap_socket(self.request, server_side=True)


class StallHandler(socketserver.BaseRequestHandler):
    def handle(self):  # takes the client's hello and never answers it
        try:
            while self.request.recv(4096):
                pass
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def serve(name, handler):
    server = Server(("127.0.0.1", 0), handler)
    server.name = name
    server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.context.load_cert_chain(cert, key)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


ports = [serve("http", Handler), serve("http2", Handler), serve("https", TlsHandler),
         serve("stall", StallHandler)]
print("READY http=%d http2=%d https=%d stall=%d" % tuple(ports), flush=True)
while sys.stdin.buffer.read(4096):
    pass
os._exit(0)
