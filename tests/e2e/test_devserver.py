"""The development server's safety rules: the key, the console socket from its own origin only, the
agent's endpoints closed to browsers, input to the agent's one input channel only, dead peers let
go, bounds on what needs no key."""

import asyncio
import logging
import unittest

import aiohttp

from harness import devserver, poll

STEP = 5.0  # bound on every single wait
KEY = "test-key"


class ServerTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.server = devserver.DevServer(secret=KEY)
        runner, port = await devserver.start(self.server, "127.0.0.1", 0)
        self.addAsyncCleanup(runner.cleanup)
        self.origin = "http://127.0.0.1:%d" % port
        self.ws_base = "ws://127.0.0.1:%d/assistant" % port
        self.http = aiohttp.ClientSession()
        self.addAsyncCleanup(self.http.close)
        self.auth = {"Authorization": "Bearer " + KEY}
        self.log = self.enterContext(self.assertLogs(devserver.log, logging.DEBUG))  # all of it

    async def ws(self, path, **kw):
        """A socket carrying the key (the agent's endpoints ignore it)."""
        kw.setdefault("headers", self.auth)
        ws = await self.http.ws_connect(self.ws_base + path, **kw)
        self.addAsyncCleanup(ws.close)
        return ws

    async def channel_is(self, kind, present):
        self.assertTrue(await poll(
            lambda: (self.server.sessions["7"].channels[kind] is not None) == present, STEP))

    async def test_console_and_administration_need_the_key(self):
        self.server.create_session(sid="1")
        paths = [("GET", "/console/"), ("GET", "/admin/sessions"), ("POST", "/admin/sessions"),
                 ("GET", "/admin/sessions/1"), ("PUT", "/admin/sessions/1"),
                 ("GET", "/ws/console?session=1")]
        for headers, query, status in [
                ({}, "", 401), ({}, "key=", 401), ({}, "key=test-kez", 403),
                ({"Authorization": "Bearer nope"}, "", 403),
                ({"Authorization": "Basic " + KEY}, "", 401), (self.auth, "", "ok"),
                ({}, "key=" + KEY, "ok")]:
            for method, path in paths[:-1] if status == "ok" else paths:  # a socket needs more
                url = self.origin + "/assistant" + path + ("&" if "?" in path else "?") + query
                async with self.http.request(method, url, headers=headers) as r:
                    self.assertEqual("ok" if r.status < 300 else r.status, status,
                                     (method, path, headers, query))
        self.assertNotIn(KEY, "\n".join(self.log.output))

    async def test_console_socket_takes_only_the_servers_own_origin(self):
        for origin in ("http://evil.example", self.origin + ".evil.example", "null",
                       self.origin.replace("127.0.0.1", "localhost")):
            await self.refused("/ws/console?session=1", origin=origin)
        con = await self.ws("/ws/console?session=1", origin=self.origin)
        self.assertEqual((await asyncio.wait_for(con.receive_json(), STEP))["event"], "welcome")

    async def agent(self, sid):
        """A signalling socket that has joined session sid, as the agent's."""
        sig = await self.ws("/ws/signalling")
        for said, answer in (("HELLO 42", "HELLO"), ("SESSION " + sid, None)):
            await sig.send_str(said)
            if answer:
                self.assertEqual(await asyncio.wait_for(sig.receive_str(), STEP), answer)
        self.assertTrue(await poll(
            lambda: getattr(self.server.sessions.get(sid), "agent", None) is not None, STEP))
        return sig

    async def refused(self, path, **kw):
        with self.assertRaises(aiohttp.WSServerHandshakeError, msg=path) as refused:
            await self.ws(path, **kw)
        self.assertEqual(refused.exception.status, 403, path)

    async def test_input_goes_to_the_agents_one_input_channel_only(self):
        con = await self.ws("/ws/console?session=7", origin=self.origin)
        await asyncio.wait_for(con.receive_json(), STEP)  # welcome
        self.server.create_session(sid="8")
        await self.refused("/7/ws/input")  # before the agent: it would read every key
        sig = await self.agent("7")
        await self.agent("8")
        second = await self.ws("/ws/signalling")  # takes no session that has its agent
        for said in ("HELLO 43", "SESSION 8"):
            await second.send_str(said)
        self.assertEqual([await asyncio.wait_for(second.receive_str(), STEP) for _ in "12"],
                         ["HELLO", "ERROR session 8 already has an agent"])
        # which that session's administrator is told of, also one who comes later
        con8 = await self.ws("/ws/console?session=8", origin=self.origin)
        self.assertEqual([(await asyncio.wait_for(con8.receive_json(), STEP))["event"]
                          for _ in range(3)], ["welcome", "warning", "agent-joined"])
        for header in ({"Origin": self.origin}, {"Sec-Fetch-Site": "same-origin"}):
            for path in ("/7/ws/input", "/ws/signalling"):  # from a web page
                await self.refused(path, headers=dict(self.auth, **header))
        inp, other = await self.ws("/7/ws/input"), await self.ws("/8/ws/input")
        await self.ws("/7/ws/cursor")
        # A second reader of the session's keys (or cursor) is refused; the administrator is told.
        for kind in ("input", "cursor"):
            await self.channel_is(kind, True)
            thief = await self.ws("/7/ws/" + kind)
            await asyncio.wait_for(thief.receive(), STEP)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY, kind)
            while (await asyncio.wait_for(con.receive_json(), STEP))["event"] != "warning":
                pass  # agent-joined
        key = '{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}'
        for m in ("not json", '{"other":1}', '{"sdp":{}}', key):
            await con.send_str(m)
        self.assertEqual((await asyncio.wait_for(inp.receive(), STEP)).data, key)  # only input
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(other.receive(), 0.3)
        self.assertNotRegex("\n".join(self.log.output), r'"q"|81')
        # Its channels go with the agent.
        await sig.close()
        self.assertEqual((await asyncio.wait_for(inp.receive(), STEP)).type,
                         aiohttp.WSMsgType.CLOSE)

    async def test_dead_console_and_channel_are_let_go(self):
        self.server.channel_heartbeat = self.server.console_heartbeat = 0.2
        await self.agent("7")
        for path, origin, holder in (("/7/ws/input", None, lambda s: s.channels["input"]),
                                     ("/ws/console?session=7", self.origin, lambda s: s.console)):
            await self.ws(path, origin=origin, autoping=False)  # reads nothing, answers no ping
            for present in (True, False):
                self.assertTrue(await poll(
                    lambda: (holder(self.server.sessions["7"]) is not None) == present, STEP), path)

    async def test_what_needs_no_key_is_bounded(self):
        settings = self.origin + "/assistant/%d/settings"
        for n in range(devserver.AUTO_CREATED_MAX + 1):  # sessions made by naming them
            async with self.http.get(settings % (100 + n)) as r:
                self.assertEqual(r.status, 404 if n == devserver.AUTO_CREATED_MAX else 200, n)
        sig = await self.ws("/ws/signalling")
        for _ in range(3 * devserver.WARNINGS_PER_MINUTE):
            await sig.send_bytes(b"junk")
        await sig.send_str("HELLO 1")  # answered after the junk
        self.assertEqual(await asyncio.wait_for(sig.receive_str(), STEP), "HELLO")
        await sig.send_str("x" * (devserver.MAX_MESSAGE["signalling"] + 1))
        self.assertEqual((await asyncio.wait_for(sig.receive(), STEP)).type,
                         aiohttp.WSMsgType.CLOSE)
        self.assertEqual(sig.close_code, aiohttp.WSCloseCode.MESSAGE_TOO_BIG)
        self.assertEqual(sum("non-text frame" in line for line in self.log.output),
                         devserver.WARNINGS_PER_MINUTE)
