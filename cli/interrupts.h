#pragma once

#include <QObject>

// Ctrl-C, SIGTERM and SIGHUP (on Windows, the console's Ctrl-C, Ctrl-Break and close events)
// become a signal of the event loop, so that a write under way can leave the device as it found
// it before the program ends. A second one is the program's cue to say what it leaves and end; a
// third ends it at once. The only file with calls
// outside Qt for this, and the one that keeps a closed pipe on standard output from killing the
// program: such a write fails, and the program says so.
class Interrupts : public QObject
{
    Q_OBJECT

public:
    explicit Interrupts(QObject *parent = nullptr);

signals:
    // 128 + the signal's number, the exit status a shell expects of a program it ended.
    void interrupted(int status);
};
