// Whether an invitation link points at the server the agent was configured with.
#pragma once

#include <QString>

// True when both URLs parse and agree in scheme, host and port (default ports made explicit).
// Anything that does not parse counts as a different server.
bool isSameServer(const QString& configuredUrl, const QString& linkUrl);
