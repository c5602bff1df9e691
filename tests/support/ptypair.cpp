#include "ptypair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    reopen();
}

void PtyPair::reopen()
{
    closeMaster();
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return;
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        ::close(master);
        master = -1;
        return;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    slave = QString::fromLocal8Bit(ptsname(master));
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

QByteArray PtyPair::readAvailable()
{
    QByteArray bytes;
    if (master < 0)
        return bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, int(n));
            continue;
        }
        // EAGAIN: nothing more for now; EIO: nobody has the slave open.
        if (n < 0 && errno == EINTR)
            continue;
        return bytes;
    }
}

QByteArray PtyPair::take(int settleMs)
{
    QTest::qWait(settleMs);
    return readAvailable();
}

QByteArray PtyPair::waitForBytes(int timeoutMs, int quietMs)
{
    QByteArray bytes;
    QElapsedTimer sinceStart, sinceLast;
    sinceStart.start();
    sinceLast.start();
    while (bytes.isEmpty() ? sinceStart.elapsed() < timeoutMs : sinceLast.elapsed() < quietMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const QByteArray more = readAvailable();
        if (!more.isEmpty()) {
            bytes += more;
            sinceLast.restart();
        } else {
            QTest::qSleep(1);
        }
    }
    return bytes;
}

void PtyPair::write(const QByteArray &bytes)
{
    if (master < 0)
        return;
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(master, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
}
