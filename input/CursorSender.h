// Worker of the cursor thread: polls the platform for the cursor shape and hands each new cursor
// message to the channel. X11 has no capture yet, so in this build it only idles.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <map>
#include <string>

class QThread;

// Captures the current cursor. On success `*message` is a ready-made text message for the cursor
// channel (allocated with malloc, freed by the caller) and `width`, `height` are the shape's size.
// Returns false when nothing was captured; the X11 build never captures and warns once per process.
bool getCurrentCursor(char** message, int* width, int* height);

class CursorSender : public QObject {
    Q_OBJECT

public:
    explicit CursorSender(QThread* ownerThread);

    // New per-connection state; only while the cursor thread is not running.
    void resetConnection();

    QByteArray connectionIdentifier() const { return connectionId; }
    size_t knownCursors() const { return cursorMap.size(); }

signals:
    void sendCursor(const QString& msg);

public slots:
    void process();

private:
    QThread* ownerThread;
    QByteArray connectionId;
    std::map<QByteArray, std::string> cursorMap;
};
