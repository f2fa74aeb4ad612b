#!/usr/bin/python3
"""The development server against clients speaking its wire protocols: the administrator's side
needs the key and the server's own origin, a session has one input and one cursor channel,
signalling answers every bad request, and the call starts and ends whoever comes and goes first.
The relay of SDP, ICE and input is the end-to-end suites' (every call needs it)."""

import asyncio
import json
import logging.handlers
import tempfile
import unittest

import aiohttp

from harness import devserver, poll

STEP = 5.0  # bound on every single wait
KEY = "test-key"


class ServerCase(unittest.IsolatedAsyncioTestCase):
    tls = False

    async def asyncSetUp(self):
        self.server = devserver.DevServer(secret=KEY)
        ctx = None
        if self.tls:
            tmp = tempfile.TemporaryDirectory()
            self.addCleanup(tmp.cleanup)
            ctx = devserver.self_signed_context(tmp.name)
        runner, port = await devserver.start(self.server, "127.0.0.1", 0, ctx)
        self.addAsyncCleanup(runner.cleanup)
        self.origin = "%s://127.0.0.1:%d" % ("https" if self.tls else "http", port)
        self.base = self.origin + "/assistant"
        self.http = aiohttp.ClientSession(connector=aiohttp.TCPConnector(ssl=not self.tls))
        self.addAsyncCleanup(self.http.close)
        self.auth = {"Authorization": "Bearer " + KEY}
        self.log = logging.handlers.BufferingHandler(100000)
        devserver.log.addHandler(self.log)
        devserver.log.setLevel(logging.DEBUG)
        self.addCleanup(devserver.log.removeHandler, self.log)

    def logged(self):
        return "\n".join(record.getMessage() for record in self.log.buffer)

    async def ws(self, path, **kw):
        """A socket carrying the key (the agent's endpoints ignore it)."""
        ws = await self.http.ws_connect(self.base.replace("http", "ws", 1) + path,
                                        headers=self.auth, **kw)
        self.addAsyncCleanup(ws.close)
        return ws

    async def recv(self, ws):
        msg = await asyncio.wait_for(ws.receive(), STEP)
        self.assertEqual(msg.type, aiohttp.WSMsgType.TEXT, msg)
        return msg.data

    async def recv_json(self, ws):
        return json.loads(await self.recv(ws))

    async def silent(self, ws):
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(ws.receive(), 0.3)

    async def agent(self, session="7"):
        """An agent that has registered and asked to join the session."""
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 1234")
        self.assertEqual(await self.recv(sig), "HELLO")
        await sig.send_str("SESSION " + session)
        return sig

    async def console(self, session="7"):
        con = await self.ws("/ws/console?session=" + session, origin=self.origin)
        welcome = await self.recv_json(con)
        self.assertEqual(welcome["event"], "welcome")
        return con, welcome["agent"]

    async def join(self, con, session="7"):
        """An agent joins the session whose console is con: both are told."""
        sig = await self.agent(session)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})
        return sig

    async def channel_is(self, kind, present):
        self.assertTrue(await poll(
            lambda: (self.server.sessions["7"].channels[kind] is not None) == present, STEP))


class ServerTest(ServerCase):
    async def test_settings_configured_by_the_administrator_reach_the_agent(self):
        stun = [{"urls": "stun:127.0.0.1:3478"}]
        async with self.http.put(self.base + "/admin/sessions/42", headers=self.auth, json={
                "displayName": "Ada", "audioEnable": False, "StunServers": stun}) as r:
            self.assertRegex((await r.json())["link"], r"^kvlo://127\.0\.0\.1:\d+/assistant/42$")
        for path in ("/42/settings", "/api/42/settings"):
            async with self.http.get(self.base + path) as r:  # the agent's side needs no key
                self.assertEqual((await r.json())["StunServers"], stun, path)
        for body in ({"notifyConnection": "false"}, {"displayName": 3}, {"unknown": 1}, [],
                     {"StunServers": [{"urls": ["stun:127.0.0.1:1"]}]}, "{"):
            data = body if isinstance(body, str) else json.dumps(body)
            async with self.http.put(self.base + "/admin/sessions/5", data=data,
                                     headers=self.auth) as r:
                self.assertEqual(r.status, 400, body)

    async def test_console_and_administration_need_the_key(self):
        paths = [("GET", "/console/"), ("GET", "/admin/sessions"), ("POST", "/admin/sessions"),
                 ("GET", "/admin/sessions/1"), ("PUT", "/admin/sessions/1"),
                 ("GET", "/ws/console?session=1")]
        for headers, query, status in [({}, "", 401), ({}, "key=", 401),
                                       ({}, "key=test-kez", 403),
                                       ({"Authorization": "Bearer nope"}, "", 403),
                                       ({"Authorization": "Basic " + KEY}, "", 401),
                                       (self.auth, "", "ok"), ({}, "key=" + KEY, "ok")]:
            for method, path in paths[:-1] if status == "ok" else paths:  # a socket needs more
                url = self.base + path + ("&" if "?" in path else "?") + query
                async with self.http.request(method, url, headers=headers) as r:
                    self.assertEqual("ok" if r.status < 300 else r.status, status,
                                     (method, path, headers, query))
        self.assertNotIn(KEY, self.logged())

    async def test_console_socket_takes_only_the_servers_own_origin(self):
        for origin in ("http://evil.example", self.origin + ".evil.example", "null",
                       self.origin.replace("127.0.0.1", "localhost")):
            with self.assertRaises(aiohttp.WSServerHandshakeError) as refused:
                await self.ws("/ws/console?session=1&key=" + KEY, origin=origin)
            self.assertEqual(refused.exception.status, 403, origin)
        await self.console("1")

    async def test_bad_signalling_is_answered_with_an_error(self):
        sig = await self.ws("/ws/signalling")
        for bad in ("HELLO", "hello 12", "SESSION 7", "HELLO 12 "):
            await sig.send_str(bad)
            self.assertEqual(await self.recv(sig), "ERROR expected HELLO <id>", bad)
        await sig.send_str("HELLO 12")
        self.assertEqual(await self.recv(sig), "HELLO")
        for request, answer in [("SESSION _bad", "ERROR malformed SESSION request"),
                                ("SESSION 3", None), ("SESSION 4", "ERROR already in session 3")]:
            await sig.send_str(request)
            if answer:
                self.assertEqual(await self.recv(sig), answer)
        self.assertEqual(await self.recv(await self.agent("3")),
                         "ERROR session 3 already has an agent")
        await self.console("3")
        con2 = await self.ws("/ws/console?session=3")
        self.assertEqual(await self.recv_json(con2),
                         {"event": "error", "text": "another administrator has this session"})
        self.server.auto_create = False
        self.assertEqual(await self.recv(await self.agent("9")), "ERROR session 9 not found")

    async def test_the_call_starts_whoever_comes_first_and_ends_when_either_leaves(self):
        sig = await self.agent()
        await self.silent(sig)
        con, agent_there = await self.console()
        self.assertTrue(agent_there)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})
        await sig.close()
        self.assertEqual(await self.recv_json(con), {"event": "agent-left"})
        sig = await self.join(con)  # the session is free for the next call
        await con.close()
        self.assertEqual(await self.recv(sig), "ERROR administrator left the session")

    async def test_input_goes_to_the_one_input_channel_only(self):
        con, _ = await self.console()
        await self.join(con)
        inp, other = await self.ws("/7/ws/input"), await self.ws("/8/ws/input")
        await self.channel_is("input", True)
        cursor = await self.ws("/7/ws/cursor")
        await cursor.send_str("shape")
        self.assertEqual(await self.recv_json(con), {"cursor": "shape"})
        # A second reader of the session's keys (or cursor) is refused while the first lives,
        # and the administrator is told.
        for kind in ("input", "cursor"):
            thief = await self.ws("/7/ws/" + kind)
            await asyncio.wait_for(thief.receive(), STEP)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY, kind)
            self.assertIn("second %s channel" % kind, (await self.recv_json(con))["text"])
        key = '{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}'
        for m in ("not json", '{"other":1}', '{"sdp":{}}', key):
            await con.send_str(m)
        self.assertEqual(await self.recv(inp), key)  # the rest is not input
        await self.silent(other)
        self.assertNotRegex(self.logged(), r'"q"|81')

    async def test_a_dead_input_channel_is_let_go(self):
        self.server.channel_heartbeat = 0.2
        await self.ws("/7/ws/input", autoping=False)  # reads nothing, answers no ping
        await self.channel_is("input", True)
        await self.channel_is("input", False)
        await self.ws("/7/ws/input")
        await self.channel_is("input", True)


class TlsServerTest(ServerCase):
    tls = True

    async def test_a_call_over_https_and_wss_with_a_self_signed_certificate(self):
        await self.join((await self.console())[0])


if __name__ == "__main__":
    unittest.main()
