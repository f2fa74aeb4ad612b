#!/usr/bin/python3
"""The Debian package: CPack makes it from the build folder; its control data and files, and the
agent unpacked from it: its version, and `xdg-open` of an invitation link starting it with that
link (seen from the server side) under a Russian locale, with the compiled-in catalogue."""

import asyncio
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "devserver"))
import agentproc  # noqa: E402
import devserver  # noqa: E402

VERSION = "0.7.0.25167"
FILES = {
    "usr/bin/kelvano-assistant",
    "usr/share/applications/kelvano-assistant.desktop",
    "usr/share/icons/hicolor/scalable/apps/kelvano-assistant.svg",
    "usr/share/man/man1/kelvano-assistant.1.gz",
    "usr/share/doc/kelvano-assistant/copyright",
    "usr/share/doc/kelvano-assistant/changelog.gz",
}
# Loaded at run time, so no library dependency names them: the pipeline's plug-ins.
PLUGINS = ["gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good", "gstreamer1.0-plugins-bad",
           "gstreamer1.0-plugins-ugly", "gstreamer1.0-nice", "gstreamer1.0-x"]


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


@unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-shlibdeps"),
                     "needs cpack and dpkg-dev")
class PackageTest(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kv-package-")
        run("cpack", "-G", "DEB", "-B", cls.tmp, cwd=agentproc.build_dir())
        cls.deb, = glob.glob(os.path.join(cls.tmp, "*.deb"))
        cls.root = os.path.join(cls.tmp, "root")
        run("dpkg", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_control_data(self):
        self.assertEqual(self.field("Package"), "kelvano-assistant")
        self.assertEqual(self.field("Version"), VERSION)
        depends = [d.split()[0] for d in self.field("Depends").split(", ")]
        # Computed from the binary, plus the plug-ins.
        for package in PLUGINS + ["libqt5core5a", "libgstreamer1.0-0", "libxtst6", "libc6"]:
            self.assertIn(package, depends)
        control = os.path.join(self.tmp, "control")
        run("dpkg-deb", "-e", self.deb, control)
        self.assertEqual(sorted(os.listdir(control)), ["control", "md5sums", "postinst", "postrm"])
        for script in ("postinst", "postrm"):
            run("sh", "-n", os.path.join(control, script))

    def test_files(self):
        files = {line.split()[-1][2:] for line in run("dpkg-deb", "-c", self.deb).splitlines()
                 if line.startswith("-")}
        self.assertEqual(files, FILES)
        desktop = os.path.join(self.root, "usr/share/applications/kelvano-assistant.desktop")
        run("desktop-file-validate", desktop)
        with open(desktop, encoding="utf-8") as f:
            self.assertIn("MimeType=x-scheme-handler/kvlo;x-scheme-handler/kvlos;", f.read())

    @unittest.skipUnless(shutil.which("lintian"), "needs lintian")
    def test_lintian_finds_no_errors(self):
        out = subprocess.run(["lintian", self.deb], capture_output=True, text=True)
        self.assertFalse([line for line in out.stdout.splitlines() if line.startswith("E:")],
                         out.stdout)

    def test_unpacked_agent_prints_its_version(self):
        agent = os.path.join(self.root, "usr/bin/kelvano-assistant")
        out = subprocess.run([agent, "--version"], env=agentproc.private_env(self.tmp),
                             capture_output=True, text=True, timeout=30)
        self.assertEqual((out.returncode, out.stdout.splitlines()[-1]), (1, VERSION))

    @unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
    @unittest.skipUnless(shutil.which("xdg-open"), "needs xdg-utils")
    async def test_invitation_link_starts_the_unpacked_agent(self):
        share = os.path.join(self.root, "usr", "share")
        run("update-desktop-database", "-q", os.path.join(share, "applications"))  # as postinst
        env = agentproc.private_env(self.tmp, {
            "PATH": os.path.join(self.root, "usr", "bin") + os.pathsep + os.environ["PATH"],
            "XDG_DATA_DIRS": share, "XDG_CONFIG_DIRS": os.path.join(self.tmp, "etc-xdg"),
            "LANG": "ru_RU.UTF-8"})
        for scheme in ("kvlo", "kvlos"):
            self.assertEqual(run("xdg-mime", "query", "default", "x-scheme-handler/" + scheme,
                                 env=env).strip(), "kelvano-assistant.desktop")
        server = devserver.DevServer()
        server.create_session({"notifyConnection": False}, sid="77")
        runner, port = await devserver.start(server, "127.0.0.1", 0)
        link = "kvlo://127.0.0.1:%d/assistant/77" % port
        agent = os.path.join(self.root, "usr", "bin", "kelvano-assistant")
        log = os.path.join(self.tmp, "agent.log")
        with open(log, "wb") as out:
            opener = subprocess.Popen(["xdg-open", link], env=env, stdout=out, stderr=out)
        wanted = ("GET", "/assistant/77/settings", "Kelvano Assistant/" + VERSION)
        try:
            for _ in range(300):
                if wanted in server.requests:
                    break
                await asyncio.sleep(0.05)
            self.assertIn(wanted, server.requests)
            self.assertIn([link], [agentproc.cmdline(p)[1:] for p in agentproc.processes_of(agent)])
            with open(log, errors="replace") as f:
                self.assertIn("ru_RU localization file install successfully", f.read())
        finally:
            agentproc.stop(agentproc.processes_of(agent))
            opener.wait(timeout=10)
            await runner.cleanup()

if __name__ == "__main__":
    unittest.main()
