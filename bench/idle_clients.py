#!/usr/bin/env python3
"""Opens COUNT keep-alive connections to a loopback HTTP server (with --tls
an HTTPS one: a full handshake each; with --h2 HTTPS speaking HTTP/2, chosen
by ALPN), sends one request on each, reads its answer and then holds the
connection idle.

Prints "ready OK FAILED" once every connection is served or has failed, then
holds until standard input ends (or --hold seconds pass) and closes them."""

import argparse
import select
import selectors
import socket
import ssl
import sys
import time


def frame(kind, flags, stream, payload=b""):
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


def h2_request(host, path):
    """The client preface, empty SETTINGS and a GET on stream 1 (HPACK:
    indexed :method GET and :scheme https, literal :path and :authority)."""
    block = bytes([0x82, 0x87, 0x44, len(path)]) + path.encode() + bytes([0x41, len(host)]) + host.encode()
    return (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + frame(4, 0, 0) +
            frame(1, 0x05, 1, block))  # END_STREAM | END_HEADERS


def h2_answered(buf, s):
    """Whether stream 1 has ended in the frames received; acknowledges the
    server's SETTINGS on the way (each frame is looked at once)."""
    done = False
    at = 0
    while len(buf) - at >= 9:
        length = int.from_bytes(buf[at:at + 3], "big")
        kind, flags = buf[at + 3], buf[at + 4]
        stream = int.from_bytes(buf[at + 5:at + 9], "big") & 0x7FFFFFFF
        if len(buf) - at < 9 + length:
            break
        if kind == 4 and not flags & 0x1:
            s.sendall(frame(4, 0x1, 0))
        if kind == 7:
            raise OSError("GOAWAY")
        if stream == 1 and kind in (0, 1) and flags & 0x1:
            done = True
        at += 9 + length
    del buf[:at]
    return done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--path", default="/1k.bin")
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--in-flight", type=int, default=200)
    parser.add_argument("--setup-timeout", type=float, default=60.0)
    # A connection not served by then has failed: a server at its connection
    # limit leaves the ones it cannot take unanswered.
    parser.add_argument("--stall", type=float, default=10.0)
    parser.add_argument("--hold", type=float, default=600.0)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--h2", action="store_true", help="HTTP/2 over TLS (implies --tls)")
    args = parser.parse_args()
    args.tls = args.tls or args.h2
    if args.host not in ("127.0.0.1", "::1", "localhost"):
        sys.exit("idle_clients: loopback only")

    request = (f"GET {args.path} HTTP/1.1\r\nHost: {args.host}\r\n"
               "Connection: keep-alive\r\n\r\n").encode()
    tls = None
    if args.tls:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        tls.check_hostname = False
        tls.verify_mode = ssl.CERT_NONE  # the bench's self-signed certificate
        if args.h2:
            tls.set_alpn_protocols(["h2"])
            request = h2_request(args.host, args.path)
    sel = selectors.DefaultSelector()
    held, failed, started = [], 0, 0
    deadline = time.monotonic() + args.setup_timeout

    def start_one():
        family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
        s = socket.socket(family, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex((args.host, args.port))
        sel.register(s, selectors.EVENT_WRITE, {"step": "connect", "buf": bytearray(), "since": time.monotonic()})

    def answered(buf, s):
        if args.h2:
            return h2_answered(buf, s)
        head, sep, body = buf.partition(b"\r\n\r\n")
        if not sep:
            return False
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                return len(body) >= int(value)
        return True  # no length: the header is enough for our purpose

    while len(held) + failed < args.count:
        while started < args.count and len(sel.get_map()) < args.in_flight:
            start_one()
            started += 1
        now = time.monotonic()
        if now > deadline:
            break
        for key in [k for k in sel.get_map().values() if now - k.data["since"] > args.stall]:
            sel.unregister(key.fileobj)
            key.fileobj.close()
            failed += 1
        for key, _ in sel.select(timeout=1.0):
            s, state = key.fileobj, key.data
            try:
                if state["step"] == "connect":
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                        raise OSError("connect failed")
                    if tls:
                        sel.unregister(s)
                        s = tls.wrap_socket(s, do_handshake_on_connect=False)
                        sel.register(s, selectors.EVENT_WRITE, state)
                        state["step"] = "handshake"
                    else:
                        state["step"] = "send"
                if state["step"] == "handshake":
                    try:
                        s.do_handshake()
                    except ssl.SSLWantReadError:
                        sel.modify(s, selectors.EVENT_READ, state)
                        continue
                    except ssl.SSLWantWriteError:
                        sel.modify(s, selectors.EVENT_WRITE, state)
                        continue
                    state["step"] = "send"
                    if args.h2 and s.selected_alpn_protocol() != "h2":
                        raise OSError("no h2")
                if state["step"] == "send":
                    # The request is small enough for one write once the
                    # connection (and handshake) is up.
                    s.sendall(request)
                    state["step"] = "read"
                    sel.modify(s, selectors.EVENT_READ, state)
                    continue
                try:
                    chunk = s.recv(65536)
                    while tls and s.pending():
                        chunk += s.recv(65536)
                except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                    continue
                if not chunk:
                    raise OSError("closed")
                state["buf"] += chunk
                if answered(state["buf"], s):
                    sel.unregister(s)
                    held.append(s)
            except OSError:  # ssl.SSLError is one
                try:
                    sel.unregister(s)
                except KeyError:
                    pass  # failed while it was being wrapped for TLS
                s.close()
                failed += 1
    for key in list(sel.get_map().values()):  # still pending at the deadline
        key.fileobj.close()
    print(f"ready {len(held)} {args.count - len(held)}", flush=True)

    # Hold until told to stop.
    end = time.monotonic() + args.hold
    while time.monotonic() < end:
        readable, _, _ = select.select([sys.stdin], [], [], min(1.0, end - time.monotonic()))
        if readable and not sys.stdin.readline():
            break
    for s in held:
        s.close()


if __name__ == "__main__":
    main()
