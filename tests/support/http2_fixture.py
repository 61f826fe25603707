#!/usr/bin/env python3
"""An HTTPS server on 127.0.0.1 that speaks HTTP/2 (with the h2 package) for the download tests.

    http2_fixture.py --parent PID --tls CERT KEY --protocols h2[,http/1.1]

Listens on a free port and prints "PORT" on its first line of output; ends by itself once the process PID is
gone (and after ten minutes at most). It offers the ALPN protocols given, in that order of preference.

Every path answers GET /?n=N&cut=C (both optional):
  over HTTP/2    status 200 with no length, the first C bytes of N of the fixed pattern, then RST_STREAM
                 with NO_ERROR in place of the stream's end (the whole N bytes and a proper end when C >= N)
  over HTTP/1.1  status 200 and the N bytes, with Content-Length
A connection that agreed on no protocol while only h2 is offered is closed at once, unanswered, as a server
that speaks only HTTP/2 does.
"""

import argparse
import os
import socket
import ssl
import sys
import threading
import time
from urllib.parse import parse_qs, urlparse

import h2.config
import h2.connection
import h2.errors
import h2.events

from http_fixture import watch_parent  # the same rule for ending: once the test process is gone

PATTERN = bytes((i * 7 + i // 251) % 256 for i in range(1 << 20))


def request_sizes(path):
    query = {k: v[-1] for k, v in parse_qs(urlparse(path).query).items()}
    count = min(int(query.get("n", "0")), len(PATTERN))
    return count, min(int(query.get("cut", str(count))), count)


def serve_http2(connection):
    h2c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding="utf-8"))
    h2c.initiate_connection()
    connection.sendall(h2c.data_to_send())
    pending = {}  # stream id -> (bytes still to send, whether the stream ends properly)
    while True:
        data = connection.recv(65536)
        if not data:
            return
        for event in h2c.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                count, cut = request_sizes(dict(event.headers)[":path"])
                h2c.send_headers(event.stream_id, [(":status", "200")])
                pending[event.stream_id] = (PATTERN[:cut], cut >= count)
            elif isinstance(event, h2.events.StreamReset):
                pending.pop(event.stream_id, None)
        for stream_id in list(pending):
            body, whole = pending[stream_id]
            while body:
                room = min(h2c.local_flow_control_window(stream_id), h2c.max_outbound_frame_size)
                if room <= 0:
                    break
                h2c.send_data(stream_id, body[:room])
                body = body[room:]
            if body:
                pending[stream_id] = (body, whole)
                continue
            del pending[stream_id]
            if whole:
                h2c.end_stream(stream_id)
            else:
                # The body sent so far reaches the client before the reset does.
                connection.sendall(h2c.data_to_send())
                time.sleep(0.05)
                h2c.reset_stream(stream_id, error_code=h2.errors.ErrorCodes.NO_ERROR)
        connection.sendall(h2c.data_to_send())


def serve_http1(connection):
    request = b""
    while b"\r\n\r\n" not in request:
        data = connection.recv(65536)
        if not data:
            return
        request += data
    count, _ = request_sizes(request.split(b" ")[1].decode())
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % count + PATTERN[:count])
    connection.unwrap()


def serve(context, raw, protocols):
    try:
        with context.wrap_socket(raw, server_side=True) as connection:
            chosen = connection.selected_alpn_protocol()
            if chosen == "h2":
                serve_http2(connection)
            elif "http/1.1" in protocols:
                serve_http1(connection)
    except (OSError, ssl.SSLError):
        pass  # a client that hangs up or refuses the certificate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--parent", type=int, required=True)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), required=True)
    parser.add_argument("--protocols", required=True)
    args = parser.parse_args()
    protocols = args.protocols.split(",")

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.tls[0], args.tls[1])
    context.set_alpn_protocols(protocols)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    threading.Thread(target=watch_parent, args=(args.parent,), daemon=True).start()
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=serve, args=(context, raw, protocols), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
