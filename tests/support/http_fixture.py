#!/usr/bin/env python3
"""An HTTP(S) server on 127.0.0.1 for the download tests and benchmark.

    http_fixture.py --parent PID [--tls CERT KEY] [--detach]

Listens on a free port and prints "PORT" on its first line of output. It ends by itself once the process
PID is gone (and after ten minutes at most), so a test that dies never leaves it behind. With --detach it
serves from a child process and the first one exits at once, for callers that read the port through a pipe
and must not wait for the server (Lua's io.popen).

Routes (query parameters in brackets):
  /bytes?n=N [&length=no] [&chunk=C&delay=MS]  N bytes of a fixed pattern, with Content-Length unless
                                                length=no (then the end is the connection's close), in
                                                pieces of C bytes MS milliseconds apart; over TLS the close
                                                comes without close_notify unless notify=yes
  /declare?n=N&send=M                          declares N bytes, sends M and closes the connection
  /chunked?n=N [&cut=data|last]                N bytes in one chunk and the closing zero-size chunk; cut=data
                                                closes the connection half-way through the chunk's data,
                                                cut=last right after the chunk, before the closing one
  /reset?n=N                                   N bytes with no length, then a reset in place of the close
  /status?code=C                               answers status C with a short body
  /redirect?to=URL [&code=C]                   a redirect (302 unless C) to URL
  /echo                                        the request's method, headers (lower-case names) and body
  /stall                                       headers of a 10-byte body, then nothing
  /silent                                      reads the request and never answers
"""

import argparse
import os
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

PATTERN = bytes((i * 7 + i // 251) % 256 for i in range(1 << 20))
LIFETIME_SECONDS = 600


def pattern_bytes(start, count):
    """count bytes of the endless pattern (PATTERN repeated) from offset start; count <= len(PATTERN)."""
    start %= len(PATTERN)
    head = PATTERN[start:start + count]
    return head + PATTERN[:count - len(head)]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def query(self):
        parsed = urlparse(self.path)
        return parsed.path, {k: v[-1] for k, v in parse_qs(parsed.query).items()}

    def do_GET(self):
        self.route(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        self.route(self.rfile.read(length))

    def route(self, body):
        path, query = self.query()
        handler = getattr(self, "route_" + path.strip("/"), None)
        if handler is None:
            self.answer(404, b"no such route")
        else:
            handler(query, body)

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def route_bytes(self, query, _body):
        count = int(query.get("n", "0"))
        chunk = int(query.get("chunk", "1048576"))
        delay = int(query.get("delay", "0")) / 1000.0
        self.send_response(200)
        if query.get("length") == "no":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(count))
        self.end_headers()
        chunk = min(chunk, len(PATTERN))
        sent = 0
        while sent < count:
            piece = min(chunk, count - sent)
            self.wfile.write(pattern_bytes(sent, piece))
            sent += piece
            if delay:
                self.wfile.flush()
                time.sleep(delay)
        if query.get("notify") == "yes" and isinstance(self.connection, ssl.SSLSocket):
            self.wfile.flush()
            self.connection.unwrap()

    def route_declare(self, query, _body):
        self.send_response(200)
        self.send_header("Content-Length", query["n"])
        self.end_headers()
        self.wfile.write(pattern_bytes(0, int(query["send"])))
        self.wfile.flush()
        self.close_connection = True

    def route_chunked(self, query, _body):
        count = int(query["n"])
        cut = query.get("cut")
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        data = pattern_bytes(0, count)
        if cut == "data":
            self.wfile.write(b"%x\r\n" % count + data[:count // 2])
        else:
            self.wfile.write(b"%x\r\n" % count + data + b"\r\n")
            if cut != "last":
                self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()
        self.close_connection = cut is not None

    def route_reset(self, query, _body):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(pattern_bytes(0, int(query["n"])))
        self.wfile.flush()
        # Closed here, with a zero linger time and before the server's own shutdown could send the end of the
        # stream: the client sees a reset.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def route_status(self, query, _body):
        self.answer(int(query["code"]), b"status body")

    def route_redirect(self, query, _body):
        self.answer(int(query.get("code", "302")), b"", [("Location", query["to"])])

    def route_echo(self, _query, body):
        lines = [self.command] + ["%s: %s" % (k.lower(), v) for k, v in self.headers.items()]
        self.answer(200, ("\n".join(lines) + "\n\n").encode() + body)

    def route_stall(self, _query, _body):
        self.send_response(200)
        self.send_header("Content-Length", "10")
        self.end_headers()
        self.wfile.flush()
        time.sleep(LIFETIME_SECONDS)

    def route_silent(self, _query, _body):
        time.sleep(LIFETIME_SECONDS)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up early is what several tests do on purpose.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def watch_parent(parent):
    """Ends the process once parent is gone, or when its lifetime is over."""
    deadline = time.monotonic() + LIFETIME_SECONDS
    while time.monotonic() < deadline:
        try:
            os.kill(parent, 0)
        except ProcessLookupError:
            break
        time.sleep(0.2)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--parent", type=int, required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--detach", action="store_true")
    args = parser.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    port = server.server_address[1]
    if args.detach and os.fork() != 0:
        print(port, flush=True)
        os._exit(0)
    if args.detach:
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
    else:
        print(port, flush=True)
    threading.Thread(target=watch_parent, args=(args.parent,), daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
