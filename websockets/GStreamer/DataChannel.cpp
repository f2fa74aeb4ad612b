#include "DataChannel.h"

#include "MediaSession.h"
#include "logger.h"

namespace {

void onDataChannelError(GObject*, GError* error, gpointer data) {
    cli_log(LL_ERROR, "Data channel error: %s\n", error && error->message ? error->message : "");
    terminate(static_cast<MediaSession*>(data), "Data channel error", STATE_UNKNOWN);
}

void onDataChannelClose(GObject*, gpointer data) {
    terminate(static_cast<MediaSession*>(data), "Completed by the opposite side", STATE_UNKNOWN);
}

void onDataChannelOpen(GObject* channel, gpointer) {
    static const char greeting[] = "Hi! from the GStreamer client";
    GBytes* bytes = g_bytes_new("data", 4);
    cli_log(LL_INFO, "Data channel has been opened\n");
    cli_log(LL_INFO, "Sending '%s' to server\n", greeting);
    g_signal_emit_by_name(channel, "send-string", greeting);
    g_signal_emit_by_name(channel, "send-data", bytes);
    g_bytes_unref(bytes);
}

void onDataChannelMessageString(GObject*, gchar* text, gpointer) {
    cli_log(LL_INFO, "Received data channel message: %s\n", text ? text : "");
}

}  // namespace

GObject* createDataChannel(GstElement* webrtc, MediaSession* s) {
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtc, "create-data-channel", "channel", nullptr, &channel);
    if (!channel) {
        cli_log(LL_ERROR, "Could not create data channel, usrsctp seems unavailable\n");
        return nullptr;
    }
    cli_log(LL_INFO, "Created data channel\n");
    connectSession(channel, "on-error", onDataChannelError, s);
    connectSession(channel, "on-open", onDataChannelOpen, s);
    connectSession(channel, "on-close", onDataChannelClose, s);
    connectSession(channel, "on-message-string", onDataChannelMessageString, s);
    return G_OBJECT(channel);
}
