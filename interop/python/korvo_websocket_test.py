# korvo_websocket_test: korvo against Debian's python3-websockets and a raw-frame client.
import asyncio
import unittest

import websockets

import interop_harness as H

Server = None


def setUpModule():
    global Server
    Server = H.StartKorvo()


def tearDownModule():
    if Server is not None:
        Server.Stop()


MESSAGE_CASES = [
    ("empty", ""),
    ("one byte", "a"),
    ("125 bytes, the largest 7-bit length", H.AsciiText(125)),
    ("126 bytes, the smallest 16-bit length", H.AsciiText(126)),
    ("65535 bytes, the largest 16-bit length", H.AsciiText(65535)),
    ("65536 bytes, the smallest 64-bit length", H.AsciiText(65536)),
    ("1 MiB", H.AsciiText(1 << 20)),
    ("two-byte UTF-8", "Grüße aus Köln, ça va? " * 10),
    ("three-byte UTF-8", "日本語のテキスト、€ und ✓"),
    ("four-byte UTF-8", "😀🎉𝄞" * 50),
    ("multi-byte characters across the 16-bit length edge", "é" * 32768),
]

IO = H.IO_TIMEOUT


async def Connect(**Options):
    Options.setdefault("compression", None)
    return await websockets.connect(H.KORVO_URL, max_size=None, ping_interval=None,
                                    open_timeout=IO, close_timeout=IO, **Options)


async def Receive(Socket):
    return await asyncio.wait_for(Socket.recv(), IO)


class KorvoWithPythonWebsockets(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.Socket = await Connect()
        self.assertEqual(await Receive(self.Socket), "Hello From Server.")

    async def asyncTearDown(self):
        await self.Socket.close()

    async def test_text_messages_come_back_unchanged_one_message_each(self):
        for Name, Text in MESSAGE_CASES:
            with self.subTest(Name):
                await self.Socket.send(Text)
                # The sentinel's echo must come next: nothing was split or duplicated.
                await self.Socket.send("sentinel")
                Echo = await Receive(self.Socket)
                self.assertIsInstance(Echo, str)
                self.assertEqual(len(Echo), len(Text))
                self.assertEqual(Echo, Text)
                self.assertEqual(await Receive(self.Socket), "sentinel")

    async def test_binary_message_is_not_echoed(self):
        for Payload in (b"", b"\x00\x01\x02", bytes(range(256)) * 300):
            with self.subTest(size=len(Payload)):
                await self.Socket.send(Payload)
                await self.Socket.send("after binary")
                self.assertEqual(await Receive(self.Socket), "after binary")

    async def test_ping_is_answered_with_its_payload(self):
        # websockets resolves the waiter only for a pong that carries the same payload.
        for Payload in (b"", b"p", b"ping payload", bytes(range(125))):
            with self.subTest(size=len(Payload)):
                Pong = await self.Socket.ping(Payload)
                await asyncio.wait_for(Pong, IO)
        await self.Socket.send("still open")
        self.assertEqual(await Receive(self.Socket), "still open")


class KorvoClose(unittest.IsolatedAsyncioTestCase):
    async def test_close_is_answered_with_1000(self):
        for Code, Reason in ((1000, ""), (1001, "going away"), (3000, "application"),
                             (4999, "")):
            with self.subTest(code=Code):
                Socket = await Connect()
                self.assertEqual(await Receive(Socket), "Hello From Server.")
                await asyncio.wait_for(Socket.close(Code, Reason), IO)
                self.assertEqual(Socket.close_code, 1000)


class KorvoTwoClients(unittest.IsolatedAsyncioTestCase):
    async def test_two_clients_at_once_get_only_their_own_echoes(self):
        Count = 50

        async def Talk(Name):
            Socket = await Connect()
            try:
                self.assertEqual(await Receive(Socket), "Hello From Server.")
                Sent = [f"{Name} message {Index}" for Index in range(Count)]

                async def SendAll():
                    for Text in Sent:
                        await Socket.send(Text)
                        await asyncio.sleep(0)  # let the other client's sends interleave

                Sender = asyncio.create_task(SendAll())
                Received = [await Receive(Socket) for _ in range(Count)]
                await Sender
                return Sent, Received
            finally:
                await Socket.close()

        Results = await asyncio.gather(Talk("first"), Talk("second"))
        for Sent, Received in Results:
            self.assertEqual(Received, Sent)


class KorvoCompressionOffers(unittest.IsolatedAsyncioTestCase):
    async def test_permessage_deflate_offer_is_declined_and_talk_goes_on_uncompressed(self):
        Socket = await Connect(compression="deflate")
        try:
            self.assertIsNone(Socket.response_headers.get("Sec-WebSocket-Extensions"))
            self.assertEqual(Socket.extensions, [])
            self.assertEqual(await Receive(Socket), "Hello From Server.")
            for Text in ("", "abc" * 1000, H.AsciiText(70000)):
                await Socket.send(Text)
                self.assertEqual(await Receive(Socket), Text)
        finally:
            await Socket.close()


RAW_OFFERS = [
    "permessage-deflate",
    "permessage-deflate; client_max_window_bits",
    "permessage-deflate; server_max_window_bits=9; client_no_context_takeover",
    "x-webkit-deflate-frame",
    "permessage-deflate, x-webkit-deflate-frame",
]


class KorvoRawFrames(unittest.TestCase):
    """What the real clients hide: frame boundaries, RSV bits, the close payload."""

    def Open(self, Extensions=None):
        Client = H.RawWebSocket(H.KORVO_URL, Extensions=Extensions)
        self.addCleanup(Client.Close)
        self.assertEqual(Client.Status, 101)
        self.assertEqual(Client.Headers.get("sec-websocket-accept"), Client.ExpectedAccept)
        self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"Hello From Server."))
        return Client

    def test_echo_is_one_unfragmented_text_frame(self):
        Client = self.Open()
        for Name, Text in MESSAGE_CASES:
            with self.subTest(Name):
                Client.SendFrame(0x1, Text.encode())
                self.assertEqual(Client.ReadFrame(), (True, False, 0x1, Text.encode()))

    def test_fragmented_text_comes_back_whole(self):
        Client = self.Open()
        Text = H.AsciiText(70000)
        Client.SendFrame(0x1, Text[:100].encode(), Fin=False)
        Client.SendFrame(0x9, b"between fragments")
        Client.SendFrame(0x0, Text[100:60000].encode(), Fin=False)
        Client.SendFrame(0x0, Text[60000:].encode())
        self.assertEqual(Client.ReadFrame(), (True, False, 0xA, b"between fragments"))
        self.assertEqual(Client.ReadFrame(), (True, False, 0x1, Text.encode()))

    def test_compression_offers_are_declined(self):
        for Offer in RAW_OFFERS:
            with self.subTest(Offer):
                Client = self.Open(Extensions=Offer)
                self.assertNotIn("sec-websocket-extensions", Client.Headers)
                Client.SendFrame(0x1, b"plain " * 100)
                self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"plain " * 100))

    def test_empty_close_is_answered_with_1000_and_the_connection_ends(self):
        Client = self.Open()
        Client.SendFrame(0x8, b"")
        self.assertEqual(Client.ReadFrame(), (True, False, 0x8, b"\x03\xe8"))
        self.assertTrue(Client.IsClosedByPeer())


if __name__ == "__main__":
    H.Main()
