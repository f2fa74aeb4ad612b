"""The development server's safety rules: the key, the console socket from its own origin only,
input to the session's one input channel only, a dead channel let go."""

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
        ws = await self.http.ws_connect(self.ws_base + path, headers=self.auth, **kw)
        self.addAsyncCleanup(ws.close)
        return ws

    async def channel_is(self, kind, present):
        self.assertTrue(await poll(
            lambda: (self.server.sessions["7"].channels[kind] is not None) == present, STEP))

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
                url = self.origin + "/assistant" + path + ("&" if "?" in path else "?") + query
                async with self.http.request(method, url, headers=headers) as r:
                    self.assertEqual("ok" if r.status < 300 else r.status, status,
                                     (method, path, headers, query))
        self.assertNotIn(KEY, "\n".join(self.log.output))

    async def test_console_socket_takes_only_the_servers_own_origin(self):
        for origin in ("http://evil.example", self.origin + ".evil.example", "null",
                       self.origin.replace("127.0.0.1", "localhost")):
            with self.assertRaises(aiohttp.WSServerHandshakeError) as refused:
                await self.ws("/ws/console?session=1", origin=origin)
            self.assertEqual(refused.exception.status, 403, origin)
        con = await self.ws("/ws/console?session=1", origin=self.origin)
        self.assertEqual((await asyncio.wait_for(con.receive_json(), STEP))["event"], "welcome")

    async def test_input_goes_to_the_one_input_channel_only(self):
        con = await self.ws("/ws/console?session=7", origin=self.origin)
        await asyncio.wait_for(con.receive_json(), STEP)  # welcome
        inp, other = await self.ws("/7/ws/input"), await self.ws("/8/ws/input")
        await self.ws("/7/ws/cursor")
        # A second reader of the session's keys (or cursor) is refused; the administrator is told.
        for kind in ("input", "cursor"):
            await self.channel_is(kind, True)
            thief = await self.ws("/7/ws/" + kind)
            await asyncio.wait_for(thief.receive(), STEP)
            self.assertEqual(thief.close_code, devserver.CHANNEL_BUSY, kind)
            self.assertEqual((await asyncio.wait_for(con.receive_json(), STEP))["event"], "warning")
        key = '{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}'
        for m in ("not json", '{"other":1}', '{"sdp":{}}', key):
            await con.send_str(m)
        self.assertEqual((await asyncio.wait_for(inp.receive(), STEP)).data, key)  # only input
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(other.receive(), 0.3)
        self.assertNotRegex("\n".join(self.log.output), r'"q"|81')

    async def test_a_dead_input_channel_is_let_go(self):
        self.server.channel_heartbeat = 0.2
        await self.ws("/7/ws/input", autoping=False)  # reads nothing, answers no ping
        await self.channel_is("input", True)
        await self.channel_is("input", False)
        await self.ws("/7/ws/input")
        await self.channel_is("input", True)
