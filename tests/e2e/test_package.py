"""The Debian package made by CPack: control data, files, run-time plug-ins in Depends, no lintian
error; `xdg-open` of a link starts the unpacked agent with it, in Russian."""

import glob
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, devserver, output, poll, private_env, read

VERSION = "0.7.0.25167"


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


@unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-shlibdeps"),
                     "needs cpack and dpkg-dev")
class PackageTest(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kv-package-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, True)
        run("cpack", "-G", "DEB", "-B", cls.tmp, cwd=BUILD_DIR)
        cls.deb, = glob.glob(os.path.join(cls.tmp, "*.deb"))
        cls.root = os.path.join(cls.tmp, "root")
        run("dpkg", "-x", cls.deb, cls.root)
        cls.agent = os.path.join(cls.root, "usr", "bin", "kelvano-assistant")

    @unittest.skipUnless(shutil.which("lintian"), "needs lintian")
    def test_control_data_files_and_lintian(self):
        self.assertEqual(run("dpkg-deb", "-f", self.deb, "Package", "Version").split(),
                         ["Package:", "kelvano-assistant", "Version:", VERSION])
        files = run("dpkg-deb", "-c", self.deb)
        for path in ("usr/bin/kelvano-assistant", "applications/kelvano-assistant.desktop",
                     "scalable/apps/kelvano-assistant.svg", "man1/kelvano-assistant.1.gz"):
            self.assertIn(path, files)
        version = subprocess.run([self.agent, "--version"], capture_output=True, text=True,
                                 timeout=30)
        self.assertEqual((version.returncode, version.stdout.split()[-1]), (1, VERSION))
        depends = [d.split()[0] for d in run("dpkg-deb", "-f", self.deb, "Depends").split(", ")]
        for package in ["libqt5core5a", "libgstreamer1.0-0", "libxtst6", "gstreamer1.0-nice",
                        "gstreamer1.0-x", "gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good",
                        "gstreamer1.0-plugins-bad", "gstreamer1.0-plugins-ugly"]:
            self.assertIn(package, depends)  # from the binary, plus the plug-ins no library names
        self.assertNotRegex(output("lintian", self.deb), "(?m)^E:")

    @unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
    @unittest.skipUnless(shutil.which("xdg-open"), "needs xdg-utils")
    async def test_invitation_link_starts_the_unpacked_agent(self):
        share = os.path.join(self.root, "usr", "share")
        run("update-desktop-database", "-q", os.path.join(share, "applications"))  # as postinst
        env = private_env(self.tmp, {
            "PATH": os.path.dirname(self.agent) + os.pathsep + os.environ["PATH"],
            "XDG_DATA_DIRS": share, "XDG_CONFIG_DIRS": os.path.join(self.tmp, "etc-xdg"),
            "LANG": "ru_RU.UTF-8"})
        for scheme in ("kvlo", "kvlos"):
            self.assertEqual(run("xdg-mime", "query", "default", "x-scheme-handler/" + scheme,
                                 env=env).strip(), "kelvano-assistant.desktop")
        server = devserver.DevServer()
        server.create_session({"notifyConnection": False}, sid="77")
        runner, port = await devserver.start(server, "127.0.0.1", 0)
        self.addAsyncCleanup(runner.cleanup)
        log = os.path.join(self.tmp, "agent.log")
        with open(log, "wb") as out:  # xdg-open runs the agent in the foreground
            opener = subprocess.Popen(["xdg-open", "kvlo://127.0.0.1:%d/assistant/77" % port],
                                      env=env, stdout=out, stderr=out, start_new_session=True)
        self.addCleanup(opener.wait, 10)
        self.addCleanup(os.killpg, opener.pid, signal.SIGKILL)
        wanted = ("GET", "/assistant/77/settings", "Kelvano Assistant/" + VERSION)
        self.assertTrue(await poll(lambda: wanted in server.requests, 15), server.requests)
        self.assertIn("ru_RU localization file install successfully", read(log))
