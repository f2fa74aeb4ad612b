#include "Negotiation.h"

#include "MediaSession.h"
#include "logger.h"

namespace {

// Fire-and-forget action with a promise whose result is not awaited.
void emitWithInterruptedPromise(GstElement* webrtc, const char* signal,
                                GstWebRTCSessionDescription* desc) {
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(webrtc, signal, desc, promise);
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
}

// Takes the description stored under key from a replied promise, or null.
GstWebRTCSessionDescription* takeDescription(GstPromise* promise, const char* key) {
    const GstStructure* reply = gst_promise_get_reply(promise);
    GstWebRTCSessionDescription* desc = nullptr;
    if (reply && gst_structure_has_field_typed(reply, key, GST_TYPE_WEBRTC_SESSION_DESCRIPTION)) {
        gst_structure_get(reply, key, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
    }
    return desc;
}

// Sets the description as the local one and hands its text to the signalling side.
void sendLocal(MediaSession* s, GstWebRTCSessionDescription* desc, const char* type) {
    if (GstElement* webrtc = s->webrtc()) {
        emitWithInterruptedPromise(webrtc, "set-local-description", desc);
        gst_object_unref(webrtc);
    }
    gchar* text = gst_sdp_message_as_text(desc->sdp);
    const QString sdp = QString::fromUtf8(text);
    g_free(text);
    gst_webrtc_session_description_free(desc);
    const QString kind = QString::fromLatin1(type);
    s->post(type, [sdp, kind](GStreamer* g) { emit g->sendSdpToPeer(sdp, kind); });
}

void onOfferCreated(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (!s->attached() || !s->offerRequested.load()) {
        terminate(s, "Cannot reply on the offer, not in call", STATE_ERROR);
        return;
    }
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        terminate(s, "Cannot reply on the offer, the promise is not replied", STATE_ERROR);
        return;
    }
    GstWebRTCSessionDescription* offer = takeDescription(promise, "offer");
    if (!offer) {
        // A closing webrtcbin replies with an error instead of an offer.
        terminate(s, "Cannot reply on the offer, the promise is not replied", STATE_ERROR);
        return;
    }
    sendLocal(s, offer, "offer");
}

void onNegotiationNeeded(GstElement* webrtc, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (!s->attached()) {
        return;
    }
    s->offerRequested.store(true);
    GstPromise* promise = sessionPromise(onOfferCreated, s);
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
    gst_promise_unref(promise);
    s->post("a state change",
            [](GStreamer* g) { emit g->connStateChanged(PEER_CALL_NEGOTIATING); });
}

void onAnswerCreated(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (s->connState() != PEER_CALL_NEGOTIATING) {
        terminate(s, "Cannot reply on the answer, not in call", STATE_ERROR);
        return;
    }
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        terminate(s, "Cannot reply on the answer, the promise is not replied", STATE_ERROR);
        return;
    }
    if (!gst_promise_get_reply(promise)) {
        terminate(s, "Cannot reply on the answer, the promise return empty reply", STATE_ERROR);
        return;
    }
    GstWebRTCSessionDescription* answer = takeDescription(promise, "answer");
    if (!answer) {
        terminate(s, "Cannot relpy on the answer, answer creation failed", STATE_ERROR);
        return;
    }
    sendLocal(s, answer, "answer");
}

void onOfferSet(GstPromise*, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    GstElement* webrtc = s->webrtc();
    if (!webrtc) {
        return;
    }
    GstPromise* promise = sessionPromise(onAnswerCreated, s);
    g_signal_emit_by_name(webrtc, "create-answer", nullptr, promise);
    gst_promise_unref(promise);
    gst_object_unref(webrtc);
}

// The answer applied, or refused by webrtcbin (a reply with an error): only an applied one
// starts the call.
void onAnswerSet(GstPromise* promise, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        return;  // the session is closing
    }
    const GstStructure* reply = gst_promise_get_reply(promise);
    GError* error = nullptr;
    if (reply && gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr)) {
        cli_log(LL_ERROR, "The answer was refused: %s\n", error ? error->message : "");
        g_clear_error(&error);
        terminate(s, GStreamer::kErrAnswerRefused, STATE_ERROR);
        return;
    }
    s->post("a state change", [](GStreamer* g) { emit g->connStateChanged(PEER_CALL_STARTED); });
}

void sendIceCandidateMessage(GstElement*, guint mLineIndex, gchar* candidate, gpointer data) {
    auto* s = static_cast<MediaSession*>(data);
    const QString text = QString::fromUtf8(candidate);
    s->post("an ICE candidate",
            [mLineIndex, text](GStreamer* g) { emit g->IceCandidate(mLineIndex, text); });
}

void onIceGatheringStateNotify(GstElement* webrtc, GParamSpec*, gpointer) {
    GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
    switch (state) {
        case GST_WEBRTC_ICE_GATHERING_STATE_NEW:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "new");
            break;
        case GST_WEBRTC_ICE_GATHERING_STATE_GATHERING:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "gathering");
            break;
        case GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE:
            cli_log(LL_INFO, "The ICE gathering state changed to %s\n", "complete");
            break;
        default:
            cli_log(LL_ERROR, "Error: wrong ICE gathering state: %d\n", int(state));
    }
}

}  // namespace

void connectNegotiation(GstElement* webrtc, MediaSession* s) {
    connectSession(webrtc, "on-negotiation-needed", onNegotiationNeeded, s);
    connectSession(webrtc, "on-ice-candidate", sendIceCandidateMessage, s);
    g_signal_connect(webrtc, "notify::ice-gathering-state", G_CALLBACK(onIceGatheringStateNotify),
                     nullptr);
}

bool videoRefused(const GstSDPMessage* sdp) {
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, i);
        const gchar* kind = gst_sdp_media_get_media(media);
        if (kind && g_str_equal(kind, "video") && gst_sdp_media_get_port(media) == 0) {
            return true;
        }
    }
    return false;
}

void applyAnswer(GstElement* webrtc, GstWebRTCSessionDescription* answer, MediaSession* s) {
    GstPromise* promise = sessionPromise(onAnswerSet, s);
    g_signal_emit_by_name(webrtc, "set-remote-description", answer, promise);
    gst_promise_unref(promise);
}

void applyOffer(GstElement* webrtc, GstWebRTCSessionDescription* offer, MediaSession* s) {
    GstPromise* promise = sessionPromise(onOfferSet, s);
    g_signal_emit_by_name(webrtc, "set-remote-description", offer, promise);
    gst_promise_unref(promise);
}

void GStreamer::onSdpReceived(const QString& type, const QString& text) {
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new(&sdp) != GST_SDP_OK) {
        emit mainLoopTerminate("ERROR: could not create an SDP message", STATE_ERROR);
        return;
    }
    const QByteArray bytes = text.toUtf8();
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(bytes.constData()),
                                     guint(bytes.size()), sdp) != GST_SDP_OK ||
        gst_sdp_message_medias_len(sdp) == 0) {
        // The parser accepts nearly anything; a description without media is not one.
        gst_sdp_message_free(sdp);
        emit mainLoopTerminate("ERROR: could not parse the text buffer into an SDP message",
                               STATE_ERROR);
        return;
    }
    if (type == QLatin1String("answer")) {
        cli_log(LL_INFO, "Received SDP answer:\n%s\n", bytes.constData());
        GstWebRTCSessionDescription* answer =
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
        if (!answer) {
            emit mainLoopTerminate("ERROR: could not create WebRTC session description",
                                   STATE_ERROR);
            return;
        }
        if (videoRefused(answer->sdp)) {
            gst_webrtc_session_description_free(answer);
            emit mainLoopTerminate(kErrVideoRefused, STATE_ERROR);
            return;
        }
        if (webrtcBin && session) {
            applyAnswer(webrtcBin, answer, session);
        } else {
            cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                    "set-remote-description");
        }
        gst_webrtc_session_description_free(answer);
        return;
    }
    cli_log(LL_INFO, "Received SDP offer:\n%s\n", bytes.constData());
    GstWebRTCSessionDescription* offer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, sdp);
    if (!webrtcBin || !session) {
        cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                "set-remote-description");
        gst_webrtc_session_description_free(offer);
        return;
    }
    applyOffer(webrtcBin, offer, session);
    gst_webrtc_session_description_free(offer);
}

void GStreamer::screenWebrtcBinEmitSignal(const char* signal, guint mLineIndex,
                                          const char* candidate) {
    if (!webrtcBin) {
        cli_log(LL_WARNING, "Screen WebRtc bin is not initialized, signal %s can't be emitted",
                signal);
        return;
    }
    g_signal_emit_by_name(webrtcBin, signal, mLineIndex, candidate ? candidate : "");
}
