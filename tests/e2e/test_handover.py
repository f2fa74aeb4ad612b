#!/usr/bin/python3
"""Links handed to a running agent, at process level: two development servers, the real agent under
Xvfb, with and without a tray host. A link to a server other than the configured one reaches that
server only after the user agreed; a refusal leaves the running session alone. The exit releases
a key the administrator holds."""

import asyncio
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "devserver"))
sys.path.insert(0, HERE)
import agentproc  # noqa: E402
import devserver  # noqa: E402
import xprobe  # noqa: E402

SHIFT_L = 0xFFE1
DIALOG_SIZE = (363, 102)


def xdotool(*args):
    out = subprocess.run(["xdotool"] + [str(a) for a in args], capture_output=True, text=True)
    return out.stdout.strip()


def windows_of(pid):
    """(id, name, width, height) of the visible windows of the process."""
    found = []
    for wid in xdotool("search", "--onlyvisible", "--pid", pid).split():
        geometry = dict(line.split("=", 1) for line in
                        xdotool("getwindowgeometry", "--shell", wid).splitlines() if "=" in line)
        found.append((wid, xdotool("getwindowname", wid), int(geometry.get("WIDTH", 0)),
                      int(geometry.get("HEIGHT", 0))))
    return found


def tray_owned(probe):
    atom = xprobe._x11.XInternAtom(probe.dpy, b"_NET_SYSTEM_TRAY_S0", 0)
    return xprobe._x11.XGetSelectionOwner(probe.dpy, atom) != 0


xprobe._x11.XInternAtom.restype = ctypes.c_ulong
xprobe._x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
xprobe._x11.XGetSelectionOwner.restype = ctypes.c_ulong
xprobe._x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
@unittest.skipUnless(shutil.which("xdotool"), "needs xdotool")
class AgentCase(unittest.IsolatedAsyncioTestCase):
    tray = False

    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2
        self.tmp = tempfile.mkdtemp(prefix="kv-handover-")
        self.x = xprobe.XProbe()
        self.trayer = None
        if self.tray:
            self.trayer = subprocess.Popen(
                ["setpriv", "--pdeathsig", "KILL", "trayer", "--edge", "bottom", "--align",
                 "right", "--SetDockType", "false"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.assertTrue(await self.poll(lambda: tray_owned(self.x), 10), "no tray host")
        self.a, self.b = devserver.DevServer(), devserver.DevServer()
        self.a.create_session({"notifyConnection": False, "displayName": "Alice"}, sid="1")
        # B waives consent too: a server the agent was not configured with cannot.
        self.b.create_session({"notifyConnection": False, "displayName": "Mallory"}, sid="7")
        self.runners = []
        ports = []
        for server in (self.a, self.b):
            runner, port = await devserver.start(server, "127.0.0.1", 0)
            self.runners.append(runner)
            ports.append(port)
        self.link_a = "kvlo://127.0.0.1:%d/assistant/1" % ports[0]
        self.link_b = "kvlo://127.0.0.1:%d/assistant/7" % ports[1]
        self.env = agentproc.private_env(self.tmp, {
            "KVNO_VDI_URL": "http://127.0.0.1:%d/assistant" % ports[0]})
        self.log = os.path.join(self.tmp, "agent.log")
        self.agent = None
        self.requests = 0

    async def asyncTearDown(self):
        if self.agent is not None:
            agentproc.stop_agent(self.agent)
        for runner in self.runners:
            await runner.cleanup()
        if self.trayer is not None:
            self.trayer.terminate()
            self.trayer.wait(timeout=10)
        self.x.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    async def poll(self, probe, timeout):
        deadline = time.monotonic() + timeout
        while True:
            value = probe()
            if value or time.monotonic() > deadline:
                return value
            await asyncio.sleep(0.05)

    def output(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def joined(self, server, sid):
        s = server.sessions[sid]
        return s.agent is not None and len(s.inputs) > 0

    def untouched(self, server, sid):
        s = server.sessions[sid]
        return s.agent is None and not s.inputs

    async def start_first(self):
        self.agent = agentproc.start_agent(
            ["--stun-url", "stun://127.0.0.1:3478", self.link_a], self.env, self.log)
        self.assertTrue(await self.poll(lambda: "Starting:" in self.output(), 20), self.output())

    async def hand_over(self, link):
        second = agentproc.start_agent([link], self.env, os.path.join(self.tmp, "second.log"))
        self.assertEqual(await asyncio.get_running_loop().run_in_executor(None, second.wait), 0)

    async def answer(self, grant):
        """Opens the question (a click on the notification when a tray shows one) and answers."""
        pid = self.agent.pid

        def dialog():
            return [w for w in windows_of(pid) if (w[2], w[3]) == DIALOG_SIZE]

        if self.tray:
            # The request's own notification, not the one of an earlier connection.
            self.requests += 1
            shown = await self.poll(
                lambda: self.output().count("showing request tray message") >= self.requests, 15)
            self.assertTrue(shown, self.output())

            def balloon():
                return [w for w in windows_of(pid)
                        if w[2] > 100 and w[1] != "Kelvano Assistant"]
            tips = await self.poll(balloon, 15)
            self.assertTrue(tips, "no notification: %s" % windows_of(pid))
            xdotool("mousemove", "--window", tips[0][0], 20, 20, "click", 1)
        found = await self.poll(dialog, 15)
        self.assertTrue(found, "no permission dialog: %s" % windows_of(pid))
        xdotool("windowfocus", "--sync", found[0][0])
        if grant:
            xdotool("key", "--delay", 100, "space", "Tab", "space")
        else:
            xdotool("key", "Escape")
        self.assertTrue(await self.poll(lambda: not dialog(), 10), "the dialog stayed open")



class HandOverTest(AgentCase):
    async def test_link_race_waits_for_consent(self):
        await self.start_first()
        await self.hand_over(self.link_b)
        # Past the first link's delayed connect: nothing reached either server.
        idle = await self.poll(
            lambda: not (self.untouched(self.a, "1") and self.untouched(self.b, "7")), 7)
        self.assertFalse(idle, "connected without consent:\n" + self.output())
        self.assertIn("(delayed connect) cancelled by a newer link", self.output())
        await self.answer(grant=True)
        self.assertTrue(await self.poll(lambda: self.joined(self.b, "7"), 15), self.output())
        self.assertTrue(self.untouched(self.a, "1"))

    async def test_refusal_keeps_the_live_session_and_consent_moves_it(self):
        await self.start_first()
        self.assertTrue(await self.poll(lambda: self.joined(self.a, "1"), 15), self.output())
        live = self.a.sessions["1"].agent
        await self.hand_over(self.link_b)
        await self.answer(grant=False)
        self.assertFalse(await self.poll(lambda: not self.untouched(self.b, "7"), 1.5))
        self.assertIs(self.a.sessions["1"].agent, live)
        self.assertEqual(len(self.a.sessions["1"].inputs), 1)

        await self.hand_over(self.link_b)
        await self.answer(grant=True)
        self.assertTrue(await self.poll(lambda: self.joined(self.b, "7"), 15), self.output())
        self.assertTrue(await self.poll(lambda: self.untouched(self.a, "1"), 10))
        self.assertTrue(self.joined(self.b, "7"), "the old session's closure ended the new one")


class HandOverWithTrayTest(HandOverTest):
    tray = True


class ExitTest(AgentCase):
    async def test_exit_releases_a_held_key(self):
        await self.start_first()
        self.assertTrue(await self.poll(lambda: self.joined(self.a, "1"), 15), self.output())
        down = {"keyboardEvent": {"keyCode": 16, "down": True, "key": "Shift"}}
        await self.a.sessions["1"].inputs[-1].send_str(json.dumps(down))
        self.assertTrue(await self.poll(lambda: self.x.key_down(SHIFT_L), 5), "Shift never down")
        status = agentproc.stop_agent(self.agent)
        self.agent = None
        self.assertEqual(status, 0, self.output()[-3000:])
        self.assertFalse(self.x.key_down(SHIFT_L), "Shift left down after the exit")
        text = self.output()
        self.assertIn("Kelvano Assistant finished", text)
        for report in ("AddressSanitizer", "runtime error:", "LeakSanitizer"):
            self.assertNotIn(report, text)



ASAN_BUILD = os.path.join(os.path.dirname(agentproc.build_dir().rstrip("/")), "build-asan")


@unittest.skipUnless(os.path.exists(os.path.join(ASAN_BUILD, "kelvano-assistant")),
                     "needs the ASan+UBSan build (scripts/build.sh asan)")
class ExitSanitizedTest(ExitTest):
    """The same exit with the sanitised agent: no report on the way out."""

    async def asyncSetUp(self):
        self.saved_build = os.environ.get("KELVANO_BUILD_DIR")
        os.environ["KELVANO_BUILD_DIR"] = ASAN_BUILD
        await super().asyncSetUp()
        self.env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1")
        self.env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")

    async def asyncTearDown(self):
        await super().asyncTearDown()
        if self.saved_build is None:
            os.environ.pop("KELVANO_BUILD_DIR", None)
        else:
            os.environ["KELVANO_BUILD_DIR"] = self.saved_build


if __name__ == "__main__":
    unittest.main()
