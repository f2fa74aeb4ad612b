"""What the benchmarks add to the e2e kit (tests/e2e/harness.py): the CPU and memory of a process,
the bare capture-and-encode pipeline to compare the agent with, and a per-frame pixel watch."""

import contextlib
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
# The agent's video branch with the encoder settings it applies when a call starts, at the
# ceiling where an open path takes the bitrate: what is left of the agent's CPU is its own.
VIDEO = {
    "VP8": "vp8enc deadline=1 target-bitrate=3000000 end-usage=cbr dropframe-threshold=60 "
           "buffer-size=1000 buffer-initial-size=500 buffer-optimal-size=600 "
           "max-intra-bitrate=300 overshoot=15 cpu-used=-6 ! rtpvp8pay ! queue ! "
           "application/x-rtp,media=video,encoding-name=VP8,payload=96",
    "h264": "video/x-raw,format=I420 ! x264enc tune=zerolatency pass=cbr bitrate=3000 ! "
            "rtph264pay ! queue ! application/x-rtp,media=video,encoding-name=H264,payload=96",
}

# Resolves with the wall-clock time (ms) of the first presented frame whose pixel (x, y) is within
# tol of rgb on every channel: the time its callback began, since reading the pixel back through a
# canvas takes this headless browser 20 to 30 ms that no viewer waits for.
WATCH_PIXEL_JS = """
(x, y, rgb, tol, timeoutMs) => new Promise((resolve) => {
  const v = kvConsole.video, c = document.createElement('canvas');
  c.width = c.height = 1;
  const g = c.getContext('2d', {willReadFrequently: true});
  const until = Date.now() + timeoutMs;
  const check = () => {
    const shown = Date.now();
    g.drawImage(v, x, y, 1, 1, 0, 0, 1, 1);
    const p = g.getImageData(0, 0, 1, 1).data, pixel = [p[0], p[1], p[2]];
    if (pixel.every((c, i) => Math.abs(c - rgb[i]) <= tol)) return resolve({at: shown, pixel});
    if (Date.now() > until) return resolve({at: null, pixel});
    v.requestVideoFrameCallback(check);
  };
  v.requestVideoFrameCallback(check);
})
"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    with open("/proc/%d/statm" % pid) as f:
        return int(f.read().split()[1]) * PAGE / 1e6


@contextlib.contextmanager
def bare_running(codec, workdir):
    """The agent's video branch into fakesink, as a process, past its start-up."""
    desc = ("ximagesrc startx=0 starty=0 endx=1919 endy=1079 show-pointer=TRUE use-damage=false "
            "! video/x-raw,framerate=10/1 ! videoconvert ! queue ! %s ! fakesink" % VIDEO[codec])
    proc = subprocess.Popen(["gst-launch-1.0", "-q"] + desc.split(), cwd=workdir,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(3)  # start-up is not part of the steady state
        yield proc
    finally:
        harness.terminate(proc)


def bare_pipeline(codec, seconds, workdir):
    """CPU (% of one core) and resident memory of the bare pipeline alone."""
    with bare_running(codec, workdir) as proc:
        c0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        return (cpu_seconds(proc.pid) - c0) / (time.monotonic() - t0) * 100, rss_mb(proc.pid)


async def watch_pixel(h, x, y, rgb, tol=40, timeout_ms=5000):
    """{at, pixel}: when (wall clock, ms) the console's video first showed about rgb at (x, y)
    (None if not within timeout_ms), and the pixel last read."""
    return await h.evaluate("(%s)(%d, %d, %s, %d, %d)" % (
        WATCH_PIXEL_JS.strip(), x, y, list(rgb.to_bytes(3, "big")), tol, timeout_ms))
