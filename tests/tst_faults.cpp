#include "script.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTest>

#include <atomic>
#include <random>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QList<QByteArray> queries = {"MAC",           "ip",         "MASK",        "GATEWAY",
                                   "PORT TCP",      "parity",     "SPEED RS485", "STOP BIT",
                                   "IP SERVER TCP", "TIMEOUT TCP"};
const QList<QByteArray> changes = {
    "CHANGE IP:",       "CHANGE MASK:",          "CHANGE GATEWAY:",
    "CHANGE PORT TCP:", "CHANGE PARITY:",        "CHANGE SPEED RS485:",
    "CHANGE STOP BIT:", "CHANGE IP SERVER TCP:", "CHANGE TIMEOUT TCP:"};

bool isACommand(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes == "RESET" || queries.contains(bytes))
        return true;
    for (const QByteArray &keyword : changes) {
        if (bytes.startsWith(keyword))
            return true;
    }
    return false;
}

double threadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 residentBytes()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

quint32 fuzzSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("TCPRTU_FUZZ_SEED").toUInt(&ok);
    return ok ? seed : 20261206u;
}

// The window logs every reply; thousands of them would drown the test's own output.
struct DebugLogOff
{
    DebugLogOff() { QLoggingCategory::setFilterRules("default.debug=false"); }
    ~DebugLogOff() { QLoggingCategory::setFilterRules(QString()); }
};

} // namespace

class FaultTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void randomReplies_data();
    void randomReplies();
    void lineDroppedAtEveryStep_data();
    void lineDroppedAtEveryStep();
    void babblingDevice();
};

void FaultTest::cleanup()
{
    verifyNothingLeftOpen();
}

void FaultTest::randomReplies_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("replies");
    QTest::newRow("TCP-RTU") << int(Rig::TcpRtu) << 2500;
    QTest::newRow("RTU-TCP") << int(Rig::RtuTcp) << 2500;
}

void FaultTest::randomReplies()
{
    QFETCH(int, mode);
    QFETCH(int, replies);
    const quint32 seed = fuzzSeed() + quint32(mode);
    qInfo("seed %u (set TCPRTU_FUZZ_SEED to repeat)", seed);
    std::mt19937 random(seed);
    auto below = [&](int n) { return int(random() % quint32(n)); };

    Rig rig;
    QVERIFY(rig.open(Rig::Mode(mode)));
    const int lastScanStep = mode == Rig::TcpRtu ? 9 : 11;
    const int lastChangeStep = mode == Rig::TcpRtu ? 15 : 19;
    DebugLogOff quiet;

    for (int i = 0; i < replies; ++i) {
        if (!rig.probe.scanTimer()->isActive() && !rig.probe.changeTimer()->isActive()) {
            if (below(2))
                rig.startScan();
            else
                rig.startChange();
        }
        // A tick only ever comes from a running timer; a refused change may have stopped it.
        for (int ticks = below(3); ticks > 0; --ticks) {
            if (rig.probe.scanTimer()->isActive())
                rig.probe.scanTick();
            else if (rig.probe.changeTimer()->isActive())
                rig.probe.changeTick();
            const QByteArray sent = rig.pty.take(2);
            QVERIFY2(isACommand(sent), sent.toHex().constData());
        }
        if (!rig.probe.serial().isOpen())
            QVERIFY(rig.open(Rig::Mode(mode)));

        QByteArray reply(below(1001), Qt::Uninitialized);
        const char specials[] = {'\0', '\r', '\n', char(0xC3), char(0xFF), 'O', 'K'};
        for (char &byte : reply)
            byte = below(4) == 0 ? specials[below(int(sizeof specials))] : char(below(256));
        // Up to three pieces, mostly back to back, sometimes a few milliseconds apart.
        int at = 0;
        for (int pieces = 1 + below(3); at < reply.size(); --pieces) {
            const int piece = pieces == 1 ? reply.size() - at : 1 + below(reply.size() - at);
            rig.pty.write(reply.mid(at, piece));
            at += piece;
            QTest::qWait(below(4) == 0 ? 1 + below(5) : 0);
        }

        QVERIFY2(rig.pty.take(1).isEmpty(), "a reply made the window write");
        QVERIFY(!(rig.probe.scanTimer()->isActive() && rig.probe.changeTimer()->isActive()));
        QVERIFY(rig.probe.scanStep() >= 0 && rig.probe.scanStep() < lastScanStep);
        QVERIFY(rig.probe.changeStep() >= 0 && rig.probe.changeStep() < lastChangeStep);
        if (!rig.probe.scanTimer()->isActive())
            QCOMPARE(rig.probe.scanStep(), 0);
        if (!rig.probe.changeTimer()->isActive())
            QCOMPARE(rig.probe.changeStep(), 0);
    }
    qInfo("%d error boxes", int(rig.boxes.boxes.size()));
}

void FaultTest::lineDroppedAtEveryStep_data()
{
    QTest::addColumn<QString>("script");
    for (const char *button : {"scan_parameters", "applyButton"}) {
        for (const char *mode : {"tcp-rtu", "rtu-tcp"}) {
            const bool change = QString(button) == "applyButton";
            const int lastStep = change ? (QString(mode) == "tcp-rtu" ? 15 : 19)
                                        : (QString(mode) == "tcp-rtu" ? 9 : 11);
            for (int ticks = 0; ticks < lastStep; ++ticks) {
                for (bool restartPending : {false, true}) {
                    QTest::addRow("%s %s, %d ticks%s", change ? "change" : "query", mode, ticks,
                                  restartPending ? ", restart pending" : "")
                        << QString("open %1; click %2; skip %3; %4drop; %5; expect run=idle; "
                                   "expect status="
                                   "Disconnected; quiet 100")
                               .arg(mode, button)
                               .arg(ticks)
                               .arg(restartPending ? "click Reset; " : "",
                                    restartPending ? "no-box"
                                                   : "box critical Critical Error -> Ошибка "
                                                     "соединения");
                }
            }
        }
    }
}

void FaultTest::lineDroppedAtEveryStep()
{
    QFETCH(QString, script);
    Rig rig;
    play(rig, script);
}

void FaultTest::babblingDevice()
{
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    DebugLogOff quiet;
    rig.ui().scan_parameters->click();

    // 1 MB/s of garbage, in 10 kB bursts every 10 ms, from a thread of its own.
    std::atomic<bool> babbling{true};
    std::thread babbler([&] {
        std::mt19937 random(fuzzSeed());
        QByteArray burst(10000, Qt::Uninitialized);
        while (babbling) {
            for (char &byte : burst)
                byte = char(random());
            rig.pty.write(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    QTest::qWait(500);
    const qint64 rssBefore = residentBytes();
    const double cpuBefore = threadCpuSeconds();
    qint64 maxLateMs = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 expected = 10;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    connect(&probe, &QTimer::timeout, [&] {
        maxLateMs = qMax(maxLateMs, clock.elapsed() - expected);
        expected = clock.elapsed() + 10;
    });
    probe.start();
    QTest::qWait(5000);
    probe.stop();
    const double cpuUsed = threadCpuSeconds() - cpuBefore;
    const qint64 growth = residentBytes() - rssBefore;
    babbling = false;
    babbler.join();

    qInfo("event loop at most %lld ms late, GUI thread CPU %.0f%%, RSS growth %lld KiB", maxLateMs,
          cpuUsed / 5.0 * 100, growth / 1024);
    QVERIFY(rig.probe.serial().isOpen());
#ifndef __SANITIZE_ADDRESS__
    // The sanitizers' bookkeeping and quarantine would be measured instead; scripts/bench has the
    // precise figures.
    QVERIFY2(maxLateMs < 100, qPrintable(QString::number(maxLateMs)));
    QVERIFY2(growth < 5 * 1024 * 1024, qPrintable(QString::number(growth)));
    QVERIFY2(cpuUsed < 5.0 * 0.25, qPrintable(QString::number(cpuUsed)));
#endif
}

QTEST_MAIN(FaultTest)
#include "tst_faults.moc"
