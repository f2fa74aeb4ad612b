#include "GuiResources.h"

#include <QtGlobal>

// Outside any namespace: Q_INIT_RESOURCE declares the generated registration functions.
static void registerResources() {
    Q_INIT_RESOURCE(resources);
    Q_INIT_RESOURCE(localizations);
}

void initGuiResources() {
    static const bool done = (registerResources(), true);
    (void)done;
}
