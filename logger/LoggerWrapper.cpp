#include "LoggerWrapper.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kAppLevelMask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_BRIDGE;

}  // namespace

const char* getLogFilename(const QString& dir, const QString& application) {
    static QByteArray name;
    // The file-system encoding rather than Latin-1: a home directory with letters outside
    // Latin-1 must still get its log.
    name = QFile::encodeName(QString("%1%2logs%2%3.log").arg(dir, "/", application));
    return name.constData();
}

LoggerWrapper::LoggerWrapper(const char* organisation, const char* application) : config_{} {
    config_.level_mask = kAppLevelMask;
    config_.max_file_size = 10485760;
    config_.close_delay_us = 10000;
    config_.rotate_count = 3;
    config_.newline_before_prefix = 0;
    config_.cache_zone = 1;
    config_.cli_mode = 1;
    config_.echo_stdout = 1;
    {
        // Opened only to learn where the user's settings live.
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, organisation, application);
        logDir = QDir::toNativeSeparators(QFileInfo(settings.fileName()).absolutePath());
    }
    config_.file_name = getLogFilename(logDir, QString::fromUtf8(application));
    int rc = init_logger_cli(&config_);
    if (rc != 0) {
        std::printf("error init logger: (%d): %s\n", -rc, std::strerror(-rc));
        std::fflush(stdout);
        std::exit(1);
    }
}

LoggerWrapper::~LoggerWrapper() {
    deinit_logger_cli();
}

void LoggerWrapper::printLogFilePath() const {
    std::printf("getLogFilename: %s -> %s\n", logDir.toUtf8().constData(),
                config_.file_name ? config_.file_name : "");
    std::fflush(stdout);
}

void LoggerWrapper::setDebug(bool on) {
    if (on) {
        config_.level_mask |= LL_DEBUG;
    } else {
        config_.level_mask &= ~uint32_t(LL_DEBUG);
    }
    set_log_level_mask(config_.level_mask);
}
