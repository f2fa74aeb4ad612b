// The Qt, GLib and GStreamer bridges: the level each source severity lands on.
#include <QRegularExpression>
#include <functional>

#include "LogBridges.h"
#include "LogTestUtil.h"

using namespace logtest;

namespace {

using Bridges = LogFixture;

GstDebugCategory* category() {
    static GstDebugCategory* cat = [] {
        testenv::initGStreamer();
        GstDebugCategory* made = _gst_debug_category_new("bridgetest", 0, "bridge tests");
        gst_debug_category_set_threshold(made, GstDebugLevel(15));
        return made;
    }();
    return cat;
}

// Start-up order: the bridges before GStreamer is initialised, so this test runs first. Qt,
// GStreamer (threshold ERROR) and GLib's default domain each give one line; a second install
// doubles nothing.
TEST_F(Bridges, InstalledBridgesRouteEverySource) {
    installLogBridges();
    installLogBridges();
    testenv::initGStreamer();
    GstDebugCategory* cat = _gst_debug_category_new("bridgeinstall", 0, "installed bridges");
    start();
    qWarning("from qt");
    GST_CAT_ERROR(cat, "from gstreamer");
    GST_CAT_WARNING(cat, "below the threshold");
    g_warning("from glib");
    qInstallMessageHandler(nullptr);
    ASSERT_EQ(lines().size(), 3) << lines().join("\n").toStdString();
    EXPECT_TRUE(lines()[0].contains("[WARNING] [QT] ") && lines()[0].endsWith("from qt"));
    EXPECT_TRUE(lines()[1].contains("[ERROR] [GStreamer] ") &&
                lines()[1].endsWith("from gstreamer"));
    EXPECT_TRUE(lines()[2].contains("[WARNING] [Glib] (GLib) ") &&
                lines()[2].endsWith("from glib"));
}

// With only the expected level enabled the message gives one line; with every other bit
// enabled it gives none. Together that pins the exact level bit.
TEST_F(Bridges, EverySeverityLandsOnItsLevel) {
    const QMessageLogContext ctx("a.cpp", 1, "f()", "default");
    auto qt = [&](int type) { return [&ctx, type] { qt_to_clog(QtMsgType(type), ctx, "x"); }; };
    auto glib = [](int flags) {
        return [flags] { glib_to_log("GStreamer", GLogLevelFlags(flags), "x", nullptr); };
    };
    auto gst = [](int level) {
        return [level] {
            gst_debug_log(category(), GstDebugLevel(level), "a.c", "f", 1, nullptr, "x");
        };
    };
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_remove_log_function(gstreamer_to_log);
    gst_debug_add_log_function(gstreamer_to_log, nullptr, nullptr);
    const struct {
        const char* what;
        std::function<void()> raise;
        unsigned level;
    } rows[] = {
        // clang-format off
        {"Qt debug", qt(QtDebugMsg), LL_DEBUG}, {"Qt warning", qt(QtWarningMsg), LL_WARNING},
        {"Qt critical", qt(QtCriticalMsg), LL_ERROR}, {"Qt info", qt(QtInfoMsg), LL_INFO},
        {"Qt unknown type", qt(6), LL_BRIDGE},
        {"GLib error", glib(G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL), LL_CRITICAL},
        {"GLib critical", glib(G_LOG_LEVEL_CRITICAL), LL_ERROR},
        {"GLib warning", glib(G_LOG_LEVEL_WARNING), LL_WARNING},
        {"GLib message", glib(G_LOG_LEVEL_MESSAGE), LL_INFO},
        {"GLib info", glib(G_LOG_LEVEL_INFO), LL_INFO},
        {"GLib debug", glib(G_LOG_LEVEL_DEBUG), LL_DEBUG},
        {"GLib without a level", glib(G_LOG_FLAG_RECURSION), LL_BRIDGE},
        {"GLib critical and warning", glib(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING), LL_ERROR},
        {"GLib warning and debug", glib(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_DEBUG), LL_WARNING},
        {"GStreamer 0", gst(0), LL_DEBUG}, {"GStreamer 1", gst(1), LL_ERROR},
        {"GStreamer 2", gst(2), LL_WARNING}, {"GStreamer 3", gst(3), LL_WARNING},
        {"GStreamer 4", gst(4), LL_INFO}, {"GStreamer 5", gst(5), LL_DEBUG},
        {"GStreamer 6", gst(6), LL_DEBUG}, {"GStreamer 7", gst(7), LL_DEBUG},
        {"GStreamer 8", gst(8), LL_BRIDGE}, {"GStreamer 9", gst(9), LL_DEBUG},
        {"GStreamer 10", gst(10), LL_DEBUG}, {"GStreamer 11", gst(11), LL_BRIDGE},
        {"GStreamer 15", gst(15), LL_BRIDGE},
        // clang-format on
    };
    for (const auto& row : rows) {
        for (const uint32_t mask : {row.level, ~row.level & 0x7fffffffu}) {
            start(mask);
            QFile::remove(logPath());
            row.raise();
            EXPECT_EQ(lines().size(), mask == row.level ? 1 : 0) << row.what << ", mask " << mask;
        }
    }
    gst_debug_remove_log_function(gstreamer_to_log);
}

TEST_F(Bridges, QtFatalLogsWhyThenAborts) {
    start();
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            qInstallMessageHandler(qt_to_clog);
            qFatal("out of luck");
        },
        "");
    ASSERT_EQ(lines().size(), 2);
    EXPECT_TRUE(lines()[0].contains("[CRITICAL] [QT] ") && lines()[0].endsWith("out of luck"));
    EXPECT_TRUE(lines()[1].endsWith("[CRITICAL] Kelvano Assistant application aborted"));
}

}  // namespace
