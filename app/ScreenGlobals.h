// The X display connection and the primary monitor's geometry, shared by capture and input.
#pragma once

struct _XDisplay;

extern _XDisplay* d;     // opened by the display probe, closed by the main window
extern unsigned long w;  // root window of the default screen

struct ScreenSpecs {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
extern ScreenSpecs screenSpecs;
