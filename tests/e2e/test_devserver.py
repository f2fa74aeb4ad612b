#!/usr/bin/python3
"""The development server against clients speaking its protocols: the key, own origin only, one
input and one cursor channel per session, errors for bad signalling, and a call that starts and
ends whoever comes or goes first. Relaying SDP, ICE and input is left to the end-to-end calls."""

import asyncio
import json
import logging
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
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        ctx = devserver.self_signed_context(tmp) if self.tls else None
        runner, port = await devserver.start(self.server, "127.0.0.1", 0, ctx)
        self.addAsyncCleanup(runner.cleanup)
        self.origin = "%s://127.0.0.1:%d" % ("https" if self.tls else "http", port)
        self.base = self.origin + "/assistant"
        self.http = aiohttp.ClientSession(connector=aiohttp.TCPConnector(ssl=not self.tls))
        self.addAsyncCleanup(self.http.close)
        self.auth = {"Authorization": "Bearer " + KEY}
        self.log = self.enterContext(self.assertLogs(devserver.log, logging.DEBUG))  # all of it

    def logged(self):
        return "\n".join(self.log.output)

    async def ws(self, path, **kw):
        """A socket carrying the key (the agent's endpoints ignore it)."""
        ws = await self.http.ws_connect(self.base.replace("http", "ws", 1) + path,
                                        headers=self.auth, **kw)
        self.addAsyncCleanup(ws.close)
        return ws

    async def recv(self, ws, parse=False):
        msg = await asyncio.wait_for(ws.receive(), STEP)
        self.assertEqual(msg.type, aiohttp.WSMsgType.TEXT, msg)
        return json.loads(msg.data) if parse else msg.data

    async def agent(self, session="7"):
        """An agent that has registered and asked to join the session."""
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 1234")
        self.assertEqual(await self.recv(sig), "HELLO")
        await sig.send_str("SESSION " + session)
        return sig

    async def console(self, session="7"):
        con = await self.ws("/ws/console?session=" + session, origin=self.origin)
        welcome = await self.recv(con, True)
        self.assertEqual(welcome["event"], "welcome")
        return con, welcome["agent"]

    async def join(self, con, session="7"):
        """An agent joins the session whose console is con: both are told."""
        sig = await self.agent(session)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv(con, True), {"event": "agent-joined"})
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
        for body in ('{"notifyConnection": "false"}', '{"displayName": 3}', '{"unknown": 1}', "[]",
                     '{"StunServers": [{"urls": ["stun:127.0.0.1:1"]}]}', "{"):
            async with self.http.put(self.base + "/admin/sessions/5", data=body,
                                     headers=self.auth) as r:
                self.assertEqual(r.status, 400, body)

    async def test_console_and_administration_need_the_key(self):
        paths = [("GET", "/console/"), ("GET", "/admin/sessions"), ("POST", "/admin/sessions"),
                 ("GET", "/admin/sessions/1"), ("PUT", "/admin/sessions/1"),
                 ("GET", "/ws/console?session=1")]
        for headers, query, status in [
                ({}, "", 401), ({}, "key=", 401), ({}, "key=test-kez", 403),
                ({"Authorization": "Bearer nope"}, "", 403),
                ({"Authorization": "Basic " + KEY}, "", 401), (self.auth, "", "ok"),
                ({}, "key=" + KEY, "ok")]:
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
        unregistered = "ERROR expected HELLO <id>"
        for request, answer in [
                ("HELLO", unregistered), ("hello 12", unregistered), ("SESSION 7", unregistered),
                ("HELLO 12 ", unregistered), ("HELLO 12", "HELLO"),
                ("SESSION _bad", "ERROR malformed SESSION request"), ("SESSION 3", None),
                ("SESSION 4", "ERROR already in session 3")]:
            await sig.send_str(request)
            if answer:
                self.assertEqual(await self.recv(sig), answer, request)
        self.assertEqual(await self.recv(await self.agent("3")),
                         "ERROR session 3 already has an agent")
        await self.console("3")
        con2 = await self.ws("/ws/console?session=3")
        self.assertEqual(await self.recv(con2, True),
                         {"event": "error", "text": "another administrator has this session"})
        self.server.auto_create = False
        self.assertEqual(await self.recv(await self.agent("9")), "ERROR session 9 not found")

    async def test_the_call_starts_whoever_comes_first_and_ends_when_either_leaves(self):
        sig = await self.agent()
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(sig.receive(), 0.3)
        con, agent_there = await self.console()
        self.assertTrue(agent_there)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv(con, True), {"event": "agent-joined"})
        await sig.close()
        self.assertEqual(await self.recv(con, True), {"event": "agent-left"})
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
        self.assertEqual(await self.recv(con, True), {"cursor": "shape"})
        # A second reader of the session's keys (or cursor) is refused while the first lives,
        # and the administrator is told.
        for kind in ("input", "cursor"):
            thief = await self.ws("/7/ws/" + kind)
            await asyncio.wait_for(thief.receive(), STEP)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY, kind)
            self.assertIn("second %s channel" % kind, (await self.recv(con, True))["text"])
        key = '{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}'
        for m in ("not json", '{"other":1}', '{"sdp":{}}', key):
            await con.send_str(m)
        self.assertEqual(await self.recv(inp), key)  # the rest is not input
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(other.receive(), 0.3)
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
