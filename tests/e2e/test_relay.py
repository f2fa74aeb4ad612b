"""Through a TURN relay (coturn, started here) when the host address is blocked:
over TCP and over TLS the call connects through it, and input arrives; with nothing dropped the
direct path is kept. Runs in a network namespace of its own (see CMakeLists.txt): its firewall
rules must not reach the suites beside it."""

import asyncio
import os
import re
import subprocess
import tempfile
import unittest
import urllib.parse

from harness import IN_PRIVATE_NETNS, Harness, devserver, poll, read, terminate

HOST = "127.0.0.2"
# UDP to and from the host address dropped, and TCP too: both peers also offer ICE over TCP, a
# direct path that a firewall blocking UDP would leave open here. The relay stays reachable.
FIREWALL = """table inet kvrelay {
 chain in {
  type filter hook input priority 0;
  ip saddr %s drop
  ip daddr %s drop
 }
}
""" % (HOST, HOST)
PAIR = re.compile(r"ICE pair in use: local (\w+)/\w+(?:, to the relay over (\w+))?, remote (\w+)")


@unittest.skipUnless(IN_PRIVATE_NETNS, "needs the private network namespace")
@unittest.skipUnless(os.environ.get("DISPLAY"), "needs an X display")
class RelayTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        asyncio.get_running_loop().slow_callback_duration = 2  # quiet about blocking waits
        self.relay = devserver.Relay().start()
        self.addCleanup(self.relay.stop)
        self.h = Harness(self.enterContext(tempfile.TemporaryDirectory(prefix="kv-relay-")),
                         relay=self.relay)
        self.addAsyncCleanup(self.h.stop)
        # Everything webrtcbin's ICE says, in the log whose secrets are looked for.
        self.h.env = {"KVNO_DEBUG": "1", "GST_DEBUG": "webrtcnice:7"}
        self.logs = ""

    async def call(self, transports):
        """One call with the relay offered on these transports: the agent's pair in use, the
        browser's, and whether a mouse move reached X."""
        h = self.h
        if h.agent is not None:
            terminate(h.agent)
            self.logs += read(h.agent_log)  # each agent writes it afresh
            await h.wait_for("kvConsole.state.agent === 'waiting'", 10, "the console's reset")
        self.relay.transports = transports
        await h.call(timeout=30)
        pair = await poll(lambda: PAIR.search(read(h.agent_log)), 10)
        self.assertTrue(pair, read(h.agent_log)[-3000:])
        h.x.warp(5, 5)
        return pair.groups(), await h.selected_pair(), await h.move_mouse(321, 123)

    async def test_relayed_over_tcp_and_tls_direct_when_open(self):
        h = self.h
        await h.open()
        # Host or peer-reflexive (a check that came before the candidate) on both sides.
        agent, browser, moved = await self.call(("udp", "tcp", "tls"))
        self.assertNotIn("relay", agent + tuple(browser))
        self.assertTrue(moved, "pointer at %s" % (h.x.pointer(),))
        told = await h.evaluate("kvPeers.at(-1).getConfiguration().iceServers")
        self.assertEqual([s["urls"] for s in told], [self.relay.ice_server("1")["urls"]])

        subprocess.run(["nft", "-f", "-"], input=FIREWALL.encode(), check=True)
        for transport in ("tcp", "tls"):
            with self.subTest(transport=transport):
                # The relay's certificate is its own: the agent takes it with "force" only (the
                # refusal is the proxy's unit test).
                h.args = ["--force"] if transport == "tls" else []
                agent, browser, moved = await self.call((transport,))
                self.assertEqual(agent[:2], ("relay", transport))
                self.assertIn("relay", browser[:2])
                self.assertTrue(moved, "pointer at %s" % (h.x.pointer(),))

        log = self.logs + read(h.agent_log)
        self.assertIn("serverApiSettings: relay #0: turns://***@127.0.0.1:%d?transport=tcp"
                      % self.relay.tls_port, log)
        # As given, and as written into webrtcbin's URIs (which its debug lines show).
        for secret in (s for pair in self.relay.issued for s in pair):
            for form in (secret, urllib.parse.quote(secret, safe="")):
                self.assertFalse(form in log, "%s is in the agent's log" % form)
