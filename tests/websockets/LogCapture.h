// Captures what the log echoes to standard output while it lives (every log line is echoed there).
#pragma once

#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryFile>
#include <cstdio>

#include "logger.h"

class LogCapture {
public:
    LogCapture() {
        // The log may have started lazily without the echo; start it again with the echo on and
        // with DEBUG, which the channel's state lines need.
        static const bool init = [] {
            deinit_logger_cli();
            logger_config cfg{};
            cfg.file_name = nullptr;
            cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
            cfg.max_file_size = 10485760;
            cfg.rotate_count = 3;
            cfg.cli_mode = 1;
            cfg.echo_stdout = 1;
            return init_logger_cli(&cfg) == 0;
        }();
        (void)init;
        file.open();
        std::fflush(stdout);
        savedFd = ::dup(STDOUT_FILENO);
        ::dup2(file.handle(), STDOUT_FILENO);
    }

    ~LogCapture() {
        restore();
        // Shown again so that a failing test still has its log.
        const QByteArray all = text().toUtf8();
        std::fwrite(all.constData(), 1, size_t(all.size()), stdout);
        std::fflush(stdout);
    }

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QString text() const {
        std::fflush(stdout);
        QFile f(file.fileName());
        if (!f.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(f.readAll());
    }

    int count(const QString& needle) const { return text().count(needle); }
    bool contains(const QString& needle) const { return text().contains(needle); }

private:
    void restore() {
        if (savedFd >= 0) {
            std::fflush(stdout);
            ::dup2(savedFd, STDOUT_FILENO);
            ::close(savedFd);
            savedFd = -1;
        }
    }

    QTemporaryFile file;
    int savedFd = -1;
};
