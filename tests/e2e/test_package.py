#!/usr/bin/python3
"""The Debian package: CPack makes it from the build folder; its control data, its files, and the
agent unpacked from it (version, Russian catalogue) are what a user would install."""

import glob
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import agentproc

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
class PackageTest(unittest.TestCase):
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

    def test_unpacked_agent(self):
        agent = os.path.join(self.root, "usr/bin/kelvano-assistant")
        env = agentproc.private_env(os.path.join(self.tmp, "home"))
        out = subprocess.run([agent, "--version"], env=env, capture_output=True, text=True,
                             timeout=30)
        self.assertEqual((out.returncode, out.stdout.splitlines()[-1]), (1, VERSION))
        if not os.environ.get("DISPLAY"):
            return
        # The Russian catalogue is compiled in: the unpacked agent finds it with nothing else.
        log = os.path.join(self.tmp, "ru.log")
        env["LANG"] = "ru_RU.UTF-8"
        with open(log, "wb") as out:
            proc = subprocess.Popen([agent], env=env, stdout=out, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and proc.poll() is None:
                with open(log, errors="replace") as f:
                    if "ru_RU localization file install successfully" in f.read():
                        break
                time.sleep(0.05)
            with open(log, errors="replace") as f:
                self.assertIn("ru_RU localization file install successfully", f.read())
        finally:
            agentproc.stop_agent(proc)


if __name__ == "__main__":
    unittest.main()
