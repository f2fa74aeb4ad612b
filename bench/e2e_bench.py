#!/usr/bin/python3
"""End-to-end figures of one local session at 1920x1080 (run by bench/run.sh inside the private
network namespace, with Xvfb): the agent's CPU against the bare capture-and-encode pipeline,
frames per second at the browser, glass-to-glass latency, input latency, resident memory."""

import argparse
import asyncio
import contextlib
import os
import random
import shutil
import statistics
import tempfile
import threading
import time

from benchkit import bare_pipeline, cpu_seconds, rss_mb, watch_pixel
from harness import Harness, XProbe


def percentile(values, p):
    values = sorted(values)
    k = (len(values) - 1) * p / 100
    lo = int(k)
    hi = min(lo + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


class PointerWatch(threading.Thread):
    """Polls the X pointer on its own connection; records when each position was first seen."""

    def __init__(self):
        super().__init__(daemon=True)
        self.seen = {}
        self.stop = threading.Event()

    def run(self):
        with contextlib.closing(XProbe()) as x:
            while not self.stop.is_set():
                pos = x.pointer()
                if pos not in self.seen:
                    self.seen[pos] = time.time()


SEND_MOVES_JS = """
async (n, gapMs) => {
  const sent = [];
  for (let i = 0; i < n; i++) {
    const x = 100 + i, y = 100 + (i * 7) % 800;
    sent.push([x, y, performance.timeOrigin + performance.now()]);
    kvConsole.sendInput({mouseEvent: {type: "mousemove", x, y}});
    await new Promise((r) => setTimeout(r, gapMs));
  }
  return sent;
}
"""


async def input_latency(h, count=500, gap_ms=10):
    watch = PointerWatch()
    h.x.warp(1, 1)
    watch.start()
    try:
        sent = await h.evaluate("(%s)(%d, %d)" % (SEND_MOVES_JS.strip(), count, gap_ms))
        await asyncio.sleep(0.5)
    finally:
        watch.stop.set()
        watch.join()
    lat = [(watch.seen[(x, y)] * 1000 - t) for x, y, t in sent if (x, y) in watch.seen]
    return lat, count - len(lat)


async def glass_to_glass(h, rounds=30):
    colours = [0xD02020, 0x20D020, 0x2020D0, 0xE0E020]
    samples = []
    for i in range(rounds):
        rgb = colours[i % len(colours)]
        watch = asyncio.ensure_future(watch_pixel(h, 1700, 950, rgb, tol=48, timeout_ms=3000))
        # The watcher is armed before the change; a random phase against the 10-Hz capture, so
        # that the rounds do not fall into step with it.
        await asyncio.sleep(0.25 + random.random() * 0.1)
        changed = time.time() * 1000
        h.x.fill_root(rgb)
        seen = await watch
        if seen["at"] is not None:
            samples.append(seen["at"] - changed)
        await asyncio.sleep(0.2)
    return samples


async def session(args, workdir):
    h = Harness(workdir, args.codec, "OPUS")
    out = {}
    try:
        await h.start(timeout=90)
        pid = h.agent.pid
        h.x.fill_root(0x303840)
        await asyncio.sleep(5)
        # CPU and frame rate over the same window, on a static screen.
        s0, c0, t0 = await h.stats(), cpu_seconds(pid), time.monotonic()
        await asyncio.sleep(args.cpu_seconds)
        s1, c1, t1 = await h.stats(), cpu_seconds(pid), time.monotonic()
        out["agent_cpu"] = (c1 - c0) / (t1 - t0) * 100
        out["fps"] = (s1["framesDecoded"] - s0["framesDecoded"]) / (t1 - t0)
        out["resolution"] = "%dx%d" % (s1["width"], s1["height"])
        out["rtt"] = s1["rtt"]
        out["bitrate"] = s1["bitrate"]
        out["rss_early"] = rss_mb(pid)
        out["g2g"] = await glass_to_glass(h)
        out["input"], out["input_lost"] = await input_latency(h)
        # Memory: sample until the session has run for the requested time.
        rss = [rss_mb(pid)]
        end = t0 + args.minutes * 60
        while time.monotonic() < end:
            await asyncio.sleep(min(30, max(0.1, end - time.monotonic())))
            rss.append(rss_mb(pid))
            if h.agent.poll() is not None:
                raise AssertionError("the agent exited during the run")
        out["rss"] = rss
        out["pc"] = await h.evaluate("kvConsole.state.pc")
    finally:
        if os.environ.get("KV_KEEP_LOG"):
            shutil.copy(h.agent_log, os.environ["KV_KEEP_LOG"])
        await h.stop()
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--codec", default="VP8", choices=["VP8", "h264"])
    ap.add_argument("--minutes", type=float, default=5, help="length of the session")
    ap.add_argument("--cpu-seconds", type=float, default=30)
    args = ap.parse_args()
    workdir = tempfile.mkdtemp(prefix="kv-bench-")
    try:
        with contextlib.closing(XProbe()) as x:
            x.fill_root(0x303840)
        bare_cpu, bare_rss = bare_pipeline(args.codec, args.cpu_seconds, workdir)
        r = asyncio.run(session(args, workdir))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    g2g, inp, rss = r["g2g"], r["input"], r["rss"]
    print("1920x1080 %s, static screen; session of %.1f min" % (args.codec, args.minutes))
    print("agent CPU            %.1f %% of one core (bare pipeline %.1f %%; ratio %.2f)" % (
        r["agent_cpu"], bare_cpu, r["agent_cpu"] / bare_cpu if bare_cpu else float("nan")))
    print("browser frame rate   %.2f fps at %s, %.0f kbit/s, RTT %s" % (
        r["fps"], r["resolution"], r["bitrate"] / 1000,
        "%.1f ms" % r["rtt"] if r["rtt"] is not None else "n/a"))
    if g2g:
        print("glass to glass       median %.0f ms, p90 %.0f ms, min %.0f, max %.0f (%d of 30)" % (
            statistics.median(g2g), percentile(g2g, 90), min(g2g), max(g2g), len(g2g)))
    else:
        print("glass to glass       no change detected")
    if inp:
        print("input latency        p50 %.2f ms, p99 %.2f ms, max %.2f ms; %d of %d lost" % (
            percentile(inp, 50), percentile(inp, 99), max(inp), r["input_lost"],
            len(inp) + r["input_lost"]))
    else:
        print("input latency        no event arrived")
    print("resident memory      agent %.1f MB after 35 s, %.1f MB at the end (min %.1f, max "
          "%.1f); bare pipeline %.1f MB; difference %.1f MB" % (
              r["rss_early"], rss[-1], min(rss), max(rss), bare_rss, rss[-1] - bare_rss))
    print("connection state     %s" % r["pc"])


if __name__ == "__main__":
    main()
