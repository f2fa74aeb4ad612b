"""The demo on a desktop: the user's side in a nested X server. The consent dialog shows inside it,
the console's video is that screen, a key typed on the console reaches the terminal there, and a
Ctrl+C leaves nothing behind."""

import asyncio
import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import (BUILD_DIR, IN_PRIVATE_NETNS, SOURCE_DIR, Harness, XProbe, answer_dialog,
                     output, poll, private_env, read, terminate)

# "exit" and Enter, typed into the user's terminal: it ends its shell and goes.
EXIT = [("e", "KeyE", 69, 0x65), ("x", "KeyX", 88, 0x78), ("i", "KeyI", 73, 0x69),
        ("t", "KeyT", 84, 0x74), ("Enter", "Enter", 13, 0xFF0D)]


@unittest.skipUnless(IN_PRIVATE_NETNS, "needs the private network namespace")
@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
@unittest.skipUnless(shutil.which("Xephyr"), "needs Xephyr")
# As a normal user the private network is in a user namespace, where xterm cannot give its
# terminal to the tty group and ends; CI runs this as root.
@unittest.skipIf(read("/proc/self/uid_map").split()[:3] != ["0", "0", "4294967295"],
                 "xterm does not start in a user namespace")
class DemoTest(unittest.IsolatedAsyncioTestCase):
    async def test_the_console_shows_and_steers_the_users_window_only(self):
        tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="kv-demo-"))
        out = os.path.join(tmp, "demo.out")
        with open(out, "wb") as f:
            demo = subprocess.Popen(
                [os.path.join(SOURCE_DIR, "scripts", "demo.sh"), "--prebuilt", "--port", "0"],
                env=private_env(tmp, {"TMPDIR": tmp, "KELVANO_BUILD_DIR": BUILD_DIR}),
                stdout=f, stderr=subprocess.STDOUT)
        self.addCleanup(terminate, demo)
        shown = await poll(lambda: re.search(r"Console: +(\S+)(?s:.*)display (:\d+)", read(out)),
                           30, 0.1)
        self.assertTrue(shown, read(out))
        console, nested = shown.groups()
        agent = await poll(lambda: output("pgrep", "-P", demo.pid, "kelvano-assist").strip(), 10)
        self.assertTrue(agent, read(out))

        h = Harness(tmp)
        self.addAsyncCleanup(h.stop)
        h.x = h.cleanup.enter_context(contextlib.closing(XProbe(nested)))
        await h.open_console(console)
        self.assertTrue(await answer_dialog(agent, True, 30, display=nested), "no dialog inside")
        await h.wait_for("kvConsole.stats.framesDecoded > 0 && kvConsole.stats.width === 1280 && "
                         "kvConsole.stats.height === 800", 30, "the nested screen on the console")
        terminal = ("xdotool", "search", "--onlyvisible", "--name", "The user's terminal")
        self.assertTrue(output(*terminal, display=nested), "no terminal")
        self.assertTrue(await h.move_mouse(300, 300), "pointer not over the user's terminal")
        for key in EXIT:
            self.assertTrue(await h.press_key(*key), "%s not seen in the nested server" % key[0])
        self.assertTrue(await poll(lambda: not output(*terminal, display=nested), 10),
                        "the terminal did not take the keys")

        await h.stop()  # before the nested X server goes
        demo.send_signal(signal.SIGINT)
        self.assertEqual(await asyncio.to_thread(demo.wait, 20), 130, read(out))
        self.assertFalse(os.path.exists("/proc/" + agent), "agent left running")
        self.assertEqual([n for n in os.listdir(tmp) if n.startswith("kelvano-demo")], [])
        self.assertFalse(os.path.exists("/tmp/.X11-unix/X" + nested[1:]), "X server left running")
