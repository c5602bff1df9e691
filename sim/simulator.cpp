#include "simulator.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// A real receiver has a small buffer. Cutting runaway input there turns it into an unknown
// message instead of letting a misbehaving host grow the buffer without bound.
constexpr int maxMessageBytes = 256;

QByteArray junk()
{
    QRandomGenerator *random = QRandomGenerator::global();
    QByteArray bytes(int(random->bounded(4, 25)), Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random->bounded(256));
    return bytes;
}

QString linkTarget(const QString &link)
{
    char target[4096];
    const ssize_t size = ::readlink(QFile::encodeName(link).constData(), target, sizeof target);
    return size < 0 ? QString() : QFile::decodeName(QByteArray(target, int(size)));
}

} // namespace

QString readable(const QByteArray &bytes)
{
    return QLatin1Char('"') +
           protocol::escaped(bytes).replace(QLatin1Char('"'), QLatin1String("\\\"")) +
           QLatin1Char('"');
}

Simulator::Simulator(const SimOptions &options, const sim::SimDevice &device, QObject *parent)
    : QObject(parent), m_options(options), m_device(device), m_firstDevice(device)
{
    m_gapTimer.setSingleShot(true);
    m_gapTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_gapTimer, &QTimer::timeout, this, &Simulator::processMessage);
    connect(&m_port, &PtyPort::received, this, &Simulator::collect);
    connect(&m_port, &PtyPort::hostOpened, this,
            [this] { log(QStringLiteral("host opened the port")); });
    connect(&m_port, &PtyPort::hostClosed, this, &Simulator::noteHostClosed);
}

Simulator::~Simulator()
{
    removeLink();
}

bool Simulator::start(QString *error)
{
    if (!m_options.link.isEmpty()) {
        struct stat status;
        const QByteArray link = QFile::encodeName(m_options.link);
        if (::lstat(link.constData(), &status) == 0 && !S_ISLNK(status.st_mode)) {
            *error = QStringLiteral("%1 exists and is not a symbolic link; not replacing it")
                         .arg(m_options.link);
            return false;
        }
    }
    if (!openPort(error))
        return false;
    emit running(m_device.settings());
    return true;
}

bool Simulator::openPort(QString *error)
{
    if (!m_port.open(error))
        return false;
    const QString path = m_port.slavePath();
    if (!m_options.link.isEmpty() && !pointLink(path, error))
        return false;
    // Announced after the link is in place, so whoever reads the line may use either. Every new
    // pseudo-terminal is announced, even when the kernel hands out the same number again.
    std::printf("%s\n", QFile::encodeName(path).constData());
    std::fflush(stdout);
    log(QStringLiteral("listening on %1").arg(path));
    return true;
}

// Built beside the final name and renamed over it, so the link never vanishes for a host that
// is polling it to reconnect.
bool Simulator::pointLink(const QString &target, QString *error)
{
    const QByteArray link = QFile::encodeName(m_options.link);
    const QByteArray temporary = link + ".tmp" + QByteArray::number(qint64(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0 ||
        ::rename(temporary.constData(), link.constData()) != 0) {
        *error = QStringLiteral("cannot link %1 to %2: %3")
                     .arg(m_options.link, target, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    m_linkTarget = target;
    return true;
}

void Simulator::removeLink()
{
    // Someone else may have taken the name over since; only remove what is still ours.
    if (!m_linkTarget.isEmpty() && linkTarget(m_options.link) == m_linkTarget)
        ::unlink(QFile::encodeName(m_options.link).constData());
    m_linkTarget.clear();
}

void Simulator::collect(const QByteArray &bytes)
{
    m_lastReadAt = QDeadlineTimer::current(Qt::PreciseTimer).deadline();
    m_lastReadBytes = bytes.size();
    m_lastReadBaud = m_port.baud();
    if (m_hangingUp) {
        log(QStringLiteral("hanging up on the host instead of taking %1").arg(readable(bytes)));
        QString error;
        if (!openPort(&error))
            log(error);
        return;
    }
    if (m_restarting) {
        log(QStringLiteral("ignored while restarting: %1").arg(readable(bytes)));
        return;
    }
    m_message.append(bytes.left(maxMessageBytes - m_message.size()));
    // The host hands a message over at once; on a real line its last byte arrives later.
    m_gapTimer.start(m_options.gapMs + lineMs(m_message.size()));
}

// Bytes the host hands to its port are still on their way down a real line: a host that closes
// the port before they could have left at the line's speed may lose them, or send them at the
// speed the port had before.
void Simulator::noteHostClosed()
{
    log(QStringLiteral("host closed the port"));
    // Whatever comes next is another host's: the message so far is whole.
    if (!m_message.isEmpty()) {
        m_gapTimer.stop();
        processMessage();
    }
    const int baud = m_lastReadBaud;
    const qint64 since = QDeadlineTimer::current(Qt::PreciseTimer).deadline() - m_lastReadAt;
    const int needed = baud > 0 ? (m_lastReadBytes * 10'000 + baud - 1) / baud : 0;
    if (m_lastReadBytes > 0 && since < needed)
        log(QStringLiteral(
                "   host closed the port %1 ms after its last %2 bytes, which take %3 ms "
                "at %4 baud")
                .arg(since)
                .arg(m_lastReadBytes)
                .arg(needed)
                .arg(baud));
    m_lastReadBytes = 0;
}

void Simulator::processMessage()
{
    const QByteArray message = std::exchange(m_message, {});
    log(QStringLiteral("<- %1").arg(readable(message)));
    const sim::Settings before = m_device.settings();
    sim::Reply reply = m_device.handle(message);
    for (const auto &[prefix, text] : qAsConst(m_options.replies)) {
        if (message.startsWith(prefix)) {
            reply.bytes = text;
            break;
        }
    }
    if (!reply.bytes.isEmpty())
        answer(reply.bytes);
    if (!reply.restart)
        return;
    QStringList applied;
    for (int i = 0; i < protocol::parameterCount; ++i) {
        const QByteArray &value = m_device.settings()[std::size_t(i)];
        if (value != before[std::size_t(i)])
            applied << QStringLiteral("%1=%2").arg(QLatin1String(protocol::parameters[i].query),
                                                   QString::fromLatin1(value));
    }
    log(applied.isEmpty() ? QStringLiteral("restarting, nothing was staged")
                          : QStringLiteral("restarting, applying %1").arg(applied.join(", ")));
    restart();
}

void Simulator::answer(QByteArray bytes)
{
    if (m_options.silent) {
        log(QStringLiteral("   staying silent instead of %1").arg(readable(bytes)));
        return;
    }
    if (m_options.garbage)
        bytes = junk();
    const quint64 generation = m_generation;
    if (!m_options.splitMs) {
        QTimer::singleShot(m_options.slowMs, Qt::PreciseTimer, this,
                           [this, bytes, generation] { send(bytes, generation); });
        return;
    }
    const QByteArray first = bytes.left(bytes.size() / 2);
    const QByteArray second = bytes.mid(first.size());
    QTimer::singleShot(m_options.slowMs, Qt::PreciseTimer, this,
                       [this, first, generation] { send(first, generation); });
    QTimer::singleShot(m_options.slowMs + *m_options.splitMs, Qt::PreciseTimer, this,
                       [this, second, generation] { send(second, generation); });
}

// One answer after another, each arriving whole when its last byte would on a real line.
void Simulator::send(const QByteArray &bytes, quint64 generation)
{
    if (m_options.lineRate == 0)
        return deliver(bytes, generation);
    const qint64 now = QDeadlineTimer::current(Qt::PreciseTimer).deadline();
    m_lineFreeAt = std::max(m_lineFreeAt, now) + lineMs(bytes.size());
    QTimer::singleShot(int(m_lineFreeAt - now), Qt::PreciseTimer, this,
                       [this, bytes, generation] { deliver(bytes, generation); });
}

void Simulator::deliver(const QByteArray &bytes, quint64 generation)
{
    if (generation != m_generation) {
        log(QStringLiteral("   lost in the restart: %1").arg(readable(bytes)));
        return;
    }
    switch (m_port.write(bytes)) {
    case PtyPort::WriteResult::Written:
        log(QStringLiteral("-> %1").arg(readable(bytes)));
        break;
    case PtyPort::WriteResult::NobodyListening:
        log(QStringLiteral("   nobody has the port open, dropped %1").arg(readable(bytes)));
        break;
    case PtyPort::WriteResult::Overflow:
        log(QStringLiteral("   host is not reading, dropped %1").arg(readable(bytes)));
        break;
    }
}

// Ten bits a byte: start, eight data bits, stop.
int Simulator::lineMs(int bytes) const
{
    return m_options.lineRate == 0 ? 0
                                   : (bytes * 10'000 + m_options.lineRate - 1) / m_options.lineRate;
}

void Simulator::restart()
{
    ++m_generation;
    m_restarting = true;
    emit restarting();
    if (m_options.dropOnRestart) {
        // As a vanished USB adapter's name goes, so that nobody reaches another program's
        // terminal through it while the device is away.
        m_port.close();
        removeLink();
        log(QStringLiteral("pseudo-terminal closed for the restart"));
    }
    QTimer::singleShot(m_options.restartMs, this, &Simulator::finishRestart);
}

void Simulator::finishRestart()
{
    m_restarting = false;
    QString error;
    if (m_options.dropOnRestart && !openPort(&error)) {
        std::fprintf(stderr, "tcprtu-sim: %s\n", qPrintable(error));
        QCoreApplication::exit(1);
        return;
    }
    m_hangingUp = m_options.hangUpAfterRestart;
    if (m_options.forgetChanges) {
        m_device = m_firstDevice;
        log(QStringLiteral("restarted with the settings it started with"));
    } else {
        if (!m_options.macAfterRestart.isEmpty())
            m_device.hold(0, m_options.macAfterRestart);
        log(QStringLiteral("restarted"));
    }
    if (!m_options.banner.isEmpty()) {
        const quint64 generation = m_generation;
        QTimer::singleShot(m_options.bannerMs, Qt::PreciseTimer, this,
                           [this, generation] { send(m_options.banner + "\r\n", generation); });
    }
    emit running(m_device.settings());
}

void Simulator::log(const QString &text) const
{
    if (m_options.quiet)
        return;
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    std::fprintf(stderr, "%s %s\n", qPrintable(time), text.toLocal8Bit().constData());
}
