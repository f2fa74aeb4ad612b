"""The agent started from a link under Xvfb shares its screen with Chromium on the console, once per
codec pair; the screen shows in the video, the page's input reaches X. Scrolling text keeps moving
over a lossy path; a dead path ends the call and lets go of a held key."""

import asyncio
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import (GREETING, IN_PRIVATE_NETNS, INBOUND_VIDEO_JS, SCROLLING, TRACK_FRAMES_JS,
                     Harness, poll, set_path, terminate)

CALL_SECONDS, LOSSY_SECONDS = 10, 20
MIN_FPS = 8.0  # the agent captures at 10 frames per second; a loaded CI machine drops a few
DEAD_PATH_BOUND = 25  # s: the agent's own bounds are 10 s of silence and 10 s for a pong
LOST_TEXTS = ("The connection with the administrator is lost",
              "Connection with the server is closed")
A, SHIFT_L = 0x61, 0xFFE1
NFT = unittest.skipUnless(shutil.which("nft"), "needs nftables")


@unittest.skipUnless(IN_PRIVATE_NETNS, "needs the private network namespace")
@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
class AgentEndToEndTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2  # quiet about blocking waits
        self.h = Harness(self.enterContext(tempfile.TemporaryDirectory(prefix="kv-e2e-")))
        self.addAsyncCleanup(self.h.stop)

    async def test_every_codec_pair_shows_the_screen_and_takes_input(self):
        h = self.h
        await h.open()
        for codec, audio, rgb in (("VP8", "OPUS", 0x2080C0), ("VP8", "G711", 0xC08020),
                                  ("h264", "OPUS", 0x20C080), ("h264", "G711", 0x8020C0)):
            with self.subTest(codec=codec, audio=audio):
                h.codec, h.audio = codec, audio
                await h.chrome.evaluate("(d => d.texts.length = d.binary.length = 0)"
                                        "(kvConsole.dataChannel)")
                await h.call()
                dc = await h.chrome.wait_for("kvConsole.dataChannel.binary.length && "
                                             "kvConsole.dataChannel", 15, "the greeting")
                self.assertEqual((dc["texts"][:1], dc["binary"][:1]), ([GREETING], [list(b"data")]))
                first = await h.stats()
                await asyncio.sleep(CALL_SECONDS)
                last = await h.stats()
                self.assertEqual((last["width"], last["height"]), (1920, 1080))
                self.assertEqual(last["codec"].lower(), codec.lower())
                fps = (last["framesDecoded"] - first["framesDecoded"]) / CALL_SECONDS
                self.assertGreaterEqual(fps, MIN_FPS)

                h.x.fill_root(rgb)
                seen = await h.watch_pixel(1700, 950, rgb)
                self.assertIsNotNone(seen["at"], "root colour not seen; last pixel %s" % seen)
                h.x.warp(5, 5)
                self.assertTrue(await h.move_mouse(1234, 567), "pointer at %s" % (h.x.pointer(),))
                self.assertTrue(await h.press_key("a", "KeyA", 65, A), "key a not seen")
                # A key held when the video loses focus is let go.
                await h.chrome.key("keyDown", "Shift", "ShiftLeft", 16)
                self.assertTrue(await poll(lambda: h.x.key_down(SHIFT_L), 5), "Shift not down")
                await h.chrome.evaluate("kvConsole.video.blur()")
                self.assertTrue(await poll(lambda: not h.x.key_down(SHIFT_L), 5), "Shift held")

                terminate(h.agent)
                await h.chrome.wait_for("kvConsole.state.agent === 'waiting' && "
                                        "kvConsole.stats.width === 0", 10, "the console's reset")

    @NFT
    async def test_scrolling_text_over_a_lossy_path(self):
        term = subprocess.Popen(SCROLLING, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(terminate, term)
        self.addCleanup(set_path)
        await self.h.start()
        chrome = self.h.chrome
        await chrome.evaluate(TRACK_FRAMES_JS)
        set_path(loss=3)
        await asyncio.sleep(2)
        first = await chrome.evaluate(INBOUND_VIDEO_JS)
        await chrome.evaluate("kvFrames.reset()")
        await asyncio.sleep(LOSSY_SECONDS)
        self.assertLess(await chrome.evaluate("kvFrames.gap()"), 2000, "ms without a new frame")
        last = await chrome.evaluate(INBOUND_VIDEO_JS)
        self.assertGreater(last["nacks"], first["nacks"], "no retransmission requested")
        self.assertGreater(last["frames"] - first["frames"], 5 * LOSSY_SECONDS)

    @NFT
    async def test_dead_path_ends_the_call_and_releases_held_keys(self):
        self.addCleanup(set_path)
        h = self.h
        await h.start()
        await h.chrome.evaluate("kvConsole.video.focus()")
        await h.chrome.key("keyDown", "a", "KeyA", 65)
        self.assertTrue(await poll(lambda: h.x.key_down(A), 5), "key a not down")
        set_path(dead=True, keep_port=h.chrome.port)

        def reason():
            lines = h.agent_output().split("Terminate. Reason: ")
            return lines[1].splitlines()[0].strip() if len(lines) > 1 else None
        self.assertIn(await poll(reason, DEAD_PATH_BOUND), LOST_TEXTS, h.agent_output()[-2000:])
        self.assertTrue(await poll(lambda: not h.x.key_down(A), 5), "key a still down")
        self.assertIsNone(h.agent.poll(), "the agent exited")
