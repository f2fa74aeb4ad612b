#!/usr/bin/python3
"""Media over bad networks (run by bench/network.sh inside the private network namespace, with
Xvfb): for each codec and screen content (a still page, a terminal scrolling text over the whole
screen) one session with headless Chromium, whose path is shaped with nftables phase by phase:
random UDP loss of 0, 1, 3 and 10%, on an open uplink and on one policed to 1 Mbit/s. Per phase:
frames/s decoded by the browser, the longest time without a new frame, kbit/s received, NACKs
and PLIs sent by the browser. First, on the open path without loss, the agent's CPU against the
bare capture-and-encode pipeline with the agent's encoder settings, the two side by side over the
same window: the same screen and the same load from the browser, which a scrolling terminal
(its speed depends on what else runs) and the browser's decoding would not give one after the
other."""

import argparse
import asyncio
import os
import shutil
import subprocess
import tempfile
import time

from benchkit import bare_running, cpu_seconds, harness
from harness import SCROLLING, Harness, set_path

LOSSES = (0, 1, 3, 10)
# A still page of text over the whole screen: nothing moves, but every keyframe is large.
STILL = SCROLLING[:-1] + ["ls -l /usr/lib/x86_64-linux-gnu | head -n 80; exec sleep infinity"]
CONTENT = {"still": STILL, "scrolling": SCROLLING}
UPLINKS = ((0, "open"), (125, "1 Mbit/s"))


async def phases(h, args, uplinks):
    rows = []
    for limit, uplink in uplinks:
        for loss in args.losses:
            set_path(loss=loss, limit_kbytes=limit)
            await asyncio.sleep(args.settle)
            a, t0 = await h.inbound_video(), time.monotonic()
            gap = await h.frame_gap(args.seconds)
            b, t1 = await h.inbound_video(), time.monotonic()
            dt = t1 - t0
            rows.append({
                "uplink": uplink, "loss": loss, "gap": gap,
                "fps": (b["framesDecoded"] - a["framesDecoded"]) / dt,
                "kbps": (b["bytesReceived"] - a["bytesReceived"]) * 8 / dt / 1000,
                "nacks": b["nackCount"] - a["nackCount"], "plis": b["pliCount"] - a["pliCount"]})
            if h.agent.poll() is not None:
                raise AssertionError("the agent exited")
    set_path()
    return rows


async def side_by_side(h, args, codec, workdir):
    """CPU (% of one core) of the agent and of the bare pipeline over the same window."""
    await asyncio.sleep(args.settle)
    with bare_running(codec, workdir) as bare:
        pids = (h.agent.pid, bare.pid)
        c0, t0 = [cpu_seconds(p) for p in pids], time.monotonic()
        await asyncio.sleep(args.seconds)
        c1, t1 = [cpu_seconds(p) for p in pids], time.monotonic()
    return [(b - a) / (t1 - t0) * 100 for a, b in zip(c0, c1)]


async def session(args, codec, content, workdir):
    term = subprocess.Popen(CONTENT[content], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    h = Harness(workdir, codec, "OPUS")
    try:
        await h.start(timeout=90)
        uplinks = [u for u in UPLINKS if u[1] in args.uplinks]
        cpu = None if args.no_cpu else await side_by_side(h, args, codec, workdir)
        return await phases(h, args, uplinks), cpu
    finally:
        set_path()
        if os.environ.get("KV_KEEP_LOG"):
            shutil.copy(h.agent_log, os.environ["KV_KEEP_LOG"])
        await h.stop()
        term.terminate()
        term.wait()


def main():
    # KVNO_DEBUG=1 gives the agent's DEBUG lines (bitrate changes, keyframe requests) in the log
    # that KV_KEEP_LOG keeps.
    harness.CLEARED = tuple(name for name in harness.CLEARED if name != "KVNO_DEBUG")
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--codecs", nargs="+", default=["VP8", "h264"])
    ap.add_argument("--contents", nargs="+", default=["still", "scrolling"])
    ap.add_argument("--losses", nargs="+", type=int, default=list(LOSSES))
    ap.add_argument("--uplinks", nargs="+", default=["open", "1 Mbit/s"])
    ap.add_argument("--seconds", type=float, default=15,
                    help="measured time per phase (under 30, a DevTools call's bound)")
    ap.add_argument("--settle", type=float, default=3, help="time after a path change")
    ap.add_argument("--no-cpu", action="store_true", help="skip the side-by-side CPU phase")
    args = ap.parse_args()
    workdir = tempfile.mkdtemp(prefix="kv-netbench-")
    print("| codec | content | uplink | loss | frames/s | longest gap s | kbit/s | NACKs | PLIs "
          "| agent CPU % | bare CPU % |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    try:
        for codec in args.codecs:
            for content in args.contents:
                rows, cpu = asyncio.run(session(args, codec, content, workdir))
                for i, r in enumerate(rows):
                    print("| %s | %s | %s | %d%% | %.1f | %.1f | %.0f | %d | %d | %s |" % (
                        codec, content, r["uplink"], r["loss"], r["fps"], r["gap"], r["kbps"],
                        r["nacks"], r["plis"],
                        "%.0f | %.0f" % tuple(cpu) if cpu and i == 0 else " | "), flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
