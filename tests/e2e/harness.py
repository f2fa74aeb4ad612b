"""The e2e kit, shared with the demo and the benchmarks: the agent in a private home, the X server
read back, the network path shaped with nftables, and a whole session on headless Chromium."""

import asyncio
import contextlib
import os
import pathlib
import signal
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
AGENT = os.path.join(BUILD_DIR, "kelvano-assistant")
IN_PRIVATE_NETNS = os.environ.get("KELVANO_NETNS") == "1"
SESSION = "1"
CLEARED = ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
           "BROWSER", "KVNO_SESSION_ID", "KVNO_VDI_URL", "KVNO_STUN_URL", "KVNO_DEBUG",
           "KVNO_VIDEO_CODEC", "KVNO_AUDIO_CODEC", "KVNO_TIMEOUT", "KVNO_TURN_URL")
SCROLLING = ["xterm", "-geometry", "318x82+0+0", "-fn", "6x13", "-e", "bash", "-c",
             "while :; do ls -l /usr/lib/x86_64-linux-gnu; done"]


def private_env(root, extra=None):
    """Environment with HOME and the XDG directories under root (created)."""
    env = {k: v for k, v in os.environ.items() if k not in CLEARED}
    for var in ("HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
        env[var] = os.path.join(root, var.lower())
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


def start_agent(args, env, log_path, binary=AGENT):
    with open(log_path, "wb") as out:
        return subprocess.Popen([binary] + list(args), env=env, stdout=out,
                                stderr=subprocess.STDOUT)


def terminate(proc, timeout=10):
    proc.terminate()  # nothing once it has exited
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def stop_browser(proc):
    terminate(proc, 5)
    with contextlib.suppress(ProcessLookupError):
        os.killpg(proc.pid, signal.SIGKILL)  # its helpers


def set_path(loss=0, limit_kbytes=0, keep_only_tcp=None):
    """Shapes what enters this network namespace: UDP lost at random or policed to a rate, or all
    dropped but one TCP port (the browser's DevTools). With no arguments the path is open."""
    rules = []
    if keep_only_tcp:
        rules += ["tcp dport %d accept" % keep_only_tcp, "tcp sport %d accept" % keep_only_tcp,
                  "drop"]
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


def output(*args, display=None):
    env = dict(os.environ, DISPLAY=display) if display else None
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env).stdout


def windows_of(pid, kind, display=None):
    """The visible windows of the process of one type: DIALOG, TOOLTIP (a tray balloon), ..."""
    return [w for w in output("xdotool", "search", "--onlyvisible", "--pid", pid,
                              display=display).split()
            if "_NET_WM_WINDOW_TYPE_" + kind in output("xprop", "-id", w, "_NET_WM_WINDOW_TYPE",
                                                       display=display)]


async def answer_dialog(pid, grant, timeout=15, display=None):
    """Answers the process's permission dialog from the keyboard; True once it has gone."""
    found = await poll(lambda: windows_of(pid, "DIALOG", display), timeout, 0.1)
    if found:
        # The dialog drops keys for its first second (typing meant for another window).
        await asyncio.sleep(1.2)
        output("xdotool", "windowfocus", "--sync", found[0], display=display)
        # Focus lands on the check box; Tab moves on to the button it enables.
        keys = ("space", "Tab", "space") if grant else ("Escape",)
        output("xdotool", "key", "--delay", 100, *keys, display=display)
    return bool(found) and await poll(lambda: not windows_of(pid, "DIALOG", display), 10, 0.1)


class XProbe(Xlib.display.Display):
    def pointer(self):
        p = self.screen().root.query_pointer()
        return p.root_x, p.root_y

    def warp(self, x, y):
        self.screen().root.warp_pointer(x, y)
        self.sync()

    def key_down(self, keysym):
        code = self.keysym_to_keycode(keysym)
        return bool(self.query_keymap()[code // 8] & (1 << (code % 8)))

    def fill_root(self, rgb):
        """0xRRGGBB on a TrueColor screen."""
        self.screen().root.change_attributes(background_pixel=rgb)
        self.screen().root.clear_area()
        self.sync()


# Keeps every peer connection the page makes, for the receiver's own statistics.
KEEP_PEERS_JS = """
window.kvPeers = [];
window.RTCPeerConnection = new Proxy(RTCPeerConnection, {
  construct: (Native, args) => kvPeers[kvPeers.push(new Native(...args)) - 1]});
"""

# Resolves after ms with the longest time (ms) in them without a new frame on the console.
FRAME_GAP_JS = """
(ms) => new Promise((resolve) => {
  const v = kvConsole.video, end = performance.now() + ms;
  let last = performance.now(), gap = 0;
  const tick = (now) => {
    gap = Math.max(gap, now - last);
    last = now;
    if (now < end) v.requestVideoFrameCallback(tick);
  };
  v.requestVideoFrameCallback(tick);
  setTimeout(() => resolve(Math.max(gap, performance.now() - last)), ms);
})
"""


class Harness:
    """The development server, headless Chromium on its console driven over DevTools one call at a
    time, and the agent called from the server's link."""

    def __init__(self, workdir, codec="VP8", audio="OPUS", relay=None):
        self.workdir, self.codec, self.audio, self.relay = workdir, codec, audio, relay
        self.env, self.args = {}, []  # more of the agent's environment and options
        self.settings = {"notifyConnection": False, "StunServers": []}
        self.agent_log = os.path.join(workdir, "agent-stdout.log")
        self.last_id, self.agent, self.cleanup = 0, None, contextlib.AsyncExitStack()

    async def start(self, timeout=60):
        await self.open()
        await self.call(timeout)

    async def open(self):
        """The development server and its console in Chromium, with no agent yet."""
        self.x = self.cleanup.enter_context(contextlib.closing(XProbe()))
        self.server = devserver.DevServer(relay=self.relay)
        self.server.create_session(self.settings, sid=SESSION)
        runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.cleanup.push_async_callback(runner.cleanup)
        self.base = "http://127.0.0.1:%d/assistant" % port
        await self.open_console(self.server.console_address(self.base.rsplit("/", 1)[0], SESSION))

    async def open_console(self, console):
        """Chromium on the console's address, up to its socket to the server."""
        assert IN_PRIVATE_NETNS, "Chromium does WebRTC only inside the private network namespace"
        # Chromium's helpers may outlive it for a moment, still writing into the profile.
        profile = self.cleanup.enter_context(
            tempfile.TemporaryDirectory(prefix="kv-chromium-", ignore_cleanup_errors=True))
        # Killed with this process too, when a Ctrl+C skips the clean-up.
        args = ["setpriv", "--pdeathsig", "KILL",
                "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
                "--disable-background-networking", "--autoplay-policy=no-user-gesture-required",
                "--allow-loopback-in-peer-connection",
                "--disable-features=WebRtcHideLocalIpsWithMdns,Translate,MediaRouter",
                "--user-data-dir=" + profile, "--remote-debugging-port=0", "--window-size=1280,800",
                "about:blank"]
        self.browser = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        self.cleanup.callback(stop_browser, self.browser)
        self.http = await self.cleanup.enter_async_context(aiohttp.ClientSession())

        async def page_socket():
            assert self.browser.poll() is None, "Chromium exited with %s" % self.browser.returncode
            # The port file may not be there, or be written only in part.
            with contextlib.suppress(aiohttp.ClientError, IndexError, ValueError):
                self.port = int(read(os.path.join(profile, "DevToolsActivePort")).split()[0])
                async with self.http.get("http://127.0.0.1:%d/json/list" % self.port) as r:
                    pages = [t for t in await r.json() if t["type"] == "page"]
                return pages[0]["webSocketDebuggerUrl"]
        address = await poll(page_socket, 30, 0.05)
        assert address, "cannot reach Chromium's DevTools port"
        self.ws = await self.cleanup.enter_async_context(
            self.http.ws_connect(address, max_msg_size=0))
        await self.cdp("Page.enable")  # or the script below is not run on the console's page
        await self.cdp("Page.addScriptToEvaluateOnNewDocument", source=KEEP_PEERS_JS)
        await self.cdp("Page.navigate", url=console)
        await self.wait_for("window.kvConsole && kvConsole.state.server === 'connected'", 20,
                            "the console's socket")

    async def cdp(self, method, **params):
        self.last_id += 1
        await self.ws.send_json({"id": self.last_id, "method": method, "params": params})
        async with asyncio.timeout(30):
            while (doc := await self.ws.receive_json()).get("id") != self.last_id:
                pass  # an event, or the answer to a call that timed out
        assert "error" not in doc, "%s: %s" % (method, doc.get("error"))
        return doc["result"]

    async def evaluate(self, expression):
        result = await self.cdp("Runtime.evaluate", expression=expression, returnByValue=True,
                                awaitPromise=True)
        assert "exceptionDetails" not in result, result.get("exceptionDetails")
        return result["result"].get("value")

    async def wait_for(self, expression, timeout, what):
        value = await poll(lambda: self.evaluate(expression), timeout, 0.05)
        assert value, "timed out waiting for " + what
        return value

    async def call(self, timeout=60):
        """The agent started from the link, up to the first frame of its call on the console."""
        calls = await self.evaluate("kvConsole.stats.calls")
        self.agent = start_agent(
            self.args + ["--stun-url", "stun://127.0.0.1:3478", "--video-codec", self.codec,
                         "--audio-codec", self.audio,
                         self.base.replace("http", "kvlo", 1) + "/" + SESSION],
            private_env(self.workdir, {"KVNO_VDI_URL": self.base, **self.env}), self.agent_log)
        self.cleanup.callback(terminate, self.agent)
        shown = "kvConsole.stats.calls > %d && kvConsole.stats.framesDecoded > 0" % calls
        await poll(lambda: self.agent.poll() is not None or self.evaluate(shown), timeout, 0.1)
        assert self.agent.poll() is None and await self.evaluate(shown), (
            "no decoded frame; agent status %s, its output:\n%s" % (
                self.agent.poll(), read(self.agent_log)[-3000:]))

    async def stats(self):
        return await self.evaluate("kvConsole.stats")

    async def inbound_video(self):
        """The browser's report on the newest call's video: framesDecoded, nackCount, ..."""
        return await self.evaluate("kvPeers.at(-1).getStats().then(s => [...s.values()].find("
                                   "r => r.type === 'inbound-rtp' && r.kind === 'video'))")

    async def selected_pair(self):
        """The browser's pair in use on the newest call: local and remote candidate types, and
        the protocol to the relay when the local one is relayed."""
        return await self.evaluate("""kvPeers.at(-1).getStats().then((s) => {
          const t = [...s.values()].find((r) => r.type === 'transport');
          const p = s.get(t && t.selectedCandidatePairId);
          const l = p && s.get(p.localCandidateId), r = p && s.get(p.remoteCandidateId);
          return l && r ? [l.candidateType, r.candidateType, l.relayProtocol || null] : null;
        })""")

    async def frame_gap(self, seconds):
        return await self.evaluate("(%s)(%d)" % (FRAME_GAP_JS, seconds * 1000)) / 1000

    async def move_mouse(self, x, y, timeout=5):
        """Sends the console's move to monitor pixel (x, y); True once the X pointer is there."""
        await self.evaluate(
            "kvConsole.sendInput({mouseEvent: {type: 'mousemove', x: %d, y: %d}})" % (x, y))
        return await poll(lambda: self.x.pointer() == (x, y), timeout)

    async def press_key(self, key, code, key_code, keysym, release=True, timeout=5):
        """Presses a key on the page's video (and lets go); True when X saw it down (then up)."""
        await self.evaluate("kvConsole.video.focus()")
        for down in (True, False)[:1 + release]:
            await self.cdp("Input.dispatchKeyEvent", type="keyDown" if down else "keyUp", key=key,
                           code=code, windowsVirtualKeyCode=key_code,
                           nativeVirtualKeyCode=key_code,
                           **({"text": "\r" if key == "Enter" else key} if down else {}))
            if not await poll(lambda: self.x.key_down(keysym) == down, timeout):
                return False
        return True

    async def stop(self):
        await self.cleanup.aclose()
