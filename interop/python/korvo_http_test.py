# korvo_http_test: korvo's plain HTTP answers, refused upgrades and a second instance.
import http.client
import os
import re
import socket
import unittest

import interop_harness as H

Server = None

RESOURCES = os.path.join(H.REPO_ROOT, "websocket", "server", "resources")


def setUpModule():
    global Server
    Server = H.StartKorvo()


def tearDownModule():
    if Server is not None:
        Server.Stop()


def Resource(Name):
    with open(os.path.join(RESOURCES, Name), "rb") as File:
        return File.read()


def FilledPage(Raw):
    """The demo page as korvo serves it over plain HTTP on 127.0.0.1:2001."""
    for Placeholder, Value in ((b"{%host%}", b"127.0.0.1"), (b"{%port%}", b"2001"),
                               (b"{%ssl%}", b"")):
        Raw = re.sub(re.escape(Placeholder), Value, Raw, flags=re.IGNORECASE)
    return Raw


# Plain requests are small: an answer (or the end of the connection) that takes longer than
# this is a request left hanging.
HTTP_TIMEOUT = 10.0


def Exchange(Request):
    """Sends raw request bytes; returns the parsed response, or None when the server closed
    the connection without answering."""
    with socket.create_connection(("127.0.0.1", 2001), timeout=HTTP_TIMEOUT) as Client:
        Client.sendall(Request)
        Response = http.client.HTTPResponse(Client, method=Request.split(b" ")[0].decode())
        try:
            Response.begin()
            Response.body = Response.read()
        except (http.client.RemoteDisconnected, ConnectionResetError):
            return None
        except socket.timeout:
            raise AssertionError(f"no answer in {HTTP_TIMEOUT} s and the connection still open")
        return Response


def Get(Path):
    return Exchange(f"GET {Path} HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n".encode())


BUILT_IN_FILES = [
    # (path, content type, expected body)
    ("/ws/zefWebSockets.html", "text/html; charset=utf-8",
     FilledPage(Resource("ZEF_HTML_ZEFWEBSOCKETS")) + b"\r\n"),
    ("/ws/ZEFWEBSOCKETS.HTML", "text/html; charset=utf-8",
     FilledPage(Resource("ZEF_HTML_ZEFWEBSOCKETS")) + b"\r\n"),
    ("/ws/zefWebSockets.js", "text/javascript", Resource("ZEF_JS_ZEFWEBSOCKETS") + b"\r\n"),
    ("/ws/any/folder/zefWebSockets.js", "text/javascript",
     Resource("ZEF_JS_ZEFWEBSOCKETS") + b"\r\n"),
]


class KorvoPlainHttp(unittest.TestCase):
    def test_built_in_files_with_their_content_types(self):
        for Path, ContentType, Body in BUILT_IN_FILES:
            with self.subTest(Path):
                Response = Get(Path)
                self.assertIsNotNone(Response, "closed without an answer")
                self.assertEqual(Response.status, 200)
                self.assertEqual(Response.getheader("Content-Type"), ContentType)
                self.assertNotIn(b"{%", Response.body)
                self.assertEqual(Response.body, Body)

    def test_other_paths_under_the_prefix_are_not_served(self):
        # No OnHTTPRequest handler in korvo: the transport has nothing to send.
        for Path in ("/ws/", "/ws/other.js", "/ws/other.html", "/ws/style.css",
                     "/ws/favicon.ico", "/ws/zefWebSockets.txt"):
            with self.subTest(Path):
                Response = Get(Path)
                if Response is not None:
                    self.assertEqual(Response.status, 404)

    def test_paths_outside_the_prefix_get_the_platforms_404(self):
        Response = Get("/other/zefWebSockets.html")
        self.assertIsNotNone(Response)
        self.assertEqual(Response.status, 404)


REFUSED_UPGRADES = [
    # (name, header lines after the request line and Host)
    ("no key", ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13"]),
    ("connection not upgrade", ["Upgrade: websocket", "Connection: keep-alive",
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                "Sec-WebSocket-Version: 13"]),
    ("upgrade to something else", ["Upgrade: websocket2", "Connection: Upgrade",
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                   "Sec-WebSocket-Version: 13"]),
    ("sub-protocol the server lacks", ["Upgrade: websocket", "Connection: Upgrade",
                                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                       "Sec-WebSocket-Version: 13",
                                       "Sec-WebSocket-Protocol: chat"]),
    ("unsupported version", ["Upgrade: websocket", "Connection: Upgrade",
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                             "Sec-WebSocket-Version: 12"]),
]


class KorvoRefusedUpgrade(unittest.TestCase):
    def test_refused_upgrade_gets_an_http_error_answer(self):
        for Name, Lines in REFUSED_UPGRADES:
            with self.subTest(Name):
                Request = "\r\n".join(["GET /ws/ HTTP/1.1", "Host: 127.0.0.1:2001", *Lines])
                Response = Exchange((Request + "\r\n\r\n").encode())
                self.assertIsNotNone(Response, "closed without an answer")
                self.assertGreaterEqual(Response.status, 400)
                self.assertLess(Response.status, 500)
                self.assertIsNone(Response.getheader("Sec-WebSocket-Accept"))
        # The refusals left the server serving.
        Client = H.RawWebSocket(H.KORVO_URL)
        try:
            self.assertEqual(Client.Status, 101)
            self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"Hello From Server."))
        finally:
            Client.Close()


class KorvoSecondInstance(unittest.TestCase):
    def test_second_instance_prints_the_failure_line_and_exits_0(self):
        Second = H.ServerProcess(H.shlex.split(H.Paths.korvo))
        try:
            Status = Second.WaitForExit()
        finally:
            Second.Stop()
        self.assertEqual(Status, 0)
        self.assertEqual(len(Second.Output), 1, Second.Output)
        self.assertRegex(Second.Output[0], r"^[A-Za-z_][A-Za-z0-9_]*: \S.*$")
        self.assertNotIn("started", Second.Output[0])
        # The first instance still serves.
        Client = H.RawWebSocket(H.KORVO_URL)
        try:
            self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"Hello From Server."))
        finally:
            Client.Close()


if __name__ == "__main__":
    H.Main()
