#!/usr/bin/python3
"""Media over bad networks (run by bench/network.sh inside the private network namespace, with
Xvfb): for each codec and screen content (a still page, a terminal scrolling text over the whole
screen) one session with headless Chromium, whose path is shaped with nftables phase by phase:
random UDP loss of 0, 1, 3 and 10%, on an open uplink and on ones policed to 1 Mbit/s and 500
kbit/s (the narrow cells repeated with --repeat, median and worst printed), and with --step a
change of capacity during the call, 3 -> 1 -> 3 Mbit/s. Per phase:
frames/s decoded by the browser, the longest time without a new frame, kbit/s received, NACKs
and PLIs sent by the browser, keyframes decoded. First, on the open path without loss, the
agent's CPU against the bare capture-and-encode pipeline with the agent's encoder settings, the
two side by side over the same window: the same screen and the same load from the browser, which
a scrolling terminal (its speed depends on what else runs) and the browser's decoding would not
give one after the other."""

import argparse
import asyncio
import base64
import json
import math
import os
import statistics
import shutil
import subprocess
import tempfile
import time

from Xlib import X

from benchkit import bare_running, cpu_seconds, harness
from harness import SCROLLING, Harness, set_path

LOSSES = (0, 1, 3, 10)
# A still page of text over the whole screen: nothing moves, but every keyframe is large.
STILL = SCROLLING[:-1] + ["ls -l /usr/lib/x86_64-linux-gnu | head -n 80; exec sleep infinity"]
CONTENT = {"still": STILL, "scrolling": SCROLLING}
UPLINKS = ((0, "open"), (125, "1 Mbit/s"), (62, "500 kbit/s"))


async def measure(h, args, uplink, loss, limit):
    set_path(loss=loss, limit_kbytes=limit)
    await asyncio.sleep(args.settle)
    a, t0 = await h.inbound_video(), time.monotonic()
    gap = await h.frame_gap(args.seconds)
    b, t1 = await h.inbound_video(), time.monotonic()
    dt = t1 - t0
    if h.agent.poll() is not None:
        raise AssertionError("the agent exited")
    return {"uplink": uplink, "loss": loss, "gap": gap,
            "fps": (b["framesDecoded"] - a["framesDecoded"]) / dt,
            "kbps": (b["bytesReceived"] - a["bytesReceived"]) * 8 / dt / 1000,
            "nacks": b["nackCount"] - a["nackCount"], "plis": b["pliCount"] - a["pliCount"],
            "keyframes": b["keyFramesDecoded"] - a["keyFramesDecoded"]}


async def phases(h, args, uplinks):
    """One row per cell; a narrow cell is run --repeat times, each from the open path (so each
    includes the fall onto the narrow one), and its row gives the median and the worst run."""
    rows = []
    for limit, uplink in uplinks:
        for loss in args.losses:
            runs = []
            for _ in range(args.repeat if limit else 1):
                if limit and args.repeat > 1:
                    set_path(loss=loss)
                    await asyncio.sleep(args.settle)
                runs.append(await measure(h, args, uplink, loss, limit))
            row = dict(runs[0])
            for key, worst in (("fps", min), ("gap", max)):
                row[key] = statistics.median(r[key] for r in runs)
                row[key + "_worst"] = worst(r[key] for r in runs)
            for key in ("kbps", "nacks", "plis", "keyframes"):
                row[key] = statistics.median(r[key] for r in runs)
            row["runs"] = len(runs)
            rows.append(row)
    set_path()
    return rows


def offered_bytes():
    """UDP bytes that reached the namespace's input hook before any shaping."""
    out = subprocess.run(["nft", "-j", "list", "table", "inet", "kvcount"], capture_output=True,
                         text=True, check=True).stdout
    for item in json.loads(out)["nftables"]:
        for expr in item.get("rule", {}).get("expr", []):
            if "counter" in expr:
                return expr["counter"]["bytes"]
    return 0


async def step(h, args):
    """Capacity 3 -> 1 -> 3 Mbit/s during the call: the time until what the agent offers the
    path (UDP into the namespace over the last 0.5 s, counted before the policer) is under the
    new capacity, the longest gap over the narrow period, and the rate 10 s after it widens."""
    subprocess.run(["nft", "-f", "-"], check=True, input=(
        b"table inet kvcount\ndelete table inet kvcount\ntable inet kvcount {\n chain in {\n"
        b"  type filter hook input priority -10;\n  meta l4proto udp counter\n }\n}\n"))
    samples = []

    async def sample(seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            samples.append((time.monotonic(), offered_bytes()))
            await asyncio.sleep(0.1)

    def rate_at(i, window=0.5):
        t, b = samples[i]
        j = max(k for k in range(i + 1) if samples[k][0] <= t - window or k == 0)
        return (b - samples[j][1]) * 8 / 1000 / max(t - samples[j][0], 1e-3)

    try:
        set_path(limit_kbytes=375)
        await asyncio.sleep(args.settle + 7)
        set_path(limit_kbytes=125)
        t_step, first = time.monotonic(), len(samples)
        narrow = args.seconds
        gap, _ = await asyncio.gather(h.frame_gap(narrow), sample(narrow))
        under = next((samples[i][0] - t_step for i in range(first, len(samples))
                      if samples[i][0] - t_step >= 0.5 and rate_at(i) < 1000), None)
        set_path(limit_kbytes=375)
        samples.clear()
        await sample(10)
        up = rate_at(len(samples) - 1, 2)
    finally:
        set_path()
        subprocess.run(["nft", "delete", "table", "inet", "kvcount"], check=False)
    return {"under": under, "gap": gap, "up": up}

# The luma (BT.601, full range) of the console's current video frame, one byte a pixel, base64.
FRAME_LUMA_JS = """(() => {
  const v = kvConsole.video, c = document.createElement('canvas');
  c.width = v.videoWidth; c.height = v.videoHeight;
  const g = c.getContext('2d', {willReadFrequently: true});
  g.drawImage(v, 0, 0);
  const d = g.getImageData(0, 0, c.width, c.height).data, y = new Uint8Array(c.width * c.height);
  for (let i = 0; i < y.length; i++)
    y[i] = Math.round(0.299 * d[4 * i] + 0.587 * d[4 * i + 1] + 0.114 * d[4 * i + 2]);
  let s = '';
  for (let i = 0; i < y.length; i += 65536) s += String.fromCharCode(...y.subarray(i, i + 65536));
  return [c.width, c.height, btoa(s)];
})()"""


async def still_psnr(h, args):
    """Luma PSNR (dB) of the decoded still page against the screen, on the 1 Mbit/s path."""
    set_path(limit_kbytes=125)
    try:
        await asyncio.sleep(args.settle + args.seconds)
        width, height, luma = await h.evaluate(FRAME_LUMA_JS)
        decoded = base64.b64decode(luma)
        raw = h.x.screen().root.get_image(0, 0, width, height, X.ZPixmap, 0xFFFFFFFF).data
    finally:
        set_path()
    # Xvfb's 24-bit root is BGRX; the pointer's few pixels count against the picture.
    error = sum((round(0.299 * raw[4 * i + 2] + 0.587 * raw[4 * i + 1] + 0.114 * raw[4 * i])
                 - decoded[i]) ** 2 for i in range(width * height)) / (width * height)
    return 10 * math.log10(255 ** 2 / error) if error else float("inf")


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
        rows = await phases(h, args, uplinks)
        if content == "still" and args.psnr:
            rows[0]["psnr"] = await still_psnr(h, args)
        return rows, cpu, (await step(h, args) if args.step else None)
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
    ap.add_argument("--repeat", type=int, default=1,
                    help="runs of each narrow cell, from the open path each time")
    ap.add_argument("--step", action="store_true",
                    help="after the phases, the capacity step 3 -> 1 -> 3 Mbit/s")
    ap.add_argument("--psnr", action="store_true",
                    help="after the still page's phases, its luma PSNR on the 1 Mbit/s path")
    args = ap.parse_args()
    workdir = tempfile.mkdtemp(prefix="kv-netbench-")
    print("| codec | content | uplink | loss | runs | frames/s median (worst) "
          "| longest gap s median (worst) | kbit/s | NACKs | PLIs | keyframes | agent CPU % "
          "| bare CPU % |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    steps = []
    try:
        for codec in args.codecs:
            for content in args.contents:
                rows, cpu, stepped = asyncio.run(session(args, codec, content, workdir))
                for i, r in enumerate(rows):
                    print("| %s | %s | %s | %d%% | %d | %.1f (%.1f) | %.1f (%.1f) | %.0f | %d | %d "
                          "| %d | %s |" % (
                              codec, content, r["uplink"], r["loss"], r["runs"], r["fps"],
                              r["fps_worst"], r["gap"], r["gap_worst"], r["kbps"], r["nacks"],
                              r["plis"], r["keyframes"],
                              "%.0f | %.0f" % tuple(cpu) if cpu and i == 0 else " | "),
                          flush=True)
                if "psnr" in rows[0]:
                    print("\n%s, still page on the 1 Mbit/s path: luma PSNR %.1f dB\n"
                          % (codec, rows[0]["psnr"]), flush=True)
                if stepped:
                    steps.append((codec, content, stepped))
        if steps:
            print("\n| codec | content | 3 -> 1 Mbit/s: s until offered < 1 Mbit/s "
                  "| longest gap s | 1 -> 3 Mbit/s: kbit/s offered after 10 s |")
            print("|---|---|---|---|---|")
            for codec, content, st in steps:
                print("| %s | %s | %s | %.1f | %.0f |" % (
                    codec, content, "%.1f" % st["under"] if st["under"] is not None else "never",
                    st["gap"], st["up"]))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
