"""Per codec pair, the agent's screen shows on the console in Chromium and its input reaches X.
Scrolling text keeps moving over a lossy path and over a narrow one; a dead path ends the call and
lets go of a key."""

import asyncio
import os
import re
import subprocess
import tempfile
import unittest

from harness import IN_PRIVATE_NETNS, SCROLLING, Harness, poll, read, set_path, terminate

LOSSY_SECONDS = 20
NARROW_SECONDS = 12
TWCC_URI = "http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01"
PLAYOUT_DELAY_URI = "http://www.webrtc.org/experiments/rtp-hdrext/playout-delay"
LOST = ("(?m)Terminate. Reason: (The connection with the administrator is lost|"
        "Connection with the server is closed)$")
A = 0x61
# Whether the console's video shows about colour (r, g, b) at monitor pixel (x, y).
SHOWS_JS = """(() => {
  const g = document.createElement("canvas").getContext("2d", {willReadFrequently: true});
  g.drawImage(kvConsole.video, %d, %d, 1, 1, 0, 0, 1, 1);
  return [...g.getImageData(0, 0, 1, 1).data].every((c, i) => i > 2 || Math.abs(c - %s[i]) <= 40);
})()"""


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
        pairs = (("VP8", "OPUS", 0x2080C0), ("VP8", "G711", 0xC08020), ("h264", "OPUS", 0x20C080),
                 ("h264", "G711", 0x8020C0))
        for i, (codec, audio, rgb) in enumerate(pairs):
            with self.subTest(codec=codec, audio=audio):
                h.codec, h.audio = codec, audio
                await h.call()
                dc = await h.wait_for("kvConsole.dataChannel.binary.length > %d && "
                                      "kvConsole.dataChannel" % i, 15, "the greeting")
                self.assertEqual((dc["texts"][i:], dc["binary"][i:]),
                                 (["Hi! from the GStreamer client"], [list(b"data")]))
                h.x.fill_root(rgb)
                await h.wait_for(SHOWS_JS % (1700, 950, list(rgb.to_bytes(3, "big"))), 5,
                                 "the root's colour")
                self.assertEqual((await h.stats())["codec"].lower(), codec.lower())
                h.x.warp(5, 5)
                self.assertTrue(await h.move_mouse(1234, 567), "pointer at %s" % (h.x.pointer(),))
                self.assertTrue(await h.press_key("a", "KeyA", 65, A), "key a not seen")

                terminate(h.agent)
                await h.wait_for("kvConsole.state.agent === 'waiting' && "
                                 "kvConsole.stats.width === 0", 10, "the console's reset")

    async def test_scrolling_text_over_a_lossy_path(self):
        self.addCleanup(terminate, subprocess.Popen(SCROLLING))
        self.addCleanup(set_path)
        await self.h.start()
        set_path(loss=3)
        await asyncio.sleep(2)  # the measure starts on a settled path
        first = await self.h.inbound_video()
        self.assertLess(await self.h.frame_gap(LOSSY_SECONDS), 2, "s without a new frame")
        last = await self.h.inbound_video()
        self.assertGreater(last["nackCount"], first["nackCount"], "no retransmission requested")
        self.assertGreater(last["framesDecoded"] - first["framesDecoded"], 5 * LOSSY_SECONDS)
        # Chromium takes transport-wide congestion control, and its feedback drives the rate; it
        # also takes being asked to show frames without delay.
        log = read(self.h.agent_log)
        for uri in (TWCC_URI, PLAYOUT_DELAY_URI):
            self.assertRegex(log, r"Received SDP answer:\n[^\[]*a=extmap:\d+ " + re.escape(uri))
        self.assertIn("Transport-wide feedback from the administrator", log)

    async def test_scrolling_text_over_a_narrow_path(self):
        # H.264: VP8's coarsest picture of this screen takes about 2 Mbit/s at 10 frames/s, and
        # on 1 Mbit/s its worst gaps pass 2 s.
        self.addCleanup(terminate, subprocess.Popen(SCROLLING))
        self.addCleanup(set_path)
        self.h.codec = "h264"
        await self.h.start()
        set_path(limit_kbytes=125)  # 1 Mbit/s, policed
        await asyncio.sleep(3)  # the fall onto the narrow path is not what is measured
        first = await self.h.inbound_video()
        self.assertLess(await self.h.frame_gap(NARROW_SECONDS), 2, "s without a new frame")
        last = await self.h.inbound_video()
        self.assertGreater(last["framesDecoded"] - first["framesDecoded"], 5 * NARROW_SECONDS)

    async def test_dead_path_ends_the_call_and_releases_held_keys(self):
        self.addCleanup(set_path)
        h = self.h
        await h.start()
        self.assertTrue(await h.press_key("a", "KeyA", 65, A, release=False), "key a not down")
        set_path(keep_only_tcp=h.port)
        # The agent's own bounds are 10 s of silence and 10 s for a pong.
        lost = await poll(lambda: re.search(LOST, read(h.agent_log)), 25)
        self.assertTrue(lost, read(h.agent_log)[-2000:])
        self.assertTrue(await poll(lambda: not h.x.key_down(A), 5), "key a still down")
        self.assertIsNone(h.agent.poll(), "the agent exited")
