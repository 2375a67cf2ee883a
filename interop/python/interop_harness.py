# interop_harness: starts the servers under test and speaks raw WebSocket frames to them.
#
# Shared by every interop test: a server process whose ready line is awaited with a bounded
# wait and whose exit is checked, a free loopback port, a blocking raw-socket WebSocket client
# for the cases the real clients cannot express (hand-written offers, deflate-frame), and the
# command line every test script takes (the paths of the binaries under test).

import argparse
import base64
import hashlib
import logging
import os
import queue
import re
import shlex
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import zlib

READY_TIMEOUT = 30.0
STOP_TIMEOUT = 15.0
IO_TIMEOUT = 30.0

KORVO_READY_LINE = "zefWebSockets Server started at ws://127.0.0.1:2001/ws"
KORVO_URL = "ws://127.0.0.1:2001/ws/"
WSECHO_READY = re.compile(r"^wsecho listening on (ws://\S+)$")

# Filled from the command line by Main().
Paths = argparse.Namespace(korvo=None, wsecho=None, node=None, chromium=None)

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def AsciiText(Size):
    """Size bytes of varied ASCII, so that a shifted or repeated chunk cannot look right."""
    Alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ."
    return "".join(Alphabet[(Index * 7 + Index // 64) % len(Alphabet)] for Index in range(Size))


def FreePort():
    """A loopback port that was free a moment ago (the OS picks it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as Probe:
        Probe.bind(("127.0.0.1", 0))
        return Probe.getsockname()[1]


class ServerProcess:
    """One server binary under test, its standard output read line by line on a thread."""

    def __init__(self, Argv):
        self.Argv = list(Argv)
        self.Lines = queue.Queue()
        self.Output = []  # every line seen, for failure messages
        self.Process = subprocess.Popen(
            self.Argv,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            start_new_session=True,  # its own group: a stop never reaches the test runner
        )
        self.Reader = threading.Thread(target=self._Read, daemon=True)
        self.Reader.start()

    def _Read(self):
        for Raw in self.Process.stdout:
            Line = Raw.decode("utf-8", "replace").rstrip("\r\n")
            self.Output.append(Line)
            self.Lines.put(Line)
        self.Lines.put(None)  # end of output

    def WaitForLine(self, Matches, Timeout=READY_TIMEOUT):
        """The first line for which Matches(line) holds; raises on end of output or time-out."""
        Deadline = time.monotonic() + Timeout
        while True:
            Left = Deadline - time.monotonic()
            if Left <= 0:
                raise TimeoutError(f"no expected line from {self.Argv[0]} in {Timeout} s; "
                                   f"output so far: {self.Output!r}")
            try:
                Line = self.Lines.get(timeout=Left)
            except queue.Empty:
                continue
            if Line is None:
                raise RuntimeError(f"{self.Argv[0]} ended its output (exit {self.Process.poll()}) "
                                   f"before the expected line; output: {self.Output!r}")
            if Matches(Line):
                return Line

    def Report(self, Lines=40):
        """The start of the output, for a failure message (a sanitizer report runs long)."""
        Shown = self.Output[:Lines]
        More = len(self.Output) - len(Shown)
        return "\n".join(Shown) + (f"\n... {More} more lines" if More > 0 else "")

    def WaitForExit(self, Timeout=STOP_TIMEOUT):
        """Exit status of a process that ends by itself, within Timeout."""
        try:
            Status = self.Process.wait(timeout=Timeout)
        finally:
            self.Reader.join(timeout=Timeout)
        return Status

    def Stop(self):
        """Ends the server with SIGTERM (SIGKILL after a bounded wait); returns its exit status."""
        if self.Process.poll() is None:
            try:
                os.killpg(self.Process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.Process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(self.Process.pid, signal.SIGKILL)
                self.Process.wait(timeout=STOP_TIMEOUT)
        self.Reader.join(timeout=STOP_TIMEOUT)
        self.Process.stdout.close()
        return self.Process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *Ignored):
        self.Stop()


def StartKorvo():
    """korvo on its fixed port 2001, ready to serve."""
    Server = ServerProcess(shlex.split(Paths.korvo))
    try:
        Server.WaitForLine(lambda Line: Line == KORVO_READY_LINE)
    except BaseException:
        Server.Stop()
        raise
    return Server


def StartWsecho(*Flags):
    """wsecho on a free port with the given flags; returns (server, its ws:// URL)."""
    Port = FreePort()
    Server = ServerProcess([*shlex.split(Paths.wsecho), "--port", str(Port), "--path", "/ws/", *Flags])
    try:
        Line = Server.WaitForLine(lambda Line: WSECHO_READY.match(Line) is not None)
    except BaseException:
        Server.Stop()
        raise
    return Server, WSECHO_READY.match(Line).group(1)


class FrameTimeout(Exception):
    pass


class RawWebSocket:
    """A blocking client speaking frames byte for byte; every read is bounded by IO_TIMEOUT."""

    def __init__(self, Url, Extensions=None, ExtraHeaders=(), Version="13"):
        Match = re.match(r"^ws://([^:/]+):(\d+)(/.*)?$", Url)
        self.Host, self.Port, self.Path = Match.group(1), int(Match.group(2)), Match.group(3) or "/"
        self.Socket = socket.create_connection((self.Host, self.Port), timeout=IO_TIMEOUT)
        self.Buffer = b""
        Key = base64.b64encode(os.urandom(16)).decode()
        Lines = [f"GET {self.Path} HTTP/1.1", f"Host: {self.Host}:{self.Port}",
                 "Upgrade: websocket", "Connection: Upgrade", f"Sec-WebSocket-Key: {Key}",
                 f"Sec-WebSocket-Version: {Version}"]
        if Extensions is not None:
            Lines.append(f"Sec-WebSocket-Extensions: {Extensions}")
        Lines.extend(ExtraHeaders)
        self.Socket.sendall(("\r\n".join(Lines) + "\r\n\r\n").encode())
        Head = self._ReadUntil(b"\r\n\r\n").decode("latin-1")
        StatusLine, *HeaderLines = Head.split("\r\n")
        self.Status = int(StatusLine.split(" ")[1])
        self.Headers = {}
        for Line in HeaderLines:
            Name, _, Value = Line.partition(":")
            self.Headers[Name.strip().lower()] = Value.strip()
        self.ExpectedAccept = base64.b64encode(
            hashlib.sha1((Key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode())
            .digest()).decode()

    def _Fill(self):
        try:
            Chunk = self.Socket.recv(65536)
        except socket.timeout as Error:
            raise FrameTimeout(f"nothing received in {IO_TIMEOUT} s") from Error
        if not Chunk:
            raise ConnectionError("connection closed by the server")
        self.Buffer += Chunk

    def _ReadUntil(self, Marker):
        while Marker not in self.Buffer:
            self._Fill()
        Head, _, self.Buffer = self.Buffer.partition(Marker)
        return Head

    def _ReadExactly(self, Count):
        while len(self.Buffer) < Count:
            self._Fill()
        Data, self.Buffer = self.Buffer[:Count], self.Buffer[Count:]
        return Data

    def SendFrame(self, Opcode, Payload, Fin=True, Rsv1=False):
        Head = bytearray([(0x80 if Fin else 0) | (0x40 if Rsv1 else 0) | Opcode])
        Length = len(Payload)
        if Length < 126:
            Head.append(0x80 | Length)
        elif Length < 65536:
            Head.append(0x80 | 126)
            Head += struct.pack("!H", Length)
        else:
            Head.append(0x80 | 127)
            Head += struct.pack("!Q", Length)
        Mask = os.urandom(4)
        Head += Mask
        Masked = bytes(Byte ^ Mask[Index % 4] for Index, Byte in enumerate(Payload)) \
            if Length < 4096 else _MaskLarge(Payload, Mask)
        self.Socket.sendall(bytes(Head) + Masked)

    def ReadFrame(self):
        """(fin, rsv1, opcode, payload) of the next frame; the server must not mask."""
        First, Second = self._ReadExactly(2)
        if Second & 0x80:
            raise AssertionError("server frame is masked")
        Length = Second & 0x7F
        if Length == 126:
            Length = struct.unpack("!H", self._ReadExactly(2))[0]
        elif Length == 127:
            Length = struct.unpack("!Q", self._ReadExactly(8))[0]
        return bool(First & 0x80), bool(First & 0x40), First & 0x0F, self._ReadExactly(Length)

    def IsClosedByPeer(self):
        """True when the server ends the TCP connection with nothing more to read (bounded)."""
        if self.Buffer:
            return False
        try:
            return self.Socket.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    def Close(self):
        self.Socket.close()


def _MaskLarge(Payload, Mask):
    # Whole-word XOR: a per-byte loop over a mebibyte would dominate the test's run time.
    Repeated = (Mask * (len(Payload) // 4 + 1))[:len(Payload)]
    return (int.from_bytes(Payload, "big") ^ int.from_bytes(Repeated, "big")).to_bytes(
        len(Payload), "big")


class DeflateFrameCodec:
    """x-webkit-deflate-frame on the client side: one raw deflate stream per direction that lives
    as long as the connection, each frame ending in a sync flush whose 00 00 FF FF is cut off."""

    def __init__(self, WindowBits=15):
        self.Compressor = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -WindowBits)
        self.Decompressor = zlib.decompressobj(-WindowBits)

    def Compress(self, Data):
        Output = self.Compressor.compress(Data) + self.Compressor.flush(zlib.Z_SYNC_FLUSH)
        assert Output.endswith(b"\x00\x00\xff\xff")
        return Output[:-4]

    def Decompress(self, Data):
        Output = self.Decompressor.decompress(Data + b"\x00\x00\xff\xff")
        if self.Decompressor.eof:
            # The peer set BFINAL: a stream that ended cannot carry the next frame's back
            # references, so every later frame would inflate to nothing.
            raise AssertionError("frame ended the deflate stream (BFINAL set)")
        return Output


def Main():
    """Reads the binaries' commands (a path, or a command line for a stand-in), then runs the unittest cases of the calling script."""
    Parser = argparse.ArgumentParser()
    Parser.add_argument("--korvo")
    Parser.add_argument("--wsecho")
    Parser.add_argument("--node", default="node")
    Parser.add_argument("--chromium", default="/usr/bin/chromium")
    Known, Rest = Parser.parse_known_args()
    Paths.korvo, Paths.wsecho = Known.korvo, Known.wsecho
    Paths.node, Paths.chromium = Known.node, Known.chromium
    # IsolatedAsyncioTestCase runs its loop in debug mode, which reports every slow step (a
    # mebibyte's compression is one) as a warning.
    logging.getLogger("asyncio").setLevel(logging.ERROR)
    unittest.main(argv=[sys.argv[0], *Rest], verbosity=2)
