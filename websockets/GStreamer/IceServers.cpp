#include "IceServers.h"

#include <QString>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "RelayUrl.h"
#include "TurnTlsProxy.h"
#include "logger.h"

namespace {

// The relays given to one webrtcbin: host and protocol to it ("udp", "tcp" or "tls").
using Relays = std::vector<std::pair<std::string, std::string>>;
const char kRelays[] = "kelvano-relays";
const char kPairLogged[] = "kelvano-pair-logged";

std::string masked(const std::string& uri) {
    return maskedUrl(QString::fromStdString(uri)).toStdString();
}

// webrtcbin's ICE writes the relay URIs, passwords included, into its debug lines, and into its
// error lines when it cannot read one: the user's --gst-debug must not put them into the log.
GstDebugCategory* iceDebug() {
    GstDebugCategory* found = nullptr;
    GSList* all = gst_debug_get_all_categories();
    for (GSList* l = all; l && !found; l = l->next) {
        auto* category = static_cast<GstDebugCategory*>(l->data);
        if (g_str_equal(gst_debug_category_get_name(category), "webrtcnice")) {
            found = category;
        }
    }
    g_slist_free(all);
    return found;
}

const char* field(const GstStructure* st, const char* name) {
    const gchar* text = st ? gst_structure_get_string(st, name) : nullptr;
    return text ? text : "?";
}

// The statistics name the relay's host only, and no protocol: libnice ranks a relayed candidate
// over UDP (type preference 30) above one over TCP or TLS (20); the rest comes from the relays
// that were given.
std::string relayProtocol(const GstStructure* local, const Relays& relays) {
    guint priority = 0;
    gst_structure_get_uint(local, "priority", &priority);
    const bool udp = (priority >> 24) == 30;
    std::set<std::string> found;
    for (const auto& [host, protocol] : relays) {
        if (host == field(local, "url") && (protocol == "udp") == udp) {
            found.insert(protocol);
        }
    }
    std::string text;
    for (const std::string& protocol : found) {
        text += (text.empty() ? "" : " or ") + protocol;
    }
    return text.empty() ? (udp ? "udp" : "tcp or tls") : text;
}

void onPairStats(GstPromise* promise, gpointer data) {
    const GstStructure* reply = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED
                                    ? gst_promise_get_reply(promise)
                                    : nullptr;
    if (!reply) {
        return;
    }
    // Every report by its id; the pair names its two candidates. (webrtcbin 1.22 gives each
    // candidate's report the other's type name; the ids are right.)
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
    const auto candidate = [&byId, pair](const char* key) -> const GstStructure* {
        const gchar* id = pair ? gst_structure_get_string(pair, key) : nullptr;
        const auto it = id ? byId.find(id) : byId.end();
        return it == byId.end() ? nullptr : it->second;
    };
    const GstStructure* local = candidate("local-candidate-id");
    const GstStructure* remote = candidate("remote-candidate-id");
    if (!local || !remote) {
        cli_log(LL_INFO, "ICE pair in use: not reported\n");
        return;
    }
    const bool relayed = g_str_equal(field(local, "candidate-type"), "relay");
    cli_log(LL_INFO, "ICE pair in use: local %s/%s%s%s, remote %s/%s\n",
            field(local, "candidate-type"), field(local, "protocol"),
            relayed ? ", to the relay over " : "",
            relayed ? relayProtocol(local, *static_cast<Relays*>(data)).c_str() : "",
            field(remote, "candidate-type"), field(remote, "protocol"));
}

GObject* niceAgent(GstElement* webrtc) {
    GObject* ice = nullptr;
    GObject* agent = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        g_object_get(ice, "agent", &agent, nullptr);
    }
    if (ice) {
        g_object_unref(ice);
    }
    return agent;
}

// libnice reaches every TCP relay through the proxy, which speaks TLS to those that ask for it.
// The proxy lives as long as the element.
bool throughProxy(GstElement* webrtc, const QList<TurnTlsProxy::Relay>& relays, bool force) {
    GObject* agent = niceAgent(webrtc);
    if (!agent || !g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "proxy-type")) {
        if (agent) {
            g_object_unref(agent);
        }
        return false;
    }
    auto* proxy = new TurnTlsProxy(relays, force);
    g_object_set_data_full(G_OBJECT(webrtc), "kelvano-relay-proxy", proxy,
                           [](gpointer p) { delete static_cast<TurnTlsProxy*>(p); });
    if (proxy->port() != 0) {
        g_object_set(agent, "proxy-ip", "127.0.0.1", "proxy-port", guint(proxy->port()),
                     "proxy-type", 2 /* NICE_PROXY_TYPE_HTTP */, nullptr);
    }
    g_object_unref(agent);
    return proxy->port() != 0;
}

}  // namespace

void applyIceServers(GstElement* webrtc, const ConnectionParams& connection,
                     const ServerApiParams& serverApi) {
    std::vector<std::string> uris = serverApi.relayUrls;
    if (uris.empty() && !connection.turnUrl.empty()) {
        uris.push_back(connection.turnUrl);
    }
    auto* relays = new Relays;
    g_object_set_data_full(G_OBJECT(webrtc), kRelays, relays,
                           [](gpointer p) { delete static_cast<Relays*>(p); });
    if (uris.empty()) {
        return;
    }
    QList<TurnTlsProxy::Relay> overTcp;
    QList<std::string> tls;
    GstDebugCategory* debug = iceDebug();
    const GstDebugLevel level = debug ? gst_debug_category_get_threshold(debug) : GST_LEVEL_NONE;
    for (const std::string& uri : uris) {
        gboolean added = FALSE;
        if (debug) {
            gst_debug_category_set_threshold(debug, GST_LEVEL_NONE);
        }
        g_signal_emit_by_name(webrtc, "add-turn-server", uri.c_str(), &added);
        if (debug) {
            gst_debug_category_set_threshold(debug, std::min(level, GST_LEVEL_WARNING));
        }
        cli_log(added ? LL_INFO : LL_WARNING, "Relay %s %s\n", masked(uri).c_str(),
                added ? "added" : "refused by webrtcbin");
        const char* why = nullptr;
        const auto relay = parseRelayUri(QString::fromStdString(uri), &why);
        if (!added || !relay) {
            continue;
        }
        // Brackets off, as the statistics write an IPv6 host.
        const std::string host = relay->host.toStdString();
        const std::string bare = host.front() == '[' ? host.substr(1, host.size() - 2) : host;
        if (relay->tls) {
            relays->emplace_back(bare, "tls");
            tls.append(masked(uri));
        }
        for (const char* protocol : {"udp", "tcp"}) {
            if (!relay->tls && (relay->transport.isEmpty() || relay->transport == protocol)) {
                relays->emplace_back(bare, protocol);
            }
        }
        if (relay->tls || relay->transport != "udp") {
            overTcp.append({relay->host, quint16(relay->port), relay->tls});
        }
    }
    if (!tls.isEmpty() && !throughProxy(webrtc, overTcp, connection.disableSsl)) {
        // libnice itself would speak TURN over plain TCP to the relay's TLS port.
        for (const std::string& uri : tls) {
            cli_log(LL_WARNING, "Relay %s: no TLS, its certificate is not checked\n", uri.c_str());
        }
    }
}

void logSelectedPair(GstElement* webrtc, GstWebRTCICEConnectionState state) {
    // Once per connection: ICE may pass "connected" on its way to "completed", or skip it.
    const bool up = state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
                    state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED;
    const bool logged = g_object_get_data(G_OBJECT(webrtc), kPairLogged) != nullptr;
    if (up == logged) {
        return;
    }
    g_object_set_data(G_OBJECT(webrtc), kPairLogged, up ? GINT_TO_POINTER(1) : nullptr);
    const auto* relays = static_cast<const Relays*>(g_object_get_data(G_OBJECT(webrtc), kRelays));
    if (!up || !relays) {
        return;
    }
    GstPromise* promise = gst_promise_new_with_change_func(
        onPairStats, new Relays(*relays), [](gpointer p) { delete static_cast<Relays*>(p); });
    g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
    gst_promise_unref(promise);
}
