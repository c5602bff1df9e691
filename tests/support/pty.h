#pragma once

#include <QByteArray>
#include <QString>

// A POSIX pseudo-terminal pair. The program under test opens the slave through QSerialPort; the
// test plays the device on the master.
class PtyPair
{
public:
    PtyPair() { reopen(); }
    ~PtyPair() { closeMaster(); }

    // A new pair in place of this one, as a device that comes back on another line.
    void reopen();
    // The far end goes away, as a USB adapter that is pulled out.
    void closeMaster();

    void write(const QByteArray &bytes);
    // Runs the event loop for settleMs, so that queued writes leave the port, and returns every
    // byte that reached the master meanwhile.
    QByteArray take(int settleMs = 30);

    QString slave; // the path the window opens

private:
    int master = -1;
};
