// The log lines that report the settings at start-up and before each connection.
#pragma once

#include <QString>

#include "GlobalSettings.h"

// The parameter block, logged at INFO under `title`.
void printCliParams(const char* title, const GlobalSettings& settings);

// The "System info : ..." line for the Qt platform `platformName`; a wayland platform is logged
// and marked in `settings`.
void readAndLogSystemInfo(const QString& platformName, GlobalSettings& settings);
