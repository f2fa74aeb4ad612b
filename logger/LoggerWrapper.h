// Owner of the process log: works out where the file lives, opens the log core and closes it.
#pragma once

#include <QString>

#include "logger.h"

// Bytes of "<dir>/logs/<application>.log" in the file-system encoding. The text lives in a
// static buffer that the next call replaces.
const char* getLogFilename(const QString& dir, const QString& application);

class LoggerWrapper {
public:
    // Opens the log in the settings directory of `organisation` and `application`; when the core
    // cannot be initialised the process ends with status 1.
    LoggerWrapper(const char* organisation, const char* application);
    ~LoggerWrapper();

    LoggerWrapper(const LoggerWrapper&) = delete;
    LoggerWrapper& operator=(const LoggerWrapper&) = delete;

    // "getLogFilename: <dir> -> <file>" on standard output (not into the log).
    void printLogFilePath() const;
    // Adds (or removes) the DEBUG bit in the configuration and in the running log.
    void setDebug(bool on);

    const logger_config& config() const { return config_; }
    const QString& getLogDir() const { return logDir; }

private:
    logger_config config_;
    QString logDir;
};
