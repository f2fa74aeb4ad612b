// The X display for the life of the main window, and the primary monitor's geometry in it.
#pragma once

#include <optional>
#include <vector>

#include "ScreenGlobals.h"

// One CRTC as RandR reports it, reduced to what the primary-monitor rule looks at.
struct CrtcGeometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::vector<unsigned long> outputs;
};

// Geometry of the CRTC whose first output is `primaryOutput`; when several match, the last one in
// the list. Empty when none matches (for example when no primary output is set).
std::optional<ScreenSpecs> primaryCrtcGeometry(const std::vector<CrtcGeometry>& crtcs,
                                               unsigned long primaryOutput);

// Called with the display right after it is opened and before it is queried, so that an X error
// handler can be in place first. Null: no hook.
using DisplayOpenedHook = void (*)(_XDisplay* display);
void setDisplayOpenedHook(DisplayOpenedHook hook);

// Opens `d` from DISPLAY (unless it is open already), sets `w` and `screenSpecs`, and logs the
// primary monitor. False, with a CRITICAL line and `d` null, when the display cannot be opened.
bool initDisplay();

// True when an X display can be opened from DISPLAY; the connection is closed again.
bool canOpenDisplay();
