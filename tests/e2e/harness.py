"""A whole local session: the development server, the real agent started from an invitation link,
and headless Chromium as the administrator on the console page. Shared by the end-to-end test,
the headless demo and the benchmark. Needs an X display and the private network namespace."""

import asyncio
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "devserver"))
sys.path.insert(0, HERE)
import agentproc  # noqa: E402
import browser  # noqa: E402
import devserver  # noqa: E402
from xprobe import XProbe  # noqa: E402

SESSION = "1"
GREETING = "Hi! from the GStreamer client"

# Watches one pixel of the decoded video: resolves with the wall-clock time (ms) of the first
# presented frame whose pixel is within tol of rgb on every channel.
WATCH_PIXEL_JS = """
(x, y, rgb, tol, timeoutMs) => new Promise((resolve) => {
  const v = kvConsole.video;
  const c = document.createElement('canvas');
  c.width = 1; c.height = 1;
  const g = c.getContext('2d', {willReadFrequently: true});
  const until = Date.now() + timeoutMs;
  const check = () => {
    g.drawImage(v, x, y, 1, 1, 0, 0, 1, 1);
    const p = g.getImageData(0, 0, 1, 1).data;
    const ok = Math.abs(p[0] - rgb[0]) <= tol && Math.abs(p[1] - rgb[1]) <= tol &&
               Math.abs(p[2] - rgb[2]) <= tol;
    if (ok) return resolve({at: Date.now(), pixel: [p[0], p[1], p[2]]});
    if (Date.now() > until) return resolve({at: null, pixel: [p[0], p[1], p[2]]});
    v.requestVideoFrameCallback(check);
  };
  v.requestVideoFrameCallback(check);
})
"""


async def client_point(chrome, x, y):
    """Where pixel (x, y) of the shared monitor is drawn on the console page."""
    return await chrome.evaluate("""(() => {
        const v = kvConsole.video, r = v.getBoundingClientRect();
        const s = Math.min(r.width / v.videoWidth, r.height / v.videoHeight);
        return [r.left + (r.width - v.videoWidth * s) / 2 + (%d + 0.5) * s,
                r.top + (r.height - v.videoHeight * s) / 2 + (%d + 0.5) * s];
    })()""" % (x, y))


class Harness:
    def __init__(self, workdir, codec="VP8", audio="OPUS", settings=None, width=1280,
                 height=800):
        self.workdir = workdir
        self.codec = codec
        self.audio = audio
        self.settings = {"notifyConnection": False, "displayName": "Demo administrator",
                         "StunServers": []}
        self.settings.update(settings or {})
        self.chrome = browser.Chromium(width, height)
        self.server = None
        self.runner = None
        self.agent = None
        self.base = None
        self.link = None
        self.x = None
        self.agent_log = os.path.join(workdir, "agent-stdout.log")

    async def start(self, timeout=60):
        """Everything up, and the first video frames decoded by the browser."""
        self.x = XProbe()
        self.server = devserver.DevServer()
        self.server.create_session(self.settings, sid=SESSION)
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.base = "http://127.0.0.1:%d/assistant" % port
        self.link = "kvlo://127.0.0.1:%d/assistant/%s" % (port, SESSION)
        await self.chrome.start(self.console_url())
        await self.chrome.wait_for("window.kvConsole && kvConsole.state.server === 'connected'",
                                   20, "the console's socket")
        env = agentproc.private_env(self.workdir, {"KVNO_VDI_URL": self.base})
        self.agent = agentproc.start_agent(
            ["--stun-url", "stun://127.0.0.1:3478", "--video-codec", self.codec,
             "--audio-codec", self.audio, self.link], env, self.agent_log)
        await self.wait_frames(1, timeout)

    def console_url(self):
        """The console's address with the server's key, as the server prints it."""
        return self.server.console_address(self.base.rsplit("/", 1)[0], SESSION)

    async def wait_frames(self, count, timeout):
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            if self.agent.poll() is not None:
                raise AssertionError("the agent exited with status %s; its output:\n%s" % (
                    self.agent.returncode, self.agent_output()[-3000:]))
            if await self.chrome.evaluate("kvConsole.stats.framesDecoded") >= count:
                return
            if loop.time() > deadline:
                raise AssertionError("no %d decoded frames within %d s; agent output:\n%s" % (
                    count, timeout, self.agent_output()[-3000:]))
            await asyncio.sleep(0.1)

    def agent_output(self):
        try:
            with open(self.agent_log, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    async def stats(self):
        return await self.chrome.evaluate("kvConsole.stats")

    async def client_point(self, x, y):
        return await client_point(self.chrome, x, y)

    async def pixel_tolerance(self):
        """How many monitor pixels one page pixel covers, rounded up, plus one."""
        ratio = await self.chrome.evaluate(
            "kvConsole.video.videoWidth / kvConsole.video.getBoundingClientRect().width")
        return int(ratio) + 1

    async def move_mouse(self, x, y, timeout=5):
        """Moves the page's mouse over monitor pixel (x, y); returns where the X pointer went."""
        cx, cy = await self.client_point(x, y)
        tol = await self.pixel_tolerance()
        await self.chrome.mouse("mouseMoved", cx, cy)
        return await self.poll(lambda: self._near(self.x.pointer()[:2], (x, y), tol), timeout)

    @staticmethod
    def _near(got, want, tol):
        if abs(got[0] - want[0]) <= tol and abs(got[1] - want[1]) <= tol:
            return got
        return None

    async def press_key(self, key, code, key_code, keysym, timeout=5):
        """Presses a key on the page (focus on the video); True when the X server saw it down,
        then released."""
        await self.chrome.evaluate("kvConsole.video.focus()")
        await self.chrome.key("keyDown", key, code, key_code)
        down = await self.poll(lambda: self.x.key_down(keysym), timeout)
        await self.chrome.key("keyUp", key, code, key_code)
        up = await self.poll(lambda: not self.x.key_down(keysym), timeout)
        return bool(down and up)

    async def poll(self, probe, timeout):
        """Calls probe until it returns something truthy; that value, or None at the deadline."""
        deadline = time.monotonic() + timeout
        while True:
            value = probe()
            if value:
                return value
            if time.monotonic() > deadline:
                return None
            await asyncio.sleep(0.002)

    async def watch_pixel(self, x, y, rgb, tol=40, timeout_ms=5000):
        rgb_js = "[%d,%d,%d]" % ((rgb >> 16) & 255, (rgb >> 8) & 255, rgb & 255)
        return await self.chrome.evaluate("(%s)(%d, %d, %s, %d, %d)" % (
            WATCH_PIXEL_JS.strip(), x, y, rgb_js, tol, timeout_ms))

    async def stop(self):
        status = None
        if self.agent is not None:
            status = agentproc.stop_agent(self.agent)
        await self.chrome.close()
        if self.runner is not None:
            await self.runner.cleanup()
        if self.x is not None:
            self.x.close()
        return status
