// The Qt, GLib and GStreamer bridges: which level each source severity lands on, and the lines.
#include <gtest/gtest.h>

#include <QFile>
#include <functional>

#include "LogBridges.h"
#include "LogTestUtil.h"
#include "logger.h"

using namespace logtest;

namespace {

GST_DEBUG_CATEGORY_STATIC(bridge_test_cat);

void ensureGst() {
    static bool done = false;
    if (!done) {
        gst_init(nullptr, nullptr);
        GST_DEBUG_CATEGORY_INIT(bridge_test_cat, "bridgetest", 0, "bridge tests");
        done = true;
    }
}

class Bridges : public LogFixture {
protected:
    // With only `level` enabled the message must give one line with `name` ending in `tail`;
    // with every other bit enabled it must give none. Together that pins the exact level bit.
    void expectLevel(unsigned level, const char* name, const std::function<void()>& raise,
                     const QString& tail, const std::string& row) {
        start(level);
        QFile::remove(logPath());
        raise();
        QStringList out = lines();
        ASSERT_EQ(out.size(), 1) << row;
        auto m = lineRe().match(out[0]);
        ASSERT_TRUE(m.hasMatch()) << row << ": " << out[0].toStdString();
        EXPECT_EQ(m.captured(12), QString(name)) << row;
        EXPECT_EQ(m.captured(13), tail) << row;
        deinit_logger_cli();

        start(~level & 0x7fffffffu);
        QFile::remove(logPath());
        raise();
        EXPECT_TRUE(lines().isEmpty()) << row << ": also written at another level";
        deinit_logger_cli();
    }
};

}  // namespace

// Start-up order: Qt, GStreamer with threshold ERROR, GLib's default domain; installed before
// GStreamer is initialised, as the program does (so this test runs first).
TEST_F(Bridges, InstalledBridgesRouteEverySource) {
    installLogBridges("Kelvano Assistant");
    installLogBridges("Kelvano Assistant");  // a second call must not double the lines
    ensureGst();
    EXPECT_EQ(gst_debug_get_default_threshold(), GST_LEVEL_ERROR);
    GstDebugCategory* cat = _gst_debug_category_new("bridgeinstall", 0, "installed bridges");
    start(2071);
    qWarning("from qt");
    GST_CAT_ERROR(cat, "from gstreamer %d", 1);
    GST_CAT_WARNING(cat, "below the threshold");
    g_warning("from glib");
    qInstallMessageHandler(nullptr);
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 3) << out.join("\n").toStdString();
    EXPECT_TRUE(out[0].contains("[WARNING] [QT] ") && out[0].endsWith(" - from qt"));
    EXPECT_TRUE(out[1].contains("[ERROR] [GStreamer] ") && out[1].endsWith(" - from gstreamer 1"))
        << out[1].toStdString();
    EXPECT_TRUE(out[2].endsWith("[WARNING] [Glib] (GLib) - from glib")) << out[2].toStdString();
}

TEST_F(Bridges, QtTypesMapToLevels) {
    struct Row {
        QtMsgType type;
        unsigned level;
        const char* name;
    };
    const Row rows[] = {
        {QtDebugMsg, LL_DEBUG, "DEBUG"},    {QtWarningMsg, LL_WARNING, "WARNING"},
        {QtCriticalMsg, LL_ERROR, "ERROR"}, {QtInfoMsg, LL_INFO, "INFO"},
        {QtMsgType(6), LL_BRIDGE, "INFO"},
    };
    for (const Row& row : rows) {
        QMessageLogContext ctx("net/Client.cpp", 87, "void Client::run()", "default");
        expectLevel(
            row.level, row.name, [&] { qt_to_clog(row.type, ctx, QString::fromUtf8("héllo")); },
            QString::fromUtf8("[QT] net/Client.cpp:87 (void Client::run()) - héllo"),
            "Qt type " + std::to_string(int(row.type)));
    }
}

// Through Qt itself: the installed handler receives qWarning and friends.
TEST_F(Bridges, QtMessagesReachTheLogThroughTheHandler) {
    QtMessageHandler previous = qInstallMessageHandler(qt_to_clog);
    const QString tail = "^\\[QT\\] .*:-?\\d+ \\(.*\\) - %1$";
    start(2071);
    qWarning("warned %d", 1);
    qDebug("debug dropped");
    qInfo("informed");
    qInstallMessageHandler(previous);
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 2);
    EXPECT_EQ(lineRe().match(out[0]).captured(12), "WARNING");
    EXPECT_TRUE(QRegularExpression(tail.arg("warned 1"))
                    .match(lineRe().match(out[0]).captured(13))
                    .hasMatch())
        << out[0].toStdString();
    EXPECT_EQ(lineRe().match(out[1]).captured(12), "INFO");
}

TEST_F(Bridges, QtFatalLogsTwoCriticalLinesThenAborts) {
    start(2071);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            qInstallMessageHandler(qt_to_clog);
            QMessageLogContext ctx("main.cpp", 3, "int main()", "default");
            qt_to_clog(QtFatalMsg, ctx, "out of luck");
        },
        "");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 2);
    EXPECT_TRUE(out[0].endsWith("[CRITICAL] [QT] main.cpp:3 (int main()) - out of luck"))
        << out[0].toStdString();
    EXPECT_TRUE(out[1].endsWith("[CRITICAL] Kelvano Assistant application aborted"))
        << out[1].toStdString();
}

TEST_F(Bridges, QtFatalThroughQFatalAborts) {
    start(2071);
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            qInstallMessageHandler(qt_to_clog);
            qFatal("fatal %d", 7);
        },
        "");
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 2);
    EXPECT_TRUE(out[0].endsWith(" - fatal 7")) << out[0].toStdString();
    EXPECT_TRUE(out[1].endsWith("[CRITICAL] Kelvano Assistant application aborted"));
}

TEST_F(Bridges, GlibFlagsMapToLevelsInOrder) {
    struct Row {
        int flags;
        unsigned level;
        const char* name;
        const char* why;
    };
    const Row rows[] = {
        {G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL, LL_CRITICAL, "CRITICAL", "error"},
        {G_LOG_LEVEL_CRITICAL, LL_ERROR, "ERROR", "critical"},
        {G_LOG_LEVEL_WARNING, LL_WARNING, "WARNING", "warning"},
        {G_LOG_LEVEL_MESSAGE, LL_INFO, "INFO", "message"},
        {G_LOG_LEVEL_INFO, LL_INFO, "INFO", "info"},
        {G_LOG_LEVEL_DEBUG, LL_DEBUG, "DEBUG", "debug"},
        {G_LOG_FLAG_RECURSION, LL_BRIDGE, "INFO", "no level flag"},
        {G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING, LL_ERROR, "ERROR", "critical wins"},
        {G_LOG_LEVEL_WARNING | G_LOG_LEVEL_DEBUG, LL_WARNING, "WARNING", "warning wins"},
    };
    for (const Row& row : rows) {
        expectLevel(
            row.level, row.name,
            [&] { glib_to_log("GStreamer", GLogLevelFlags(row.flags), "text", nullptr); },
            "[Glib] (GStreamer) - text", row.why);
    }
}

TEST_F(Bridges, GlibWarningWithoutDomainNamesGLib) {
    guint id = g_log_set_handler(
        nullptr, GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
        glib_to_log, nullptr);
    start(2071);
    g_log(nullptr, G_LOG_LEVEL_WARNING, "disk %s", "full");
    g_log_remove_handler(nullptr, id);
    const QStringList out = lines();
    ASSERT_EQ(out.size(), 1);
    EXPECT_TRUE(out[0].endsWith("[WARNING] [Glib] (GLib) - disk full")) << out[0].toStdString();
}

TEST_F(Bridges, GStreamerLevelsMapToLevels) {
    ensureGst();
    GstDebugLevel oldThreshold = gst_debug_category_get_threshold(bridge_test_cat);
    gst_debug_category_set_threshold(bridge_test_cat, GstDebugLevel(15));
    // Exactly one bridge, whatever earlier tests installed.
    gst_debug_remove_log_function(gstreamer_to_log);
    gst_debug_add_log_function(gstreamer_to_log, nullptr, nullptr);
    gst_debug_remove_log_function(gst_debug_log_default);
    struct Row {
        int level;
        unsigned logLevel;
        const char* name;
    };
    const Row rows[] = {
        {0, LL_DEBUG, "DEBUG"},     {1, LL_ERROR, "ERROR"},  {2, LL_WARNING, "WARNING"},
        {3, LL_WARNING, "WARNING"}, {4, LL_INFO, "INFO"},    {5, LL_DEBUG, "DEBUG"},
        {6, LL_DEBUG, "DEBUG"},     {7, LL_DEBUG, "DEBUG"},  {8, LL_BRIDGE, "INFO"},
        {9, LL_DEBUG, "DEBUG"},     {10, LL_DEBUG, "DEBUG"}, {11, LL_BRIDGE, "INFO"},
        {15, LL_BRIDGE, "INFO"},
    };
    for (const Row& row : rows) {
        expectLevel(
            row.logLevel, row.name,
            [&] {
                gst_debug_log(bridge_test_cat, GstDebugLevel(row.level), "gstpad.c", "gst_pad_push",
                              512, nullptr, "pushed %d buffers", row.level);
            },
            QString("[GStreamer] gstpad.c:512 (gst_pad_push) - pushed %1 buffers").arg(row.level),
            "GStreamer level " + std::to_string(row.level));
    }
    gst_debug_remove_log_function(gstreamer_to_log);
    gst_debug_category_set_threshold(bridge_test_cat, oldThreshold);
}

TEST(GValueText, ReadsStringsSafely) {
    EXPECT_EQ(gvalueToStdString(nullptr), "");

    GValue unset = G_VALUE_INIT;
    EXPECT_EQ(gvalueToStdString(&unset), "");

    GValue number = G_VALUE_INIT;
    g_value_init(&number, G_TYPE_INT);
    g_value_set_int(&number, 42);
    EXPECT_EQ(gvalueToStdString(&number), "");
    g_value_unset(&number);

    GValue nullText = G_VALUE_INIT;
    g_value_init(&nullText, G_TYPE_STRING);
    EXPECT_EQ(gvalueToStdString(&nullText), "");

    GValue text = G_VALUE_INIT;
    g_value_init(&text, G_TYPE_STRING);
    g_value_set_string(&text, "sdp answer");
    EXPECT_EQ(gvalueToStdString(&text), "sdp answer");
    g_value_unset(&text);
    g_value_unset(&nullText);
}
