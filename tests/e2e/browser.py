"""Headless Chromium driven through its DevTools protocol; it does WebRTC, so start() runs only
inside the private network namespace (scripts/netns-run.sh)."""

import asyncio
import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile

import aiohttp

CHROMIUM = os.environ.get("KELVANO_CHROMIUM", "/usr/bin/chromium")


def in_private_netns():
    return os.environ.get("KELVANO_NETNS") == "1"


class BrowserError(RuntimeError):
    pass


# Keeps every peer connection the page makes, for the receiver's own statistics.
KEEP_PEERS_JS = """
(() => {
  const Native = window.RTCPeerConnection;
  window.kvPeers = [];
  window.RTCPeerConnection = function (...args) {
    const pc = new Native(...args);
    window.kvPeers.push(pc);
    return pc;
  };
  window.RTCPeerConnection.prototype = Native.prototype;
})();
"""

# The inbound video report of the newest peer connection, as numbers.
INBOUND_VIDEO_JS = """
(async () => {
  const pc = window.kvPeers[window.kvPeers.length - 1];
  if (!pc) return null;
  let out = null;
  (await pc.getStats()).forEach((r) => {
    if (r.type === "inbound-rtp" && r.kind === "video") {
      out = {frames: r.framesDecoded || 0, bytes: r.bytesReceived || 0, nacks: r.nackCount || 0,
             plis: r.pliCount || 0, firs: r.firCount || 0, lost: r.packetsLost || 0,
             keyframes: r.keyFramesDecoded || 0};
    }
  });
  return out;
})()
"""

# Tracks the presented video frames: kvFrames.maxGap is the longest time (ms) without a new one
# since kvFrames.reset().
TRACK_FRAMES_JS = """
(() => {
  const v = kvConsole.video;
  const f = window.kvFrames = {last: performance.now(), maxGap: 0, count: 0,
    reset() { f.last = performance.now(); f.maxGap = 0; f.count = 0; },
    gap() { return Math.max(f.maxGap, performance.now() - f.last); }};
  const tick = () => {
    const now = performance.now();
    f.maxGap = Math.max(f.maxGap, now - f.last);
    f.last = now;
    f.count += 1;
    v.requestVideoFrameCallback(tick);
  };
  v.requestVideoFrameCallback(tick);
  return true;
})()
"""


class Chromium:
    width, height = 1280, 800

    def __init__(self):
        self.proc = self.dir = self.http = self.ws = self.session = self.reader = self.port = None
        self.ids = itertools.count(1)
        self.pending = {}

    async def start(self, url, timeout=30):
        if not in_private_netns():
            raise BrowserError("Chromium does WebRTC only inside the private network namespace")
        self.dir = tempfile.mkdtemp(prefix="kv-chromium-")
        args = [
            CHROMIUM, "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--no-default-browser-check", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--disable-extensions",
            "--disable-default-apps", "--mute-audio", "--autoplay-policy=no-user-gesture-required",
            "--allow-loopback-in-peer-connection",
            "--disable-features=WebRtcHideLocalIpsWithMdns,Translate,MediaRouter",
            "--user-data-dir=" + self.dir, "--remote-debugging-port=0",
            "--window-size=%d,%d" % (self.width, self.height), "about:blank",
        ]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.dir, "DevToolsActivePort")
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if self.proc.poll() is not None:
                raise BrowserError("Chromium exited with %s" % self.proc.returncode)
            if loop.time() > deadline:
                raise BrowserError("Chromium did not open its DevTools port")
            await asyncio.sleep(0.05)
        self.http = aiohttp.ClientSession()
        while self.ws is None:
            with open(port_file) as f:
                words = f.read().split()
            try:
                if len(words) >= 2:
                    self.port = int(words[0])
                    self.ws = await self.http.ws_connect(
                        "ws://127.0.0.1:%s%s" % (words[0], words[1]), max_msg_size=0)
            except aiohttp.ClientError:
                pass
            if self.ws is None:
                if loop.time() > deadline:
                    raise BrowserError("cannot reach Chromium's DevTools port")
                await asyncio.sleep(0.1)
        self.reader = asyncio.create_task(self._read())
        target = await self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = await self.call("Target.attachToTarget",
                                   {"targetId": target["targetId"], "flatten": True},
                                   session=False)
        self.session = attached["sessionId"]
        await self.call("Page.enable")
        await self.call("Page.addScriptToEvaluateOnNewDocument", {"source": KEEP_PEERS_JS})
        await self.call("Emulation.setDeviceMetricsOverride", {
            "width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})
        await self.call("Page.navigate", {"url": url})

    async def _read(self):
        async for msg in self.ws:
            if msg.type != aiohttp.WSMsgType.TEXT:
                continue
            doc = json.loads(msg.data)
            fut = self.pending.pop(doc.get("id"), None)
            if fut is not None and not fut.done() and "error" in doc:
                fut.set_exception(BrowserError(doc["error"].get("message", str(doc))))
            elif fut is not None and not fut.done():
                fut.set_result(doc.get("result", {}))
        for fut in self.pending.values():
            if not fut.done():
                fut.set_exception(BrowserError("DevTools connection closed"))

    async def call(self, method, params=None, session=True, timeout=30):
        msg_id = next(self.ids)
        doc = {"id": msg_id, "method": method, "params": params or {}}
        if session:
            doc["sessionId"] = self.session
        fut = asyncio.get_running_loop().create_future()
        self.pending[msg_id] = fut
        await self.ws.send_str(json.dumps(doc))
        return await asyncio.wait_for(fut, timeout)

    async def evaluate(self, expression):
        result = await self.call("Runtime.evaluate", {
            "expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in result:
            raise BrowserError("page exception: %s" % result["exceptionDetails"].get("text"))
        return result["result"].get("value")

    async def wait_for(self, expression, timeout, what=None):
        """Polls a page expression until it is truthy; returns its value."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            value = await self.evaluate(expression)
            if value:
                return value
            if loop.time() > deadline:
                raise BrowserError("timed out waiting for %s" % (what or expression))
            await asyncio.sleep(0.05)

    async def mouse(self, kind, x, y, button="none", buttons=0):
        await self.call("Input.dispatchMouseEvent", {
            "type": kind, "x": x, "y": y, "button": button, "buttons": buttons, "clickCount": 1})

    async def key(self, kind, key, code, key_code):
        params = {"type": kind, "key": key, "code": code, "windowsVirtualKeyCode": key_code,
                  "nativeVirtualKeyCode": key_code}
        if kind == "keyDown" and len(key) == 1:
            params["text"] = key
        await self.call("Input.dispatchKeyEvent", params)

    async def wheel(self, x, y, delta_y):
        await self.call("Input.dispatchMouseEvent", {
            "type": "mouseWheel", "x": x, "y": y, "deltaX": 0, "deltaY": delta_y})

    async def screenshot(self, path):
        shot = await self.call("Page.captureScreenshot", {"format": "png"})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    async def close(self):
        if self.ws is not None and not self.ws.closed:
            try:
                await self.call("Browser.close", session=False, timeout=5)
            except (BrowserError, asyncio.TimeoutError, ConnectionError):
                pass
        if self.ws is not None:
            await self.ws.close()
        if self.reader is not None:
            self.reader.cancel()
        if self.http is not None:
            await self.http.close()
        if self.proc is not None:
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
