# install_test: what `cmake --install` and `cpack -G DEB` make is complete on its own. The tree is
# installed into a temporary prefix and the Debian packages are made and unpacked; the packages'
# control data and contents are checked; then, against each of the two trees and nothing else,
# the three consumer projects of examples/ are built outside the source tree (the C servers
# through pkg-config and make, the C++ programs through CMake's find_package) and each answers
# a real client. The systemd units of the installation pass systemd-analyze verify.
#
# Runs in the release flavour only (it builds four small projects twice: about a minute).
#   python3 install_test.py --build build/release --source .

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

Args = None
Work = None  # the temporary folder of the whole run
Trees = {}  # name -> installed tree (a prefix)
Debs = {}  # package name -> .deb file

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
import consumer_checks  # noqa: E402

VERSION = "1.0.0"
PACKAGES = ("libkorvo-halden1", "libkorvo-halden-dev", "korvo-halden")
CONSUMERS = ("httpapi-c", "component-echo", "hello-module")


def Run(Command, Env=None, Cwd=None, Timeout=600):
    Done = subprocess.run([str(Part) for Part in Command], env=Env, cwd=Cwd,
                          capture_output=True, text=True, timeout=Timeout)
    if Done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (" ".join(map(str, Command)),
                                                          Done.returncode, Done.stdout,
                                                          Done.stderr))
    return Done.stdout


def setUpModule():
    global Work
    Work = tempfile.mkdtemp(prefix="korvo-install-")
    # The programs built here read a service configuration of this test's own (empty).
    os.environ["HTTPAPI_SERVICECONFIG"] = os.path.join(Work, "serviceconfig")
    Prefix = os.path.join(Work, "prefix")
    Run(["cmake", "--install", Args.build, "--prefix", Prefix])
    Trees["prefix"] = Prefix
    Output = os.path.join(Work, "debs")
    Run(["cpack", "-G", "DEB", "-B", Output, "--config",
         os.path.join(Args.build, "CPackConfig.cmake")])
    for Name in os.listdir(Output):
        if Name.endswith(".deb"):
            Debs[Name.split("_")[0]] = os.path.join(Output, Name)
    Root = os.path.join(Work, "root")
    for File in Debs.values():
        Run(["dpkg-deb", "-x", File, Root])
    Trees["deb"] = os.path.join(Root, "usr")


def tearDownModule():
    if Work:
        shutil.rmtree(Work, ignore_errors=True)


def Soname(Library):
    Dynamic = Run(["readelf", "-d", Library])
    Match = re.search(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", Dynamic)
    return Match.group(1) if Match else None


class InstalledTree(unittest.TestCase):
    def test_files_are_where_the_readme_says(self):
        Prefix = Trees["prefix"]
        for Relative in ["bin/korvo", "bin/halden", "bin/httpcfg",
                         "lib/libhttpapi.so.1", "lib/libplatform_win.so.1",
                         "lib/libhttpapi.so", "lib/libplatform_win.so",
                         "lib/korvo-halden/libzef_httpapi.a", "lib/korvo-halden/libpylon_httpsys.a",
                         "lib/cmake/KorvoHalden/KorvoHaldenConfig.cmake",
                         "lib/cmake/KorvoHalden/KorvoHaldenConfigVersion.cmake",
                         "lib/pkgconfig/httpapi.pc", "lib/pkgconfig/korvo-websocket.pc",
                         "lib/pkgconfig/halden-http.pc",
                         "include/korvo-halden/win32/windows.h", "include/korvo-halden/win32/http.h",
                         "include/korvo-halden/websocket/httpapi/zefWebSocket.h",
                         "include/korvo-halden/http/httpsys/Pylon.HttpSys.Server.h",
                         "include/korvo-halden/platform/rtl/Exception.h",
                         "lib/systemd/system/korvo.service", "lib/systemd/system/halden.service"]:
            with self.subTest(Relative):
                self.assertTrue(os.path.exists(os.path.join(Prefix, Relative)), Relative)
        # The Windows-named headers never land in the include folder itself; no test helper
        # or test file is installed.
        self.assertFalse(os.path.exists(os.path.join(Prefix, "include", "windows.h")))
        for Folder, _, Files in os.walk(os.path.join(Prefix, "include")):
            for Name in Files:
                self.assertFalse(Name.endswith("_test.h") or "TestClient" in Name, Name)
        for Library in ("libhttpapi", "libplatform_win"):
            with self.subTest(Library):
                self.assertEqual(Soname(os.path.join(Prefix, "lib", Library + ".so")),
                                 Library + ".so.1")
                self.assertTrue(os.path.islink(os.path.join(Prefix, "lib", Library + ".so.1")))

    def test_systemd_units_verify(self):
        Units = os.path.join(Trees["prefix"], "lib", "systemd", "system")
        for Unit in ("korvo.service", "halden.service"):
            with self.subTest(Unit):
                Path = os.path.join(Units, Unit)
                with open(Path) as File:
                    Text = File.read()
                self.assertIn("DynamicUser=yes", Text)
                self.assertIn("ExecStart=", Text)
                self.assertIn(os.path.join(Trees["prefix"], "bin", Unit.split(".")[0]), Text)
                Done = subprocess.run(["systemd-analyze", "verify", Path], capture_output=True,
                                      text=True, timeout=120)
                self.assertEqual((Done.returncode, Done.stdout + Done.stderr), (0, ""))
        with open(os.path.join(Units, "korvo.service")) as File:
            Korvo = File.read()
        self.assertIn("AmbientCapabilities=CAP_NET_BIND_SERVICE", Korvo)


class DebianPackages(unittest.TestCase):
    def Field(self, Package, Name):
        return Run(["dpkg-deb", "-f", Debs[Package], Name]).strip()

    def Contents(self, Package):
        Listing = Run(["dpkg-deb", "-c", Debs[Package]])
        return [Line.split()[5].lstrip(".") for Line in Listing.splitlines() if Line.split()]

    def test_three_packages_with_their_dependencies(self):
        self.assertEqual(sorted(Debs), sorted(PACKAGES))
        for Package in PACKAGES:
            with self.subTest(Package):
                self.assertEqual(self.Field(Package, "Package"), Package)
                self.assertEqual(self.Field(Package, "Version"), VERSION)
                self.assertEqual(self.Field(Package, "Architecture"),
                                 Run(["dpkg", "--print-architecture"]).strip())
        Pinned = "libkorvo-halden1 (= %s)" % VERSION
        Programs = self.Field("korvo-halden", "Depends")
        self.assertIn(Pinned, Programs)
        self.assertRegex(Programs, r"libssl3|libssl1")
        self.assertIn("libhiredis", Programs) # the cluster option of korvo's component
        self.assertIn("libc6", Programs)
        Development = self.Field("libkorvo-halden-dev", "Depends")
        for Needed in (Pinned, "libssl-dev", "zlib1g-dev", "libhiredis-dev"):
            self.assertIn(Needed, Development)
        Libraries = self.Field("libkorvo-halden1", "Depends")
        self.assertIn("libc6", Libraries)
        self.assertNotIn("korvo-halden", Libraries)
        # The library package registers its sonames (shlibs) and runs ldconfig.
        Control = Run(["dpkg-deb", "-I", Debs["libkorvo-halden1"]])
        self.assertIn("shlibs", Control)

    def test_each_file_in_its_package(self):
        Libraries = self.Contents("libkorvo-halden1")
        Development = self.Contents("libkorvo-halden-dev")
        Programs = self.Contents("korvo-halden")
        self.assertIn("/usr/lib/libhttpapi.so.1", Libraries)
        self.assertIn("/usr/lib/libplatform_win.so.1.0.0", Libraries)
        self.assertFalse([Path for Path in Libraries if Path.endswith(".so") or "/include/" in Path])
        self.assertIn("/usr/lib/libhttpapi.so", Development)
        self.assertIn("/usr/include/korvo-halden/win32/windows.h", Development)
        self.assertIn("/usr/lib/cmake/KorvoHalden/KorvoHaldenConfig.cmake", Development)
        self.assertIn("/usr/lib/pkgconfig/httpapi.pc", Development)
        self.assertFalse([Path for Path in Development if "/bin/" in Path])
        for Path in ("/usr/bin/korvo", "/usr/bin/halden", "/usr/bin/httpcfg",
                     "/usr/lib/systemd/system/korvo.service",
                     "/usr/lib/systemd/system/halden.service"):
            self.assertIn(Path, Programs)
        self.assertFalse([Path for Path in Programs if "/include/" in Path or ".so" in Path])
        # The units of the package name the programs where the package puts them.
        with open(os.path.join(os.path.dirname(Trees["deb"]),
                               "usr/lib/systemd/system/korvo.service")) as File:
            self.assertIn("ExecStart=/usr/bin/korvo", File.read())


class ConsumerProjects(unittest.TestCase):
    """Each consumer project, copied out of the source tree, built against one installed tree."""

    Built = {}

    @classmethod
    def Build(cls, Tree):
        if Tree in cls.Built:
            return cls.Built[Tree]
        Root = Trees[Tree]
        Projects = os.path.join(Work, "consumers-" + Tree)
        for Project in CONSUMERS:
            shutil.copytree(os.path.join(Args.source, "examples", Project),
                            os.path.join(Projects, Project))
        Env = dict(os.environ)
        Env["PKG_CONFIG_PATH"] = os.path.join(Root, "lib", "pkgconfig")
        Env.pop("PKG_CONFIG_LIBDIR", None)
        Env["CC"] = "gcc"
        Run(["make", "-C", os.path.join(Projects, "httpapi-c")], Env=Env)
        for Project in ("component-echo", "hello-module"):
            Folder = os.path.join(Projects, Project)
            Run(["cmake", "-S", Folder, "-B", os.path.join(Folder, "build"), "-G", "Ninja",
                 "-DCMAKE_PREFIX_PATH=" + Root, "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF",
                 "-DCMAKE_CXX_COMPILER=g++"], Env=Env)
            Run(["cmake", "--build", os.path.join(Folder, "build")], Env=Env)
        cls.Built[Tree] = Projects
        return Projects

    def Programs(self, Tree):
        Projects = self.Build(Tree)
        return {
            "sync_server": os.path.join(Projects, "httpapi-c", "sync_server"),
            "iocp_server": os.path.join(Projects, "httpapi-c", "iocp_server"),
            "component_echo": os.path.join(Projects, "component-echo", "build", "component_echo"),
            "hello_module": os.path.join(Projects, "hello-module", "build", "hello_module"),
        }

    def CheckTree(self, Tree):
        Programs = self.Programs(Tree)
        # The C programs were linked by pkg-config's line alone (no run path): the loader is
        # told where the tree's libraries are, as it would find them under /usr.
        os.environ["LD_LIBRARY_PATH"] = os.path.join(Trees[Tree], "lib")
        try:
            consumer_checks.CheckSyncServer(self, Programs["sync_server"])
            consumer_checks.CheckIocpServer(self, Programs["iocp_server"])
        finally:
            del os.environ["LD_LIBRARY_PATH"]
        consumer_checks.CheckComponentEcho(self, Programs["component_echo"])
        consumer_checks.CheckHelloModule(self, Programs["hello_module"])
        # Nothing from the source or build tree was used: the programs reach only the tree's
        # libraries.
        for Program in ("component_echo", "hello_module"):
            Libraries = Run(["ldd", Programs[Program]])
            Found = [Line.split("=>")[1].split("(")[0].strip() for Line in Libraries.splitlines()
                     if "libplatform_win.so.1" in Line and "=>" in Line]
            self.assertEqual(len(Found), 1, Libraries)
            self.assertTrue(os.path.realpath(Found[0]).startswith(os.path.realpath(Trees[Tree])),
                            Libraries)
            self.assertNotIn(Args.build, Libraries)

    def test_against_the_installed_prefix(self):
        self.CheckTree("prefix")

    def test_against_the_unpacked_debian_packages(self):
        self.CheckTree("deb")


if __name__ == "__main__":
    Parser = argparse.ArgumentParser()
    Parser.add_argument("--build", required=True)
    Parser.add_argument("--source", required=True)
    Args, Rest = Parser.parse_known_args()
    Args.build = os.path.abspath(Args.build)
    Args.source = os.path.abspath(Args.source)
    unittest.main(argv=[sys.argv[0]] + Rest, verbosity=2)
