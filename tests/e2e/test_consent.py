"""Consent at start-up as a user meets it: a second start while the question is open connects
nothing; a refusal ends the agent with status 1 before the server ever saw it; a
link whose server was down asks on Connect once it is up."""

import asyncio
import os
import shutil
import socket
import tempfile
import unittest

from harness import (answer_dialog, devserver, output, poll, private_env, read,
                     start_agent, terminate, windows_of)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
@unittest.skipUnless(shutil.which("xdotool"), "needs xdotool")
class ConsentCase(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2  # quiet about blocking waits
        self.tmp = self.enterContext(tempfile.TemporaryDirectory(prefix="kv-consent-"))
        self.server = devserver.DevServer()
        self.server.create_session({"notifyConnection": True, "displayName": "Alice"}, sid="1")
        runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.addAsyncCleanup(runner.cleanup)
        self.base = "127.0.0.1:%d/assistant" % port
        self.env = private_env(self.tmp, {"KVNO_VDI_URL": "http://" + self.base})
        self.log = os.path.join(self.tmp, "agent.log")

    def start(self, link):
        self.agent = start_agent(["--stun-url", "stun://127.0.0.1:3478", link], self.env,
                                 self.log)
        self.addCleanup(terminate, self.agent)

    async def wait(self, condition, timeout=15):
        self.assertTrue(await poll(condition, timeout), read(self.log)[-3000:])

    async def question(self):
        await self.wait(lambda: windows_of(self.agent.pid, "DIALOG"), 20)

    def seen(self, server, sid):
        """Whether the agent reached the session: its signalling or its input channel."""
        session = server.sessions[sid]
        return session.agent is not None or session.channels["input"] is not None


class StartupQuestionTest(ConsentCase):
    async def nothing_connects_while_asked(self, poke):
        self.start("kvlo://%s/1" % self.base)
        await self.question()
        await poke()
        self.assertFalse(await poll(lambda: self.seen(self.server, "1"), 2), read(self.log))
        self.assertTrue(windows_of(self.agent.pid, "DIALOG"), "the question went away")

    async def second_start(self):
        second = start_agent([], self.env, os.path.join(self.tmp, "second.log"))
        self.assertEqual(await asyncio.to_thread(second.wait, 30), 0)
        await self.wait(lambda: "Got activate message from second instance" in read(self.log))

    async def test_second_start_while_asked_then_permission_connects(self):
        await self.nothing_connects_while_asked(self.second_start)
        self.assertTrue(await answer_dialog(self.agent.pid, grant=True))
        await self.wait(lambda: self.server.sessions["1"].channels["input"] is not None)

    async def test_second_start_while_asked_then_refusal_ends_with_status_1(self):
        await self.nothing_connects_while_asked(self.second_start)
        self.assertTrue(await answer_dialog(self.agent.pid, grant=False))
        self.assertEqual(await asyncio.to_thread(self.agent.wait, 15), 1)
        self.assertFalse(self.seen(self.server, "1"))

    async def test_link_whose_server_was_down_asks_on_connect(self):
        port = free_port()
        self.start("kvlo://127.0.0.1:%d/assistant/7" % port)
        await self.wait(lambda: "Terminate. Reason: Server" in read(self.log))
        other = devserver.DevServer()
        other.create_session({"notifyConnection": False}, sid="7")
        runner, _ = await devserver.start(other, "127.0.0.1", port)
        self.addAsyncCleanup(runner.cleanup)
        # The Connect button of the window, as the user clicks it (again while the window may
        # still be settling: a click during the question is blocked by it).
        window = (await poll(lambda: windows_of(self.agent.pid, "NORMAL"), 10))[0]

        def click_connect():
            if not windows_of(self.agent.pid, "DIALOG"):
                output("xdotool", "mousemove", "--window", window, 60, 232, "click", 1)
            return windows_of(self.agent.pid, "DIALOG")
        self.assertTrue(await poll(click_connect, 20, 0.5), read(self.log)[-3000:])
        self.assertFalse(await poll(lambda: self.seen(other, "7"), 1), read(self.log))
        self.assertIn("is not the configured server", read(self.log))
        self.assertTrue(await answer_dialog(self.agent.pid, grant=True))
        await self.wait(lambda: other.sessions["7"].channels["input"] is not None)

