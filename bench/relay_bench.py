#!/usr/bin/python3
"""Calls through a TURN relay (coturn) with UDP and TCP to and from the host address dropped, as a
firewall would: per protocol to the relay and screen content, the time from the agent's join to
ICE in use and the frames per second at the browser. Changes the firewall of its network
namespace, so run it in one of its own:
scripts/netns-run.sh scripts/xvfb-run.sh /usr/bin/python3 bench/relay_bench.py"""

import argparse
import asyncio
import datetime
import re
import shutil
import subprocess
import tempfile
import time

import benchkit  # noqa: F401  (the e2e kit on the path)
from harness import SCROLLING, Harness, devserver, read, terminate
from test_relay import FIREWALL

STILL = SCROLLING[:-1] + ["ls -l /usr/lib/x86_64-linux-gnu | head -n 80; exec sleep infinity"]
STAMP = r"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) [^]]*\] \[PID:\d+\] \[\w+\] "


def stamp(log, text):
    m = re.search(STAMP + re.escape(text), log)
    return datetime.datetime.fromisoformat(m.group(1)) if m else None


async def cell(h, relay, transport, content, seconds):
    screen = subprocess.Popen(content)
    try:
        relay.transports = (transport,)
        h.args = ["--force"] if transport == "tls" else []  # the relay's certificate is its own
        await h.call(timeout=30)
        await asyncio.sleep(2)  # the path settles
        first, t0 = (await h.stats())["framesDecoded"], time.monotonic()
        await asyncio.sleep(seconds)
        fps = ((await h.stats())["framesDecoded"] - first) / (time.monotonic() - t0)
        log = read(h.agent_log)
        joined, up = stamp(log, "Got message from server: SESSION_OK"), stamp(log, "ICE pair")
        pair = re.search(r"ICE pair in use: (.*)", log)
        terminate(h.agent)
        await h.wait_for("kvConsole.state.agent === 'waiting'", 10, "the console's reset")
        return ((up - joined).total_seconds() if joined and up else float("nan"), fps,
                pair.group(1) if pair else "?")
    finally:
        terminate(screen)


async def run(args):
    relay = devserver.Relay().start()
    workdir = tempfile.mkdtemp(prefix="kv-relay-bench-")
    h = Harness(workdir, args.codec, "OPUS", relay)
    try:
        await h.open()
        subprocess.run(["nft", "-f", "-"], input=FIREWALL.encode(), check=True)
        print("| relay | screen | joined to ICE in use | frames/s | pair |\n|---|---|---|---|---|")
        for transport in args.transports:
            for name in args.contents:
                took, fps, pair = await cell(h, relay, transport, {"still": STILL,
                                             "scrolling": SCROLLING}[name], args.seconds)
                print("| %s | %s | %.2f s | %.1f | %s |" % (transport, name, took, fps, pair),
                      flush=True)
    finally:
        await h.stop()
        relay.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--codec", default="VP8", choices=["VP8", "h264"])
    ap.add_argument("--transports", nargs="+", default=["tcp", "tls"])
    ap.add_argument("--contents", nargs="+", default=["still", "scrolling"])
    ap.add_argument("--seconds", type=float, default=20)
    asyncio.run(run(ap.parse_args()))


if __name__ == "__main__":
    main()
