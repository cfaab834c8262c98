#!/usr/bin/env python3
"""A WebSocket client for the live-channel tests: websocket_client.py URL SCENARIO [CAFILE] [COUNT].

Prints what it saw, one line per fact; every wait is bounded. Raw scenarios
write frames by hand (what a well-behaved library never sends)."""
import asyncio
import base64
import os
import socket
import ssl
import struct
import sys
import time
import urllib.parse

import websockets

URL, SCENARIO = sys.argv[1], sys.argv[2]
CAFILE = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] != "-" else None
COUNT = int(sys.argv[4]) if len(sys.argv) > 4 else 1
LIMIT = 20


def context():
    if not URL.startswith("wss:"):
        return None
    made = ssl.create_default_context(cafile=CAFILE)
    return made


async def library(scenario):
    compression = "deflate" if scenario == "deflate" else None
    async with websockets.connect(URL, ssl=context(), compression=compression, subprotocols=["chat", "echo"],
                                  open_timeout=LIMIT, close_timeout=LIMIT) as ws:
        print("subprotocol:%s" % ws.subprotocol)
        if scenario in ("echo", "deflate"):
            await ws.send("hello")
            print("text:%s" % await asyncio.wait_for(ws.recv(), LIMIT))
            await ws.send(b"\x00\x01\xff")
            print("binary:%s" % (await asyncio.wait_for(ws.recv(), LIMIT)).hex())
            if scenario == "deflate":
                big = "abc" * 5000
                await ws.send(big)
                print("deflate:%s:%s" % (",".join(e.name for e in ws.extensions),
                                         await asyncio.wait_for(ws.recv(), LIMIT) == big))
        elif scenario == "fragmented":
            await ws.send(["frag", "ment", "ed"])
            print("text:%s" % await asyncio.wait_for(ws.recv(), LIMIT))
        elif scenario == "ping":
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, LIMIT)
            print("pong")
        await ws.close(4000, "bye")
        print("closed:%s" % ws.close_code)


async def broadcast():
    sockets = [await websockets.connect(URL, ssl=context(), compression=None, open_timeout=LIMIT)
               for _ in range(COUNT)]
    print("connected:%d" % len(sockets), flush=True)
    got = 0
    for ws in sockets:
        if await asyncio.wait_for(ws.recv(), LIMIT) == "tick":
            got += 1
    print("reached:%d" % got)
    for ws in sockets:
        await ws.close()


def frame(opcode, payload, masked=True):
    head = bytes([0x80 | opcode])
    mask = b"\x01\x02\x03\x04"
    bit = 0x80 if masked else 0
    if len(payload) < 126:
        head += bytes([bit | len(payload)])
    elif len(payload) < 65536:
        head += bytes([bit | 126]) + struct.pack("!H", len(payload))
    else:
        head += bytes([bit | 127]) + struct.pack("!Q", len(payload))
    if not masked:
        return head + payload
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def raw_connect(fields):
    parts = urllib.parse.urlsplit(URL)
    sock = socket.create_connection((parts.hostname, parts.port), timeout=LIMIT)
    if parts.scheme == "wss":
        sock = context().wrap_socket(sock, server_hostname=parts.hostname)
    key = base64.b64encode(os.urandom(16)).decode()
    request = "GET %s HTTP/1.1\r\nHost: %s:%d\r\n%s\r\n" % (parts.path or "/", parts.hostname, parts.port,
                                                          fields.replace("KEY", key))
    sock.sendall(request.encode())
    head = b""
    while b"\r\n\r\n" not in head:
        more = sock.recv(4096)
        if not more:
            break
        head += more
    status = head.split(b"\r\n", 1)[0].decode(errors="replace")
    return sock, status, head


UPGRADE = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n"


def close_code(sock, rest):
    data = rest
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        while len(data) >= 2:
            length = data[1] & 0x7F
            start = 2
            if length == 126:
                length, start = struct.unpack("!H", data[2:4])[0], 4
            elif length == 127:
                length, start = struct.unpack("!Q", data[2:10])[0], 10
            if len(data) < start + length:
                break
            opcode, payload = data[0] & 0x0F, data[start:start + length]
            data = data[start + length:]
            if opcode == 8:
                return struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else 1005
        more = sock.recv(65536)
        if not more:
            return "eof"
        data += more
    return "timeout"


def raw(scenario):
    if scenario == "plain":
        sock, status, head = raw_connect("")
        upgrade = [line for line in head.decode(errors="replace").split("\r\n") if line.lower().startswith("upgrade:")]
        print("status:%s" % status.split(" ")[1])
        print("upgrade:%s" % (upgrade[0].split(":", 1)[1].strip() if upgrade else ""))
        return
    if scenario == "origin":
        sock, status, head = raw_connect(UPGRADE + "Origin: https://elsewhere.example\r\n")
        print("status:%s" % status.split(" ")[1])
        return
    if scenario == "badkey":
        sock, status, head = raw_connect(UPGRADE.replace("KEY", "short"))
        print("status:%s" % status.split(" ")[1])
        return
    sock, status, head = raw_connect(UPGRADE)
    print("status:%s" % status.split(" ")[1])
    rest = head.split(b"\r\n\r\n", 1)[1]
    if scenario == "badutf8":
        sock.sendall(frame(1, b"\xff\xfe\xfd"))
    elif scenario == "unmasked":
        sock.sendall(frame(1, b"hello", masked=False))
    elif scenario == "oversize":
        sock.sendall(frame(2, b"x" * 5000))
    elif scenario == "noread":
        # Reads nothing until the test lets it go (a file appears) or the time is up.
        release = sys.argv[5]
        deadline = time.time() + LIMIT * 3
        print("waiting", flush=True)
        while not os.path.exists(release) and time.time() < deadline:
            time.sleep(0.05)
        return
    print("close:%s" % close_code(sock, rest))


if SCENARIO == "broadcast":
    asyncio.run(broadcast())
elif SCENARIO in ("echo", "deflate", "fragmented", "ping"):
    asyncio.run(library(SCENARIO))
else:
    raw(SCENARIO)
