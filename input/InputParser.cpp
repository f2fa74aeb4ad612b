#include "InputParser.h"

#include <QThread>

#include "InputHandler.h"
#include "XTestInjector.h"
#include "logger.h"

InputParser::InputParser(QThread* ownerThread) : ownerThread(ownerThread) {}

InputParser::~InputParser() = default;

void InputParser::setDisplay(_XDisplay* display, unsigned long root, const ScreenSpecs& screen) {
    this->display = display;
    this->root = root;
    this->screen = screen;
}

void InputParser::pushInQueue(const QString& msg) {
    queue.push(msg);
}

void InputParser::process() {
    cli_log(LL_INFO, "Started input parser\n");
    if (display == nullptr) {
        cli_log(LL_ERROR, "No X display: input events are dropped\n");
    }
    XTestInjector injector(display, root);
    InputHandler handler(injector, &screen);
    while (!ownerThread->isInterruptionRequested()) {
        const std::optional<QString> msg = queue.take();
        if (!msg) {
            QThread::msleep(1);
            continue;
        }
        if (display != nullptr) {
            handler.handleMessage(*msg);
        }
    }
    // The administrator may have gone in the middle of a key press or a drag.
    if (display != nullptr) {
        handler.releaseAll();
    }
    cli_log(LL_INFO, "Finished input parser\n");
}
