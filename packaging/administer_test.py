# administer_test: httpcfg and programs in other processes share one service configuration.
# A certificate binding made by httpcfg serves https to real clients from korvo's component and
# from halden's host (by address, and by host name through SNI); a reservation made by httpcfg
# shows in another program's query and decides who may register; the store outlives the
# processes that wrote it; httpcfg processes writing at once lose nothing; a cut store file is
# reported and its valid records still load; the IP listen list and the time-outs reach the
# listener of another process.
#
# Every process gets a store and a certificate store of the test's own (HTTPAPI_SERVICECONFIG,
# HTTPAPI_CERTSTORE); free ports only. Runs as root (one case changes user with setpriv).
#   python3 administer_test.py --bin build/<flavour>/bin

import argparse
import hashlib
import os
import pwd
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
import consumer_checks  # noqa: E402
from consumer_checks import Curl, FreePort, Program  # noqa: E402

Bin = None
APPID = "{5f7c2e44-9a4b-4c1e-8d7f-2a6b3c4d5e6f}"
IO_TIMEOUT = 30


class Administer(unittest.TestCase):
    def setUp(self):
        self.Work = tempfile.mkdtemp(prefix="httpcfg-admin-")
        os.chmod(self.Work, 0o755)
        self.Store = os.path.join(self.Work, "serviceconfig")
        self.Certs = os.path.join(self.Work, "certstore")
        self.Env = dict(os.environ)
        self.Env["HTTPAPI_SERVICECONFIG"] = self.Store
        self.Env["HTTPAPI_CERTSTORE"] = self.Certs
        self.Saved = {Name: os.environ.get(Name) for Name in ("HTTPAPI_SERVICECONFIG",
                                                              "HTTPAPI_CERTSTORE")}
        os.environ.update({"HTTPAPI_SERVICECONFIG": self.Store, "HTTPAPI_CERTSTORE": self.Certs})

    def tearDown(self):
        for Name, Value in self.Saved.items():
            if Value is None:
                os.environ.pop(Name, None)
            else:
                os.environ[Name] = Value
        shutil.rmtree(self.Work, ignore_errors=True)

    def Httpcfg(self, *Arguments, Expect=0):
        Done = subprocess.run([os.path.join(Bin, "httpcfg")] + list(Arguments), env=self.Env,
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(Done.returncode, Expect, (Arguments, Done.stdout, Done.stderr))
        return Done

    def Certificate(self, Name="localhost"):
        """A fresh self-signed certificate imported with httpcfg; returns its thumbprint."""
        Cert = os.path.join(self.Work, Name + ".crt")
        Key = os.path.join(self.Work, Name + ".key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=" + Name, "-keyout", Key, "-out", Cert], check=True,
                       capture_output=True, timeout=120)
        Done = self.Httpcfg("import", "cert", "file=" + Cert, "key=" + Key)
        for Line in Done.stdout.splitlines():
            if Line.strip().startswith("Certificate Hash"):
                return Line.split(":")[1].strip()
        self.fail("no hash in " + Done.stdout)

    def ServedThumbprint(self, Port, ServerName=None):
        """The SHA-1 thumbprint of the certificate the server presents (no verification)."""
        Context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        Context.check_hostname = False
        Context.verify_mode = ssl.CERT_NONE
        with socket.create_connection(("127.0.0.1", Port), timeout=IO_TIMEOUT) as Raw:
            with Context.wrap_socket(Raw, server_hostname=ServerName) as Tls:
                return hashlib.sha1(Tls.getpeercert(binary_form=True)).hexdigest()

    def Start(self, Argv, Ready):
        Server = Program(Argv, Env=self.Env)
        self.addCleanup(Server.Kill)
        Server.WaitForLine(Ready)
        return Server

    def test_binding_by_address_serves_korvos_component_and_haldens_host(self):
        Hash = self.Certificate()
        EchoPort, HelloPort = FreePort(), FreePort()
        for Port in (EchoPort, HelloPort):
            self.Httpcfg("add", "sslcert", "ipport=0.0.0.0:%d" % Port, "certhash=" + Hash,
                         "appid=" + APPID)
        # korvo's component: wss:// with the certificate the tool bound.
        consumer_checks.CheckComponentEcho(self, os.path.join(Bin, "component_echo"),
                                           Port=EchoPort, Secure=True)
        # halden's host, https:// to curl; the certificate presented is the imported one.
        Hello = self.Start([os.path.join(Bin, "hello_module"),
                            "https://127.0.0.1:%d/hello" % HelloPort], "hello_module started")
        Body, Status, Code = Curl("https://127.0.0.1:%d/hello/x" % HelloPort, Insecure=True)
        self.assertEqual((Code, Status), (0, 200))
        # (The module names the URL asked for; the scheme it shows is the host's business.)
        self.assertTrue(Body.startswith(b"Hello from a module, at "), Body)
        self.assertTrue(Body.endswith(b"://127.0.0.1:%d/hello/x\n" % HelloPort), Body)
        self.assertEqual(self.ServedThumbprint(HelloPort), Hash)
        # Without the binding, the next connection gets no TLS at all.
        self.Httpcfg("delete", "sslcert", "ipport=0.0.0.0:%d" % HelloPort)
        _, _, Code = Curl("https://127.0.0.1:%d/hello/x" % HelloPort, Insecure=True)
        self.assertNotEqual(Code, 0)
        Hello.WriteLine()
        self.assertEqual(Hello.Wait(), 0)

    def test_binding_by_host_name_is_chosen_by_sni(self):
        Local = self.Certificate("localhost")
        Other = self.Certificate("other.example")
        Port = FreePort()
        self.Httpcfg("add", "sslcert", "hostnameport=localhost:%d" % Port, "certhash=" + Local,
                     "appid=" + APPID)
        self.Httpcfg("add", "sslcert", "hostnameport=other.example:%d" % Port,
                     "certhash=" + Other, "appid=" + APPID)
        Hello = self.Start([os.path.join(Bin, "hello_module"), "https://+:%d/hello" % Port],
                           "hello_module started")
        self.assertEqual(self.ServedThumbprint(Port, "localhost"), Local)
        self.assertEqual(self.ServedThumbprint(Port, "other.example"), Other)
        Body, Status, Code = Curl("https://localhost:%d/hello/sni" % Port, Insecure=True)
        self.assertEqual((Code, Status), (0, 200))
        # A name without a binding, and no address binding to fall back on: no handshake.
        with self.assertRaises(ssl.SSLError):
            self.ServedThumbprint(Port, "unknown.example")
        # An address binding of the port is the fall-back for other names.
        self.Httpcfg("add", "sslcert", "ipport=0.0.0.0:%d" % Port, "certhash=" + Other,
                     "appid=" + APPID)
        self.assertEqual(self.ServedThumbprint(Port, "unknown.example"), Other)
        self.assertEqual(self.ServedThumbprint(Port, "localhost"), Local)
        Hello.WriteLine()
        self.assertEqual(Hello.Wait(), 0)

    def ListReservations(self):
        Done = subprocess.run([os.path.join(Bin, "list_reservations")], env=self.Env,
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(Done.returncode, 0, Done.stdout)
        return Done.stdout.splitlines()

    def test_reservations_show_in_another_program_and_outlive_it(self):
        self.assertEqual(self.ListReservations(), [])
        self.Httpcfg("add", "urlacl", "url=http://+:18080/app/", "user=root")
        self.Httpcfg("add", "urlacl", "url=https://localhost:18443/", "sddl=D:(A;;GA;;;WD)")
        Expected = ["http://+:18080/app/ D:(A;;GX;;;S-1-22-1-0)",
                    "https://localhost:18443/ D:(A;;GA;;;WD)"]
        # Each run is a new process: what the tool wrote is on disk, not in any process.
        for Run in range(2):
            with self.subTest(Run=Run):
                self.assertEqual(self.ListReservations(), Expected)
        self.Httpcfg("delete", "urlacl", "url=http://+:18080/app/")
        self.assertEqual(self.ListReservations(), Expected[1:])

    def test_reservation_decides_who_may_register(self):
        Nobody = pwd.getpwnam("nobody")
        # A copy of the sample server the unprivileged user can run.
        Copy = os.path.join(self.Work, "bin")
        os.mkdir(Copy)
        for Name in os.listdir(Bin):
            if Name == "sync_server" or Name.startswith(("libhttpapi.so", "libplatform_win.so")):
                shutil.copy2(os.path.join(Bin, Name), os.path.join(Copy, Name))
        os.chmod(Copy, 0o755)
        Port = FreePort()
        Url = "http://127.0.0.1:%d/reserved/" % Port
        self.Httpcfg("add", "urlacl", "url=http://127.0.0.1:%d/" % Port, "user=root")
        os.chmod(self.Store, 0o755)
        Setpriv = ["setpriv", "--reuid=%d" % Nobody.pw_uid, "--regid=%d" % Nobody.pw_gid,
                   "--clear-groups"]

        def RunAsNobody():
            Server = Program(Setpriv + [os.path.join(Copy, "sync_server"), Url], Cwd=Copy,
                             Env=self.Env)
            self.addCleanup(Server.Kill)
            return Server

        # Reserved for root: refused to the user nobody.
        Refused = RunAsNobody()
        Refused.WaitForLine("HttpAddUrl failed with 5")
        Refused.Wait()
        # Reserved for nobody, more closely: allowed, and it serves.
        self.Httpcfg("add", "urlacl", "url=" + Url, "user=nobody")
        Allowed = RunAsNobody()
        Body, Status, Code = consumer_checks.CurlWhenUp(Url + "x")
        self.assertEqual((Code, Status), (0, 200), Allowed.Output)
        Allowed.Kill()

    def test_parallel_tools_lose_nothing(self):
        Tools, Each = 4, 10
        Failures = []

        def Writer(Tool):
            for Index in range(Each):
                Done = subprocess.run(
                    [os.path.join(Bin, "httpcfg"), "add", "urlacl",
                     "url=http://+:%d/tool%d/" % (20000 + Index, Tool), "user=root"],
                    env=self.Env, capture_output=True, text=True, timeout=120)
                if Done.returncode != 0:
                    Failures.append(Done.stderr)

        Threads = [threading.Thread(target=Writer, args=(Tool,)) for Tool in range(Tools)]
        for Thread in Threads:
            Thread.start()
        for Thread in Threads:
            Thread.join(300)
        self.assertEqual(Failures, [])
        self.assertEqual(len(self.ListReservations()), Tools * Each)
        Shown = self.Httpcfg("show", "urlacl").stdout
        self.assertEqual(Shown.count("Reserved URL"), Tools * Each)

    def test_cut_store_is_reported_and_valid_records_still_load(self):
        for Index in range(3):
            self.Httpcfg("add", "urlacl", "url=http://+:%d/cut/" % (21000 + Index), "user=root")
        Records = os.path.join(self.Store, "records")
        with open(Records, "rb") as File:
            Text = File.read()
        with open(Records, "wb") as File:
            File.write(Text[:-10])  # the last record loses its end
        Shown = self.Httpcfg("show", "urlacl")
        self.assertIn("http://+:21000/cut/", Shown.stdout)
        self.assertIn("http://+:21001/cut/", Shown.stdout)
        self.assertNotIn("http://+:21002/cut/", Shown.stdout)
        self.assertEqual(Shown.stderr, "httpcfg: warning: %s line 4 is damaged (cut short) and "
                                       "was skipped\n" % Records)
        # Another program reading through the library sees the two valid records.
        self.assertEqual(len(self.ListReservations()), 2)

    def test_listen_list_and_header_wait_reach_another_process(self):
        self.Httpcfg("add", "iplisten", "ipaddress=127.0.0.1")
        self.Httpcfg("add", "timeout", "timeouttype=headerwaittimeout", "value=1")
        Port = FreePort()
        Hello = self.Start([os.path.join(Bin, "hello_module"), "http://+:%d/hello" % Port],
                           "hello_module started")
        Body, Status, Code = Curl("http://127.0.0.1:%d/hello/x" % Port)
        self.assertEqual((Code, Status), (0, 200))
        # The wildcard prefix listens on the listed address only.
        with socket.socket() as Probe:
            self.assertNotEqual(Probe.connect_ex(("127.0.0.2", Port)), 0)
        # Headers that never end are cut off after the API-wide header wait (1 s, far below
        # the default 120 s and this read's bound).
        with socket.create_connection(("127.0.0.1", Port), timeout=IO_TIMEOUT) as Slow:
            Slow.sendall(b"GET /hello/x HTTP/1.1\r\nHo")
            self.assertEqual(Slow.recv(4096), b"")
        Hello.WriteLine()
        self.assertEqual(Hello.Wait(), 0)
        # Without the list, a new process listens on every address.
        self.Httpcfg("delete", "iplisten", "ipaddress=127.0.0.1")
        Again = self.Start([os.path.join(Bin, "hello_module"), "http://+:%d/hello" % Port],
                           "hello_module started")
        Body, Status, Code = Curl("http://127.0.0.2:%d/hello/y" % Port)
        self.assertEqual((Code, Status), (0, 200))
        Again.WriteLine()
        self.assertEqual(Again.Wait(), 0)


if __name__ == "__main__":
    Parser = argparse.ArgumentParser()
    Parser.add_argument("--bin", required=True)
    Known, Rest = Parser.parse_known_args()
    Bin = os.path.abspath(Known.bin)
    unittest.main(argv=[sys.argv[0]] + Rest, verbosity=2)
