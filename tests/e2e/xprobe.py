"""A small X client (ctypes over libX11) that reads back what reached the X server and paints
the root window: pointer position, pressed keys, the tray host, solid colours for capture checks."""

import ctypes
import ctypes.util
import os

from ctypes import POINTER, c_char, c_char_p, c_int, c_uint, c_ulong, c_void_p

_x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
for _name, _result, _args in [
        ("XOpenDisplay", c_void_p, [c_char_p]), ("XCloseDisplay", c_int, [c_void_p]),
        ("XDefaultRootWindow", c_ulong, [c_void_p]),
        ("XQueryPointer", c_int, [c_void_p, c_ulong, POINTER(c_ulong), POINTER(c_ulong)]
         + [POINTER(c_int)] * 4 + [POINTER(c_uint)]),
        ("XQueryKeymap", c_int, [c_void_p, c_char * 32]),
        ("XKeysymToKeycode", ctypes.c_ubyte, [c_void_p, c_ulong]),
        ("XSetWindowBackground", c_int, [c_void_p, c_ulong, c_ulong]),
        ("XClearWindow", c_int, [c_void_p, c_ulong]), ("XSync", c_int, [c_void_p, c_int]),
        ("XInternAtom", c_ulong, [c_void_p, c_char_p, c_int]),
        ("XGetSelectionOwner", c_ulong, [c_void_p, c_ulong]),
        ("XWarpPointer", c_int, [c_void_p, c_ulong, c_ulong] + [c_int] * 2 + [c_uint] * 2
         + [c_int] * 2)]:
    getattr(_x11, _name).restype, getattr(_x11, _name).argtypes = _result, _args


class XProbe:
    def __init__(self, display=None):
        name = (display or os.environ.get("DISPLAY", "")).encode()
        self.dpy = _x11.XOpenDisplay(name)
        if not self.dpy:
            raise RuntimeError("cannot open X display %r" % name)
        self.root = _x11.XDefaultRootWindow(self.dpy)

    def close(self):
        if self.dpy:
            _x11.XCloseDisplay(self.dpy)
            self.dpy = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def pointer(self):
        """(x, y, button mask) of the pointer in root coordinates."""
        windows, xy, mask = [c_ulong(), c_ulong()], [c_int() for _ in range(4)], c_uint()
        _x11.XQueryPointer(self.dpy, self.root, *map(ctypes.byref, windows + xy + [mask]))
        return xy[0].value, xy[1].value, mask.value

    def warp(self, x, y):
        _x11.XWarpPointer(self.dpy, 0, self.root, 0, 0, 0, 0, x, y)
        _x11.XSync(self.dpy, 0)

    def key_down(self, keysym):
        keys = (c_char * 32)()
        _x11.XQueryKeymap(self.dpy, keys)
        code = _x11.XKeysymToKeycode(self.dpy, keysym)
        return bool(keys.raw[code // 8] & (1 << (code % 8)))

    def tray_owned(self):
        """Whether a system tray host runs on the screen."""
        atom = _x11.XInternAtom(self.dpy, b"_NET_SYSTEM_TRAY_S0", 0)
        return _x11.XGetSelectionOwner(self.dpy, atom) != 0

    def fill_root(self, rgb):
        """Paints the whole root window in one colour (0xRRGGBB on a TrueColor screen)."""
        _x11.XSetWindowBackground(self.dpy, self.root, rgb)
        _x11.XClearWindow(self.dpy, self.root)
        _x11.XSync(self.dpy, 0)
