#!/usr/bin/python3
"""The headless demo: one local session with headless Chromium as the administrator; the agent
asks for consent as in a real session and xdotool answers its permission dialog. Prints a one-line
summary and saves a PNG of what the administrator sees. Run by scripts/demo.sh --headless inside
the private network namespace, with an X display."""

import argparse
import asyncio
import base64
import os
import pathlib
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Harness, answer_dialog, devserver, poll, read  # noqa: E402


async def give_consent(h, timeout=60):
    """Answers the permission dialog as a user would, once the agent has started."""
    await poll(lambda: h.agent, timeout, 0.1)
    return await answer_dialog(h.agent.pid, True, timeout)


async def run(args):
    tmp = tempfile.mkdtemp(prefix="kv-demo-")
    relay = devserver.Relay().start() if args.turn else None
    h = Harness(tmp, args.codec, args.audio, relay)
    h.settings["notifyConnection"] = True  # the agent asks as in a real session
    consent = asyncio.create_task(give_consent(h))
    ok = False
    try:
        await h.start(timeout=60)
        await consent
        consented = any("permission result" in line and line.endswith(": true")
                        for line in read(h.agent_log).splitlines())
        start = await h.stats()
        t0 = time.monotonic()
        await asyncio.sleep(args.seconds)
        end = await h.stats()
        fps = (end["framesDecoded"] - start["framesDecoded"]) / (time.monotonic() - t0)
        h.x.warp(5, 5)
        mouse = bool(await h.move_mouse(960, 540))
        key = await h.press_key("a", "KeyA", 65, 0x41)
        await h.cdp("Emulation.setDeviceMetricsOverride", width=1280, height=800,
                    deviceScaleFactor=1, mobile=False)  # the whole window in the screenshot
        await asyncio.sleep(1.5)  # one more stats period for the screenshot's panel
        end = await h.stats()
        shot = await h.cdp("Page.captureScreenshot", format="png")
        pathlib.Path(args.png).write_bytes(base64.b64decode(shot["data"]))
        greeting = await h.evaluate("kvConsole.dataChannel.texts.length > 0")
        pair = await h.selected_pair() or ["?", "?", None]
        print("demo: consent %s, %d frames decoded, %dx%d, %.1f fps, %s, %.0f kbit/s, RTT %s, "
              "%s, data channel %s, mouse move %s, key press %s; screenshot %s" % (
                  "given in the dialog" if consented else "NOT SEEN",
                  end["framesDecoded"], end["width"], end["height"], fps, end["codec"],
                  end["bitrate"] / 1000,
                  "%.1f ms" % end["rtt"] if end["rtt"] is not None else "n/a",
                  "relayed (%s %s-%s)" % (pair[2], *pair[:2]) if "relay" in pair[:2]
                  else "direct (%s-%s)" % tuple(pair[:2]),
                  "greeted" if greeting else "silent",
                  "arrived" if mouse else "LOST", "arrived" if key else "LOST", args.png),
              flush=True)
        ok = consented and end["framesDecoded"] > 0 and mouse and key
        return 0 if ok else 1
    except AssertionError as e:
        print("demo: failed: %s" % e, file=sys.stderr)
        return 1
    finally:
        consent.cancel()
        await h.stop()
        if relay:
            relay.stop()
        if ok and not args.keep_logs:
            shutil.rmtree(tmp, ignore_errors=True)
        else:
            print("demo: logs kept in %s" % tmp, flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--codec", default="VP8", choices=["VP8", "h264"])
    ap.add_argument("--audio", default="OPUS", choices=["OPUS", "G711"])
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--turn", action="store_true", help="a TURN relay beside the server")
    ap.add_argument("--png", default=os.path.abspath("demo-console.png"))
    ap.add_argument("--keep-logs", action="store_true")
    return asyncio.run(run(ap.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
