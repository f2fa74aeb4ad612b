// Everything a callback of one pipeline may touch. Callbacks run on GStreamer's threads and may
// still be in flight, or arrive late, after the pipeline was stopped or the media object
// destroyed: they reach the media object only through here, and detach() cuts them off. What
// they tell the Qt side is queued and tagged with the session's call.
#pragma once

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "GStreamer.h"
#include "RateControl.h"

class MediaSession {
public:
    MediaSession(GStreamer* owner, GstElement* webrtc, quint64 call)
        : owner_(owner), webrtc_(GST_ELEMENT(gst_object_ref(webrtc))), call_(call) {
        live.fetch_add(1);
    }

    MediaSession(const MediaSession&) = delete;
    MediaSession& operator=(const MediaSession&) = delete;

    // Shared with the probes and the "get-stats" promises rather than the whole session: what
    // webrtcbin keeps after closing must not keep a session alive.
    const std::shared_ptr<RateControl> rate = std::make_shared<RateControl>();

    // Liveness, in g_get_monotonic_time() microseconds: when the peer was last heard from, and
    // since when ICE has been disconnected (0: it is not).
    using Clock = std::shared_ptr<std::atomic<gint64>>;
    const Clock lastIncoming = std::make_shared<std::atomic<gint64>>(0);
    std::atomic<gint64> disconnectedSince{0};
    std::atomic<bool> ended{false};
    // The offer was asked for: the media object's copy of the call state is the GUI thread's to
    // write, and may not have caught up when the offer is ready.
    std::atomic<bool> offerRequested{false};

    static std::atomic<int> live;

    MediaSession* ref() {
        refs_.fetch_add(1);
        return this;
    }
    void unref() {
        if (refs_.fetch_sub(1) == 1) {
            detach();
            delete this;
        }
    }
    static void unrefNotify(gpointer data) { static_cast<MediaSession*>(data)->unref(); }
    static void closureNotify(gpointer data, GClosure*) { unrefNotify(data); }

    void detach() {
        GstElement* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            owner_ = nullptr;
            std::swap(old, webrtc_);
        }
        if (old) {
            gst_object_unref(old);
        }
        rate->release();
    }

    bool attached() {
        std::lock_guard<std::mutex> lock(mutex_);
        return owner_ != nullptr;
    }

    // The media object's copy of the call state, or STATE_UNKNOWN once detached.
    ConnectionState connState() {
        std::lock_guard<std::mutex> lock(mutex_);
        return owner_ ? owner_->currentConnState() : STATE_UNKNOWN;
    }

    // Hands f to the media object on the GUI thread, always queued (a promise answered on the
    // caller's thread must not run the signalling side under this lock), tagged with this
    // session's call: it runs there only while that call is still the current one, so a late
    // event of an earlier call cannot act on the next.
    template <typename F>
    void post(const char* what, F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!owner_) {
            return;
        }
        GStreamer* g = owner_;
        const quint64 call = call_;
        QMetaObject::invokeMethod(
            g,
            [g, call, what, f] {
                if (g->isCurrentCall(call, what)) {
                    f(g);
                }
            },
            Qt::QueuedConnection);
    }

    // A reference to the WebRTC element, or null once the session is detached.
    GstElement* webrtc() {
        std::lock_guard<std::mutex> lock(mutex_);
        return webrtc_ ? GST_ELEMENT(gst_object_ref(webrtc_)) : nullptr;
    }

private:
    ~MediaSession() { live.fetch_sub(1); }

    std::atomic<int> refs_{1};
    std::mutex mutex_;
    GStreamer* owner_;
    GstElement* webrtc_;
    const quint64 call_;
};

template <typename Handler>
void connectSession(gpointer instance, const char* signal, Handler handler, MediaSession* s) {
    g_signal_connect_data(instance, signal, G_CALLBACK(handler), s->ref(),
                          MediaSession::closureNotify, GConnectFlags(0));
}

inline GstPromise* sessionPromise(GstPromiseChangeFunc func, MediaSession* s) {
    return gst_promise_new_with_change_func(func, s->ref(), MediaSession::unrefNotify);
}

// Ends the call with msg, through the signalling side's single error path.
inline void terminate(MediaSession* s, const char* msg, ConnectionState state) {
    s->post("an error", [msg, state](GStreamer* g) { emit g->mainLoopTerminate(msg, state); });
}
