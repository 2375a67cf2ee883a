# consumers_test: the consumer projects' programs, built in the tree (examples/consumers.cmake),
# answer real clients. packaging/install_test.py runs the same checks on the programs built
# against the installed files.
#   python3 consumers_test.py --bin build/<flavour>/bin

import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import consumer_checks  # noqa: E402

Bin = None


class ConsumerPrograms(unittest.TestCase):
    def test_sync_server(self):
        consumer_checks.CheckSyncServer(self, os.path.join(Bin, "sync_server"))

    def test_iocp_server(self):
        consumer_checks.CheckIocpServer(self, os.path.join(Bin, "iocp_server"))

    def test_component_echo(self):
        consumer_checks.CheckComponentEcho(self, os.path.join(Bin, "component_echo"))

    def test_hello_module(self):
        consumer_checks.CheckHelloModule(self, os.path.join(Bin, "hello_module"))


if __name__ == "__main__":
    Parser = argparse.ArgumentParser()
    Parser.add_argument("--bin", required=True, help="folder of the built programs")
    Known, Rest = Parser.parse_known_args()
    Bin = os.path.abspath(Known.bin)
    unittest.main(argv=[sys.argv[0]] + Rest, verbosity=2)
