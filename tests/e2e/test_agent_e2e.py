#!/usr/bin/python3
"""End to end: the real agent, started from an invitation link under Xvfb, shares its 1920x1080
screen with headless Chromium on the administrator's console for 20 seconds (VP8, then H.264);
the data-channel greeting arrives; what is painted on the X screen shows up in the decoded video;
a mouse move and a key press made on the page are read back from the X server."""

import asyncio
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import browser  # noqa: E402
from harness import GREETING, Harness  # noqa: E402

CALL_SECONDS = 20
MIN_FPS = 8.0  # the agent captures at 10 frames per second; a loaded CI machine drops a few


@unittest.skipUnless(browser.in_private_netns(), "needs the private network namespace")
@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
class AgentEndToEndTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2
        self.tmp = tempfile.mkdtemp(prefix="kv-e2e-")

    async def asyncTearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    async def call(self, codec, audio):
        h = Harness(self.tmp, codec, audio)
        try:
            await h.start(timeout=60)
            dc = await h.chrome.wait_for(
                "kvConsole.dataChannel.binary.length && kvConsole.dataChannel", 15,
                "the data-channel greeting")
            self.assertEqual(dc["texts"][:1], [GREETING])
            self.assertEqual(dc["binary"][:1], [list(b"data")])

            first = await h.stats()
            started = time.monotonic()
            sizes = set()
            while time.monotonic() - started < CALL_SECONDS:
                st = await h.stats()
                sizes.add((st["width"], st["height"]))
                await asyncio.sleep(1)
            last = await h.stats()
            elapsed = time.monotonic() - started
            fps = (last["framesDecoded"] - first["framesDecoded"]) / elapsed
            self.assertEqual(sizes, {(1920, 1080)})
            self.assertEqual(last["codec"].lower(), codec.lower())
            self.assertGreaterEqual(fps, MIN_FPS)

            # The video is the X screen: a colour painted on the root window arrives.
            h.x.fill_root(0x2080C0)
            seen = await h.watch_pixel(1700, 950, 0x2080C0, tol=40, timeout_ms=5000)
            self.assertIsNotNone(seen["at"], "root colour not seen; last pixel %s" % seen["pixel"])

            # Input from the page reaches the X server.
            h.x.warp(5, 5)
            self.assertTrue(await h.move_mouse(1234, 567), "pointer is at %s" % (h.x.pointer(),))
            self.assertTrue(await h.press_key("a", "KeyA", 65, 0x41), "key a not seen")
            self.assertEqual(await h.chrome.evaluate("kvConsole.state.pc"), "connected")
        finally:
            await h.stop()
        return fps

    async def test_vp8_with_opus(self):
        await self.call("VP8", "OPUS")

    async def test_h264_with_g711(self):
        await self.call("h264", "G711")


if __name__ == "__main__":
    unittest.main()
