// Worker of the input thread: takes the administrator's messages from the queue and injects them.
#pragma once

#include <QObject>
#include <QString>

#include "Queue.h"

class QThread;

class InputParser : public QObject {
    Q_OBJECT

public:
    explicit InputParser(QThread* ownerThread);
    ~InputParser() override;

    Queue<QString> queue;

public slots:
    void pushInQueue(const QString& msg);
    // Runs until `ownerThread` is asked to stop; then releases whatever is still held down.
    void process();

private:
    QThread* ownerThread;
};
