"""A stand-in for the agent's wire behaviour, built on webrtcbin: registers, joins a session,
offers a 1920x1080 VP8 stream at 10 frames per second and records what arrives on its input channel. Lets the console be tested on its own."""

import asyncio
import ctypes
import json

import aiohttp
import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstSdp", "1.0")
gi.require_version("GstWebRTC", "1.0")
from gi.repository import Gst, GstSdp, GstWebRTC  # noqa: E402

Gst.init(None)

VIDEO = ("vp8enc deadline=1 ! rtpvp8pay ! queue ! "
         "application/x-rtp,media=video,encoding-name=VP8,payload=96 ! ")


class FakeAgent:
    def __init__(self, ws_base, session):
        self.ws_base = ws_base
        self.session = session
        self.inputs = []
        self.pipe = self.webrtc = self.http = self.sig = self.inp = self.loop = None
        self.tasks = []

    async def start(self):
        self.loop = asyncio.get_running_loop()
        self.http = aiohttp.ClientSession()
        self.sig = await self.http.ws_connect(self.ws_base + "/ws/signalling")
        await self.sig.send_str("HELLO 4242")
        self.tasks.append(asyncio.create_task(self._signalling()))

    async def _signalling(self):
        async for msg in self.sig:
            if msg.type != aiohttp.WSMsgType.TEXT:
                continue
            text = msg.data
            if text == "HELLO":
                await self.sig.send_str("SESSION " + self.session)
                self.inp = await self.http.ws_connect(
                    "%s/%s/ws/input" % (self.ws_base, self.session))
                self.tasks.append(asyncio.create_task(self._input()))
            elif text == "SESSION_OK":
                self._start_pipeline()
            elif text.startswith("ERROR"):
                break
            else:
                doc = json.loads(text)
                if "sdp" in doc and doc["sdp"]["type"] == "answer":
                    _, sdp = GstSdp.SDPMessage.new_from_text(doc["sdp"]["sdp"])
                    answer = GstWebRTC.WebRTCSessionDescription.new(
                        GstWebRTC.WebRTCSDPType.ANSWER, sdp)
                    self.webrtc.emit("set-remote-description", answer, Gst.Promise.new())
                elif "ice" in doc:
                    self.webrtc.emit("add-ice-candidate", int(doc["ice"]["sdpMLineIndex"]),
                                     doc["ice"]["candidate"])

    async def _input(self):
        async for msg in self.inp:
            if msg.type == aiohttp.WSMsgType.TEXT:
                self.inputs.append(json.loads(msg.data))

    def _send(self, doc):
        text = json.dumps(doc, separators=(",", ":"), sort_keys=True)
        asyncio.run_coroutine_threadsafe(self.sig.send_str(text), self.loop)

    def _start_pipeline(self):
        desc = ("webrtcbin bundle-policy=max-bundle name=screenshare videotestsrc is-live=true ! "
                "video/x-raw,width=1920,height=1080,framerate=10/1 ! videoconvert ! queue ! %s"
                "screenshare." % VIDEO)
        self.pipe = Gst.parse_launch(desc)
        self.webrtc = self.pipe.get_by_name("screenshare")
        # No UPnP discovery: nothing may leave the machine. PyGObject drops a reference it never
        # took on the "ice-agent" object, so its wrapper is never released.
        ice = self.webrtc.get_property("ice-agent")
        agent = ice.get_property("agent")
        for wrapper in (ice, agent):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(wrapper))
        agent.set_property("upnp", False)
        self.webrtc.connect("on-negotiation-needed", self._on_negotiation_needed)
        self.webrtc.connect("on-ice-candidate", self._on_ice_candidate)
        self.pipe.set_state(Gst.State.PLAYING)

    def _on_negotiation_needed(self, element):
        promise = Gst.Promise.new_with_change_func(self._on_offer_created, element, None)
        element.emit("create-offer", None, promise)

    def _on_offer_created(self, promise, element, _):
        promise.wait()
        reply = promise.get_reply()  # keeps the structure alive while the offer is read
        offer = reply.get_value("offer")
        element.emit("set-local-description", offer, Gst.Promise.new())
        self._send({"sdp": {"sdp": offer.sdp.as_text(), "type": "offer"}})

    def _on_ice_candidate(self, element, mline, candidate):
        self._send({"ice": {"candidate": candidate, "sdpMLineIndex": mline}})

    async def stop(self):
        for t in self.tasks:
            t.cancel()
        for ws in (self.inp, self.sig):
            if ws is not None:
                await ws.close()
        if self.http is not None:
            await self.http.close()
        if self.pipe is not None:
            self.pipe.set_state(Gst.State.NULL)
            self.pipe = None
