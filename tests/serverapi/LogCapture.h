// Reads back the lines the log library wrote to its file while a capture was open.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include "TestEnv.h"
#include "logger.h"

class LogCapture {
public:
    LogCapture() : offset_(QFileInfo(path()).size()) { initLogger(); }

    QString text() const {
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly) || !file.seek(offset_)) {
            return {};
        }
        return QString::fromUtf8(file.readAll());
    }
    bool contains(const QString& needle) const { return text().contains(needle); }
    int count(const QString& needle) const { return text().count(needle); }

    // The log may already run (started lazily by an earlier line) without a file: start it again
    // with a file in the test's directory, every level on and the echo to standard output.
    static void initLogger() {
        static const bool done = [] {
            static const QByteArray name = path().toLocal8Bit();
            deinit_logger_cli();
            logger_config cfg{};
            cfg.file_name = name.constData();
            cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
            cfg.max_file_size = 1 << 30;
            cfg.rotate_count = 3;
            cfg.cli_mode = 1;
            cfg.echo_stdout = 1;
            return init_logger_cli(&cfg) == 0;
        }();
        (void)done;
    }

private:
    static QString path() {
        return QDir(testenv::tempDir()).filePath(QStringLiteral("logs/serverapi-tests.log"));
    }

    qint64 offset_;
};
