# unprivileged_test: korvo runs as an unprivileged user holding only CAP_NET_BIND_SERVICE, as its
# systemd unit runs it (DynamicUser, AmbientCapabilities=CAP_NET_BIND_SERVICE): setpriv drops to
# the user "nobody" with that one capability in the ambient set. korvo then serves both of its
# prefixes (port 2001 and port 80); without the capability, registering port 80 fails with its
# failure line.
#   python3 unprivileged_test.py --bin build/<flavour>/bin
# Takes port 2001 and port 80 (ctest's port2001 lock). Runs as root (it changes user).

import argparse
import os
import pwd
import shutil
import signal
import socket
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
import consumer_checks  # noqa: E402

Bin = None
User = "nobody"
CAP_NET_BIND_SERVICE = 10


def Setpriv(Capability):
    Entry = pwd.getpwnam(User)
    Caps = "-all,+net_bind_service" if Capability else "-all"
    return ["setpriv", "--reuid=%d" % Entry.pw_uid, "--regid=%d" % Entry.pw_gid, "--clear-groups",
            "--inh-caps=" + Caps, "--ambient-caps=" + Caps, "--bounding-set=" + Caps]


def Status(Pid):
    Fields = {}
    with open("/proc/%d/status" % Pid) as File:
        for Line in File:
            Name, _, Value = Line.partition(":")
            Fields[Name] = Value.split()
    return Fields


class KorvoUnprivileged(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("changing user needs root")
        # A copy readable by the unprivileged user, wherever the build tree lives: the program
        # and the libraries it finds beside itself.
        cls.Folder = tempfile.mkdtemp(prefix="korvo-unprivileged-")
        os.chmod(cls.Folder, 0o755)
        for Name in os.listdir(Bin):
            if Name == "korvo" or Name.startswith(("libhttpapi.so", "libplatform_win.so")):
                Target = os.path.join(cls.Folder, Name)
                shutil.copy2(os.path.join(Bin, Name), Target)
                os.chmod(Target, 0o755)
        cls.Korvo = os.path.join(cls.Folder, "korvo")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.Folder, ignore_errors=True)

    def Stop(self, Server):
        Server.Signal(signal.SIGTERM)
        Ended = Server.Wait()
        # Ended by SIGTERM's default action, or by a handler of its own that exits with 0.
        self.assertIn(Ended, (0, -signal.SIGTERM), Server.Output)

    def test_serves_with_only_the_bind_capability(self):
        Server = consumer_checks.Program(Setpriv(True) + [self.Korvo])
        try:
            Server.WaitForLine("zefWebSockets Server started at ws://127.0.0.1:2001/ws")
            Fields = Status(Server.Process.pid)
            self.assertEqual(Fields["Uid"][1], str(pwd.getpwnam(User).pw_uid))  # effective
            Only = "%016x" % (1 << CAP_NET_BIND_SERVICE)
            for Set in ("CapEff", "CapPrm", "CapAmb", "CapBnd"):
                self.assertEqual(Fields[Set][0], Only, Set)
            Greeting, Echoes = consumer_checks.EchoOverWebSocket(
                "ws://127.0.0.1:2001/ws/", ["unprivileged", "still echoing"])
            self.assertEqual(Greeting, "Hello From Server.")
            self.assertEqual(Echoes, ["unprivileged", "still echoing"])
            # Port 80, the privileged one, is listened on by the same unprivileged process.
            with socket.create_connection(("127.0.0.1", 80), timeout=30):
                pass
            self.Stop(Server)
        finally:
            Server.Kill()

    def test_without_the_capability_port_80_is_refused(self):
        Server = consumer_checks.Program(Setpriv(False) + [self.Korvo])
        try:
            Line = Server.WaitForLine("TzefWSException: ")
            self.assertIn("Access is denied.", Line)
            Server.Wait()
            # Nothing is left listening on 2001 either.
            with socket.socket() as Probe:
                self.assertNotEqual(Probe.connect_ex(("127.0.0.1", 2001)), 0)
        finally:
            Server.Kill()


if __name__ == "__main__":
    Parser = argparse.ArgumentParser()
    Parser.add_argument("--bin", required=True)
    Known, Rest = Parser.parse_known_args()
    Bin = os.path.abspath(Known.bin)
    unittest.main(argv=[sys.argv[0]] + Rest, verbosity=2)
