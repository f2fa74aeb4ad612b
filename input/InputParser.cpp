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
        // Everything that came meanwhile at once: a run of pointer moves is one move, and the
        // X server hears of it all in one flush.
        std::deque<QString> messages = queue.takeAll();
        if (messages.empty()) {
            if (display != nullptr) {
                handler.idle();
            }
            QThread::msleep(1);
            continue;
        }
        for (; !messages.empty() && !ownerThread->isInterruptionRequested(); messages.pop_front()) {
            if (display != nullptr) {
                handler.handleMessage(messages.front());
            }
        }
        if (display != nullptr) {
            handler.endOfDrain();
        }
    }
    // The administrator may have gone in the middle of a key press or a drag.
    if (display != nullptr) {
        handler.releaseAll();
    }
    cli_log(LL_INFO, "Finished input parser\n");
}
