// Command line, environment and invitation links into GlobalSettings.
#pragma once

#include "GlobalSettings.h"

// Built-in defaults, used when neither an option nor the environment names a server or STUN host.
inline constexpr const char* kDefaultServerUrl = "https://assistant.kelvano.test/assistant";
inline constexpr const char* kDefaultStunUrl = "stun://stun.kelvano.test:19302";

// Options, then environment, then defaults; a remaining positional argument is an invitation link
// that overrides server URL and session id. argc/argv lose the options that were recognised.
// False when the option parser rejects the command line or the link is not acceptable.
bool parseCmdlineParams(int& argc, char** argv, GlobalSettings& settings);

// kvlo/kvlos/http/https link: server URL before its last "/", session id after it.
// False (and nothing changed) when no known scheme word occurs in it.
bool parseFullUrl(const char* url, GlobalSettings& settings);
