#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int waitMs = 1000;

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int openRaw(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios mode{};
    if (fd >= 0 && ::tcgetattr(fd, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(fd, TCSANOW, &mode);
    }
    return fd;
}

// Waits for whatever poll reports on fd, or for the time to run out; returns revents.
short waitFor(int fd, short events, QDeadlineTimer deadline)
{
    pollfd watch{fd, events, 0};
    while (!deadline.hasExpired()) {
        if (::poll(&watch, 1, int(deadline.remainingTime())) > 0)
            return watch.revents;
    }
    return 0;
}

QByteArray exchange(int fd, const QByteArray &message)
{
    if (::write(fd, message.constData(), size_t(message.size())) != message.size())
        return "write failed";
    const QDeadlineTimer deadline(waitMs);
    QByteArray reply;
    while (!reply.endsWith("\r\n") && (waitFor(fd, POLLIN, deadline) & POLLIN)) {
        char buffer[64];
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0)
            break;
        reply.append(buffer, int(count));
    }
    return reply;
}

QString nextPath(QProcess &sim)
{
    const QDeadlineTimer deadline(waitMs);
    while (!sim.canReadLine() && sim.waitForReadyRead(int(deadline.remainingTime())))
        ;
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

} // namespace

class TestSimFrontend : public QObject
{
    Q_OBJECT

private slots:
    void servesThePtyAcrossARestart();
};

void TestSimFrontend::servesThePtyAcrossARestart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("port"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(TCPRTU_SIM_BINARY),
              {"--link", link, "--drop-on-restart", "--restart-ms", "50", "--gap", "10"});

    const QString firstPath = nextPath(sim);
    QVERIFY(firstPath.startsWith("/dev/"));
    QCOMPARE(QFile::symLinkTarget(link), firstPath);

    Descriptor first{openRaw(link)};
    QVERIFY(first.fd >= 0);
    QCOMPARE(exchange(first.fd, "ip"), QByteArray("ip:192.168.0.10\r\n"));
    QCOMPARE(exchange(first.fd, "CHANGE IP:10.0.0.5"), QByteArray("OK\r\n"));
    QCOMPARE(exchange(first.fd, "ip"), QByteArray("ip:192.168.0.10\r\n"));

    QCOMPARE(::write(first.fd, "RESET", 5), ssize_t(5));
    QVERIFY(waitFor(first.fd, POLLIN, QDeadlineTimer(waitMs)) & POLLHUP);

    // The first slave is still open here, so the new pseudo-terminal cannot reuse its number.
    const QString secondPath = nextPath(sim);
    QVERIFY(secondPath.startsWith("/dev/"));
    QVERIFY(secondPath != firstPath);
    QCOMPARE(QFile::symLinkTarget(link), secondPath);

    Descriptor second{openRaw(link)};
    QVERIFY(second.fd >= 0);
    QCOMPARE(exchange(second.fd, "ip"), QByteArray("ip:10.0.0.5\r\n"));

    sim.terminate();
    QVERIFY(sim.waitForFinished(waitMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestSimFrontend)
#include "tst_simfrontend.moc"
