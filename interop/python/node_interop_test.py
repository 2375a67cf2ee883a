# node_interop_test: Node's ws (interop/node/echo_client.js) against korvo and, with
# permessage-deflate, against wsecho.
import json
import os
import subprocess
import unittest

import interop_harness as H

CLIENT = os.path.join(H.REPO_ROOT, "interop", "node", "echo_client.js")
CLIENT_TIMEOUT = 300.0


def RunClient(Url, *Arguments):
    """Runs the Node client's table of cases; returns (exit status, what it printed)."""
    Result = subprocess.run([H.Paths.node, CLIENT, "--url", Url, *Arguments],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=CLIENT_TIMEOUT)
    return Result.returncode, Result.stdout + Result.stderr


class KorvoWithNodeWs(unittest.TestCase):
    def test_cases(self):
        Runs = [
            ("no extensions offered", []),
            ("permessage-deflate offered and declined", ["--deflate", "{}"]),
        ]
        with H.StartKorvo() as Server:
            for Name, Arguments in Runs:
                with self.subTest(Name):
                    Status, Output = RunClient(H.KORVO_URL, "--extensions", "none", *Arguments)
                    self.assertEqual(Status, 0, Output)
            self.assertIsNone(Server.Process.poll(), "korvo ended during the run")


PMD = ["--permessage-deflate", "on"]

COMPRESSION_CASES = [
    # (name, wsecho flags, Node's perMessageDeflate options, accepted extensions values split
    #  by "|"). Node offers a bare client_max_window_bits unless told a value; the server may
    #  answer it with 15 or leave it out.
    ("context takeover", PMD, {},
     "permessage-deflate;client_max_window_bits=15|permessage-deflate"),
    ("no context takeover", PMD,
     {"serverNoContextTakeover": True, "clientNoContextTakeover": True},
     "permessage-deflate;client_max_window_bits=15;client_no_context_takeover;"
     "server_no_context_takeover|"
     "permessage-deflate;client_no_context_takeover;server_no_context_takeover"),
    ("client_max_window_bits=9", PMD, {"clientMaxWindowBits": 9},
     "permessage-deflate;client_max_window_bits=9"),
    ("server_max_window_bits=9", PMD, {"serverMaxWindowBits": 9},
     "permessage-deflate;client_max_window_bits=15;server_max_window_bits=9|"
     "permessage-deflate;server_max_window_bits=9"),
    ("both windows 15", PMD, {"serverMaxWindowBits": 15, "clientMaxWindowBits": 15},
     "permessage-deflate;client_max_window_bits=15;server_max_window_bits=15"),
    ("server set to no context takeover", PMD + ["--server-no-context-takeover", "on"], {},
     "permessage-deflate;client_max_window_bits=15;server_no_context_takeover|"
     "permessage-deflate;client_max_window_bits=15|permessage-deflate;server_no_context_takeover|"
     "permessage-deflate"),
    ("server set to client no context takeover", PMD + ["--client-no-context-takeover", "on"],
     {}, "permessage-deflate;client_max_window_bits=15;client_no_context_takeover|"
     "permessage-deflate;client_no_context_takeover"),
    ("server set to a 9-bit client window", PMD + ["--client-max-window-bits", "9"], {},
     "permessage-deflate;client_max_window_bits=9"),
]


class WsechoCompressionWithNodeWs(unittest.TestCase):
    def test_cases(self):
        for Name, Flags, Options, Expected in COMPRESSION_CASES:
            with self.subTest(Name):
                Server, Url = H.StartWsecho(*Flags)
                try:
                    Status, Output = RunClient(Url, "--suite", "compression",
                                               "--deflate", json.dumps(Options),
                                               "--extensions", Expected)
                    self.assertEqual(Status, 0, Output)
                finally:
                    self.assertEqual(Server.Stop(), 0, Server.Report())


if __name__ == "__main__":
    H.Main()
