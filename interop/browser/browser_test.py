# browser_test: headless Chromium, driven over the DevTools protocol, against korvo's demo page,
# a round-trip page of our own, and wsecho with permessage-deflate.
import asyncio
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import interop_harness as H  # noqa: E402

import websockets  # noqa: E402

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--remote-debugging-port=0"]
PAGE_TIMEOUT_MS = 60000
ROUNDTRIP_PAGE = pathlib.Path(__file__).with_name("roundtrip.html").resolve().as_uri()


class Chromium:
    """One headless Chromium with a fresh profile. Start() starts it; Close() ends it and every
    child process, also when Start() or anything after it failed part-way."""

    def __init__(self):
        self.Profile = tempfile.mkdtemp(prefix="interop-chromium-")
        self.LogPath = os.path.join(self.Profile, "chromium.log")
        self.Log = None
        self.Process = None
        self.Socket = None
        self.NextId = 0
        self.Events = []  # events read while waiting for an answer, oldest first

    def Start(self):
        self.Log = open(self.LogPath, "wb")
        self.Process = subprocess.Popen(
            [H.Paths.chromium, *CHROMIUM_FLAGS, f"--user-data-dir={self.Profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.Log, stderr=subprocess.STDOUT,
            start_new_session=True)

    def LogText(self):
        """What Chromium wrote to its standard output and error so far."""
        try:
            return pathlib.Path(self.LogPath).read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def DevToolsUrl(self):
        """The browser's DevTools endpoint, once Chromium has written it (bounded wait)."""
        PortFile = os.path.join(self.Profile, "DevToolsActivePort")
        Deadline = time.monotonic() + H.READY_TIMEOUT
        while time.monotonic() < Deadline:
            if self.Process.poll() is not None:
                raise RuntimeError(f"chromium ended with {self.Process.returncode}")
            try:
                Port, Path = pathlib.Path(PortFile).read_text().split("\n")[:2]
                if Path:
                    return f"ws://127.0.0.1:{Port}{Path}"
            except (FileNotFoundError, ValueError):
                pass
            # Chromium offers no notification for the file; poll it, bounded by the deadline.
            time.sleep(0.05)
        raise TimeoutError("chromium wrote no DevToolsActivePort")

    async def Connect(self):
        self.Socket = await websockets.connect(self.DevToolsUrl(), max_size=None,
                                               ping_interval=None, open_timeout=H.IO_TIMEOUT)

    async def Call(self, Method, SessionId=None, Timeout=H.IO_TIMEOUT, **Params):
        """Sends one command and returns its result; events in between are kept."""
        self.NextId += 1
        Message = {"id": self.NextId, "method": Method, "params": Params}
        if SessionId is not None:
            Message["sessionId"] = SessionId
        await self.Socket.send(json.dumps(Message))
        Deadline = time.monotonic() + Timeout
        while True:
            Left = Deadline - time.monotonic()
            if Left <= 0:
                raise TimeoutError(f"{Method}: no answer in {Timeout} s")
            Answer = json.loads(await asyncio.wait_for(self.Socket.recv(), Left))
            if Answer.get("id") == self.NextId:
                if "error" in Answer:
                    raise RuntimeError(f"{Method}: {Answer['error']}")
                return Answer["result"]
            if "method" in Answer:
                self.Events.append(Answer)

    async def WaitForEvent(self, Method, SessionId, Timeout=PAGE_TIMEOUT_MS / 1000):
        Deadline = time.monotonic() + Timeout
        while True:
            for Event in self.Events:
                if Event["method"] == Method and Event.get("sessionId") == SessionId:
                    self.Events.remove(Event)
                    return Event
            Left = Deadline - time.monotonic()
            if Left <= 0:
                raise TimeoutError(f"no {Method} in {Timeout} s")
            Message = json.loads(await asyncio.wait_for(self.Socket.recv(), Left))
            if "method" in Message:
                self.Events.append(Message)

    async def OpenPage(self, Url):
        """A new tab showing Url; returns the session to talk to it."""
        Target = await self.Call("Target.createTarget", url="about:blank")
        Attached = await self.Call("Target.attachToTarget", targetId=Target["targetId"],
                                   flatten=True)
        SessionId = Attached["sessionId"]
        await self.Call("Page.enable", SessionId)
        Navigation = await self.Call("Page.navigate", SessionId, url=Url)
        if "errorText" in Navigation:
            raise AssertionError(f"{Url}: {Navigation['errorText']}")
        # Scripts evaluated before the load event could still meet the blank page.
        await self.WaitForEvent("Page.loadEventFired", SessionId)
        return SessionId

    async def Evaluate(self, SessionId, Expression, Timeout=H.IO_TIMEOUT):
        Result = await self.Call("Runtime.evaluate", SessionId, Timeout=Timeout,
                                 expression=Expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in Result:
            raise AssertionError(f"page script failed: {Result['exceptionDetails']}")
        return Result["result"].get("value")

    async def WaitFor(self, SessionId, Condition, Value, What):
        """Value (a JS expression) once Condition (a JS expression) holds in the page, waited for
        inside the page with a time limit."""
        Script = f"""new Promise((resolve, reject) => {{
            const started = Date.now();
            const poll = () => {{
                let ready = false;
                try {{ ready = ({Condition}); }} catch (error) {{}}
                if (ready) {{ resolve({Value}); }}
                else if (Date.now() - started > {PAGE_TIMEOUT_MS}) {{
                    reject(new Error("timed out waiting for " + {json.dumps(What)} +
                                     "; page: " + (document.body ? document.body.innerText : "")));
                }}
                else {{ setTimeout(poll, 50); }}
            }};
            poll();
        }})"""
        return await self.Evaluate(SessionId, Script, Timeout=PAGE_TIMEOUT_MS / 1000 + 10)

    async def Close(self, ShowLog=False):
        """Ends Chromium and removes its profile; with ShowLog, first prints Chromium's log to
        standard error (a failed test's evidence)."""
        try:
            if self.Socket is not None:
                await self.Socket.close()
        finally:
            self.EndProcess()
            if self.Log is not None:
                self.Log.close()
            if ShowLog:
                print(f"--- chromium's log ({self.LogPath}) ---\n{self.LogText()}--- end of log ---",
                      file=sys.stderr)
            shutil.rmtree(self.Profile, ignore_errors=True)

    def EndProcess(self):
        if self.Process is None:
            return
        try:
            os.killpg(self.Process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.Process.wait(timeout=H.STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(self.Process.pid, signal.SIGKILL)
            self.Process.wait(timeout=H.STOP_TIMEOUT)
        # Helpers (zygote, renderers) share the group; a straggler gets SIGKILL.
        try:
            os.killpg(self.Process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class ChromiumTestCase(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        # The cleanup is registered before Chromium starts: a start or a connection that fails
        # still ends the browser and removes its profile, and shows its log.
        self.Browser = Chromium()
        self.addAsyncCleanup(self.CloseBrowser)
        self.Browser.Start()
        await self.Browser.Connect()

    async def CloseBrowser(self):
        await self.Browser.Close(ShowLog=not self.Passed())

    def Passed(self):
        """Whether no failure or error of this test (or of one of its subtests) has been reported
        so far; when the result cannot be read, the log is shown rather than lost."""
        Result = getattr(getattr(self, "_outcome", None), "result", None)
        if Result is None:
            return False
        return not any(Test is self or getattr(Test, "test_case", None) is self
                       for Test, _ in [*Result.errors, *Result.failures])

    async def RoundTrip(self, Url, Suite):
        Page = f"{ROUNDTRIP_PAGE}?url={Url}&suite={Suite}"
        Session = await self.Browser.OpenPage(Page)
        Text = await self.Browser.WaitFor(
            Session, 'document.getElementById("result").textContent !== "running"',
            'document.getElementById("result").textContent', f"the {Suite} round trip")
        return json.loads(Text)


class KorvoInChromium(ChromiumTestCase):
    @classmethod
    def setUpClass(cls):
        cls.Server = H.StartKorvo()

    @classmethod
    def tearDownClass(cls):
        cls.Server.Stop()

    async def test_demo_page_connects_back_greets_and_echoes_what_is_typed(self):
        Session = await self.Browser.OpenPage("http://127.0.0.1:2001/ws/zefWebSockets.html")
        Status = await self.Browser.WaitFor(
            Session, 'document.querySelectorAll("#log p.in").length >= 1',
            'document.getElementById("status").textContent', "the greeting")
        self.assertTrue(Status.startswith("Connected to ws://127.0.0.1:2001"), Status)
        await self.Browser.Evaluate(Session, 'document.getElementById("text").focus()')
        await self.Browser.Call("Input.insertText", Session, text="typed in Chromium é日")
        await self.Browser.Call("Input.dispatchKeyEvent", Session, type="keyDown", key="Enter",
                                code="Enter", windowsVirtualKeyCode=13, text="\r")
        await self.Browser.Call("Input.dispatchKeyEvent", Session, type="keyUp", key="Enter",
                                code="Enter", windowsVirtualKeyCode=13)
        Log = await self.Browser.WaitFor(
            Session, 'document.querySelectorAll("#log p.in").length >= 2',
            'Array.from(document.querySelectorAll("#log p"), p => p.className + ": " +'
            ' p.textContent)', "the echo")
        self.assertEqual(Log, ["in: Hello From Server.", "out: typed in Chromium é日",
                               "in: typed in Chromium é日"])

    async def test_own_page_round_trips_100_messages(self):
        Result = await self.RoundTrip(H.KORVO_URL, "hundred")
        self.assertEqual(Result, {"ok": True, "extensions": "", "echoed": 100})


PMD = ["--permessage-deflate", "on"]

# Chromium offers "permessage-deflate; client_max_window_bits" and fails the connection on an
# answer it does not accept, so each server setting is also a check of the answer.
# (name, wsecho flags, acceptable parameter sets of the answer as the page sees it). The bare
# client_max_window_bits may be answered with 15 or left out; a server's own no-context-takeover
# may be announced or kept quiet.
BROWSER_COMPRESSION_CASES = [
    ("server defaults", PMD, [{"client_max_window_bits=15"}, set()]),
    ("server no context takeover", PMD + ["--server-no-context-takeover", "on"],
     [{"client_max_window_bits=15", "server_no_context_takeover"}, {"client_max_window_bits=15"},
      {"server_no_context_takeover"}, set()]),
    ("client no context takeover", PMD + ["--client-no-context-takeover", "on"],
     [{"client_max_window_bits=15", "client_no_context_takeover"},
      {"client_no_context_takeover"}]),
    ("9-bit server window", PMD + ["--server-max-window-bits", "9"],
     [{"client_max_window_bits=15"}, set(), {"client_max_window_bits=15",
                                             "server_max_window_bits=9"},
      {"server_max_window_bits=9"}]),
    ("9-bit client window", PMD + ["--client-max-window-bits", "9"],
     [{"client_max_window_bits=9"}]),
]


def ExtensionParameters(Value):
    """(name, set of parameters) of a one-extension Sec-WebSocket-Extensions value."""
    Name, *Params = [Item.strip() for Item in Value.split(";")]
    return Name, {Param.replace(" ", "") for Param in Params}


class WsechoCompressionInChromium(ChromiumTestCase):
    async def test_permessage_deflate_round_trips(self):
        for Name, Flags, Acceptable in BROWSER_COMPRESSION_CASES:
            with self.subTest(Name):
                Server, Url = H.StartWsecho(*Flags)
                try:
                    Result = await self.RoundTrip(Url, "compression")
                finally:
                    self.assertEqual(Server.Stop(), 0, Server.Report())
                self.assertTrue(Result["ok"], Result)
                self.assertEqual(Result["echoed"], 7)
                Extension, Params = ExtensionParameters(Result["extensions"])
                self.assertEqual(Extension, "permessage-deflate", Result)
                self.assertIn(Params, Acceptable, Result)


if __name__ == "__main__":
    H.Main()
