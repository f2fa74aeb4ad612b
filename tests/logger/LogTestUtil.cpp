#include "LogTestUtil.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace logtest {

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

QStringList readLines(const QString& path) {
    QString text = readAll(path);
    if (text.isEmpty()) {
        return {};
    }
    QStringList out = text.split('\n');
    if (out.last().isEmpty()) {
        out.removeLast();
    }
    return out;
}

bool exists(const QString& path) {
    return QFileInfo::exists(path);
}

void writeFiller(const QString& path, qint64 bytes, char fill) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray chunk(1 << 16, fill);
    qint64 left = bytes;
    while (left > 0) {
        qint64 n = qMin<qint64>(left, chunk.size());
        ASSERT_EQ(f.write(chunk.constData(), n), n);
        left -= n;
    }
}

StdoutCapture::StdoutCapture(const QString& path) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

void LogFixture::start(uint32_t mask, int32_t maxSize, int32_t rotateCount, bool echo,
                       bool withFile) {
    ASSERT_TRUE(dir_.isValid());
    deinit_logger_cli();
    name_ = QFile::encodeName(logPath());
    logger_config cfg{};
    cfg.file_name = withFile ? name_.constData() : nullptr;
    cfg.level_mask = mask;
    cfg.max_file_size = maxSize;
    cfg.close_delay_us = 10000;
    cfg.rotate_count = rotateCount;
    cfg.cache_zone = 1;
    cfg.cli_mode = 1;
    cfg.echo_stdout = echo ? 1 : 0;
    ASSERT_EQ(init_logger_cli(&cfg), 0);
}

}  // namespace logtest
