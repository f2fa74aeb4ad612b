// Owner of the process log: works out where the file lives, opens the log core and closes it.
#pragma once

#include <QString>

#include "logger.h"

class GlobalSettings;

// Bytes of "<dir>/logs/Kelvano Assistant.log" in the file-system encoding. The text lives in a
// static buffer that the next call replaces.
const char* getLogFilename(const QString& dir);

class LoggerWrapper {
public:
    // Opens the log; when the core cannot be initialised the process ends with status 1.
    LoggerWrapper();
    ~LoggerWrapper();

    LoggerWrapper(const LoggerWrapper&) = delete;
    LoggerWrapper& operator=(const LoggerWrapper&) = delete;

    // "getLogFilename: <dir> -> <file>" on standard output (not into the log).
    void printLogFilePath() const;
    // The parameter block, logged at INFO under `title`.
    static void printCliParams(const char* title, const GlobalSettings& settings);
    // The "System info : ..." line; marks a wayland platform in GlobalSettings.
    void readAndLogSystemInfo() const;
    // Same, for a given Qt platform name.
    void readAndLogSystemInfo(const QString& platformName) const;
    // Adds (or removes) the DEBUG bit in the configuration and in the running log.
    void setDebug(bool on);

    const logger_config& config() const { return config_; }
    const QString& getLogDir() const { return logDir; }

private:
    logger_config config_;
    QString logDir;
};
