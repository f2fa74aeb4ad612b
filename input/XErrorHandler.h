// Xlib's default error handler ends the process on any protocol error; this one logs and returns.
#pragma once

// Installs the logging handler for every display connection of the process. Safe to call more than
// once and from any thread; the injector installs it before its first X call.
void installXErrorHandler();
