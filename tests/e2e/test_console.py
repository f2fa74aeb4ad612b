#!/usr/bin/python3
"""The console in headless Chromium, in a call with the real agent: the page's input leaves it in
the agent's format with monitor coordinates (read where the server relays it), nothing stays held
when the video loses focus, and the page is ready for the next call when the agent leaves."""

import json
import os
import tempfile
import unittest

from harness import Harness, browser, client_point, pixel_tolerance, poll, stop_agent

def key(code, down, name):
    return {"keyboardEvent": {"keyCode": code, "down": down, "key": name}}


def mouse(kind, **buttons):
    return {"mouseEvent": {"type": kind, "buttons": dict(
        {"left": False, "middle": False, "right": False}, **buttons)}}


@unittest.skipUnless(browser.in_private_netns(), "needs the private network namespace")
@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
class ConsoleTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.h = Harness(self.enterContext(tempfile.TemporaryDirectory(prefix="kv-console-")))
        self.addAsyncCleanup(self.h.stop)
        await self.h.start()
        self.chrome = self.h.chrome
        self.sent = []
        relay = self.h.server.console_message

        async def spy(session, text):
            self.sent.append(json.loads(text))
            await relay(session, text)
        self.h.server.console_message = spy

    async def inputs(self, count, *actions):
        """What the page sends for the actions (coroutines), once count messages have come."""
        self.sent.clear()
        for action in actions:
            await action
        await poll(lambda: len(self.sent) >= count, 5)
        return self.sent[:]

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
            5, self.chrome.key("keyDown", "a", "KeyA", 65),
            self.chrome.key("keyUp", "a", "KeyA", 65),
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
        stop_agent(self.h.agent)
        await self.chrome.wait_for("kvConsole.state.agent === 'waiting' && "
                                   "kvConsole.stats.width === 0", 10, "the reset")
        await self.h.call()


if __name__ == "__main__":
    unittest.main()
