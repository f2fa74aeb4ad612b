"""A small X client (ctypes over libX11) that reads back what reached the X server and paints
the root window: pointer position, pressed keys, the tray host, solid colours for capture checks."""

import ctypes
import ctypes.util
import os

_x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x11.XDefaultRootWindow.restype = ctypes.c_ulong
_x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x11.XQueryPointer.argtypes = [
    ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
    ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_uint)]
_x11.XQueryKeymap.argtypes = [ctypes.c_void_p, ctypes.c_char * 32]
_x11.XKeysymToKeycode.restype = ctypes.c_ubyte
_x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XSetWindowBackground.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
_x11.XClearWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x11.XInternAtom.restype = ctypes.c_ulong
_x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x11.XGetSelectionOwner.restype = ctypes.c_ulong
_x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XWarpPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                              ctypes.c_int, ctypes.c_uint, ctypes.c_uint, ctypes.c_int, ctypes.c_int]


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
        root, child = ctypes.c_ulong(), ctypes.c_ulong()
        rx, ry, wx, wy = ctypes.c_int(), ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        mask = ctypes.c_uint()
        _x11.XQueryPointer(self.dpy, self.root, ctypes.byref(root), ctypes.byref(child),
                           ctypes.byref(rx), ctypes.byref(ry), ctypes.byref(wx), ctypes.byref(wy),
                           ctypes.byref(mask))
        return rx.value, ry.value, mask.value

    def warp(self, x, y):
        _x11.XWarpPointer(self.dpy, 0, self.root, 0, 0, 0, 0, x, y)
        _x11.XSync(self.dpy, 0)

    def key_down(self, keysym):
        keys = (ctypes.c_char * 32)()
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
