// Whether an invitation link points at the server the agent was configured with.
#pragma once

#include <QString>

#include "GlobalSettings.h"

// True when both URLs parse and agree in scheme, host and port (default ports made explicit).
// Anything that does not parse counts as a different server.
bool isSameServer(const QString& configuredUrl, const QString& linkUrl);

// What the consent dialog names for a link to another server: the link's host (in its ASCII
// form, so that look-alike letters show) with an explicit port; empty for the configured server.
QString foreignServerHost(const QString& configuredUrl, const QString& linkUrl);
// The same for the configured and the current server URL of `settings`.
QString foreignServerHost(const GlobalSettings& settings);
