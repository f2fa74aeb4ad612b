#!/usr/bin/python3
"""Desktop integration: `cmake --install` into a temporary prefix registers the agent as the
handler of kvlo:// and kvlos:// links, and `xdg-open` of an invitation link starts the installed
agent with that link (seen from the server side: it asks for that session's settings)."""

import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "devserver"))
sys.path.insert(0, HERE)
import agentproc  # noqa: E402
import devserver  # noqa: E402

USER_AGENT = "Kelvano Assistant/0.7.0.25167"


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
@unittest.skipUnless(shutil.which("xdg-open"), "needs xdg-utils")
class DesktopTest(unittest.IsolatedAsyncioTestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kv-desktop-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        subprocess.run(["cmake", "--install", agentproc.build_dir(), "--prefix", cls.prefix],
                       check=True, stdout=subprocess.DEVNULL)
        cls.env = agentproc.private_env(cls.tmp, {
            "PATH": os.path.join(cls.prefix, "bin") + os.pathsep + os.environ.get("PATH", ""),
            "XDG_DATA_DIRS": os.path.join(cls.prefix, "share"),
            "XDG_CONFIG_DIRS": os.path.join(cls.tmp, "etc-xdg"),
        })

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_scheme_handlers_are_registered(self):
        for scheme in ("kvlo", "kvlos"):
            out = subprocess.run(["xdg-mime", "query", "default", "x-scheme-handler/" + scheme],
                                 env=self.env, capture_output=True, text=True, check=True)
            self.assertEqual(out.stdout.strip(), "kelvano-assistant.desktop", scheme)

    async def test_xdg_open_starts_the_agent_with_the_link(self):
        server = devserver.DevServer()
        server.create_session({"notifyConnection": False}, sid="77")
        runner, port = await devserver.start(server, "127.0.0.1", 0)
        link = "kvlo://127.0.0.1:%d/assistant/77" % port
        installed = os.path.join(self.prefix, "bin", "kelvano-assistant")
        opener = subprocess.Popen(["xdg-open", link], env=self.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wanted = ("GET", "/assistant/77/settings", USER_AGENT)
            for _ in range(300):
                if wanted in server.requests:
                    break
                await asyncio.sleep(0.05)
            started = [agentproc.cmdline(p)[1:] for p in agentproc.processes_of(installed)]
            self.assertIn(("GET", "/assistant/api/discover/", USER_AGENT), server.requests,
                          "installed agents running with the arguments %s" % started)
            self.assertIn(wanted, server.requests)
            self.assertIn([link], started)
        finally:
            agentproc.stop(agentproc.processes_of(installed))
            try:
                opener.wait(timeout=10)
            except subprocess.TimeoutExpired:
                opener.kill()
                opener.wait()
            await runner.cleanup()


if __name__ == "__main__":
    unittest.main()
