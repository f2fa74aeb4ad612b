#!/usr/bin/python3
"""The development server against fake agents and consoles speaking the wire protocols."""

import asyncio
import json
import logging
import os
import ssl
import sys
import tempfile
import unittest

import aiohttp

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "devserver"))
import devserver  # noqa: E402

STEP = 5.0  # bound on every single wait


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


class ServerCase(unittest.IsolatedAsyncioTestCase):
    version = "0.7.0"
    auto_create = True
    tls = False

    async def asyncSetUp(self):
        self.server = devserver.DevServer("/assistant", self.version, auto_create=self.auto_create)
        self.ctx = None
        if self.tls:
            self.tmp = tempfile.TemporaryDirectory()
            self.ctx = devserver.self_signed_context(self.tmp.name)
        self.runner, port = await devserver.start(self.server, "127.0.0.1", 0, self.ctx)
        scheme = "https" if self.tls else "http"
        self.base = "%s://127.0.0.1:%d/assistant" % (scheme, port)
        self.wsbase = self.base.replace("http", "ws", 1)
        client_ssl = False if self.tls else None
        self.http = aiohttp.ClientSession(connector=aiohttp.TCPConnector(ssl=client_ssl))
        self.log = Recorder()
        devserver.log.addHandler(self.log)
        devserver.log.setLevel(logging.DEBUG)

    async def asyncTearDown(self):
        devserver.log.removeHandler(self.log)
        await self.http.close()
        await self.runner.cleanup()
        if self.tls:
            self.tmp.cleanup()

    async def get_json(self, path, status=200):
        async with self.http.get(self.base + path) as r:
            self.assertEqual(r.status, status, path)
            return await r.json() if status == 200 else None

    async def ws(self, path):
        return await self.http.ws_connect(self.wsbase + path)

    async def recv(self, ws):
        msg = await asyncio.wait_for(ws.receive(), STEP)
        self.assertEqual(msg.type, aiohttp.WSMsgType.TEXT, msg)
        return msg.data

    async def recv_json(self, ws):
        return json.loads(await self.recv(ws))

    async def agent(self, session="7"):
        """A fake agent that has registered and asked to join the session."""
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 1234")
        self.assertEqual(await self.recv(sig), "HELLO")
        await sig.send_str("SESSION " + session)
        return sig

    async def console(self, session="7"):
        con = await self.ws("/ws/console?session=" + session)
        welcome = await self.recv_json(con)
        self.assertEqual(welcome["event"], "welcome")
        return con, welcome

    async def in_call(self, session="7"):
        sig = await self.agent(session)
        con, _ = await self.console(session)
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})
        return sig, con


class HttpApiTest(ServerCase):
    async def test_discovery_reports_the_version(self):
        doc = await self.get_json("/api/discover/")
        self.assertEqual(doc["server"]["version"], "0.7.0")

    async def test_both_settings_forms_serve_the_configured_session(self):
        async with self.http.put(self.base + "/admin/sessions/42", json={
            "notifyConnection": False, "displayName": "Ada", "audioEnable": False,
            "WebRTCMouseCursor": False, "StunServers": [{"urls": "stun:127.0.0.1:3478"}],
        }) as r:
            self.assertEqual(r.status, 200)
            info = await r.json()
        self.assertRegex(info["link"], r"^kvlo://127\.0\.0\.1:\d+/assistant/42$")
        for path in ("/42/settings", "/api/42/settings"):
            doc = await self.get_json(path)
            self.assertEqual(doc, {
                "notifyConnection": False, "displayName": "Ada", "audioEnable": False,
                "WebRTCMouseCursor": False, "StunServers": [{"urls": "stun:127.0.0.1:3478"}],
            }, path)

    async def test_new_sessions_get_defaults_and_distinct_numbers(self):
        async with self.http.post(self.base + "/admin/sessions", json={}) as r:
            first = await r.json()
        async with self.http.post(self.base + "/admin/sessions",
                                  json={"displayName": "Bob"}) as r:
            self.assertEqual(r.status, 201)
            second = await r.json()
        self.assertNotEqual(first["session"], second["session"])
        doc = await self.get_json("/%s/settings" % second["session"])
        self.assertEqual(doc["displayName"], "Bob")
        self.assertIs(doc["notifyConnection"], True)
        self.assertEqual(doc["StunServers"], [])

    async def test_bad_settings_are_refused(self):
        cases = [
            ({"notifyConnection": "false"}, "a string where a boolean belongs"),
            ({"displayName": 3}, "a number where a name belongs"),
            ({"StunServers": [{"urls": ["stun:127.0.0.1:1"]}]}, "urls as an array"),
            ({"unknown": 1}, "an unknown key"),
            ([], "not an object"),
        ]
        for body, why in cases:
            async with self.http.put(self.base + "/admin/sessions/5", json=body) as r:
                self.assertEqual(r.status, 400, why)
        async with self.http.put(self.base + "/admin/sessions/5", data=b"{") as r:
            self.assertEqual(r.status, 400, "broken JSON")

    async def test_console_pages_are_served(self):
        for path in ("/console/", "/console/console.js", "/console/console.css"):
            async with self.http.get(self.base + path) as r:
                self.assertEqual(r.status, 200, path)
        async with self.http.get(self.base.rsplit("/", 1)[0] + "/",
                                 allow_redirects=False) as r:
            self.assertEqual(r.status, 302)
            self.assertEqual(r.headers["Location"], "/assistant/console/")


class StrictServerTest(ServerCase):
    auto_create = False

    async def test_unknown_sessions_are_errors(self):
        await self.get_json("/9/settings", status=404)
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 77")
        self.assertEqual(await self.recv(sig), "HELLO")
        await sig.send_str("SESSION 9")
        self.assertEqual(await self.recv(sig), "ERROR session 9 not found")


class SignallingTest(ServerCase):
    async def test_registration_needs_hello_with_an_id(self):
        sig = await self.ws("/ws/signalling")
        for bad in ("HELLO", "hello 12", "SESSION 7", "HELLO 12 "):
            await sig.send_str(bad)
            self.assertTrue((await self.recv(sig)).startswith("ERROR"), bad)
        await sig.send_str("HELLO 12")
        self.assertEqual(await self.recv(sig), "HELLO")

    async def test_agent_waits_for_the_administrator(self):
        sig = await self.agent("7")
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(sig.receive(), 0.3)
        con, welcome = await self.console("7")
        self.assertTrue(welcome["agent"])
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})

    async def test_administrator_first_then_agent(self):
        con, welcome = await self.console("8")
        self.assertFalse(welcome["agent"])
        sig = await self.agent("8")
        self.assertEqual(await self.recv(sig), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})

    async def test_sdp_and_ice_are_relayed_verbatim(self):
        sig, con = await self.in_call()
        offer = '{"sdp":{"sdp":"v=0\\r\\n","type":"offer"}}'
        await sig.send_str(offer)
        self.assertEqual(await self.recv(con), offer)
        answer = json.dumps({"sdp": {"type": "answer", "sdp": "v=0\r\n"}})
        await con.send_str(answer)
        self.assertEqual(await self.recv(sig), answer)
        ice = '{"ice":{"candidate":"candidate:1 1 UDP 1 127.0.0.2 5000 typ host","sdpMLineIndex":0}}'
        await sig.send_str(ice)
        self.assertEqual(await self.recv(con), ice)
        await con.send_str(ice)
        self.assertEqual(await self.recv(sig), ice)

    async def test_session_is_held_by_one_agent(self):
        sig, con = await self.in_call("7")
        other = await self.agent("7")
        self.assertEqual(await self.recv(other), "ERROR session 7 already has an agent")

    async def test_malformed_and_repeated_session_requests(self):
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 10")
        await self.recv(sig)
        await sig.send_str("SESSION _bad")
        self.assertEqual(await self.recv(sig), "ERROR malformed SESSION request")
        await sig.send_str("SESSION 3")
        await sig.send_str("SESSION 4")
        self.assertEqual(await self.recv(sig), "ERROR already in session 3")

    async def test_administrator_leaving_ends_the_agents_call(self):
        sig, con = await self.in_call()
        await con.close()
        self.assertEqual(await self.recv(sig), "ERROR administrator left the session")

    async def test_agent_leaving_is_told_to_the_administrator(self):
        sig, con = await self.in_call()
        await sig.close()
        self.assertEqual(await self.recv_json(con), {"event": "agent-left"})
        # The session is free again for the next call.
        sig2 = await self.agent("7")
        self.assertEqual(await self.recv(sig2), "SESSION_OK")
        self.assertEqual(await self.recv_json(con), {"event": "agent-joined"})

    async def test_second_administrator_is_refused(self):
        con, _ = await self.console("7")
        con2 = await self.ws("/ws/console?session=7")
        doc = await self.recv_json(con2)
        self.assertEqual(doc["event"], "error")

    async def test_sdp_outside_a_call_is_dropped(self):
        con, _ = await self.console("7")
        sig = await self.ws("/ws/signalling")
        await sig.send_str("HELLO 11")
        await self.recv(sig)
        await sig.send_str('{"sdp":{"type":"offer","sdp":"x"}}')
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(con.receive(), 0.3)


class ChannelsTest(ServerCase):
    async def test_input_reaches_the_agents_input_channel_and_is_never_logged(self):
        sig, con = await self.in_call()
        inp = await self.ws("/7/ws/input")
        while not self.server.sessions["7"].inputs:
            await asyncio.sleep(0.01)
        messages = [
            '{"keyboardEvent":{"keyCode":81,"down":true,"key":"q"}}',
            '{"mouseEvent":{"type":"mousemove","x":10,"y":20}}',
            '{"mouseEvent":{"type":"mousedown","buttons":{"left":true}}}',
            '{"wheelEvent":{"up":-1}}',
            '{"shortcutEvent":{"key":"CTRL_ALT_DELETE"}}',
        ]
        for m in messages:
            await con.send_str(m)
        for m in messages:
            self.assertEqual(await self.recv(inp), m)
        self.assertFalse([line for line in self.log.lines if '"q"' in line or "81" in line])
        status = await self.get_json("/admin/sessions/7")
        self.assertEqual(status["inputRelayed"], 5)

    async def test_input_without_an_input_channel_is_dropped(self):
        sig, con = await self.in_call()
        await con.send_str('{"wheelEvent":{"up":1}}')
        await con.send_str("not json")
        await con.send_str('{"other":1}')
        for _ in range(100):
            status = await self.get_json("/admin/sessions/7")
            if status["inputDropped"] == 1:
                break
            await asyncio.sleep(0.01)
        self.assertEqual(status["inputDropped"], 1)

    async def test_cursor_messages_reach_the_administrator(self):
        sig, con = await self.in_call()
        cur = await self.ws("/7/ws/cursor")
        await cur.send_str("shape")
        self.assertEqual(await self.recv_json(con), {"cursor": "shape"})

    async def test_channels_of_other_sessions_get_nothing(self):
        sig, con = await self.in_call("7")
        other = await self.ws("/8/ws/input")
        await con.send_str('{"wheelEvent":{"up":1}}')
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(other.receive(), 0.3)


class OldApiServerTest(ServerCase):
    version = "0.6.9"

    async def test_old_version_is_reported(self):
        doc = await self.get_json("/api/discover/")
        self.assertEqual(doc["server"]["version"], "0.6.9")
        self.assertIn("WebRTCMouseCursor", await self.get_json("/api/3/settings"))


class TlsServerTest(ServerCase):
    tls = True

    async def test_https_and_wss_with_a_self_signed_certificate(self):
        doc = await self.get_json("/api/discover/")
        self.assertEqual(doc["server"]["version"], "0.7.0")
        sig, con = await self.in_call()
        await sig.send_str('{"ice":{"candidate":"c","sdpMLineIndex":0}}')
        self.assertEqual(await self.recv(con), '{"ice":{"candidate":"c","sdpMLineIndex":0}}')

    async def test_verifying_clients_refuse_the_certificate(self):
        strict = aiohttp.ClientSession(connector=aiohttp.TCPConnector(
            ssl=ssl.create_default_context()))
        try:
            with self.assertRaises(aiohttp.ClientConnectorCertificateError):
                await strict.get(self.base + "/api/discover/")
        finally:
            await strict.close()


if __name__ == "__main__":
    unittest.main()
