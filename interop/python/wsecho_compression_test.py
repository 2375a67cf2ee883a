# wsecho_compression_test: permessage-deflate with python3-websockets and x-webkit-deflate-frame
# with a hand-made client, against wsecho with compression switched on.
import asyncio
import unittest

import websockets
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory

import interop_harness as H


# Sent in this order on one connection, so that every message after the first is inflated
# with the history of those before it (unless a side said no_context_takeover).
MESSAGES = [
    ("empty first", ""),
    ("short", "hello"),
    ("empty between", ""),
    ("short after the empty one", "hello again"),
    ("1 MiB highly compressible", "z" * (1 << 20)),
    ("1 MiB varied", H.AsciiText(1 << 20)),
    ("repeated sentence", "the same sentence again and again. " * 40),
    ("repeated sentence once more", "the same sentence again and again. " * 40),
    ("non-ASCII", "Grüße, 日本語, 😀🎉𝄞 and €" * 20),
    # A list is sent as one fragmented message: one compressed stream across its frames.
    ("fragmented", ["first part, ", "z" * 100000, H.AsciiText(70000), " last part"]),
    ("fragmented with empty fragments", ["", "middle", ""]),
    ("fragments ending between multi-byte characters", ["Gr\u00fc", "\u00dfe 日本", "語"]),
    ("empty last", ""),
]


def Parameters(HeaderValue):
    """{extension name: set of its parameters} of a Sec-WebSocket-Extensions value."""
    Result = {}
    for Extension in HeaderValue.split(","):
        Name, *Params = [Item.strip() for Item in Extension.split(";")]
        Result[Name] = {Param.replace(" ", "") for Param in Params}
    return Result


PMD = ["--permessage-deflate", "on"]

PERMESSAGE_DEFLATE_CASES = [
    # (name, wsecho flags, client factory arguments, the parameters of the answer or a list of
    #  acceptable ones (None in it: declining is acceptable), or None when any acceptance the
    #  client takes will do). A bare client_max_window_bits may be answered with the window the
    #  server picks or not at all (the client then uses 15).
    ("client defaults: bare client_max_window_bits", PMD, {},
     [{"client_max_window_bits=15"}, set()]),
    ("no parameters offered", PMD, {"client_max_window_bits": None}, set()),
    ("client_max_window_bits=9", PMD, {"client_max_window_bits": 9},
     {"client_max_window_bits=9"}),
    ("client_max_window_bits=15", PMD, {"client_max_window_bits": 15},
     {"client_max_window_bits=15"}),
    ("server_max_window_bits=9", PMD, {"server_max_window_bits": 9, "client_max_window_bits": None},
     {"server_max_window_bits=9"}),
    # zlib cannot deflate raw data with an 8-bit window: declining is sound, and so is an
    # 8-bit answer the server keeps to.
    ("server_max_window_bits=8", PMD, {"server_max_window_bits": 8, "client_max_window_bits": None},
     [None, {"server_max_window_bits=8"}]),
    ("server_max_window_bits=15", PMD,
     {"server_max_window_bits": 15, "client_max_window_bits": None},
     {"server_max_window_bits=15"}),
    ("both windows 9", PMD, {"server_max_window_bits": 9, "client_max_window_bits": 9},
     {"server_max_window_bits=9", "client_max_window_bits=9"}),
    ("no context takeover, both directions", PMD,
     {"server_no_context_takeover": True, "client_no_context_takeover": True},
     [{"client_max_window_bits=15", "server_no_context_takeover", "client_no_context_takeover"},
      {"server_no_context_takeover", "client_no_context_takeover"}]),
    ("client_no_context_takeover only", PMD,
     {"client_no_context_takeover": True, "client_max_window_bits": None},
     {"client_no_context_takeover"}),
    ("server_no_context_takeover only", PMD,
     {"server_no_context_takeover": True, "client_max_window_bits": None},
     {"server_no_context_takeover"}),
    ("server set to no context takeover", PMD + ["--server-no-context-takeover", "on"], {}, None),
    ("server set to client no context takeover",
     PMD + ["--client-no-context-takeover", "on"], {}, None),
    ("server set to a 9-bit server window", PMD + ["--server-max-window-bits", "9"], {}, None),
    ("server set to a 9-bit client window", PMD + ["--client-max-window-bits", "9"], {}, None),
    # A client that did not offer client_max_window_bits cannot be held to a smaller window; a
    # client_no_context_takeover the client did not offer binds it only when the answer says so.
    ("server set to a 9-bit client window, client offers no window",
     PMD + ["--client-max-window-bits", "9"], {"client_max_window_bits": None}, None),
    ("server set to client no context takeover, client offers nothing",
     PMD + ["--client-no-context-takeover", "on"], {"client_max_window_bits": None}, None),
]

IO = H.IO_TIMEOUT


class PerMessageDeflateWithPythonWebsockets(unittest.IsolatedAsyncioTestCase):
    async def RoundTrip(self, Url, FactoryArguments, Expected):
        Factory = ClientPerMessageDeflateFactory(**FactoryArguments)
        Socket = await websockets.connect(Url, extensions=[Factory], compression=None,
                                          max_size=None, ping_interval=None, open_timeout=IO,
                                          close_timeout=IO)
        try:
            Answer = Socket.response_headers.get("Sec-WebSocket-Extensions")
            Negotiated = None
            if Answer is not None:
                self.assertEqual(list(Parameters(Answer)), ["permessage-deflate"], Answer)
                Negotiated = Parameters(Answer)["permessage-deflate"]
            if Expected is None:
                self.assertIsNotNone(Negotiated, "permessage-deflate was declined")
            else:
                Acceptable = Expected if isinstance(Expected, list) else [Expected]
                self.assertIn(Negotiated, Acceptable, Answer)
            self.assertEqual(await asyncio.wait_for(Socket.recv(), IO), "Hello From Server.")
            for Name, Message in MESSAGES:
                with self.subTest(message=Name):
                    await Socket.send(Message)
                    Text = Message if isinstance(Message, str) else "".join(Message)
                    Echo = await asyncio.wait_for(Socket.recv(), IO)
                    self.assertEqual(len(Echo), len(Text))
                    self.assertEqual(Echo, Text)
        finally:
            await Socket.close()

    async def test_round_trips_for_every_offer_and_server_setting(self):
        for Name, Flags, FactoryArguments, Expected in PERMESSAGE_DEFLATE_CASES:
            with self.subTest(Name):
                Server, Url = H.StartWsecho(*Flags)
                try:
                    await self.RoundTrip(Url, FactoryArguments, Expected)
                finally:
                    self.assertEqual(Server.Stop(), 0, Server.Report())


class DeflateFrameWithRawClient(unittest.TestCase):
    Flags = ["--deflate-frame", "on"]

    def setUp(self):
        self.Server, self.Url = H.StartWsecho(*self.Flags)

    def tearDown(self):
        self.assertEqual(self.Server.Stop(), 0, self.Server.Report())

    def Open(self, Offer):
        Client = H.RawWebSocket(self.Url, Extensions=Offer)
        self.addCleanup(Client.Close)
        self.assertEqual(Client.Status, 101)
        return Client

    def test_offer_is_answered_and_frames_round_trip_compressed(self):
        Client = self.Open("x-webkit-deflate-frame")
        self.assertEqual(Client.Headers.get("sec-websocket-extensions"), "x-webkit-deflate-frame")
        Codec = H.DeflateFrameCodec()
        Fin, Rsv1, Opcode, Payload = Client.ReadFrame()
        self.assertEqual((Fin, Rsv1, Opcode), (True, True, 0x1))
        self.assertEqual(Codec.Decompress(Payload), b"Hello From Server.")
        for Name, Message in MESSAGES:
            with self.subTest(Name):
                # Each frame of a fragmented message is compressed on its own, RSV1 on each.
                Fragments = [Message] if isinstance(Message, str) else Message
                for Index, Fragment in enumerate(Fragments):
                    Client.SendFrame(0x1 if Index == 0 else 0x0,
                                     Codec.Compress(Fragment.encode()),
                                     Fin=Index == len(Fragments) - 1, Rsv1=True)
                Data = "".join(Fragments).encode()
                Fin, Rsv1, Opcode, Payload = Client.ReadFrame()
                self.assertEqual((Fin, Rsv1, Opcode), (True, True, 0x1))
                Echo = Codec.Decompress(Payload)
                self.assertEqual(len(Echo), len(Data))
                self.assertEqual(Echo, Data)

    def test_uncompressed_frame_is_accepted(self):
        Client = self.Open("x-webkit-deflate-frame")
        Codec = H.DeflateFrameCodec()
        self.assertEqual(Codec.Decompress(Client.ReadFrame()[3]), b"Hello From Server.")
        Client.SendFrame(0x1, b"sent without compression")
        Fin, Rsv1, Opcode, Payload = Client.ReadFrame()
        self.assertEqual(Codec.Decompress(Payload), b"sent without compression")

    def test_permessage_deflate_offer_is_declined_when_only_deflate_frame_is_on(self):
        Client = self.Open("permessage-deflate; client_max_window_bits")
        self.assertNotIn("sec-websocket-extensions", Client.Headers)
        self.assertEqual(Client.ReadFrame(), (True, False, 0x1, b"Hello From Server."))


class DeflateFrameWithSmallServerWindow(DeflateFrameWithRawClient):
    """The offer carries no window, so the client compresses with the full 32 KiB window
    whatever the server's own setting; the server must still inflate what it receives."""

    Flags = ["--deflate-frame", "on", "--deflate-frame-window-bits", "9"]


if __name__ == "__main__":
    H.Main()
