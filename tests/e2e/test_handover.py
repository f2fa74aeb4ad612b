"""Links handed to the running agent, with and without a tray host: another server is reached only
after the user agreed, a refusal leaves the running session alone. The exit lets go of held keys."""

import asyncio
import contextlib
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (AGENT, BUILD_DIR, XProbe, answer_dialog, devserver, output, poll, private_env,
                     read, start_agent, terminate, windows_of)

SHIFT_L = 0xFFE1
ASAN_AGENT = os.path.join(BUILD_DIR.rstrip("/") + "-asan", "kelvano-assistant")
NONE, IN = (False, False), (True, True)  # the agent's signalling and input channel in a session


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
@unittest.skipUnless(shutil.which("xdotool"), "needs xdotool")
class AgentCase(unittest.IsolatedAsyncioTestCase):
    """The agent started from a link to server A (the configured one); B is another server."""
    tray = False
    binary = AGENT
    extra_env = {}

    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2  # quiet about blocking waits
        self.tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="kv-handover-"))
        self.x = self.enterContext(contextlib.closing(XProbe()))
        if self.tray:
            trayer = ["setpriv", "--pdeathsig", "KILL", "trayer", "--SetDockType", "false"]
            self.addCleanup(terminate, subprocess.Popen(trayer))
            tray = self.x.intern_atom("_NET_SYSTEM_TRAY_S0")
            self.assertTrue(await poll(lambda: self.x.get_selection_owner(tray), 10), "no tray")
        # B waives consent too: a server the agent was not configured with cannot.
        self.a, self.b = devserver.DevServer(), devserver.DevServer()
        bases = []
        for server, sid, name in ((self.a, "1", "Alice"), (self.b, "7", "Mallory")):
            server.create_session({"notifyConnection": False, "displayName": name}, sid=sid)
            runner, port = await devserver.start(server, "127.0.0.1", 0)
            self.addAsyncCleanup(runner.cleanup)
            bases.append("127.0.0.1:%d/assistant" % port)
        self.link_b = "kvlo://%s/7" % bases[1]
        self.env = private_env(self.tmp, dict(self.extra_env, KVNO_VDI_URL="http://" + bases[0]))
        self.log = os.path.join(self.tmp, "agent.log")
        self.agent = start_agent(["--stun-url", "stun://127.0.0.1:3478", "kvlo://%s/1" % bases[0]],
                                 self.env, self.log, self.binary)
        self.addCleanup(terminate, self.agent)
        self.requests = 0
        await self.wait(lambda: "Starting:" in read(self.log), 20)

    def at(self):
        """Where the agent is, on A and on B: NONE, IN or half of it."""
        return tuple((s.agent is not None, s.channels["input"] is not None)
                     for s in (self.a.sessions["1"], self.b.sessions["7"]))

    async def wait(self, condition, timeout=15):
        self.assertTrue(await poll(condition, timeout), read(self.log)[-3000:])

    async def hand_over(self, link):
        second = start_agent([link], self.env, os.path.join(self.tmp, "second.log"))
        self.assertEqual(await asyncio.to_thread(second.wait, 30), 0)

    async def answer(self, grant):
        """Opens the question (a click on the notification when a tray shows one) and answers."""
        if self.tray:
            # The request's own notification, not the one of an earlier connection.
            self.requests += 1
            await self.wait(
                lambda: read(self.log).count("showing request tray message") >= self.requests)
            tips = await poll(lambda: windows_of(self.agent.pid, "TOOLTIP"), 15)
            self.assertTrue(tips, "no notification")
            output("xdotool", "mousemove", "--window", tips[0], 20, 20, "click", 1)
        self.assertTrue(await answer_dialog(self.agent.pid, grant), "dialog not answered")


class HandOverTest(AgentCase):
    async def test_link_during_the_delayed_connect_waits_for_consent(self):
        await self.hand_over(self.link_b)
        # Past the first link's delayed connect: nothing reached either server.
        self.assertFalse(await poll(lambda: self.at() != (NONE, NONE), 7), read(self.log))
        await self.answer(grant=True)
        await self.wait(lambda: self.at() == (NONE, IN))

    async def test_refusal_keeps_the_live_session_and_consent_moves_it(self):
        await self.wait(lambda: self.at() == (IN, NONE))
        live = (self.a.sessions["1"].agent, self.a.sessions["1"].channels["input"])
        await self.hand_over(self.link_b)
        await self.answer(grant=False)
        self.assertFalse(await poll(lambda: self.at() != (IN, NONE), 1.5), self.at())
        self.assertEqual((self.a.sessions["1"].agent, self.a.sessions["1"].channels["input"]),
                         live)
        await self.hand_over(self.link_b)
        await self.answer(grant=True)
        await self.wait(lambda: self.at() == (NONE, IN))
        # The old session's closure does not end the new one.
        self.assertFalse(await poll(lambda: self.at() != (NONE, IN), 1), self.at())


class HandOverWithTrayTest(HandOverTest):
    tray = True


class ExitTest(AgentCase):
    async def test_exit_releases_a_held_key(self):
        await self.wait(lambda: self.at()[0] == IN)
        shift = '{"keyboardEvent": {"keyCode": 16, "down": true, "key": "Shift"}}'
        await self.a.sessions["1"].channels["input"].send_str(shift)
        self.assertTrue(await poll(lambda: self.x.key_down(SHIFT_L), 5), "Shift never down")
        self.assertEqual(terminate(self.agent), 0, read(self.log)[-3000:])
        self.assertFalse(self.x.key_down(SHIFT_L), "Shift left down after the exit")
        self.assertIn("Kelvano Assistant finished", read(self.log))


@unittest.skipUnless(os.path.exists(ASAN_AGENT), "needs the ASan build (scripts/build.sh asan)")
class ExitSanitizedTest(ExitTest):
    """The same exit with the sanitised agent: a report on the way out fails its status."""
    binary = ASAN_AGENT
    extra_env = {"ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1"}
