// Administrator console: takes the administrator's end of a session. The agent offers; this page
// answers, shows the shared monitor, and sends keyboard, mouse and wheel events on the video to the
// agent's input channel (through the server) in the agent's own message format.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const video = $("screen");
  const base = new URL("..", location.href); // the server's path prefix, e.g. /assistant/
  // The server's key, from the address it printed; the page, its socket and the administration
  // need it.
  const key = new URLSearchParams(location.search).get("key") || "";
  const auth = { Authorization: "Bearer " + key };

  const state = {
    server: "disconnected",
    agent: "-",
    pc: "-",
    ice: "-",
    dc: "-",
    session: null,
    settings: null,
    error: null,
  };
  const stats = {
    width: 0, height: 0, fps: 0, bitrate: 0, rtt: null, codec: "",
    framesDecoded: 0, framesReceived: 0, bytesReceived: 0, calls: 0,
  };
  const dataChannel = { texts: [], binary: [] };
  let ws = null;
  let pc = null;
  let pendingIce = [];
  let statsTimer = null;
  let lastSample = null;
  let inputSent = 0;
  const keysDown = new Map(); // code (else keyCode) -> the event's members, for releasing on blur
  const buttonsDown = new Set();

  function log(text, cls) {
    const li = document.createElement("li");
    li.textContent = new Date().toISOString().substr(11, 12) + " " + text;
    if (cls) li.className = cls;
    const list = $("log");
    list.appendChild(li);
    while (list.children.length > 200) list.removeChild(list.firstChild);
    list.scrollTop = list.scrollHeight;
  }

  function show() {
    $("st-server").textContent = state.server;
    $("st-agent").textContent = state.agent;
    $("st-pc").textContent = state.pc;
    $("st-ice").textContent = state.ice;
    $("st-dc").textContent = state.dc;
    $("st-pc").className = state.pc === "connected" ? "ok" : state.pc === "failed" ? "bad" : "";
    $("s-res").textContent = stats.width ? stats.width + "\u00d7" + stats.height : "\u2013";
    $("s-fps").textContent = stats.width ? stats.fps.toFixed(1) : "\u2013";
    $("s-rate").textContent = stats.width ? (stats.bitrate / 1000).toFixed(0) + " kbit/s" : "\u2013";
    $("s-rtt").textContent = stats.rtt === null ? "\u2013" : stats.rtt.toFixed(1) + " ms";
    $("s-codec").textContent = stats.codec || "\u2013";
    $("s-frames").textContent = stats.framesDecoded;
    $("placeholder").style.display = stats.framesDecoded ? "none" : "flex";
    $("join-btn").disabled = ws !== null;
    $("leave-btn").disabled = ws === null;
  }

  function send(doc) {
    if (ws && ws.readyState === WebSocket.OPEN) {
      ws.send(JSON.stringify(doc));
      return true;
    }
    return false;
  }

  // The server hands out STUN URLs in the "stun:host:port" form that browsers take as they are.
  function iceServers() {
    const list = (state.settings && state.settings.StunServers) || [];
    return list.filter((s) => typeof s.urls === "string").map((s) => ({ urls: s.urls }));
  }

  function closePeer() {
    if (statsTimer) clearInterval(statsTimer);
    statsTimer = null;
    if (pc) pc.close();
    pc = null;
    pendingIce = [];
    lastSample = null;
    video.srcObject = null;
    state.pc = state.ice = state.dc = "-";
    Object.assign(stats, { width: 0, height: 0, fps: 0, bitrate: 0, rtt: null, codec: "" });
    show();
  }

  // One peer connection per call; a further offer in the same call is applied to it.
  function newPeer() {
    closePeer();
    stats.framesDecoded = stats.framesReceived = stats.bytesReceived = 0;
    stats.calls += 1;
    pc = new RTCPeerConnection({ iceServers: iceServers() });
    pc.onicecandidate = (ev) => {
      if (ev.candidate && ev.candidate.candidate) {
        send({ ice: { candidate: ev.candidate.candidate, sdpMLineIndex: ev.candidate.sdpMLineIndex } });
      }
    };
    pc.ontrack = (ev) => {
      if (ev.track.kind !== "video") return;
      video.srcObject = ev.streams[0] || new MediaStream([ev.track]);
      video.play().catch(() => {});
      log("video track received");
    };
    pc.onconnectionstatechange = () => {
      state.pc = pc.connectionState;
      log("WebRTC " + state.pc, state.pc === "failed" ? "bad" : "");
      show();
    };
    pc.oniceconnectionstatechange = () => {
      state.ice = pc.iceConnectionState;
      show();
    };
    pc.ondatachannel = (ev) => {
      const dc = ev.channel;
      dc.binaryType = "arraybuffer";
      state.dc = dc.label + " " + dc.readyState;
      dc.onopen = () => { state.dc = dc.label + " open"; show(); };
      dc.onclose = () => { state.dc = dc.label + " closed"; show(); };
      dc.onmessage = (m) => {
        if (typeof m.data === "string") {
          dataChannel.texts.push(m.data);
          log("data channel: " + m.data, "ok");
        } else {
          dataChannel.binary.push(Array.from(new Uint8Array(m.data)));
          log("data channel: " + m.data.byteLength + " bytes");
        }
      };
      show();
    };
    statsTimer = setInterval(sampleStats, 1000);
    return pc;
  }

  async function onSdp(desc) {
    if (!desc || typeof desc.sdp !== "string") return;
    if (desc.type !== "offer") {
      log("unexpected SDP of type " + desc.type + " ignored", "bad");
      return;
    }
    if (!pc) newPeer();
    try {
      await pc.setRemoteDescription({ type: "offer", sdp: desc.sdp });
      for (const c of pendingIce) await pc.addIceCandidate(c).catch(() => {});
      pendingIce = [];
      const answer = await pc.createAnswer();
      await pc.setLocalDescription(answer);
      send({ sdp: { type: "answer", sdp: pc.localDescription.sdp } });
      log("answered the agent's offer");
    } catch (e) {
      log("cannot answer the offer: " + e, "bad");
    }
  }

  function onIce(ice) {
    if (!ice || typeof ice.candidate !== "string" || !ice.candidate) return;
    const c = { candidate: ice.candidate, sdpMLineIndex: Number(ice.sdpMLineIndex) || 0 };
    if (!pc || !pc.remoteDescription) {
      pendingIce.push(c);
      return;
    }
    pc.addIceCandidate(c).catch((e) => log("bad ICE candidate: " + e, "bad"));
  }

  function onServerMessage(text) {
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      log("unparsable message from server", "bad");
      return;
    }
    if (doc.sdp) return onSdp(doc.sdp);
    if (doc.ice) return onIce(doc.ice);
    if (doc.cursor !== undefined) return log("cursor message (" + String(doc.cursor).length + " chars)");
    switch (doc.event) {
      case "welcome":
        state.session = doc.session;
        state.settings = doc.settings;
        state.agent = doc.agent ? "connected" : "waiting";
        log("joined session " + doc.session);
        showLink(doc.session);
        break;
      case "agent-joined":
        state.agent = "in call";
        log("agent joined; waiting for its offer", "ok");
        newPeer();
        break;
      case "agent-left":
        state.agent = "waiting";
        log("agent left", "bad");
        closePeer();
        break;
      case "warning":
        log("server: " + doc.text, "bad");
        break;
      case "error":
        state.error = doc.text;
        log("server: " + doc.text, "bad");
        break;
    }
    show();
  }

  async function showLink(sid) {
    try {
      const r = await fetch(new URL("admin/sessions/" + sid, base), { headers: auth });
      if (r.ok) $("link").textContent = (await r.json()).link;
    } catch (e) {
      // the link is a convenience only
    }
  }

  function join(sid) {
    if (ws) return;
    sid = String(sid).trim();
    if (!/^[0-9]+$/.test(sid)) {
      log("a session is a number", "bad");
      return;
    }
    $("session").value = sid;
    history.replaceState(null, "", "?session=" + sid + "&key=" + encodeURIComponent(key));
    const url = new URL("ws/console?session=" + sid + "&key=" + encodeURIComponent(key), base);
    url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
    state.error = null;
    state.server = "connecting";
    ws = new WebSocket(url);
    ws.onopen = () => { state.server = "connected"; show(); };
    ws.onmessage = (m) => onServerMessage(m.data);
    ws.onclose = () => {
      state.server = "disconnected";
      state.agent = "-";
      ws = null;
      closePeer();
      log("left the session");
    };
    show();
  }

  function leave() {
    releaseAll();
    if (ws) ws.close();
  }

  async function newSession() {
    const r = await fetch(new URL("admin/sessions", base), {
      method: "POST", body: "{}", headers: auth,
    });
    if (!r.ok) {
      log("cannot create a session: " + r.status, "bad");
      return;
    }
    const info = await r.json();
    leave();
    setTimeout(() => join(info.session), 0);
  }

  async function sampleStats() {
    if (!pc) return;
    const report = await pc.getStats();
    let inbound = null;
    let pairId = null;
    const pairs = new Map();
    report.forEach((r) => {
      if (r.type === "inbound-rtp" && r.kind === "video") inbound = r;
      else if (r.type === "transport" && r.selectedCandidatePairId) pairId = r.selectedCandidatePairId;
      else if (r.type === "candidate-pair") pairs.set(r.id, r);
    });
    if (!pairId) pairs.forEach((p) => { if (p.nominated && p.state === "succeeded") pairId = p.id; });
    const pair = pairs.get(pairId);
    if (pair && pair.currentRoundTripTime !== undefined) stats.rtt = pair.currentRoundTripTime * 1000;
    if (inbound) {
      const now = inbound.timestamp;
      if (lastSample && now > lastSample.t) {
        const dt = (now - lastSample.t) / 1000;
        stats.bitrate = ((inbound.bytesReceived - lastSample.bytes) * 8) / dt;
        stats.fps = inbound.framesPerSecond !== undefined
          ? inbound.framesPerSecond : (inbound.framesDecoded - lastSample.frames) / dt;
      }
      lastSample = { t: now, bytes: inbound.bytesReceived, frames: inbound.framesDecoded };
      stats.width = inbound.frameWidth || 0;
      stats.height = inbound.frameHeight || 0;
      stats.framesDecoded = inbound.framesDecoded || 0;
      stats.framesReceived = inbound.framesReceived || 0;
      stats.bytesReceived = inbound.bytesReceived || 0;
      const codec = inbound.codecId && report.get(inbound.codecId);
      stats.codec = codec ? codec.mimeType.replace(/^video\//, "") : "";
    }
    show();
  }

  // Input -------------------------------------------------------------------------------------

  function controlling() {
    return $("control").checked && pc !== null && video.videoWidth > 0;
  }

  function sendInput(doc) {
    if (send(doc)) inputSent += 1;
  }

  // Maps a pointer position on the element to pixels of the shared monitor (the video is scaled
  // to fit and letterboxed); null when the pointer is outside the picture.
  function toScreen(ev) {
    const vw = video.videoWidth;
    const vh = video.videoHeight;
    if (!vw || !vh) return null;
    const r = video.getBoundingClientRect();
    const scale = Math.min(r.width / vw, r.height / vh);
    const left = r.left + (r.width - vw * scale) / 2;
    const top = r.top + (r.height - vh * scale) / 2;
    const x = Math.floor((ev.clientX - left) / scale);
    const y = Math.floor((ev.clientY - top) / scale);
    if (x < 0 || y < 0 || x >= vw || y >= vh) return null;
    return { x, y };
  }

  function buttonsOf(button) {
    return {
      left: button === 0, middle: button === 1, right: button === 2,
      back: button === 3, forward: button === 4,
    };
  }

  function releaseAll() {
    for (const k of keysDown.values()) {
      sendInput({ keyboardEvent: { ...k, down: false } });
    }
    keysDown.clear();
    for (const button of buttonsDown) {
      sendInput({ mouseEvent: { type: "mouseup", buttons: buttonsOf(button) } });
    }
    buttonsDown.clear();
  }

  function onKey(ev) {
    if (!controlling()) return;
    ev.preventDefault();
    const down = ev.type === "keydown";
    // "key" is what the key typed, "code" the physical key: the agent types the character.
    const k = { keyCode: ev.keyCode, key: ev.key, code: ev.code };
    if (down) keysDown.set(ev.code || ev.keyCode, k);
    else keysDown.delete(ev.code || ev.keyCode);
    sendInput({ keyboardEvent: { ...k, down } });
  }

  function onMouseMove(ev) {
    if (!controlling()) return;
    const p = toScreen(ev);
    if (p) sendInput({ mouseEvent: { type: "mousemove", x: p.x, y: p.y } });
  }

  function onButton(ev) {
    if (!controlling()) return;
    ev.preventDefault();
    if (ev.type === "mousedown") {
      video.focus();
      const p = toScreen(ev);
      if (!p) return;
      sendInput({ mouseEvent: { type: "mousemove", x: p.x, y: p.y } });
      buttonsDown.add(ev.button);
    } else {
      if (!buttonsDown.has(ev.button)) return;
      buttonsDown.delete(ev.button);
    }
    sendInput({ mouseEvent: { type: ev.type, buttons: buttonsOf(ev.button) } });
  }

  function onWheel(ev) {
    if (!controlling()) return;
    ev.preventDefault();
    // Distances in pixels both ways; the agent turns them into notches by their size.
    const scale = ev.deltaMode === 1 ? 40 : ev.deltaMode === 2 ? 800 : 1;
    const deltaX = Math.round(ev.deltaX * scale);
    const deltaY = Math.round(ev.deltaY * scale);
    if (deltaX === 0 && deltaY === 0) return;
    sendInput({ wheelEvent: { up: deltaY < 0 ? -1 : 1, deltaX, deltaY } });
  }

  function shortcut(name) {
    sendInput({ shortcutEvent: { key: name } });
    log("sent " + name);
  }

  video.addEventListener("keydown", onKey);
  video.addEventListener("keyup", onKey);
  video.addEventListener("mousemove", onMouseMove);
  video.addEventListener("mousedown", onButton);
  window.addEventListener("mouseup", onButton);
  video.addEventListener("wheel", onWheel, { passive: false });
  video.addEventListener("contextmenu", (ev) => ev.preventDefault());
  video.addEventListener("blur", releaseAll);
  window.addEventListener("blur", releaseAll);

  const box = $("shortcuts");
  for (let n = 1; n <= 12; n++) {
    const b = document.createElement("button");
    b.type = "button";
    b.dataset.shortcut = "CTRL_ALT_F" + n;
    b.textContent = "Ctrl+Alt+F" + n;
    box.appendChild(b);
  }
  box.addEventListener("click", (ev) => {
    const name = ev.target.dataset && ev.target.dataset.shortcut;
    if (name) shortcut(name);
  });
  $("join").addEventListener("submit", (ev) => { ev.preventDefault(); join($("session").value); });
  $("leave-btn").addEventListener("click", leave);
  $("new-btn").addEventListener("click", newSession);

  // For automation (tests, the headless demo, benchmarks).
  window.kvConsole = {
    state, stats, dataChannel, join, leave, shortcut, sendInput,
    get inputSent() { return inputSent; },
    get video() { return video; },
  };

  const sid = new URLSearchParams(location.search).get("session");
  if (sid) join(sid);
  show();
})();
