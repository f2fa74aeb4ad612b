#include "GuiTestEnv.h"

#include <QDir>

#include <stdlib.h>

namespace {

// Runs before main, so before any window asks for the single-instance socket.
struct PrivateRuntimeDir {
    PrivateRuntimeDir() {
        if (mkdtemp(dir)) {
            setenv("XDG_RUNTIME_DIR", dir, 1);
            made = true;
        }
    }
    ~PrivateRuntimeDir() {
        if (made) {
            QDir(QString::fromLocal8Bit(dir)).removeRecursively();
        }
    }
    static char dir[];
    bool made = false;
} const privateRuntimeDir;
char PrivateRuntimeDir::dir[] = "/tmp/kelvano-gui-test-XXXXXX";

}  // namespace
