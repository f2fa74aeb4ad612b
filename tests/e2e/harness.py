"""The process-level kit, also used by the demo and the benchmarks: the real agent in a private home
(parallel suites never hand links to each other's agents), one bounded wait, and a whole session:
the development server, the agent started from a link, headless Chromium on the console."""

import asyncio
import os
import pathlib
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "devserver"))
import browser  # noqa: E402
import devserver  # noqa: E402
from xprobe import XProbe  # noqa: E402

SESSION = "1"
GREETING = "Hi! from the GStreamer client"
CLEARED = ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
           "BROWSER", "KVNO_SESSION_ID", "KVNO_VDI_URL", "KVNO_STUN_URL", "KVNO_DEBUG",
           "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_TIMEOUT")


def build_dir():
    return os.environ.get("KELVANO_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")


def agent_binary(build=None):
    return os.path.join(build or build_dir(), "kelvano-assistant")


def private_env(root, extra=None):
    """Environment with HOME and the XDG directories under root (created)."""
    env = {k: v for k, v in os.environ.items() if k not in CLEARED}
    for var, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                     ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run")):
        env[var] = os.path.join(root, sub)
        os.makedirs(env[var], mode=0o700, exist_ok=True)
    env["QT_QPA_PLATFORM"] = "xcb"
    env.update(extra or {})
    return env


async def poll(probe, timeout, interval=0.01):
    """probe's (a function's or coroutine function's) first truthy value, or its last at timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if asyncio.iscoroutine(value):
            value = await value
        if value or time.monotonic() > deadline:
            return value
        await asyncio.sleep(interval)


def read(path):
    return pathlib.Path(path).read_text(errors="replace") if os.path.exists(path) else ""


def start_agent(args, env, log_path, binary=None):
    """Starts the agent with its standard output (every log line) going to log_path."""
    with open(log_path, "wb") as out:
        return subprocess.Popen([binary or agent_binary()] + list(args), env=env, stdout=out,
                                stderr=subprocess.STDOUT)


def stop_agent(proc, timeout=10):
    """SIGTERM, then SIGKILL after timeout; the exit status."""
    proc.terminate()  # nothing once it has exited
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


# Watches one pixel of the decoded video: resolves with the wall-clock time (ms) of the first
# presented frame whose pixel is within tol of rgb on every channel.
WATCH_PIXEL_JS = """
(x, y, rgb, tol, timeoutMs) => new Promise((resolve) => {
  const v = kvConsole.video, c = document.createElement('canvas');
  c.width = c.height = 1;
  const g = c.getContext('2d', {willReadFrequently: true});
  const until = Date.now() + timeoutMs;
  const check = () => {
    g.drawImage(v, x, y, 1, 1, 0, 0, 1, 1);
    const p = g.getImageData(0, 0, 1, 1).data, pixel = [p[0], p[1], p[2]];
    if (pixel.every((c, i) => Math.abs(c - rgb[i]) <= tol)) return resolve({at: Date.now(), pixel});
    if (Date.now() > until) return resolve({at: null, pixel});
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


async def pixel_tolerance(chrome):
    """How many monitor pixels one page pixel covers, rounded up, plus one."""
    return int(await chrome.evaluate(
        "kvConsole.video.videoWidth / kvConsole.video.getBoundingClientRect().width")) + 1


class Harness:
    def __init__(self, workdir, codec="VP8", audio="OPUS", settings=None):
        self.workdir, self.codec, self.audio = workdir, codec, audio
        self.settings = dict({"notifyConnection": False, "displayName": "Demo administrator",
                              "StunServers": []}, **(settings or {}))
        self.chrome = browser.Chromium()
        self.server = self.runner = self.agent = self.x = self.base = self.link = None
        self.agent_log = os.path.join(workdir, "agent-stdout.log")

    async def start(self, timeout=60):
        """Everything up, and the first video frame decoded by the browser."""
        self.x = XProbe()
        self.server = devserver.DevServer()
        self.server.create_session(self.settings, sid=SESSION)
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.base = "http://127.0.0.1:%d/assistant" % port
        self.link = "kvlo://127.0.0.1:%d/assistant/%s" % (port, SESSION)
        await self.chrome.start(self.server.console_address(self.base.rsplit("/", 1)[0], SESSION))
        await self.chrome.wait_for("window.kvConsole && kvConsole.state.server === 'connected'",
                                   20, "the console's socket")
        await self.call(timeout)

    async def call(self, timeout=60):
        """The agent started from the link, up to the first frame of its call on the console."""
        calls = await self.chrome.evaluate("kvConsole.stats.calls")
        self.agent = start_agent(
            ["--stun-url", "stun://127.0.0.1:3478", "--video-codec", self.codec,
             "--audio-codec", self.audio, self.link],
            private_env(self.workdir, {"KVNO_VDI_URL": self.base}), self.agent_log)

        async def ended_or_shown():
            return self.agent.poll() is not None or await self.chrome.evaluate(
                "kvConsole.stats.calls > %d && kvConsole.stats.framesDecoded > 0" % calls)
        if not await poll(ended_or_shown, timeout, 0.1) or self.agent.poll() is not None:
            raise AssertionError("no decoded frame; agent status %s, its output:\n%s" % (
                self.agent.poll(), self.agent_output()[-3000:]))

    def agent_output(self):
        return read(self.agent_log)

    async def stats(self):
        return await self.chrome.evaluate("kvConsole.stats")

    async def move_mouse(self, x, y, timeout=5):
        """Moves the page's mouse over monitor pixel (x, y); where the X pointer went, or None."""
        cx, cy = await client_point(self.chrome, x, y)
        tol = await pixel_tolerance(self.chrome)
        await self.chrome.mouse("mouseMoved", cx, cy)

        def near():
            got = self.x.pointer()[:2]
            return got if abs(got[0] - x) <= tol and abs(got[1] - y) <= tol else None
        return await poll(near, timeout)

    async def press_key(self, key, code, key_code, keysym, timeout=5):
        """Presses a key on the page's video; True when the X server saw it down, then up."""
        await self.chrome.evaluate("kvConsole.video.focus()")
        await self.chrome.key("keyDown", key, code, key_code)
        down = await poll(lambda: self.x.key_down(keysym), timeout)
        await self.chrome.key("keyUp", key, code, key_code)
        return bool(down and await poll(lambda: not self.x.key_down(keysym), timeout))

    async def watch_pixel(self, x, y, rgb, tol=40, timeout_ms=5000):
        return await self.chrome.evaluate("(%s)(%d, %d, %s, %d, %d)" % (
            WATCH_PIXEL_JS.strip(), x, y, list(rgb.to_bytes(3, "big")), tol, timeout_ms))

    async def stop(self):
        status = stop_agent(self.agent) if self.agent is not None else None
        await self.chrome.close()
        if self.runner is not None:
            await self.runner.cleanup()
        if self.x is not None:
            self.x.close()
        return status
