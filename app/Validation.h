// Checks of the connection parameters before a connection attempt; each failure logs one line.
#pragma once

#include <QString>
#include <string>

#include "GlobalSettings.h"

// Whole-text match of `value` (UTF-8) against `pattern`; `paramName` names it in the log.
bool validateParamRegEx(const std::string& value, const QString& paramName, const QString& pattern);

// Session id, server URL, time-out, codecs, STUN URL and microphone volume, in this order; stops
// at the first failure. Changes nothing.
bool validateConnectionParams(const GlobalSettings& settings);
