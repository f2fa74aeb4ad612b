// Reads back what the log library wrote while a capture was open. Every log line is echoed to
// standard output, so the capture redirects file descriptor 1 into a file for its lifetime and
// copies what it caught to the real standard output at the end.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QString>
#include <cstdio>

#include "TestEnv.h"
#include "logger.h"

class LogCapture {
public:
    LogCapture() {
        static int counter = 0;
        path_ = QDir(testenv::tempDir()).filePath(QStringLiteral("stdout-%1.txt").arg(++counter));
        fflush(stdout);
        saved_ = dup(1);
        const int fd = open(path_.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    ~LogCapture() {
        const QByteArray caught = text().toUtf8();
        dup2(saved_, 1);
        close(saved_);
        fwrite(caught.constData(), 1, caught.size(), stdout);
        fflush(stdout);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QString text() const {
        fflush(stdout);
        return testenv::readFile(path_);
    }
    bool contains(const QString& needle) const { return text().contains(needle); }
    int count(const QString& needle) const { return text().count(needle); }

    // Debug lines included, so that every line the code writes can be checked.
    static void initLogger() {
        static const bool done = [] {
            const QString file = QDir(testenv::tempDir()).filePath("logs/serverapi-tests.log");
            static const QByteArray name = file.toLocal8Bit();
            logger_config cfg{};
            cfg.file_name = name.constData();
            cfg.level_mask = LL_CRITICAL | LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG | LL_BRIDGE;
            cfg.max_file_size = 10485760;
            cfg.rotate_count = 3;
            cfg.cli_mode = 1;
            cfg.echo_stdout = 1;
            return init_logger_cli(&cfg) == 0;
        }();
        (void)done;
    }

private:
    QString path_;
    int saved_ = -1;
};
