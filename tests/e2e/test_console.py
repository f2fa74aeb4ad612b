#!/usr/bin/python3
"""The administrator's console in headless Chromium against a webrtcbin stand-in for the agent:
the page's mouse, keys, wheel and shortcuts reach the agent's input channel in its format, with
coordinates of the shared monitor; nothing stays held when the video loses focus; the page is
ready for the next call when the agent leaves. Runs inside the private network namespace only."""

import asyncio
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fakeagent import FakeAgent  # noqa: E402
from harness import browser, client_point, devserver, open_console, pixel_tolerance, poll  # noqa

BUTTONS = {"left": False, "middle": False, "right": False}


def key(code, down, name):
    return {"keyboardEvent": {"keyCode": code, "down": down, "key": name}}


def mouse(kind, **buttons):
    return {"mouseEvent": {"type": kind, "buttons": dict(BUTTONS, **buttons)}}


@unittest.skipUnless(browser.in_private_netns(), "needs the private network namespace")
class ConsoleTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2
        self.server = devserver.DevServer()
        runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.addAsyncCleanup(runner.cleanup)
        self.wsbase = "ws://127.0.0.1:%d/assistant" % port
        self.chrome = browser.Chromium()
        self.addAsyncCleanup(self.chrome.close)
        await open_console(self.chrome, self.server, "http://127.0.0.1:%d" % port, "5")
        await self.start_agent(1)

    async def start_agent(self, call):
        self.agent = FakeAgent(self.wsbase, "5")
        self.addAsyncCleanup(self.agent.stop)
        await self.agent.start()
        await self.chrome.wait_for("kvConsole.stats.calls === %d && "
                                   "kvConsole.stats.framesDecoded >= 10" % call, 30, "frames")

    async def inputs(self, count, *actions):
        """What the agent receives for the page's actions (coroutines), once count have come."""
        self.agent.inputs.clear()
        for action in actions:
            await action
        await poll(lambda: len(self.agent.inputs) >= count, 5)
        return self.agent.inputs[:]

    async def test_page_input_reaches_the_agent_in_its_format(self):
        # Pointer: monitor pixels come back as themselves, to within what one page pixel covers.
        tolerance = await pixel_tolerance(self.chrome)
        for x, y in ((1500, 300), (1917, 1077), (2, 2), (960, 540)):
            cx, cy = await client_point(self.chrome, x, y)
            got, = await self.inputs(1, self.chrome.mouse("mouseMoved", cx, cy))
            self.assertEqual(got["mouseEvent"]["type"], "mousemove")
            self.assertLessEqual(abs(got["mouseEvent"]["x"] - x), tolerance, (got, x, y))
            self.assertLessEqual(abs(got["mouseEvent"]["y"] - y), tolerance, (got, x, y))
        # A press moves there first, then presses the left button; the release follows.
        cx, cy = await client_point(self.chrome, 10, 20)
        got = await self.inputs(3, self.chrome.mouse("mousePressed", cx, cy, "left", 1),
                                self.chrome.mouse("mouseReleased", cx, cy, "left", 0))
        self.assertEqual(got[0]["mouseEvent"]["type"], "mousemove")
        self.assertEqual(got[1:], [mouse("mousedown", left=True), mouse("mouseup", left=True)])
        # Keys (with browser key codes), the wheel, and a shortcut button.
        self.assertEqual(await self.inputs(
            5, self.chrome.key("keyDown", "a", "KeyA", 65), self.chrome.key("keyUp", "a", "KeyA", 65),
            self.chrome.wheel(cx, cy, -120), self.chrome.wheel(cx, cy, 120),
            self.chrome.evaluate("document.querySelector('[data-shortcut=CTRL_ALT_F2]').click()")),
            [key(65, True, "a"), key(65, False, "a"), {"wheelEvent": {"up": -1}},
             {"wheelEvent": {"up": 1}}, {"shortcutEvent": {"key": "CTRL_ALT_F2"}}])
        # Keys and buttons held when the video loses focus are released, not left stuck.
        got = await self.inputs(4, self.chrome.mouse("mousePressed", cx, cy, "right", 2),
                                self.chrome.key("keyDown", "Shift", "ShiftLeft", 16),
                                self.chrome.evaluate("kvConsole.video.blur()"))
        self.assertIn(key(16, False, "Shift"), got)
        self.assertIn(mouse("mouseup", right=True), got)

    async def test_agent_leaving_resets_the_console_for_the_next_call(self):
        await self.agent.stop()
        await self.chrome.wait_for("kvConsole.state.agent === 'waiting' && "
                                   "kvConsole.stats.width === 0", 10, "the reset")
        await self.start_agent(2)


if __name__ == "__main__":
    unittest.main()
