# wsecho_http_test: refused upgrades and plain requests leave nothing behind. wsecho (unlike
# korvo) stops cleanly on SIGTERM, so its exit status covers what is left at the stop; in the
# sanitizer build a connection still held then ends the run with a leak report.
import socket
import unittest

import interop_harness as H

KEY = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="

REQUESTS = [
    # (name, header lines after the request line and Host, expects an answer)
    ("no key", ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13"], True),
    ("connection not upgrade", ["Upgrade: websocket", "Connection: keep-alive", KEY,
                                "Sec-WebSocket-Version: 13"], True),
    ("sub-protocol the server lacks", ["Upgrade: websocket", "Connection: Upgrade", KEY,
                                       "Sec-WebSocket-Version: 13",
                                       "Sec-WebSocket-Protocol: chat"], True),
    ("plain GET", [], False),
    ("built-in page", None, True),
]


class WsechoLeavesNothingBehind(unittest.TestCase):
    def test_refused_upgrades_and_plain_requests_then_a_clean_stop(self):
        Server, Url = H.StartWsecho()
        try:
            Port = int(Url.split(":")[2].split("/")[0])
            for Name, Lines, Answered in REQUESTS:
                with self.subTest(Name):
                    Path = "/ws/zefWebSockets.html" if Lines is None else "/ws/"
                    Request = "\r\n".join([f"GET {Path} HTTP/1.1", f"Host: 127.0.0.1:{Port}",
                                           *(Lines or [])]) + "\r\n\r\n"
                    with socket.create_connection(("127.0.0.1", Port),
                                                  timeout=H.IO_TIMEOUT) as Client:
                        Client.sendall(Request.encode())
                        Received = b""
                        try:
                            while Chunk := Client.recv(65536):
                                Received += Chunk
                        except ConnectionResetError:
                            pass
                    # Either way the server ended the connection (the loop saw its end).
                    if Answered:
                        self.assertRegex(Received[:13], rb"^HTTP/1\.1 [24]\d\d")
                    else:
                        self.assertEqual(Received, b"")
            # The refusals left the server serving.
            Client = H.RawWebSocket(Url)
            try:
                self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"Hello From Server."))
            finally:
                Client.Close()
        finally:
            self.assertEqual(Server.Stop(), 0, Server.Report())


if __name__ == "__main__":
    H.Main()
