#include "ptyport.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How often to look for the host coming back while the slave is closed. Short, so that a host
// that opens the port, writes and closes it again is seen doing so, and its message is taken
// alone rather than glued to the next host's.
constexpr int hostPollMs = 5;

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

PtyPort::PtyPort(QObject *parent) : QObject(parent)
{
    m_hostPoll.setInterval(hostPollMs);
    connect(&m_hostPoll, &QTimer::timeout, this, &PtyPort::checkHostBack);
}

PtyPort::~PtyPort()
{
    close();
}

bool PtyPort::open(QString *error)
{
    close();
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        *error = systemError("posix_openpt");
        return false;
    }
    const char *name = nullptr;
    termios mode{};
    const bool ready = ::grantpt(fd) == 0 && ::unlockpt(fd) == 0 &&
                       (name = ::ptsname(fd)) != nullptr && ::tcgetattr(fd, &mode) == 0;
    if (!ready) {
        *error = systemError("preparing the pseudo-terminal");
        ::close(fd);
        return false;
    }
    // Termios calls on a Linux master act on the slave, so the host finds a raw line even if it
    // never configures one: CR and LF must reach it untouched and nothing may be echoed back.
    ::cfmakeraw(&mode);
    if (::tcsetattr(fd, TCSANOW, &mode) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        *error = systemError("configuring the pseudo-terminal");
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_slavePath = QString::fromLocal8Bit(name);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyPort::readAvailable);
    return true;
}

void PtyPort::close()
{
    m_hostPoll.stop();
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_slavePath.clear();
}

// Once the host has closed the slave, the master polls as hung up and reads fail with EIO until
// someone opens the slave again. A read notifier would fire in a tight loop all that time, so
// it is switched off and a slow timer watches for the hang-up to clear instead.
// Keeping a spare slave descriptor open here would avoid the hang-up, but then replies written
// after the host left would wait in the slave's queue and greet the next host as stale input.
void PtyPort::readAvailable()
{
    if (readPending())
        return;
    m_notifier->setEnabled(false);
    m_hostPoll.start();
    emit hostClosed();
}

// Reads what the host sent; false once the host has hung up.
bool PtyPort::readPending()
{
    QByteArray bytes;
    char buffer[512];
    for (;;) {
        const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, int(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (!bytes.isEmpty())
            emit received(bytes);
        return count < 0 && errno == EAGAIN;
    }
}

void PtyPort::checkHostBack()
{
    pollfd watch{m_fd, POLLIN, 0};
    if (::poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP) != 0) {
        // A host that opened the port, wrote and closed it again between two looks left its
        // bytes behind; the device takes them all the same, as a whole message.
        if ((watch.revents & POLLIN) != 0) {
            readPending();
            emit hostClosed();
        }
        return;
    }
    m_hostPoll.stop();
    m_notifier->setEnabled(true);
    emit hostOpened();
}

int PtyPort::baud() const
{
    termios mode{};
    if (m_fd < 0 || ::tcgetattr(m_fd, &mode) != 0)
        return 0;
    static const struct
    {
        speed_t code;
        int baud;
    } speeds[] = {{B300, 300},       {B1200, 1200},    {B2400, 2400},   {B4800, 4800},
                  {B9600, 9600},     {B19200, 19200},  {B38400, 38400}, {B57600, 57600},
                  {B115200, 115200}, {B230400, 230400}};
    for (const auto &speed : speeds) {
        if (::cfgetospeed(&mode) == speed.code)
            return speed.baud;
    }
    return 0;
}

bool PtyPort::hostHungUp() const
{
    pollfd watch{m_fd, POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP) != 0;
}

PtyPort::WriteResult PtyPort::write(const QByteArray &bytes)
{
    // Checked on every write, not only from the read side, because the host may close the
    // port between a message and a delayed reply.
    if (m_fd < 0 || hostHungUp())
        return WriteResult::NobodyListening;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count > 0)
            done += count;
        else if (count < 0 && errno == EINTR)
            continue;
        else
            return WriteResult::Overflow;
    }
    return WriteResult::Written;
}
