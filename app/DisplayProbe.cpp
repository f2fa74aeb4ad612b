#include "DisplayProbe.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "logger.h"

namespace {

DisplayOpenedHook displayOpenedHook = nullptr;

std::vector<CrtcGeometry> readCrtcs(Display* display, Window root) {
    std::vector<CrtcGeometry> crtcs;
    XRRScreenResources* resources = XRRGetScreenResources(display, root);
    if (!resources) {
        return crtcs;
    }
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo* info = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (!info) {
            continue;
        }
        CrtcGeometry crtc;
        crtc.x = info->x;
        crtc.y = info->y;
        crtc.width = static_cast<int>(info->width);
        crtc.height = static_cast<int>(info->height);
        crtc.outputs.assign(info->outputs, info->outputs + info->noutput);
        crtcs.push_back(std::move(crtc));
        XRRFreeCrtcInfo(info);
    }
    XRRFreeScreenResources(resources);
    return crtcs;
}

}  // namespace

std::optional<ScreenSpecs> primaryCrtcGeometry(const std::vector<CrtcGeometry>& crtcs,
                                               unsigned long primaryOutput) {
    std::optional<ScreenSpecs> found;
    for (const CrtcGeometry& crtc : crtcs) {
        if (!crtc.outputs.empty() && crtc.outputs.front() == primaryOutput) {
            found = ScreenSpecs{crtc.x, crtc.y, crtc.width, crtc.height};
        }
    }
    return found;
}

void setDisplayOpenedHook(DisplayOpenedHook hook) {
    displayOpenedHook = hook;
}

bool initDisplay() {
    if (!d) {
        d = XOpenDisplay(nullptr);
        if (!d) {
            cli_log(LL_CRITICAL, "Linux: %s: XOpenDisplay failed\n", "initDisplay");
            return false;
        }
        if (displayOpenedHook) {
            displayOpenedHook(d);
        }
    }
    w = DefaultRootWindow(d);

    // Without RandR the requests below would be protocol errors; the whole screen is used then.
    std::optional<ScreenSpecs> primary;
    int eventBase = 0;
    int errorBase = 0;
    if (XRRQueryExtension(d, &eventBase, &errorBase)) {
        const RROutput primaryOutput = XRRGetOutputPrimary(d, w);
        primary = primaryCrtcGeometry(readCrtcs(d, w), primaryOutput);
    }
    if (primary) {
        screenSpecs = *primary;
    } else {
        Screen* screen = ScreenOfDisplay(d, 0);
        screenSpecs = ScreenSpecs{0, 0, WidthOfScreen(screen), HeightOfScreen(screen)};
    }
    cli_log(LL_INFO, "Linux: Primary monitor position:%d;%d, resolution:%dx%d\n", screenSpecs.x,
            screenSpecs.y, screenSpecs.width, screenSpecs.height);
    return true;
}

bool canOpenDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    XCloseDisplay(display);
    return true;
}
