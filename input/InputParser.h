// Worker of the input thread: takes the administrator's messages from the queue and injects them.
#pragma once

#include <QObject>
#include <QString>

#include "Queue.h"
#include "ScreenGlobals.h"

class QThread;

class InputParser : public QObject {
    Q_OBJECT

public:
    explicit InputParser(QThread* ownerThread);
    ~InputParser() override;

    Queue<QString> queue;

    // The display and monitor the next run of process() injects into; set on the owner's thread
    // before the input thread starts, and not touched while it runs.
    void setDisplay(_XDisplay* display, unsigned long root, const ScreenSpecs& screen);

public slots:
    void pushInQueue(const QString& msg);
    // Runs until `ownerThread` is asked to stop; then releases whatever is still held down.
    void process();

private:
    QThread* ownerThread;
    _XDisplay* display = nullptr;
    unsigned long root = 0;
    ScreenSpecs screen;
};
