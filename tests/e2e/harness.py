"""The e2e kit, shared with the demo and the benchmarks: the agent in a private home, a bounded
wait, the X server read back, headless Chromium over DevTools, the network path shaped with
nftables, and a whole session (the development server, Chromium on its console, the agent)."""

import asyncio
import base64
import contextlib
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import aiohttp
import Xlib.display

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "devserver"))
import devserver  # noqa: E402

BUILD_DIR = os.environ.get("KELVANO_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
IN_PRIVATE_NETNS = os.environ.get("KELVANO_NETNS") == "1"
SESSION = "1"
GREETING = "Hi! from the GStreamer client"
CLEARED = ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
           "BROWSER", "KVNO_SESSION_ID", "KVNO_VDI_URL", "KVNO_STUN_URL", "KVNO_DEBUG",
           "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_TIMEOUT")
SCROLLING = ["xterm", "-geometry", "318x82+0+0", "-fn", "6x13", "-e", "bash", "-c",
             "while :; do ls -l /usr/lib/x86_64-linux-gnu; done"]


def agent_binary(build=None):
    return os.path.join(build or BUILD_DIR, "kelvano-assistant")


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


def terminate(proc, timeout=10):
    """SIGTERM, then SIGKILL after timeout; the exit status."""
    proc.terminate()  # nothing once it has exited
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def set_path(loss=0, limit_kbytes=0, dead=False, keep_port=None):
    """Shapes what enters this network namespace: a share of UDP packets lost at random, UDP
    policed to a rate, or everything dropped but keep_port (the browser's DevTools connection).
    With no arguments the path is open again."""
    rules = []
    if dead:
        rules += ["tcp dport %d accept" % keep_port, "tcp sport %d accept" % keep_port, "drop"]
    if loss:
        rules.append("meta l4proto udp numgen random mod 100 < %d drop" % loss)
    if limit_kbytes:
        rules.append("meta l4proto udp limit rate over %d kbytes/second burst 64 kbytes drop"
                     % limit_kbytes)
    script = "table inet kvpath\ndelete table inet kvpath\n"
    if rules:
        script += ("table inet kvpath {\n chain in {\n  type filter hook input priority 0;\n"
                   + "".join("  %s\n" % r for r in rules) + " }\n}\n")
    subprocess.run(["nft", "-f", "-"], input=script.encode(), check=True)


class XProbe:
    """Reads back the pointer, the pressed keys and the tray host; paints the root window."""

    def __init__(self):
        self.dpy = Xlib.display.Display()
        self.root = self.dpy.screen().root

    def close(self):
        self.dpy.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def pointer(self):
        """(x, y, button mask) of the pointer in root coordinates."""
        p = self.root.query_pointer()
        return p.root_x, p.root_y, p.mask

    def warp(self, x, y):
        self.root.warp_pointer(x, y)
        self.dpy.sync()

    def key_down(self, keysym):
        code = self.dpy.keysym_to_keycode(keysym)
        return bool(self.dpy.query_keymap()[code // 8] & (1 << (code % 8)))

    def tray_owned(self):
        return self.dpy.get_selection_owner(self.dpy.intern_atom("_NET_SYSTEM_TRAY_S0")) != 0

    def fill_root(self, rgb):
        """Paints the whole root window in one colour (0xRRGGBB on a TrueColor screen)."""
        self.root.change_attributes(background_pixel=rgb)
        self.root.clear_area()
        self.dpy.sync()


class BrowserError(RuntimeError):
    pass


# Keeps every peer connection the page makes, for the receiver's own statistics.
KEEP_PEERS_JS = """
const NativePeer = RTCPeerConnection;
window.kvPeers = [];
window.RTCPeerConnection = function (...args) {
  kvPeers.push(new NativePeer(...args));
  return kvPeers[kvPeers.length - 1];
};
RTCPeerConnection.prototype = NativePeer.prototype;
"""

# The inbound video report of the newest peer connection.
INBOUND_VIDEO_JS = """
(async () => {
  let out = null;
  (await kvPeers[kvPeers.length - 1].getStats()).forEach((r) => {
    if (r.type === "inbound-rtp" && r.kind === "video") {
      out = {frames: r.framesDecoded, bytes: r.bytesReceived, nacks: r.nackCount, plis: r.pliCount};
    }
  });
  return out;
})()
"""

# Tracks the presented video frames: kvFrames.gap() is the longest time (ms) without a new one
# since kvFrames.reset().
TRACK_FRAMES_JS = """
(() => {
  const f = window.kvFrames = {
    reset() { f.last = performance.now(); f.maxGap = 0; },
    gap() { return Math.max(f.maxGap, performance.now() - f.last); }};
  const tick = (now) => {
    f.maxGap = Math.max(f.maxGap, now - f.last);
    f.last = now;
    kvConsole.video.requestVideoFrameCallback(tick);
  };
  f.reset();
  kvConsole.video.requestVideoFrameCallback(tick);
})()
"""

# Resolves with the wall-clock time (ms) of the first presented frame whose pixel (x, y) is within
# tol of rgb on every channel.
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


class Chromium:
    """Headless Chromium driven over DevTools, one call at a time; it does WebRTC, so it starts only
    inside the private network namespace (scripts/netns-run.sh)."""
    width, height = 1280, 800

    def __init__(self):
        self.proc = self.http = self.ws = self.port = None
        self.dir, self.last_id = tempfile.mkdtemp(prefix="kv-chromium-"), 0

    async def start(self, url, timeout=30):
        if not IN_PRIVATE_NETNS:
            raise BrowserError("Chromium does WebRTC only inside the private network namespace")
        args = [
            "/usr/bin/chromium", "--headless", "--disable-gpu", "--no-first-run",
            "--no-default-browser-check", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--disable-extensions", "--mute-audio",
            "--autoplay-policy=no-user-gesture-required", "--allow-loopback-in-peer-connection",
            "--disable-features=WebRtcHideLocalIpsWithMdns,Translate,MediaRouter",
            "--user-data-dir=" + self.dir, "--remote-debugging-port=0",
            "--window-size=%d,%d" % (self.width, self.height), "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.http = aiohttp.ClientSession()

        async def page_socket():
            if self.proc.poll() is not None:
                raise BrowserError("Chromium exited with %s" % self.proc.returncode)
            # The port file may not be there, or be written only in part.
            with contextlib.suppress(aiohttp.ClientError, IndexError, ValueError):
                self.port = int(read(os.path.join(self.dir, "DevToolsActivePort")).split()[0])
                async with self.http.get("http://127.0.0.1:%d/json/list" % self.port) as r:
                    pages = [t for t in await r.json() if t["type"] == "page"]
                return pages[0]["webSocketDebuggerUrl"]
        address = await poll(page_socket, timeout, 0.05)
        if not address:
            raise BrowserError("cannot reach Chromium's DevTools port")
        self.ws = await self.http.ws_connect(address, max_msg_size=0)
        await self.call("Page.enable")
        await self.call("Page.addScriptToEvaluateOnNewDocument", source=KEEP_PEERS_JS)
        await self.call("Emulation.setDeviceMetricsOverride", width=self.width,
                        height=self.height, deviceScaleFactor=1, mobile=False)
        await self.call("Page.navigate", url=url)

    async def call(self, method, **params):
        self.last_id += 1
        await self.ws.send_json({"id": self.last_id, "method": method, "params": params})
        async with asyncio.timeout(30):
            while (doc := await self.ws.receive_json()).get("id") != self.last_id:
                pass  # an event, or the answer to a call that timed out
        if "error" in doc:
            raise BrowserError("%s: %s" % (method, doc["error"]))
        return doc["result"]

    async def evaluate(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                                 awaitPromise=True)
        if "exceptionDetails" in result:
            raise BrowserError("page exception: %s" % result["exceptionDetails"].get("text"))
        return result["result"].get("value")

    async def wait_for(self, expression, timeout, what):
        """The page expression's first truthy value within timeout."""
        value = await poll(lambda: self.evaluate(expression), timeout, 0.05)
        if not value:
            raise BrowserError("timed out waiting for " + what)
        return value

    async def key(self, kind, key, code, key_code):
        text = {"text": key} if kind == "keyDown" and len(key) == 1 else {}
        await self.call("Input.dispatchKeyEvent", type=kind, key=key, code=code,
                        windowsVirtualKeyCode=key_code, nativeVirtualKeyCode=key_code, **text)

    async def screenshot(self, path):
        shot = await self.call("Page.captureScreenshot", format="png")
        pathlib.Path(path).write_bytes(base64.b64decode(shot["data"]))

    async def close(self):
        if self.ws is not None:
            await self.ws.close()
        if self.proc is not None:
            terminate(self.proc, 5)
        if self.http is not None:
            await self.http.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Harness:
    def __init__(self, workdir, codec="VP8", audio="OPUS", settings=None):
        self.workdir, self.codec, self.audio = workdir, codec, audio
        self.settings = dict({"notifyConnection": False, "displayName": "Demo administrator",
                              "StunServers": []}, **(settings or {}))
        self.chrome, self.agent_log = Chromium(), os.path.join(workdir, "agent-stdout.log")
        self.server = self.runner = self.agent = self.x = self.base = None

    async def start(self, timeout=60):
        """Everything up, and the first video frame decoded by the browser."""
        await self.open()
        await self.call(timeout)

    async def open(self):
        """The development server and its console in Chromium, with no agent yet."""
        self.x, self.server = XProbe(), devserver.DevServer()
        self.server.create_session(self.settings, sid=SESSION)
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.base = "http://127.0.0.1:%d/assistant" % port
        await self.chrome.start(self.server.console_address(self.base.rsplit("/", 1)[0], SESSION))
        await self.chrome.wait_for("window.kvConsole && kvConsole.state.server === 'connected'",
                                   20, "the console's socket")

    async def call(self, timeout=60):
        """The agent started from the link, up to the first frame of its call on the console."""
        calls = await self.chrome.evaluate("kvConsole.stats.calls")
        link = self.base.replace("http", "kvlo", 1) + "/" + SESSION
        self.agent = start_agent(
            ["--stun-url", "stun://127.0.0.1:3478", "--video-codec", self.codec,
             "--audio-codec", self.audio, link],
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
        """Moves the page's mouse over monitor pixel (x, y); where the X pointer went, or None.
        The pointer may miss by what one page pixel covers."""
        cx, cy, tol = await self.chrome.evaluate("""(() => {
            const v = kvConsole.video, r = v.getBoundingClientRect();
            const s = Math.min(r.width / v.videoWidth, r.height / v.videoHeight);
            return [r.left + (r.width - v.videoWidth * s) / 2 + (%d + 0.5) * s,
                    r.top + (r.height - v.videoHeight * s) / 2 + (%d + 0.5) * s, 1 / s + 1];
        })()""" % (x, y))
        await self.chrome.call("Input.dispatchMouseEvent", type="mouseMoved", x=cx, y=cy)

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
        if self.agent is not None:
            terminate(self.agent)
        await self.chrome.close()
        if self.runner is not None:
            await self.runner.cleanup()
        if self.x is not None:
            self.x.close()
