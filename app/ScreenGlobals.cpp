#include "ScreenGlobals.h"

_XDisplay* d = nullptr;
unsigned long w = 0;
ScreenSpecs screenSpecs;
