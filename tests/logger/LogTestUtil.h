// A fresh log for each test, in a directory of its own.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>

#include "TestEnv.h"
#include "logger.h"

namespace logtest {

// Lines of a file without their line feeds; none for a missing file.
inline QStringList readLines(const QString& path) {
    return testenv::readFile(path).split('\n', Qt::SkipEmptyParts);
}

class LogFixture : public ::testing::Test {
protected:
    void TearDown() override { deinit_logger_cli(); }

    // The core on dir/logs/test.log (no file when withFile is false).
    void start(uint32_t mask = 2071, int32_t maxSize = 10485760, int32_t rotateCount = 3,
               bool echo = false, bool withFile = true) {
        deinit_logger_cli();
        name_ = QFile::encodeName(logPath());
        logger_config cfg{};
        cfg.file_name = withFile ? name_.constData() : nullptr;
        cfg.level_mask = mask;
        cfg.max_file_size = maxSize;
        cfg.rotate_count = rotateCount;
        cfg.cli_mode = 1;
        cfg.echo_stdout = echo ? 1 : 0;
        ASSERT_EQ(init_logger_cli(&cfg), 0);
    }

    QString dirPath() const { return dir_.path(); }
    QString logPath() const { return dir_.path() + "/logs/test.log"; }
    QStringList lines() const { return readLines(logPath()); }

private:
    QTemporaryDir dir_;
    QByteArray name_;
};

}  // namespace logtest
