#!/usr/bin/env python3
"""wsload against a scripted echo server that misbehaves on purpose.

Usage: wsload_faults_test.py path/to/wsload

Each case starts the fake server on a free loopback port in one behaviour, runs wsload against
it and checks wsload's exit status and the error it names. A sound server must pass (also when
it fragments its echoes, cuts raw echoes into odd pieces or sends pings); every fault must
make wsload fail.
"""
import base64
import hashlib
import random
import socket
import struct
import subprocess
import sys
import threading
import zlib

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
GREETING = b"Hello From Server."


def read_exact(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_head(conn):
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = conn.recv(1)
        if not chunk:
            raise EOFError
        head += chunk
    return head.decode("latin-1")


def read_frame(conn):
    """(opcode, payload, compressed): compressed is the frame's RSV1."""
    first, second = read_exact(conn, 2)
    length = second & 0x7F
    if length == 126:
        length = struct.unpack("!H", read_exact(conn, 2))[0]
    elif length == 127:
        length = struct.unpack("!Q", read_exact(conn, 8))[0]
    if not second & 0x80:
        raise ValueError("client frame not masked")
    key = read_exact(conn, 4)
    payload = bytearray(read_exact(conn, length))
    for i in range(length):
        payload[i] ^= key[i % 4]
    return first & 0x0F, bytes(payload), bool(first & 0x40)


def frame(opcode, payload, fin=True, masked=False, compressed=False):
    head = bytes([(0x80 if fin else 0) | (0x40 if compressed else 0) | opcode])
    mask_bit = 0x80 if masked else 0
    if len(payload) < 126:
        head += bytes([mask_bit | len(payload)])
    elif len(payload) < 65536:
        head += bytes([mask_bit | 126]) + struct.pack("!H", len(payload))
    else:
        head += bytes([mask_bit | 127]) + struct.pack("!Q", len(payload))
    if masked:
        key = b"\x01\x02\x03\x04"
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        head += key
    return head + payload


def send_in_pieces(conn, data):
    rand = random.Random(len(data))
    while data:
        cut = rand.randint(1, 7)
        conn.sendall(data[:cut])
        data = data[cut:]


def serve_raw(conn, behaviour):
    if behaviour != "raw-tcp":
        read_head(conn)
        conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: raw\r\n"
                     b"Connection: Upgrade\r\n\r\n")
    total = 0
    while True:
        data = conn.recv(4096)
        if not data:
            return
        if behaviour == "raw-corrupt" and total <= 1000 < total + len(data):
            index = 1000 - total
            data = data[:index] + bytes([data[index] ^ 1]) + data[index + 1:]
        total += len(data)
        send_in_pieces(conn, data)


class Deflate:
    """permessage-deflate, server side, windows kept across messages in both directions."""

    def __init__(self):
        self.compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
        self.decompressor = zlib.decompressobj(-15)

    def compress(self, data):
        out = self.compressor.compress(data) + self.compressor.flush(zlib.Z_SYNC_FLUSH)
        assert out.endswith(b"\x00\x00\xff\xff")
        return out[:-4]

    def inflate(self, data):
        return self.decompressor.decompress(data + b"\x00\x00\xff\xff")


def serve_deflate(conn, behaviour, offered):
    """Echoes with permessage-deflate: compressed, plain and fragmented compressed echoes."""
    if not offered:
        raise ValueError("permessage-deflate was not offered")
    deflate = Deflate()
    conn.sendall(frame(0x1, deflate.compress(GREETING), compressed=True))
    count = 0
    while True:
        opcode, payload, compressed = read_frame(conn)
        if opcode == 0x8:
            conn.sendall(frame(0x8, b"\x03\xe8"))
            return
        if opcode != 0x1:
            continue
        if not compressed:
            raise ValueError("a message was sent uncompressed")
        message = deflate.inflate(payload)
        count += 1
        if behaviour == "deflate-corrupt" and count == 5:
            conn.sendall(frame(0x1, b"\xff\xff\xff\xff", compressed=True))
        elif count % 3 == 0:
            conn.sendall(frame(0x1, message))  # A message may also go uncompressed.
        elif count % 3 == 1:
            data = deflate.compress(message)
            half = len(data) // 2
            conn.sendall(frame(0x1, data[:half], fin=False, compressed=True) +
                         frame(0x0, data[half:]))
        else:
            conn.sendall(frame(0x1, deflate.compress(message), compressed=True))


def serve(conn, behaviour):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if behaviour.startswith("raw"):
        serve_raw(conn, behaviour)
        return
    head = read_head(conn)
    key = ""
    offered = False
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "sec-websocket-key":
            key = value.strip()
        if name.strip().lower() == "sec-websocket-extensions":
            offered = value.strip() == "permessage-deflate"
    accept = base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()
    if behaviour == "bad-accept":
        accept = base64.b64encode(b"x" * 20).decode()
    answer = ("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: " + accept + "\r\n")
    if behaviour == "extension" or behaviour in ("deflate", "deflate-corrupt"):
        answer += "Sec-WebSocket-Extensions: permessage-deflate\r\n"
    conn.sendall((answer + "\r\n").encode())
    if behaviour in ("deflate", "deflate-corrupt"):
        serve_deflate(conn, behaviour, offered)
        return
    conn.sendall(frame(0x1, b"Hello" if behaviour == "wrong-greeting" else GREETING))
    held = None
    count = 0
    while True:
        opcode, payload, _ = read_frame(conn)
        if opcode == 0x8:
            conn.sendall(frame(0x8, b"" if behaviour == "close-no-code" else b"\x03\xe8"))
            return
        if opcode == 0x2 and behaviour == "echo-binary":
            conn.sendall(frame(0x2, payload))
            continue
        if opcode != 0x1:
            continue
        count += 1
        if behaviour == "ping":
            conn.sendall(frame(0x9, b"are you there"))
        if behaviour == "corrupt" and count == 5:
            payload = payload[:-1] + bytes([payload[-1] ^ 0x20])
        if ((behaviour == "drop" and count == 5) or (behaviour == "stall" and count >= 5) or
                behaviour == "silent"):
            continue
        if behaviour == "swap" and count == 4:
            held = payload
            continue
        if behaviour == "close-1001" and count == 5:
            conn.sendall(frame(0x8, b"\x03\xe9going away"))
            return
        if behaviour == "fragment":
            third = len(payload) // 3
            conn.sendall(frame(0x1, payload[:third], fin=False) +
                         frame(0x9, b"between fragments") +
                         frame(0x0, payload[third:2 * third], fin=False) +
                         frame(0x0, payload[2 * third:]))
        elif behaviour == "binary-echo":
            conn.sendall(frame(0x2, payload))
        elif behaviour == "masked":
            conn.sendall(frame(0x1, payload, masked=True))
        else:
            conn.sendall(frame(0x1, payload))
        if held is not None:
            conn.sendall(frame(0x1, held))
            held = None


class FakeServer:
    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.run, args=(conn,), daemon=True).start()

    def run(self, conn):
        try:
            serve(conn, self.behaviour)
        except (EOFError, OSError, ValueError):
            pass
        finally:
            conn.close()

    def close(self):
        self.listener.close()


ECHO = ["--connections", "2", "--inflight", "4", "--size", "300", "--expect-greeting",
        "--warmup", "0.1", "--duration", "0.5", "--drain-timeout", "2"]
RAW = ["--connections", "2", "--inflight", "3", "--size", "700", "--warmup", "0.1",
       "--duration", "0.5", "--drain-timeout", "2"]
CHURN = ["--churn", "--connections", "2", "--expect-greeting", "--warmup", "0.1",
         "--duration", "0.5", "--close-wait", "1"]
IDLE = ["--idle", "--connections", "20", "--expect-greeting", "--duration", "0.3",
        "--drain-timeout", "2"]
DEFLATE = ECHO + ["--permessage-deflate", "--size", "3000"]

# (behaviour, wsload arguments, must pass, text the failure must name)
CASES = [
    ("echo", ECHO, True, ""),
    ("fragment", ECHO, True, ""),
    ("ping", ECHO, True, "pings="),
    ("echo", ECHO + ["--threads", "2", "--connections", "5"], True, ""),
    ("echo-binary", ECHO + ["--binary", "--size", "70000"], True, ""),
    ("echo", IDLE, True, "then 20 echoed one message each"),
    ("deflate", DEFLATE, True, ""),
    ("deflate", DEFLATE + ["--size", "100000", "--inflight", "2"], True, ""),
    ("echo", CHURN, True, ""),
    ("raw", RAW + ["--raw"], True, ""),
    ("raw-tcp", RAW + ["--raw-tcp"], True, ""),
    ("corrupt", ECHO, False, "differs"),
    ("drop", ECHO, False, "differs"),
    ("stall", ECHO, False, "never echoed"),
    ("swap", ECHO, False, "differs"),
    ("close-1001", ECHO, False, "code 1001"),
    ("binary-echo", ECHO, False, "opcode 2"),
    ("masked", ECHO, False, "masked frame"),
    ("bad-accept", ECHO, False, "Sec-WebSocket-Accept"),
    ("extension", ECHO, False, "never offered"),
    ("wrong-greeting", ECHO, False, "greeting"),
    ("close-no-code", CHURN, False, "without code 1000"),
    ("raw-corrupt", RAW + ["--raw"], False, "differ"),
    ("silent", IDLE, False, "never echoed"),
    ("echo", DEFLATE, False, "declined permessage-deflate"),
    ("deflate-corrupt", DEFLATE, False, "does not inflate"),
]


# Arguments wsload must refuse (exit status 2) before it connects anywhere.
BAD_ARGUMENTS = [
    ["--connections", "0"],
    ["--size", "-1"],
    ["--size", "67108865"],
    ["--port", "70000"],
    ["--inflight", "x"],
    ["--churn", "--raw"],
    ["--raw", "--size", "0"],
    ["--raw-tcp", "--expect-greeting"],
    ["--raw", "--permessage-deflate"],
    ["--path", "ws"],
    ["--duration"],
    ["--no-such-flag"],
    ["http://127.0.0.1:1/"],
]


def main():
    wsload = sys.argv[1]
    failures = 0
    for args in BAD_ARGUMENTS:
        run = subprocess.run([wsload] + args, capture_output=True, text=True, timeout=10)
        ok = run.returncode == 2 and "usage" in run.stderr
        print(f"{'ok  ' if ok else 'FAIL'} refused {' '.join(args):32} exit {run.returncode}")
        if not ok:
            failures += 1
            print(run.stdout + run.stderr)
    for behaviour, args, must_pass, text in CASES:
        if must_pass:
            # A sound peer's echoes drain and its churn cycles end as soon as they can: the
            # generous bounds only keep a loaded machine (a sanitized wsload beside other tests)
            # from failing them. The faulty peers keep the short ones they are caught by.
            args = args + ["--drain-timeout", "60", "--cycle-timeout", "60"]
        server = FakeServer(behaviour)
        try:
            run = subprocess.run([wsload, "--port", str(server.port), "--path", "/"] + args,
                                 capture_output=True, text=True, timeout=180)
        finally:
            server.close()
        output = run.stdout + run.stderr
        passed = run.returncode == 0
        ok = passed == must_pass and (not text or text in output)
        if behaviour == "ping" and ok:
            ok = "pings=0 " not in output
        print(f"{'ok  ' if ok else 'FAIL'} {behaviour:15} {' '.join(args[:2]):24} "
              f"exit {run.returncode}")
        if not ok:
            failures += 1
            print(output)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
