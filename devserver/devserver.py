#!/usr/bin/python3
"""Development management server for Kelvano Assistant.

Serves what the agent expects of a management server (discovery, per-session settings in both API
forms, the signalling relay and the input and cursor endpoints) and the administrator's web console
that takes the other end of a session. Everything lives under one path prefix ("/assistant" by
default), so the agent's server URL is http://HOST:PORT/assistant and an invitation link is
kvlo://HOST:PORT/assistant/<session>.

Typed keys are relayed, never logged: input messages are only counted. The console, its socket
and the administration need the secret made at start ("key" query parameter or a Bearer token): a
web page the user happens to visit must not be able to drive the desktop. The agent's endpoints
refuse browsers, and a session's input and cursor channels belong to the agent in that session.
"""

import argparse
import asyncio
import base64
import collections
import contextlib
import hashlib
import hmac
import ipaddress
import json
import logging
import os
import re
import random
import secrets
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time

from aiohttp import WSMsgType, web

CONSOLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "console")
INPUT_KEYS = ("keyboardEvent", "mouseEvent", "wheelEvent", "shortcutEvent")
DEFAULT_SETTINGS = {
    "notifyConnection": True,
    "displayName": "Administrator",
    "audioEnable": True,
    "WebRTCMouseCursor": True,
    "StunServers": [],
}
# Only the keys the agent reads can be configured, each with the JSON type it expects.
SETTING_TYPES = {
    "notifyConnection": bool,
    "displayName": str,
    "audioEnable": bool,
    "WebRTCMouseCursor": bool,
    "StunServers": list,
}
HELLO_RE = re.compile(r"^HELLO ([0-9]{1,9})$")
SESSION_RE = re.compile(r"^SESSION ([A-Za-z0-9][A-Za-z0-9_-]{0,63})$")
# Session numbers; those the server makes have 18 random digits, so that nobody guesses one.
NUMBER = r"[0-9]{1,18}"
# A second input or cursor channel of an agent's session is closed with this code.
CHANNEL_BUSY = 4409
# Pings on those channels, so that one on a dead link is let go.
CHANNEL_HEARTBEAT = 20.0
# Pings on the console's socket: a console gone away releases its session within 15 s.
CONSOLE_HEARTBEAT = 10.0
# The agent opens its channels while it is still saying which session it is in.
AGENT_WAIT = 5.0
# Largest message per socket: SDP and ICE on signalling, input events and SDP from the console.
MAX_MESSAGE = {"signalling": 1 << 20, "console": 256 << 10, "input": 64 << 10,
               "cursor": 256 << 10}
# Sessions the agent's endpoints (which need no key) may create by naming them.
AUTO_CREATED_MAX = 16
# Each kind of warning a peer can cause is logged at most this often per minute.
WARNINGS_PER_MINUTE = 10

log = logging.getLogger("devserver")


class WarningLimit:
    """Logs each kind of warning at most WARNINGS_PER_MINUTE times a minute, then says how many
    were left out: a peer sending junk in a loop must not fill the disk."""

    def __init__(self, clock=time.monotonic):
        self.clock = clock
        self.kinds = {}  # format -> [window start, logged, left out]

    def __call__(self, fmt, *args):
        now = self.clock()
        window = self.kinds.setdefault(fmt, [now, 0, 0])
        if now - window[0] >= 60:
            if window[2]:
                log.warning("%d more like %r left out", window[2], fmt)
            window[:] = [now, 0, 0]
        if window[1] < WARNINGS_PER_MINUTE:
            window[1] += 1
            log.warning(fmt, *args)
        else:
            window[2] += 1


def random_number():
    return str(secrets.randbelow(9 * 10 ** 17) + 10 ** 17)


def is_browser(request):
    """Browsers send Origin with every WebSocket and cross-site request, and fetch metadata with
    every request; the agent sends neither."""
    return "Origin" in request.headers or "Sec-Fetch-Site" in request.headers


async def send(ws, text):
    """Sends unless the peer has gone; a vanished peer is handled by its own handler."""
    if ws is None or ws.closed:
        return False
    try:
        await ws.send_str(text)
        return True
    except ConnectionError:
        return False


def check_settings(values):
    """Returns the validated subset of a settings update, or raises ValueError."""
    if not isinstance(values, dict):
        raise ValueError("settings must be a JSON object")
    out = {}
    for key, value in values.items():
        if key not in SETTING_TYPES:
            raise ValueError("unknown setting %r" % key)
        if not isinstance(value, SETTING_TYPES[key]):
            raise ValueError("setting %r must be %s" % (key, SETTING_TYPES[key].__name__))
        if key == "StunServers":
            for entry in value:
                urls = entry.get("urls") if isinstance(entry, dict) else None
                if not (isinstance(urls, str) or isinstance(urls, list) and urls and
                        all(isinstance(u, str) for u in urls)):
                    raise ValueError('each StunServers entry needs "urls", a string or a list '
                                     'of strings')
        out[key] = value
    return out


class Session:
    def __init__(self, sid, settings):
        self.sid = sid
        self.settings = dict(settings)
        self.agent = None  # signalling socket of the agent that sent SESSION
        self.agent_joined = False  # SESSION_OK sent to that agent
        self.console = None
        self.channels = {"input": None, "cursor": None}  # one of each per agent
        self.opened = set()  # the kinds of channel the present agent has opened
        self.warnings = collections.deque(maxlen=10)  # for a console that is not there yet
        self.input_relayed = 0
        self.input_dropped = 0

    def status(self):
        return {
            "session": self.sid,
            "settings": self.settings,
            "agent": self.agent is not None,
            "inCall": self.agent_joined,
            "console": self.console is not None,
            "inputChannel": self.channels["input"] is not None,
            "cursorChannel": self.channels["cursor"] is not None,
            "inputRelayed": self.input_relayed,
            "inputDropped": self.input_dropped,
        }


class DevServer:
    def __init__(self, prefix="/assistant", version="0.7.0", defaults=None, auto_create=True,
                 secret=None, relay=None):
        self.prefix = prefix.rstrip("/")
        self.relay = relay  # a started Relay: every session's settings name it
        self.secret = secret or secrets.token_urlsafe(24)
        self.channel_heartbeat = CHANNEL_HEARTBEAT
        self.version = version
        self.defaults = dict(DEFAULT_SETTINGS)
        self.defaults.update(check_settings(defaults or {}))
        self.auto_create = auto_create
        self.auto_created = 0
        self.sessions = {}
        self.sockets = set()
        self.console_heartbeat = CONSOLE_HEARTBEAT
        self.warn = WarningLimit()
        self.registering = set()  # signalling sockets past HELLO that have not joined a session
        self.agents_changed = asyncio.Condition()
        self.requests = collections.deque(maxlen=1000)  # (method, path, user agent), for tests

    @web.middleware
    async def record(self, request, handler):
        self.requests.append((request.method, request.path, request.headers.get("User-Agent", "")))
        return await handler(request)

    def console_address(self, base, sid):
        """The console's address for a session, with the key: what the administrator opens."""
        return "%s%s/console/?session=%s&key=%s" % (base, self.prefix, sid, self.secret)

    def check_key(self, request):
        """Raises 401 without a key, 403 with a wrong one."""
        key = request.query.get("key")
        auth = request.headers.get("Authorization", "")
        if key is None and auth.startswith("Bearer "):
            key = auth[len("Bearer "):].strip()
        if not key:
            raise web.HTTPUnauthorized(text="the console needs its key",
                                       headers={"WWW-Authenticate": "Bearer"})
        if not hmac.compare_digest(key.encode(), self.secret.encode()):
            raise web.HTTPForbidden(text="wrong key")

    @web.middleware
    async def guard(self, request, handler):
        # The administrator's paths need the key. The agent's endpoints need none, as a real
        # server's, but no browser may use them: any web page could reach them.
        path = request.path
        if path.startswith(self.prefix + "/admin/") or path == self.prefix + "/admin" or \
                path in (self.prefix + "/console/", self.prefix + "/ws/console"):
            self.check_key(request)
        elif path.startswith(self.prefix + "/") and not path.startswith(self.prefix + "/console/") \
                and is_browser(request):
            self.warn("agent endpoint %s refused to a browser", path)
            raise web.HTTPForbidden(text="not for browsers")
        return await handler(request)

    # Sessions -------------------------------------------------------------------------------

    def create_session(self, settings=None, sid=None):
        while sid is None or sid in self.sessions:
            sid = random_number()
        session = Session(sid, self.defaults)
        session.settings.update(check_settings(settings or {}))
        self.sessions[sid] = session
        log.info("session %s created", sid)
        return session

    def find_session(self, sid, create):
        """The session; with create, an unknown one is made unless too many were made so."""
        session = self.sessions.get(sid)
        if session is None and create and self.auto_create:
            if self.auto_created >= AUTO_CREATED_MAX:
                self.warn("session %s not created: %d were made on first use", sid,
                          AUTO_CREATED_MAX)
                return None
            self.auto_created += 1
            session = self.create_session(sid=sid)
        return session

    async def agents_have_changed(self):
        async with self.agents_changed:
            self.agents_changed.notify_all()

    async def warn_console(self, session, text):
        """Tells the session's administrator now, or when the console joins."""
        if session.console is None:
            session.warnings.append(text)
        await self.to_console(session, {"event": "warning", "text": text})

    # HTTP API of the agent ------------------------------------------------------------------

    async def discover(self, request):
        return web.json_response(
            {"server": {"version": self.version, "name": "Kelvano development server"}}
        )

    def settings_reply(self, session):
        """The session's settings as the agent and the console get them: with the relay."""
        reply = dict(session.settings)
        if self.relay is not None:
            reply["StunServers"] = reply["StunServers"] + [self.relay.ice_server(session.sid)]
        return reply

    async def settings(self, request):
        session = self.find_session(request.match_info["number"], create=True)
        if session is None:
            raise web.HTTPNotFound(text="no such session")
        return web.json_response(self.settings_reply(session))

    # Administration API ---------------------------------------------------------------------

    def session_info(self, request, session):
        info = session.status()
        host = request.host
        scheme = "kvlos" if request.secure else "kvlo"
        info["link"] = "%s://%s%s/%s" % (scheme, host, self.prefix, session.sid)
        info["console"] = self.console_address("%s://%s" % (request.scheme, host), session.sid)
        return info

    async def read_settings(self, request):
        try:
            body = await request.json() if request.can_read_body else {}
            return check_settings(body)
        except ValueError as e:  # json.JSONDecodeError is a ValueError
            raise web.HTTPBadRequest(text=str(e))

    async def admin_list(self, request):
        return web.json_response([self.session_info(request, s) for s in self.sessions.values()])

    async def admin_create(self, request):
        session = self.create_session(await self.read_settings(request))
        return web.json_response(self.session_info(request, session), status=201)

    async def admin_get(self, request):
        session = self.sessions.get(request.match_info["sid"])
        if session is None:
            raise web.HTTPNotFound(text="no such session")
        return web.json_response(self.session_info(request, session))

    async def admin_update(self, request):
        sid = request.match_info["sid"]
        if not re.fullmatch(NUMBER, sid):
            raise web.HTTPBadRequest(text="session ids are numbers")
        settings = await self.read_settings(request)
        session = self.sessions.get(sid) or self.create_session(sid=sid)
        session.settings.update(settings)
        return web.json_response(self.session_info(request, session))

    # WebSockets -----------------------------------------------------------------------------

    async def open_ws(self, request, kind, heartbeat=None):
        ws = web.WebSocketResponse(heartbeat=heartbeat, max_msg_size=MAX_MESSAGE[kind])
        await ws.prepare(request)
        self.sockets.add(ws)
        return ws

    async def signalling(self, request):
        ws = await self.open_ws(request, "signalling")
        peer = request.remote
        registered = None
        session = None
        try:
            async for msg in ws:
                if msg.type != WSMsgType.TEXT:
                    self.warn("signalling %s: non-text frame ignored", peer)
                    continue
                text = msg.data
                if registered is None:
                    m = HELLO_RE.match(text)
                    if not m:
                        await send(ws, "ERROR expected HELLO <id>")
                        continue
                    registered = m.group(1)
                    self.registering.add(ws)
                    log.info("agent %s registered as %s", peer, registered)
                    await send(ws, "HELLO")
                    continue
                if text.startswith("SESSION"):
                    session = await self.join(ws, text, session)
                    continue
                await self.agent_message(ws, session, text)
        finally:
            self.sockets.discard(ws)
            self.registering.discard(ws)
            if session is not None and session.agent is ws:
                await self.agent_left(session)
            await self.agents_have_changed()
        return ws

    async def agent_left(self, session):
        session.agent = None
        session.agent_joined = False
        session.opened.clear()
        log.info("agent left session %s", session.sid)
        # Its channels were accepted only while it was there.
        for channel in session.channels.values():
            if channel is not None:
                await channel.close()
        await self.to_console(session, {"event": "agent-left"})

    async def join(self, ws, text, current):
        m = SESSION_RE.match(text)
        if not m:
            await send(ws, "ERROR malformed SESSION request")
            return current
        if current is not None:
            await send(ws, "ERROR already in session %s" % current.sid)
            return current
        session = self.find_session(m.group(1), create=True)
        if session is None:
            await send(ws, "ERROR session %s not found" % m.group(1))
            return None
        if session.agent is not None:
            await send(ws, "ERROR session %s already has an agent" % session.sid)
            await self.warn_console(session, "another agent asked for this session: refused")
            return None
        session.agent = ws
        self.registering.discard(ws)
        await self.agents_have_changed()
        log.info("agent joined session %s", session.sid)
        if session.console is not None:
            await self.start_call(session)
        else:
            log.info("session %s: waiting for the administrator", session.sid)
        return session

    async def start_call(self, session):
        session.agent_joined = True
        await send(session.agent, "SESSION_OK")
        await self.to_console(session, {"event": "agent-joined"})

    async def agent_message(self, ws, session, text):
        try:
            doc = json.loads(text)
        except ValueError:
            doc = None
        if not isinstance(doc, dict) or not ("sdp" in doc or "ice" in doc):
            self.warn("signalling: unknown message from agent ignored")
            return
        if session is None or not session.agent_joined or session.console is None:
            self.warn("signalling: SDP/ICE outside a call dropped")
            return
        await send(session.console, text)

    async def to_console(self, session, doc):
        if session.console is not None and not session.console.closed:
            await send(session.console, json.dumps(doc))

    async def console(self, request):
        # Browsers always send Origin: another site's page is refused even though it can reach us.
        origin = request.headers.get("Origin")
        if origin is not None and origin != "%s://%s" % (request.scheme, request.host):
            raise web.HTTPForbidden(text="foreign origin")
        sid = request.query.get("session", "")
        ws = await self.open_ws(request, "console", self.console_heartbeat)
        session = None
        if re.fullmatch(NUMBER, sid):  # the key holder may make any number of sessions
            session = self.sessions.get(sid)
            if session is None and self.auto_create:
                session = self.create_session(sid=sid)
        if session is None:
            await send(ws, json.dumps({"event": "error", "text": "no such session"}))
            await ws.close()
            self.sockets.discard(ws)
            return ws
        if session.console is not None:
            await send(ws, json.dumps(
                {"event": "error", "text": "another administrator has this session"}))
            await ws.close()
            self.sockets.discard(ws)
            return ws
        session.console = ws
        log.info("administrator joined session %s", session.sid)
        try:
            await send(ws, json.dumps({
                "event": "welcome",
                "session": session.sid,
                "settings": self.settings_reply(session),
                "agent": session.agent is not None,
            }))
            while session.warnings:
                await self.to_console(session, {"event": "warning",
                                                "text": session.warnings.popleft()})
            if session.agent is not None and not session.agent_joined:
                await self.start_call(session)
            async for msg in ws:
                if msg.type == WSMsgType.TEXT:
                    await self.console_message(session, msg.data)
        finally:
            self.sockets.discard(ws)
            session.console = None
            log.info("administrator left session %s", session.sid)
            agent = session.agent
            if agent is not None and session.agent_joined and not agent.closed:
                # The agent's call cannot go on without its peer.
                session.agent_joined = False
                await send(agent, "ERROR administrator left the session")
        return ws

    async def console_message(self, session, text):
        try:
            doc = json.loads(text)
        except ValueError:
            self.warn("console: unparsable message ignored")
            return
        if not isinstance(doc, dict):
            return
        if any(k in doc for k in INPUT_KEYS):
            target = session.channels["input"]
            if target is None or target.closed:
                session.input_dropped += 1
                return
            session.input_relayed += 1
            await send(target, text)
        elif "sdp" in doc or "ice" in doc:
            if session.agent is not None and session.agent_joined:
                await send(session.agent, text)
            else:
                self.warn("console: SDP/ICE without an agent in call dropped")
        else:
            self.warn("console: unknown message ignored")

    async def agent_in(self, session):
        """Whether the session has its agent, waiting a moment while one is registering: the
        agent opens its channels as soon as its signalling socket is up."""
        async with self.agents_changed:
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self.agents_changed.wait_for(
                    lambda: session.agent is not None or not self.registering), AGENT_WAIT)
        return session.agent is not None

    async def channel(self, request, kind):
        sid = request.match_info["sid"]
        session = self.sessions.get(sid)
        if session is None or not await self.agent_in(session):
            # Whoever opens one before the agent would read what the administrator types.
            self.warn("%s channel of session %s without its agent refused", kind, sid)
            raise web.HTTPForbidden(text="no agent in this session")
        ws = await self.open_ws(request, kind, self.channel_heartbeat)
        if session.agent is None:  # gone meanwhile
            await ws.close()
            self.sockets.discard(ws)
            return ws
        if kind in session.opened:
            self.warn("second %s channel of session %s refused", kind, sid)
            await self.warn_console(
                session, "a second %s channel from %s was refused" % (kind, request.remote))
            await ws.close(code=CHANNEL_BUSY, message=b"channel busy")
            self.sockets.discard(ws)
            return ws
        session.opened.add(kind)
        session.channels[kind] = ws
        log.info("agent %s channel of session %s connected", kind, sid)
        try:
            async for msg in ws:
                if msg.type == WSMsgType.TEXT and kind == "cursor":
                    await self.to_console(session, {"cursor": msg.data})
                elif msg.type == WSMsgType.TEXT:
                    self.warn("input channel: unexpected message from agent")
        finally:
            self.sockets.discard(ws)
            if session.channels[kind] is ws:
                session.channels[kind] = None
            log.info("agent %s channel of session %s closed", kind, sid)
        return ws

    async def input_channel(self, request):
        return await self.channel(request, "input")

    async def cursor_channel(self, request):
        return await self.channel(request, "cursor")

    # Console pages --------------------------------------------------------------------------

    async def console_index(self, request):
        return web.FileResponse(os.path.join(CONSOLE_DIR, "index.html"))

    async def console_asset(self, request):
        return web.FileResponse(os.path.join(CONSOLE_DIR, os.path.basename(request.path)))

    async def root(self, request):
        raise web.HTTPFound(self.prefix + "/console/")

    async def on_shutdown(self, app):
        for ws in list(self.sockets):
            await ws.close()

    def make_app(self):
        app = web.Application(middlewares=[self.record, self.guard])
        p = self.prefix
        num = "{number:%s}" % NUMBER
        sid = r"{sid:[A-Za-z0-9][A-Za-z0-9_-]{0,63}}"
        app.router.add_get(p + "/api/discover/", self.discover)
        app.router.add_get(p + "/api/" + num + "/settings", self.settings)
        app.router.add_get(p + "/" + num + "/settings", self.settings)
        app.router.add_get(p + "/ws/signalling", self.signalling)
        app.router.add_get(p + "/ws/console", self.console)
        app.router.add_get(p + "/" + sid + "/ws/input", self.input_channel)
        app.router.add_get(p + "/" + sid + "/ws/cursor", self.cursor_channel)
        app.router.add_get(p + "/admin/sessions", self.admin_list)
        app.router.add_post(p + "/admin/sessions", self.admin_create)
        app.router.add_get(p + "/admin/sessions/{sid}", self.admin_get)
        app.router.add_put(p + "/admin/sessions/{sid}", self.admin_update)
        app.router.add_get(p + "/console/", self.console_index)
        # The page's code and style hold nothing secret; the page and its socket need the key.
        for name in ("console.js", "console.css"):
            app.router.add_get(p + "/console/" + name, self.console_asset)
        app.router.add_get("/", self.root)
        if p:
            app.router.add_get(p + "/", self.root)
        app.on_shutdown.append(self.on_shutdown)
        return app


def self_signed_certificate(directory):
    """A fresh self-signed certificate for 127.0.0.1 (tests and demos): its and its key's paths."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", key, "-out", cert],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def self_signed_context(directory):
    """A TLS context with a fresh self-signed certificate for 127.0.0.1 (tests and demos)."""
    return tls_context(*self_signed_certificate(directory))


class Relay:
    """coturn on free ports of 127.0.0.1 for as long as it is held: TURN over UDP and TCP on one
    port, over TLS on another (a fresh self-signed certificate). Sessions get short-lived
    credentials in the shared-secret form coturn checks (--use-auth-secret): the username is the
    expiry and the session, the credential base64(HMAC-SHA1(secret, username))."""

    def __init__(self, host="127.0.0.1", lifetime=3600):
        self.host, self.lifetime = host, lifetime
        self.secret = secrets.token_urlsafe(24)
        self.dir = tempfile.mkdtemp(prefix="kvdev-turn-")
        self.log_path = os.path.join(self.dir, "turnserver.log")
        self.port = self.tls_port = None
        self.process = None
        self.transports = ("udp", "tcp", "tls")  # what the sessions are told of
        self.issued = collections.deque(maxlen=100)  # (username, credential), for tests

    def free_port(self):
        """A port free for both TCP and UDP on the host, as far as one can tell before binding."""
        while True:
            with socket.socket() as tcp, socket.socket(type=socket.SOCK_DGRAM) as udp:
                tcp.bind((self.host, 0))
                port = tcp.getsockname()[1]
                try:
                    udp.bind((self.host, port))
                    return port
                except OSError:
                    continue

    def start(self, timeout=10):
        cert, key = self_signed_certificate(self.dir)
        self.port, self.tls_port = self.free_port(), self.free_port()
        # Above the kernel's ephemeral range, so that no other socket holds the relay ports.
        low = random.randrange(61000, 65000, 100)
        # The secret goes in a private file: a command line is visible to other users.
        config = os.path.join(self.dir, "turnserver.conf")
        with open(os.open(config, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
            f.write("\n".join([
                "listening-ip=%s" % self.host, "relay-ip=%s" % self.host,
                "listening-port=%d" % self.port, "tls-listening-port=%d" % self.tls_port,
                "min-port=%d" % low, "max-port=%d" % (low + 99),
                "use-auth-secret", "static-auth-secret=%s" % self.secret, "realm=kelvano.test",
                "cert=%s" % cert, "pkey=%s" % key, "no-dtls", "no-cli", "fingerprint",
                "allow-loopback-peers", "no-multicast-peers", "no-stdout-log", "simple-log",
                "log-file=%s" % self.log_path, "pidfile=%s" % os.path.join(self.dir, "pid"),
                "userdb=%s" % os.path.join(self.dir, "turndb"), ""]))
        self.process = subprocess.Popen(["turnserver", "-c", config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while self.process.poll() is None and time.monotonic() < deadline:
            with socket.socket() as probe, contextlib.suppress(OSError):
                probe.connect((self.host, self.tls_port))
                log.info("relay listening on %s: %d (udp, tcp), %d (tls)", self.host, self.port,
                         self.tls_port)
                return self
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("coturn did not start; see %s" % self.log_path)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def credentials(self, sid):
        username = "%d:%s" % (int(time.time()) + self.lifetime, sid)
        digest = hmac.new(self.secret.encode(), username.encode(), hashlib.sha1).digest()
        self.issued.append((username, base64.b64encode(digest).decode()))
        return self.issued[-1]

    def ice_server(self, sid):
        """The "StunServers" entry (and RTCIceServer) of a session: the relay on its transports."""
        username, credential = self.credentials(sid)
        urls = {"udp": "turn:%s:%d?transport=udp" % (self.host, self.port),
                "tcp": "turn:%s:%d?transport=tcp" % (self.host, self.port),
                "tls": "turns:%s:%d?transport=tcp" % (self.host, self.tls_port)}
        return {"urls": [urls[t] for t in self.transports], "username": username,
                "credential": credential}


def tls_context(cert, key):
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    return ctx


async def start(server, host="127.0.0.1", port=0, ssl_context=None):
    """Starts the server; returns (runner, actual port)."""
    runner = web.AppRunner(server.make_app(), access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, host, port, ssl_context=ssl_context)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    return runner, port


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def relay_host(host):
    """The relay's address: the server's when it is one address, else the loopback one."""
    try:
        address = ipaddress.ip_address(host)
        return host if address.version == 4 and not address.is_unspecified else "127.0.0.1"
    except ValueError:
        return "127.0.0.1"


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Kelvano Assistant development management server")
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    ap.add_argument("--port", type=int, default=8080, help="port, 0 for any free one")
    ap.add_argument("--prefix", default="/assistant", help="path prefix of every endpoint")
    ap.add_argument("--api-version", default="0.7.0", help="version reported by discovery")
    ap.add_argument("--settings", default="{}",
                    help="JSON object with the default settings of new sessions")
    ap.add_argument("--session", action="append", default=[],
                    help="create this numeric session at start (repeatable); without it one "
                    "with a random number is made")
    ap.add_argument("--no-auto-create", action="store_true",
                    help="unknown sessions are errors instead of being created on first use")
    ap.add_argument("--tls-cert", help="PEM certificate: serve https/wss")
    ap.add_argument("--tls-key", help="PEM private key of --tls-cert")
    ap.add_argument("--tls-self-signed", action="store_true",
                    help="serve https/wss with a fresh self-signed certificate")
    ap.add_argument("--secret", help="the console's key (default: a new random one at every "
                    "start; a command line is visible to other users of the machine)")
    ap.add_argument("--port-file", help="write the port number here once listening")
    ap.add_argument("--turn", action="store_true",
                    help="run a TURN relay (coturn) beside the server and name it in every "
                    "session's settings, with short-lived credentials")
    ap.add_argument("--verbose", action="store_true")
    return ap.parse_args(argv)


async def amain(args):
    try:
        defaults = json.loads(args.settings)
        server = DevServer(args.prefix, args.api_version, defaults, not args.no_auto_create,
                           args.secret)
    except ValueError as e:
        print("devserver: bad --settings: %s" % e, file=sys.stderr)
        return 2
    with contextlib.ExitStack() as stack:
        if args.turn:
            server.relay = Relay(relay_host(args.host)).start()
            stack.callback(server.relay.stop)
        return await serve(server, args)


async def serve(server, args):
    sessions = [server.create_session(sid=sid).sid for sid in args.session] or \
        [server.create_session().sid]
    ctx = None
    if args.tls_cert:
        ctx = tls_context(args.tls_cert, args.tls_key or args.tls_cert)
    elif args.tls_self_signed:
        ctx = self_signed_context(tempfile.mkdtemp(prefix="kvdev-tls-"))
    runner, port = await start(server, args.host, args.port, ctx)
    scheme = "https" if ctx else "http"
    print("devserver listening on %s://%s:%d%s" % (scheme, args.host, port, server.prefix))
    if not is_loopback(args.host):
        print("devserver: WARNING: listening on %s: the console is reachable from the network; "
              "whoever learns its address with the key drives the desktop" % args.host,
              file=sys.stderr, flush=True)
    shown = "127.0.0.1" if args.host in ("0.0.0.0", "::") else args.host
    base = "%s://%s:%d" % (scheme, "[%s]" % shown if ":" in shown else shown, port)
    print("link: %s%s/%s" % (base.replace("http", "kvlo", 1), server.prefix, sessions[0]))
    print("console: %s" % server.console_address(base, sessions[0]), flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    import signal
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await runner.cleanup()
    return 0


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s devserver %(levelname)s %(message)s")
    return asyncio.run(amain(args))


if __name__ == "__main__":
    sys.exit(main())
