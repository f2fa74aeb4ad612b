#include "XErrorHandler.h"

#include <X11/Xlib.h>

#include <mutex>

#include "logger.h"

namespace {

int logXError(Display* display, XErrorEvent* event) {
    char text[256] = {0};
    XGetErrorText(display, event->error_code, text, sizeof(text) - 1);
    cli_log(LL_ERROR, "X error: %s (request %d.%d, resource 0x%lx, serial %lu)\n", text,
            event->request_code, event->minor_code, event->resourceid, event->serial);
    return 0;
}

}  // namespace

void installXErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(logXError); });
}
