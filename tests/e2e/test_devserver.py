#!/usr/bin/python3
"""The development server against fake agents and consoles speaking the wire protocols."""

import asyncio
import json
import logging.handlers
import os
import sys
import tempfile
import unittest

import aiohttp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "devserver"))
import devserver  # noqa: E402

STEP = 5.0  # bound on every single wait
KEY = "test-key"


class ServerCase(unittest.IsolatedAsyncioTestCase):
    version = "0.7.0"
    auto_create = True
    tls = False

    async def asyncSetUp(self):
        self.server = devserver.DevServer(version=self.version, auto_create=self.auto_create,
                                            secret=KEY)
        ctx = None
        if self.tls:
            self.tmp = tempfile.TemporaryDirectory()
            self.addCleanup(self.tmp.cleanup)
            ctx = devserver.self_signed_context(self.tmp.name)
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0, ctx)
        self.origin = "%s://127.0.0.1:%d" % ("https" if self.tls else "http", port)
        self.base = self.origin + "/assistant"
        self.wsbase = self.base.replace("http", "ws", 1)
        connector = aiohttp.TCPConnector(ssl=False if self.tls else None)
        self.http = aiohttp.ClientSession(connector=connector)
        self.auth = {"Authorization": "Bearer " + KEY}
        self.sockets = []
        self.log = logging.handlers.BufferingHandler(100000)
        devserver.log.addHandler(self.log)
        devserver.log.setLevel(logging.DEBUG)

    async def asyncTearDown(self):
        devserver.log.removeHandler(self.log)
        for ws in self.sockets:
            await ws.close()
        await self.http.close()
        await self.runner.cleanup()

    def logged(self):
        return "\n".join(record.getMessage() for record in self.log.buffer)

    async def get_json(self, path, status=200):
        async with self.http.get(self.base + path, headers=self.auth) as r:
            self.assertEqual(r.status, status, path)
            return await r.json() if status == 200 else None

    async def ws(self, path, **kw):
        """A socket carrying the key (the agent's endpoints ignore it)."""
        ws = await self.http.ws_connect(self.wsbase + path, headers=self.auth, **kw)
        self.sockets.append(ws)
        return ws

    async def recv(self, ws):
        msg = await asyncio.wait_for(ws.receive(), STEP)
        self.assertEqual(msg.type, aiohttp.WSMsgType.TEXT, msg)
        return msg.data

    async def recv_json(self, ws):
        return json.loads(await self.recv(ws))

    async def until(self, condition):
        for _ in range(int(STEP / 0.01)):
            if condition():
                return
            await asyncio.sleep(0.01)
        self.fail("condition not met within %s s" % STEP)

    async def silent(self, ws):
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(ws.receive(), 0.3)

    async def agent(self, session="7"):
        """A fake agent that has registered and asked to join the session."""
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 1234")
        self.assertEqual(await self.recv(sig), "HELLO")
        await sig.send_str("SESSION " + session)
        return sig

    async def console(self, session="7"):
        con = await self.ws("/ws/console?session=" + session, origin=self.origin)
        welcome = await self.recv_json(con)
        self.assertEqual(welcome["event"], "welcome")
        return con, welcome

    async def join(self, con, session="7"):
        """An agent joins the session whose console is con: both are told."""
        sig = await self.agent(session)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})
        return sig

    async def in_call(self, session="7"):
        con, _ = await self.console(session)
        return await self.join(con, session), con


class HttpApiTest(ServerCase):
    async def test_settings_configured_by_the_administrator_reach_the_agent(self):
        stun = [{"urls": "stun:127.0.0.1:3478"}]
        async with self.http.put(self.base + "/admin/sessions/42", headers=self.auth, json={
                "displayName": "Ada", "audioEnable": False, "StunServers": stun}) as r:
            self.assertEqual(r.status, 200)
            self.assertRegex((await r.json())["link"], r"^kvlo://127\.0\.0\.1:\d+/assistant/42$")
        async with self.http.post(self.base + "/admin/sessions", headers=self.auth) as r:
            self.assertEqual(r.status, 201)
            fresh = (await r.json())["session"]
        self.assertNotEqual(fresh, "42")
        # The agent's side needs no key, in both API forms.
        for path in ("/42/settings", "/api/42/settings", "/%s/settings" % fresh):
            async with self.http.get(self.base + path) as r:
                doc = await r.json()
            self.assertIs(doc["notifyConnection"], True, path)
            self.assertEqual(doc["StunServers"], stun if "42" in path else [], path)
        async with self.http.get(self.base + "/api/discover/") as r:
            self.assertEqual((await r.json())["server"]["version"], "0.7.0")

    async def test_bad_settings_are_refused(self):
        for body in ({"notifyConnection": "false"}, {"displayName": 3}, {"unknown": 1}, [],
                     {"StunServers": [{"urls": ["stun:127.0.0.1:1"]}]}, "{"):
            data = body if isinstance(body, str) else json.dumps(body)
            async with self.http.put(self.base + "/admin/sessions/5", data=data,
                                     headers=self.auth) as r:
                self.assertEqual(r.status, 400, body)


class KeyTest(ServerCase):
    PATHS = [("GET", "/console/"), ("GET", "/admin/sessions"), ("POST", "/admin/sessions"),
             ("GET", "/admin/sessions/1"), ("PUT", "/admin/sessions/1"),
             ("GET", "/ws/console?session=1")]

    async def test_console_and_administration_need_the_key(self):
        for headers, query, status in [({}, "", 401), ({}, "key=", 401),
                                       ({}, "key=test-kez", 403),
                                       ({"Authorization": "Bearer nope"}, "", 403),
                                       ({"Authorization": "Basic " + KEY}, "", 401)]:
            for method, path in self.PATHS:
                url = self.base + path + ("&" if "?" in path else "?") + query
                async with self.http.request(method, url, headers=headers) as r:
                    self.assertEqual(r.status, status, (method, path, headers, query))
        self.assertNotIn(KEY, self.logged())
        # With the key, as the query or as a Bearer token, every path answers.
        for method, path in self.PATHS[:-1]:
            async with self.http.request(method, self.base + path, headers=self.auth) as r:
                self.assertLess(r.status, 300, (method, path))
        async with self.http.get(self.base + "/console/?key=" + KEY) as r:
            self.assertIn("console.js", await r.text())

    async def test_console_socket_takes_only_the_servers_own_origin(self):
        for origin in ("http://evil.example", self.origin + ".evil.example", "null",
                       self.origin.replace("127.0.0.1", "localhost")):
            with self.assertRaises(aiohttp.WSServerHandshakeError) as refused:
                await self.ws("/ws/console?session=1&key=" + KEY, origin=origin)
            self.assertEqual(refused.exception.status, 403, origin)
        await self.console("1")


class SignallingTest(ServerCase):
    async def test_registration_needs_hello_with_an_id(self):
        sig = await self.ws("/ws/signalling")
        for bad in ("HELLO", "hello 12", "SESSION 7", "HELLO 12 "):
            await sig.send_str(bad)
            self.assertTrue((await self.recv(sig)).startswith("ERROR"), bad)
        await sig.send_str("HELLO 12")
        self.assertEqual(await self.recv(sig), "HELLO")
        for request, answer in [("SESSION _bad", "ERROR malformed SESSION request"),
                                ("SESSION 3", None),
                                ("SESSION 4", "ERROR already in session 3")]:
            await sig.send_str(request)
            if answer:
                self.assertEqual(await self.recv(sig), answer)

    async def test_the_call_starts_whoever_comes_first(self):
        sig = await self.agent("7")
        await self.silent(sig)
        con, welcome = await self.console("7")
        self.assertTrue(welcome["agent"])
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})
        con8, welcome = await self.console("8")
        self.assertFalse(welcome["agent"])
        await self.join(con8, "8")

    async def test_sdp_and_ice_are_relayed_verbatim_both_ways(self):
        sig, con = await self.in_call()
        for message in ('{"sdp":{"sdp":"v=0\\r\\n","type":"offer"}}',
                        '{"ice":{"candidate":"candidate:1 1 UDP 1 127.0.0.2 5000 typ host",'
                        '"sdpMLineIndex":0}}'):
            await sig.send_str(message)
            self.assertEqual(await self.recv(con), message)
            await con.send_str(message)
            self.assertEqual(await self.recv(sig), message)

    async def test_one_agent_and_one_administrator_per_session(self):
        sig, con = await self.in_call("7")
        other = await self.agent("7")
        self.assertEqual(await self.recv(other), "ERROR session 7 already has an agent")
        con2 = await self.ws("/ws/console?session=7")
        self.assertEqual((await self.recv_json(con2))["event"], "error")

    async def test_either_side_leaving_ends_the_call(self):
        sig, con = await self.in_call()
        await sig.close()
        self.assertEqual(await self.recv_json(con), {"event": "agent-left"})
        sig = await self.join(con)  # the session is free for the next call
        await con.close()
        self.assertEqual(await self.recv(sig), "ERROR administrator left the session")

    async def test_sdp_outside_a_call_is_dropped(self):
        con, _ = await self.console("7")
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 11")
        await self.recv(sig)
        await sig.send_str('{"sdp":{"type":"offer","sdp":"x"}}')
        await self.silent(con)


class StrictServerTest(ServerCase):
    auto_create = False

    async def test_unknown_sessions_are_errors(self):
        await self.get_json("/9/settings", status=404)
        sig = await self.agent("9")
        self.assertEqual(await self.recv(sig), "ERROR session 9 not found")


class ChannelsTest(ServerCase):
    async def test_input_goes_to_the_one_input_channel_only(self):
        sig, con = await self.in_call()
        inp = await self.ws("/7/ws/input")
        await self.until(lambda: self.server.sessions["7"].channels["input"] is not None)
        cursor = await self.ws("/7/ws/cursor")
        await cursor.send_str("shape")
        self.assertEqual(await self.recv_json(con), {"cursor": "shape"})
        # A second reader of the session's keys (or cursor) is refused while the first lives,
        # and the administrator is told.
        for kind in ("input", "cursor"):
            thief = await self.ws("/7/ws/" + kind)
            await asyncio.wait_for(thief.receive(), STEP)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY, kind)
            warning = await self.recv_json(con)
            self.assertEqual(warning["event"], "warning")
            self.assertIn("second %s channel" % kind, warning["text"])
        messages = ['{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}',
                    '{"mouseEvent":{"type":"mousemove","x":10,"y":20}}',
                    '{"wheelEvent":{"up":-1}}', '{"shortcutEvent":{"key":"CTRL_ALT_DELETE"}}']
        for m in messages + ["not json", '{"other":1}']:
            await con.send_str(m)
        for m in messages:
            self.assertEqual(await self.recv(inp), m)
        self.assertNotRegex(self.logged(), r'"q"|81')
        # Once the first has gone, the session takes a new one; input without one is dropped.
        await inp.close()
        await self.until(lambda: self.server.sessions["7"].channels["input"] is None)
        await con.send_str(messages[0])
        inp = await self.ws("/7/ws/input")
        other = await self.ws("/8/ws/input")
        await self.until(lambda: self.server.sessions["7"].channels["input"] is not None)
        await con.send_str(messages[1])
        self.assertEqual(await self.recv(inp), messages[1])
        await self.silent(other)
        status = await self.get_json("/admin/sessions/7")
        self.assertEqual((status["inputRelayed"], status["inputDropped"]), (5, 1))


    async def test_a_dead_input_channel_is_let_go(self):
        self.server.channel_heartbeat = 0.2
        dead = await self.ws("/7/ws/input", autoping=False)  # reads nothing, answers no ping
        await self.until(lambda: self.server.sessions["7"].channels["input"] is not None)
        await self.until(lambda: self.server.sessions["7"].channels["input"] is None)
        await self.ws("/7/ws/input")
        await self.until(lambda: self.server.sessions["7"].channels["input"] is not None)
        await dead.close()


class TlsServerTest(ServerCase):
    tls = True

    async def test_https_and_wss_with_a_self_signed_certificate(self):
        await self.get_json("/api/discover/")
        sig, con = await self.in_call()
        await sig.send_str('{"ice":{"candidate":"c","sdpMLineIndex":0}}')
        self.assertEqual(await self.recv(con), '{"ice":{"candidate":"c","sdpMLineIndex":0}}')


if __name__ == "__main__":
    unittest.main()
