#!/usr/bin/python3
"""The administrator's console in headless Chromium against a webrtcbin stand-in for the agent:
the call comes up, video and the data-channel greeting arrive, and the page's keyboard, mouse,
wheel and shortcut events reach the agent's input channel (and no other) in its format, with
coordinates of the shared monitor. Runs inside the private network namespace only."""

import asyncio
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "devserver"))
sys.path.insert(0, HERE)
import aiohttp  # noqa: E402
import browser  # noqa: E402
import devserver  # noqa: E402
from fakeagent import FakeAgent  # noqa: E402
from harness import client_point  # noqa: E402

GREETING = "Hi! from the GStreamer client"


@unittest.skipUnless(browser.in_private_netns(), "needs the private network namespace")
class ConsoleTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2
        self.server = devserver.DevServer()
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.origin = "http://127.0.0.1:%d" % port
        self.wsbase = "ws://127.0.0.1:%d/assistant" % port
        self.chrome = browser.Chromium()
        self.agent = None

    async def asyncTearDown(self):
        if self.agent is not None:
            await self.agent.stop()
        await self.chrome.close()
        await self.runner.cleanup()

    async def call(self):
        await self.chrome.start(self.server.console_address(self.origin, "5"))
        await self.chrome.wait_for("window.kvConsole && kvConsole.state.server === 'connected'",
                                   20, "the console's socket")
        self.agent = FakeAgent(self.wsbase, "5")
        await self.agent.start()
        await self.chrome.wait_for("kvConsole.stats.framesDecoded >= 20", 30, "20 decoded frames")

    async def inputs(self, count):
        for _ in range(200):
            if len(self.agent.inputs) >= count:
                break
            await asyncio.sleep(0.02)
        return self.agent.inputs

    async def test_call_with_stats_greeting_and_input_to_the_agent_only(self):
        await self.call()
        st = await self.chrome.evaluate("kvConsole.stats")
        self.assertEqual((st["width"], st["height"]), (1920, 1080))
        self.assertEqual(st["codec"], "VP8")
        await self.chrome.wait_for("kvConsole.stats.fps > 5 && kvConsole.stats.bitrate > 0 && "
                                   "kvConsole.stats.rtt !== null", 10, "live statistics")
        dc = await self.chrome.wait_for(
            "kvConsole.dataChannel.binary.length && kvConsole.dataChannel", 10, "the greeting")
        self.assertEqual(dc["texts"], [GREETING])
        self.assertEqual(dc["binary"], [list(b"data")])

        # Whoever opens a second input channel is refused, and the administrator sees it.
        async with aiohttp.ClientSession() as http:
            thief = await http.ws_connect(self.wsbase + "/5/ws/input")
            await asyncio.wait_for(thief.receive(), 5)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY)
        await self.chrome.wait_for("document.getElementById('log').textContent.includes("
                                   "'second input channel')", 5, "the refusal in the log")

        # Pointer: monitor pixels come back as themselves, to within what one page pixel covers.
        px = await self.chrome.evaluate("kvConsole.video.videoWidth / "
                                        "kvConsole.video.getBoundingClientRect().width")
        tolerance = max(1, int(px) + 1)
        for x, y in ((1500, 300), (1917, 1077), (2, 2), (960, 540)):
            self.agent.inputs.clear()
            cx, cy = await client_point(self.chrome, x, y)
            await self.chrome.mouse("mouseMoved", cx, cy)
            got = (await self.inputs(1))[-1]["mouseEvent"]
            self.assertEqual(got["type"], "mousemove")
            self.assertLessEqual(abs(got["x"] - x), tolerance, (got, x, y))
            self.assertLessEqual(abs(got["y"] - y), tolerance, (got, x, y))
        # A press moves there first, then presses the left button; the release follows.
        self.agent.inputs.clear()
        cx, cy = await client_point(self.chrome, 10, 20)
        await self.chrome.mouse("mousePressed", cx, cy, "left", 1)
        await self.chrome.mouse("mouseReleased", cx, cy, "left", 0)
        buttons = {"left": True, "middle": False, "right": False}
        got = await self.inputs(3)
        self.assertEqual(got[0]["mouseEvent"]["type"], "mousemove")
        self.assertEqual(got[1:], [
            {"mouseEvent": {"type": "mousedown", "buttons": buttons}},
            {"mouseEvent": {"type": "mouseup", "buttons": buttons}},
        ])
        # Keys (with browser key codes), the wheel, and a shortcut button.
        self.agent.inputs.clear()
        await self.chrome.key("keyDown", "a", "KeyA", 65)
        await self.chrome.key("keyUp", "a", "KeyA", 65)
        await self.chrome.wheel(cx, cy, -120)
        await self.chrome.wheel(cx, cy, 120)
        await self.chrome.evaluate(
            "document.querySelector('[data-shortcut=CTRL_ALT_F2]').click()")
        self.assertEqual(await self.inputs(5), [
            {"keyboardEvent": {"keyCode": 65, "down": True, "key": "a"}},
            {"keyboardEvent": {"keyCode": 65, "down": False, "key": "a"}},
            {"wheelEvent": {"up": -1}},
            {"wheelEvent": {"up": 1}},
            {"shortcutEvent": {"key": "CTRL_ALT_F2"}},
        ])
        # Keys and buttons held when the video loses focus are released, not left stuck.
        self.agent.inputs.clear()
        await self.chrome.mouse("mousePressed", cx, cy, "right", 2)
        await self.chrome.key("keyDown", "Shift", "ShiftLeft", 16)
        await self.chrome.evaluate("kvConsole.video.blur()")
        got = await self.inputs(4)
        self.assertIn({"keyboardEvent": {"keyCode": 16, "down": False, "key": "Shift"}}, got)
        self.assertIn({"mouseEvent": {"type": "mouseup", "buttons": {
            "left": False, "middle": False, "right": True}}}, got)

    async def test_agent_leaving_resets_the_console_for_the_next_call(self):
        await self.call()
        await self.agent.stop()
        await self.chrome.wait_for("kvConsole.state.agent === 'waiting' && "
                                   "kvConsole.stats.width === 0", 10, "the reset")
        self.agent = FakeAgent(self.wsbase, "5")
        await self.agent.start()
        await self.chrome.wait_for("kvConsole.stats.calls === 2 && "
                                   "kvConsole.stats.framesDecoded >= 10", 30, "the second call")


if __name__ == "__main__":
    unittest.main()
