#include "pty.h"

#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

void PtyPair::reopen()
{
    closeMaster();
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
        slave = QString::fromLocal8Bit(ptsname(master));
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(std::exchange(master, -1));
}

void PtyPair::write(const QByteArray &bytes)
{
    // What a full line cannot take is lost, as on a real one; only the babbling device fills it.
    [[maybe_unused]] const ssize_t written =
        master < 0 ? 0 : ::write(master, bytes.constData(), size_t(bytes.size()));
}

QByteArray PtyPair::take(int settleMs)
{
    QTest::qWait(settleMs);
    QByteArray bytes;
    char chunk[4096];
    ssize_t n = 0;
    // Until EAGAIN (nothing more for now) or EIO (nobody has the slave open).
    while (master >= 0 && (n = ::read(master, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, int(n));
    return bytes;
}
