# consumer_checks: runs the programs of the consumer projects (httpapi-c, component-echo,
# hello-module) and checks that each answers real clients: curl for the HTTP servers, Python's
# websockets for the echo. Used by examples/consumers_test.py on the in-tree builds and by
# packaging/install_test.py on the builds made against an installed tree.
#
# Every wait is bounded; every program is stopped the way its README says (a signal, a line on
# standard input) and its exit is checked.

import asyncio
import os
import queue
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time

READY_TIMEOUT = 60.0
STOP_TIMEOUT = 30.0
CURL_TIMEOUT = 30


def FreePort():
    """A loopback port that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as Probe:
        Probe.bind(("127.0.0.1", 0))
        return Probe.getsockname()[1]


class Program:
    """A program under test: standard output read line by line on a thread, standard input a
    pipe the test may write to or close."""

    def __init__(self, Argv, Cwd=None, Env=None):
        self.Argv = [str(Argument) for Argument in Argv]
        self.Lines = queue.Queue()
        self.Output = []
        self.Process = subprocess.Popen(
            self.Argv, cwd=Cwd, env=Env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, start_new_session=True)
        self.Reader = threading.Thread(target=self._Read, daemon=True)
        self.Reader.start()

    def _Read(self):
        for Raw in self.Process.stdout:
            Line = Raw.decode("utf-8", "replace").rstrip("\r\n")
            self.Output.append(Line)
            self.Lines.put(Line)
        self.Lines.put(None)

    def WaitForLine(self, Prefix, Timeout=READY_TIMEOUT):
        Deadline = time.monotonic() + Timeout
        while True:
            Left = Deadline - time.monotonic()
            if Left <= 0:
                raise AssertionError("%s: no line starting %r within %.0f s; output: %r"
                                     % (self.Argv[0], Prefix, Timeout, self.Output))
            try:
                Line = self.Lines.get(timeout=Left)
            except queue.Empty:
                continue
            if Line is None:
                raise AssertionError("%s ended (status %s) before %r; output: %r"
                                     % (self.Argv[0], self.Process.wait(), Prefix, self.Output))
            if Line.startswith(Prefix):
                return Line

    def WriteLine(self, Text=""):
        self.Process.stdin.write((Text + "\n").encode())
        self.Process.stdin.flush()

    def Wait(self, Timeout=STOP_TIMEOUT):
        try:
            Status = self.Process.wait(timeout=Timeout)
        except subprocess.TimeoutExpired:
            self.Kill()
            raise AssertionError("%s did not end within %.0f s; output: %r"
                                 % (self.Argv[0], Timeout, self.Output))
        self.Reader.join(Timeout)
        self.Close()
        return Status

    def Close(self):
        for Stream in (self.Process.stdin, self.Process.stdout):
            if Stream and not Stream.closed:
                Stream.close()

    def Signal(self, Number):
        self.Process.send_signal(Number)

    def Kill(self):
        if self.Process.poll() is None:
            self.Process.kill()
            self.Process.wait()
        self.Close()


def Curl(*Arguments, Insecure=False):
    """curl's body, status and exit code for one request (bounded in time)."""
    Command = ["curl", "-sS", "-m", str(CURL_TIMEOUT), "-o", "-", "-w", "\n%{http_code}"]
    if Insecure:
        Command.append("-k")
    Done = subprocess.run(Command + list(Arguments), capture_output=True, timeout=CURL_TIMEOUT + 10)
    Body, _, Status = Done.stdout.rpartition(b"\n")
    return Body, int(Status or b"0"), Done.returncode


def CurlWhenUp(Url, Timeout=READY_TIMEOUT, Insecure=False):
    """The first answer to GET Url once the server accepts connections (it prints nothing when
    it is ready: the documented sample announces its URLs before it registers them)."""
    Deadline = time.monotonic() + Timeout
    while True:
        Body, Status, Code = Curl(Url, Insecure=Insecure)
        if Code != 7 or time.monotonic() > Deadline:  # 7: could not connect
            return Body, Status, Code
        time.sleep(0.05)


def EchoOverWebSocket(Url, Messages, Secure=False):
    """Connects with Python's websockets, reads the greeting, sends each message and reads its
    echo; returns the greeting and the echoes."""
    import websockets  # Debian's python3-websockets

    async def Run():
        Context = None
        if Secure:
            Context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            Context.check_hostname = False
            Context.verify_mode = ssl.CERT_NONE
        async with websockets.connect(Url, ssl=Context, open_timeout=READY_TIMEOUT,
                                      close_timeout=STOP_TIMEOUT) as Socket:
            Greeting = await asyncio.wait_for(Socket.recv(), READY_TIMEOUT)
            Echoes = []
            for Message in Messages:
                await Socket.send(Message)
                Echoes.append(await asyncio.wait_for(Socket.recv(), READY_TIMEOUT))
            return Greeting, Echoes

    return asyncio.run(Run())


def CheckSyncServer(Test, Binary):
    """The documented synchronous server: GET, a POST body echoed through a temporary file,
    503 for other verbs; it runs until a signal (as the sample does)."""
    Port = FreePort()
    Folder = tempfile.mkdtemp(prefix="sync-server-")
    try:
        Server = Program([Binary, "http://127.0.0.1:%d/sample/" % Port], Cwd=Folder)
        try:
            Body, Status, Code = CurlWhenUp("http://127.0.0.1:%d/sample/page" % Port)
            Test.assertEqual((Code, Status, Body), (0, 200, b"Hey! You hit the server \r\n"))
            Posted = os.urandom(100000)
            Source = os.path.join(Folder, "posted.bin")
            with open(Source, "wb") as File:
                File.write(Posted)
            Body, Status, Code = Curl("-X", "POST", "--data-binary", "@" + Source,
                                      "http://127.0.0.1:%d/sample/post" % Port)
            Test.assertEqual((Code, Status), (0, 200))
            Test.assertEqual(Body, Posted)
            Body, Status, Code = Curl("-X", "DELETE", "http://127.0.0.1:%d/sample/x" % Port)
            Test.assertEqual((Code, Status), (0, 503))
            # The temporary file of the POST is gone again.
            Test.assertEqual(sorted(os.listdir(Folder)), ["posted.bin"])
        finally:
            Server.Signal(signal.SIGTERM)
            Server.Wait()
        Test.assertIn("Got a POST request for http://127.0.0.1:%d/sample/post " % Port,
                      Server.Output)
    finally:
        shutil.rmtree(Folder, ignore_errors=True)


def CheckIocpServer(Test, Binary, Requests=24):
    """The completion-port server: concurrent requests answered by its workers, then a clean
    stop on a line of standard input with the count of requests served."""
    Port = FreePort()
    Server = Program([Binary, "http://127.0.0.1:%d/iocp/" % Port])
    try:
        Server.WaitForLine("iocp_server listening on ")
        Results = [None] * Requests

        def Get(Index):
            Results[Index] = Curl("http://127.0.0.1:%d/iocp/n%d" % (Port, Index))

        Threads = [threading.Thread(target=Get, args=(Index,)) for Index in range(Requests)]
        for Thread in Threads:
            Thread.start()
        for Thread in Threads:
            Thread.join(CURL_TIMEOUT + 20)
        for Index, (Body, Status, Code) in enumerate(Results):
            Test.assertEqual((Code, Status), (0, 200), Index)
            Test.assertRegex(Body.decode(), r"^worker [0-3] answered /iocp/n%d\n$" % Index)
        Server.WriteLine()
        Test.assertEqual(Server.Wait(), 0, Server.Output)
    finally:
        Server.Kill()
    Test.assertIn("iocp_server served %d requests" % Requests, Server.Output)


def CheckComponentEcho(Test, Binary, Port=None, Secure=False):
    """The WebSocket echo on korvo's component: greeting and echoes over ws:// (or wss://), then
    a clean stop on SIGTERM."""
    Port = Port or FreePort()
    Argv = [Binary, str(Port)] + (["--https"] if Secure else [])
    Server = Program(Argv)
    try:
        Scheme = "wss" if Secure else "ws"
        Server.WaitForLine("component_echo listening on %s://127.0.0.1:%d/echo/" % (Scheme, Port))
        Messages = ["first", "second message", "ünïcödé ✓", "x" * 70000]
        Greeting, Echoes = EchoOverWebSocket("%s://127.0.0.1:%d/echo/" % (Scheme, Port), Messages,
                                             Secure=Secure)
        Test.assertEqual(Greeting, "Hello From Server.")
        Test.assertEqual(Echoes, Messages)
        Server.Signal(signal.SIGTERM)
        Test.assertEqual(Server.Wait(), 0, Server.Output)
    finally:
        Server.Kill()


def CheckHelloModule(Test, Binary, Port=None, Secure=False):
    """The module on halden's host: its greeting under the base URL, 404 outside it, then a clean
    stop on a line of standard input."""
    Port = Port or FreePort()
    Scheme = "https" if Secure else "http"
    Base = "%s://127.0.0.1:%d/hello" % (Scheme, Port)
    Server = Program([Binary, Base])
    try:
        Server.WaitForLine("hello_module started at " + Base)
        Body, Status, Code = Curl(Base + "/there?x=1", Insecure=Secure)
        Test.assertEqual((Code, Status), (0, 200))
        Test.assertEqual(Body, ("Hello from a module, at %s/there?x=1\n" % Base).encode())
        Body, Status, Code = Curl("%s://127.0.0.1:%d/elsewhere" % (Scheme, Port), Insecure=Secure)
        Test.assertEqual((Code, Status), (0, 404))
        Server.WriteLine()
        Test.assertEqual(Server.Wait(), 0, Server.Output)
    finally:
        Server.Kill()
