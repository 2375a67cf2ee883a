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
    # (method, path, content type, expected body)
    ("GET", "/ws/zefWebSockets.html", "text/html; charset=utf-8",
     FilledPage(Resource("ZEF_HTML_ZEFWEBSOCKETS")) + b"\r\n"),
    ("GET", "/ws/ZEFWEBSOCKETS.HTML", "text/html; charset=utf-8",
     FilledPage(Resource("ZEF_HTML_ZEFWEBSOCKETS")) + b"\r\n"),
    ("GET", "/ws/zefWebSockets.js", "text/javascript",
     Resource("ZEF_JS_ZEFWEBSOCKETS") + b"\r\n"),
    ("GET", "/ws/any/folder/zefWebSockets.js", "text/javascript",
     Resource("ZEF_JS_ZEFWEBSOCKETS") + b"\r\n"),
    ("HEAD", "/ws/zefWebSockets.html", "text/html; charset=utf-8", b""),
]


class KorvoPlainHttp(unittest.TestCase):
    def test_built_in_files_with_their_content_types(self):
        for Method, Path, ContentType, Body in BUILT_IN_FILES:
            with self.subTest(f"{Method} {Path}"):
                Response = Exchange(f"{Method} {Path} HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n"
                                    .encode())
                self.assertIsNotNone(Response, "closed without an answer")
                self.assertEqual(Response.status, 200)
                self.assertEqual(Response.getheader("Content-Type"), ContentType)
                self.assertNotIn(b"{%", Response.body)
                self.assertEqual(Response.body, Body)

    def test_other_requests_under_the_prefix_are_closed_without_an_answer(self):
        # No OnHTTPRequest handler in korvo: the transport has nothing to send and ends the
        # request at once (a request left open would fail on the time-out instead).
        for Request in ("GET /ws/", "GET /ws/other.js", "GET /ws/other.html",
                        "GET /ws/style.css", "GET /ws/favicon.ico", "GET /ws/zefWebSockets.txt",
                        "POST /ws/zefWebSockets.js"):
            with self.subTest(Request):
                Response = Exchange(f"{Request} HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n"
                                    "Content-Length: 0\r\n\r\n".encode())
                self.assertIsNone(Response, "answered")

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


    # The version line must be there, but its value is not judged: clients of the hybi drafts
    # (versions 8 to 12) are upgraded like those of version 13.
    def test_a_draft_version_is_upgraded_like_13(self):
        Response = Exchange(b"GET /ws/ HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n"
                            b"Upgrade: websocket\r\nConnection: Upgrade\r\n"
                            b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            b"Sec-WebSocket-Version: 8\r\n\r\n")
        self.assertIsNotNone(Response, "closed without an answer")
        self.assertEqual(Response.status, 101)
        self.assertEqual(Response.getheader("Sec-WebSocket-Accept"),
                         "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")


class KorvoSecondInstance(unittest.TestCase):
    def test_second_instance_prints_the_failure_line_and_exits_1(self):
        Second = H.ServerProcess(H.shlex.split(H.Paths.korvo))
        try:
            Status = Second.WaitForExit()
        finally:
            Second.Stop()
        self.assertEqual(Status, 1)  # a failed start is a failure
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
