#pragma once

#include <QByteArray>
#include <QString>

// A POSIX pseudo-terminal pair. The window opens the slave through QSerialPort; the test plays the
// device on the master.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // A new pair in place of this one, as a device that comes back on another line.
    void reopen();

    QString slavePath() const { return slave; }

    // Runs the event loop for settleMs (so that queued writes leave the port) and returns every
    // byte that reached the master meanwhile.
    QByteArray take(int settleMs = 30);
    // Waits up to timeoutMs for the first byte, then collects until the line is quiet for quietMs.
    QByteArray waitForBytes(int timeoutMs = 1000, int quietMs = 30);

    void write(const QByteArray &bytes);
    // The far end goes away, as a USB adapter that is pulled out.
    void closeMaster();

private:
    QByteArray readAvailable();

    int master = -1;
    QString slave;
};
