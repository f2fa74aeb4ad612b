#include "IceServers.h"

#include <QString>
#include <map>
#include <string>

#include "RelayUrl.h"
#include "logger.h"

namespace {

std::string masked(const std::string& uri) {
    return maskedUrl(QString::fromStdString(uri)).toStdString();
}

// webrtcbin's ICE logs the relay URIs, passwords included, at its debug levels; the user's
// --gst-debug must not put them into the log.
void quietIceDebug() {
    GSList* all = gst_debug_get_all_categories();
    for (GSList* l = all; l; l = l->next) {
        auto* category = static_cast<GstDebugCategory*>(l->data);
        if (g_str_equal(gst_debug_category_get_name(category), "webrtcnice") &&
            gst_debug_category_get_threshold(category) > GST_LEVEL_WARNING) {
            gst_debug_category_set_threshold(category, GST_LEVEL_WARNING);
        }
    }
    g_slist_free(all);
}

const char* field(const GstStructure* st, const char* name) {
    const gchar* text = st ? gst_structure_get_string(st, name) : nullptr;
    return text ? text : "?";
}

void onPairStats(GstPromise* promise, gpointer) {
    const GstStructure* reply = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED
                                    ? gst_promise_get_reply(promise)
                                    : nullptr;
    if (!reply) {
        return;
    }
    // Every report by its id; the pair names its two candidates.
    std::map<std::string, const GstStructure*> byId;
    const GstStructure* pair = nullptr;
    for (int i = 0; i < gst_structure_n_fields(reply); ++i) {
        const GValue* v = gst_structure_get_value(reply, gst_structure_nth_field_name(reply, i));
        if (!GST_VALUE_HOLDS_STRUCTURE(v)) {
            continue;
        }
        const GstStructure* st = gst_value_get_structure(v);
        GstWebRTCStatsType type = GstWebRTCStatsType(0);
        gst_structure_get(st, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr);
        if (type == GST_WEBRTC_STATS_CANDIDATE_PAIR && !pair) {
            pair = st;
        }
        if (const gchar* id = gst_structure_get_string(st, "id")) {
            byId[id] = st;
        }
    }
    if (!pair) {
        cli_log(LL_INFO, "ICE pair in use: not reported\n");
        return;
    }
    const auto candidate = [&byId, pair](const char* key) -> const GstStructure* {
        const gchar* id = gst_structure_get_string(pair, key);
        const auto it = id ? byId.find(id) : byId.end();
        return it == byId.end() ? nullptr : it->second;
    };
    const GstStructure* local = candidate("local-candidate-id");
    const GstStructure* remote = candidate("remote-candidate-id");
    const gchar* relayProtocol =
        local ? gst_structure_get_string(local, "relay-protocol") : nullptr;
    cli_log(LL_INFO, "ICE pair in use: local %s/%s%s%s, remote %s/%s\n",
            field(local, "candidate-type"), field(local, "protocol"),
            relayProtocol ? ", to the relay over " : "", relayProtocol ? relayProtocol : "",
            field(remote, "candidate-type"), field(remote, "protocol"));
}

}  // namespace

void applyIceServers(GstElement* webrtc, const ConnectionParams& connection,
                     const ServerApiParams& serverApi) {
    std::vector<std::string> relays = serverApi.relayUrls;
    if (relays.empty() && !connection.turnUrl.empty()) {
        relays.push_back(connection.turnUrl);
    }
    if (relays.empty()) {
        return;
    }
    quietIceDebug();
    for (const std::string& uri : relays) {
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", uri.c_str(), &added);
        cli_log(added ? LL_INFO : LL_WARNING, "Relay %s %s\n", masked(uri).c_str(),
                added ? "added" : "refused by webrtcbin");
        if (added && uri.rfind("turns:", 0) == 0) {
            // libnice has no TLS: it speaks TURN over plain TCP to the relay's TLS port.
            cli_log(LL_WARNING,
                    "Relay %s: reached over TCP without TLS, its certificate is not checked\n",
                    masked(uri).c_str());
        }
    }
}

void logSelectedPair(GstElement* webrtc, GstWebRTCICEConnectionState state) {
    if (state != GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED) {
        return;
    }
    GstPromise* promise = gst_promise_new_with_change_func(onPairStats, nullptr, nullptr);
    g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}
