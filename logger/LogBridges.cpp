#include "LogBridges.h"

#include <QByteArray>
#include <cstdlib>

#include "logger.h"

namespace {

// glibc prints "(null)" for a null text; spelled out so that no null pointer reaches printf.
const char* orNull(const char* text) {
    return text ? text : "(null)";
}

unsigned qtLevel(QtMsgType type) {
    switch (type) {
        case QtDebugMsg:
            return LL_DEBUG;
        case QtWarningMsg:
            return LL_WARNING;
        case QtCriticalMsg:
            return LL_ERROR;
        case QtFatalMsg:
            return LL_CRITICAL;
        case QtInfoMsg:
            return LL_INFO;
    }
    return LL_BRIDGE;
}

unsigned glibLevel(GLogLevelFlags flags) {
    if (flags & G_LOG_LEVEL_ERROR) {
        return LL_CRITICAL;
    }
    if (flags & G_LOG_LEVEL_CRITICAL) {
        return LL_ERROR;
    }
    if (flags & G_LOG_LEVEL_WARNING) {
        return LL_WARNING;
    }
    if (flags & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) {
        return LL_INFO;
    }
    if (flags & G_LOG_LEVEL_DEBUG) {
        return LL_DEBUG;
    }
    return LL_BRIDGE;
}

QByteArray& applicationName() {
    static QByteArray name;
    return name;
}

unsigned gstLevel(GstDebugLevel level) {
    // Indexed by GStreamer's level: NONE, ERROR, WARNING, FIXME, INFO, DEBUG, LOG, TRACE,
    // (unnamed), MEMDUMP, COUNT.
    static const unsigned table[11] = {LL_DEBUG,  LL_ERROR, LL_WARNING, LL_WARNING,
                                       LL_INFO,   LL_DEBUG, LL_DEBUG,   LL_DEBUG,
                                       LL_BRIDGE, LL_DEBUG, LL_DEBUG};
    const int i = static_cast<int>(level);
    if (i < 0 || i >= 11) {
        return LL_BRIDGE;
    }
    return table[i];
}

}  // namespace

void qt_to_clog(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QByteArray text = message.toLocal8Bit();
    cli_log(qtLevel(type), "[QT] %s:%d (%s) - %s\n", orNull(context.file), context.line,
            orNull(context.function), text.constData());
    if (type == QtFatalMsg) {
        cli_log(LL_CRITICAL, "%s application aborted\n", applicationName().constData());
        std::abort();
    }
}

void glib_to_log(const gchar* domain, GLogLevelFlags flags, const gchar* message, gpointer) {
    cli_log(glibLevel(flags), "[Glib] (%s) - %s\n", domain ? domain : "GLib", orNull(message));
}

void gstreamer_to_log(GstDebugCategory*, GstDebugLevel level, const gchar* file,
                      const gchar* function, gint line, GObject*, GstDebugMessage* message,
                      gpointer) {
    const unsigned logLevel = gstLevel(level);
    // Formatting the message text is not free: skip it for levels the mask drops.
    if ((logLevel & get_log_level_mask()) != logLevel) {
        return;
    }
    const gchar* text = message ? gst_debug_message_get(message) : nullptr;
    cli_log(logLevel, "[GStreamer] %s:%d (%s) - %s\n", orNull(file), line, orNull(function),
            orNull(text));
}

std::string gvalueToStdString(const GValue* value) {
    if (!value || !G_VALUE_HOLDS_STRING(value)) {
        return {};
    }
    const gchar* text = g_value_get_string(value);
    return text ? std::string(text) : std::string();
}

void installLogBridges(const char* name) {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    applicationName() = name;
    qInstallMessageHandler(qt_to_clog);
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(gstreamer_to_log, nullptr, nullptr);
    gst_debug_set_default_threshold(GST_LEVEL_ERROR);
    g_log_set_handler(
        nullptr,
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING |
                                    G_LOG_FLAG_RECURSION | G_LOG_FLAG_FATAL),
        glib_to_log, nullptr);
}
