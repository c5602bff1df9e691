// The window against a device gone wrong: random replies, and a device that never stops talking.

#include "procstatus.h"
#include "protocol.h"
#include "rig.h"

#include <QLoggingCategory>
#include <QTest>

#include <atomic>
#include <ctime>
#include <random>
#include <thread>

// Counts the re-styles of a widget that left its style sheet as it was: wasted work, as each one
// re-polishes the widget.
struct NeedlessRestyles : QObject
{
    QString last;
    int count = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::StyleChange) {
            const QString sheet = static_cast<QWidget *>(watched)->styleSheet();
            count += sheet == last;
            last = sheet;
        }
        return false;
    }
};

class FaultTest : public QObject
{
    Q_OBJECT

private slots:
    // The window logs every reply; thousands of them would drown the test's own output, and
    // collecting them would cost the memory the babbling device's test measures.
    void initTestCase() { QLoggingCategory::setFilterRules("default.debug=false"); }
    void cleanup() { verifyNothingLeftOpen(); }
    void randomReplies_data();
    void randomReplies();
    void babblingDevice();
};

void FaultTest::randomReplies_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("TCP-RTU") << 0;
    QTest::newRow("RTU-TCP") << 1;
}

void FaultTest::randomReplies()
{
    QFETCH(int, mode);
    // Each mode draws its own replies from the one seed.
    const quint32 seed = qEnvironmentVariableIsSet("TCPRTU_FUZZ_SEED")
                             ? qEnvironmentVariable("TCPRTU_FUZZ_SEED").toUInt()
                             : 20261206u;
    qInfo("seed %u (set TCPRTU_FUZZ_SEED to repeat)", seed);
    std::mt19937 random(seed + quint32(mode));
    auto below = [&](int n) { return int(random() % quint32(n)); };
    Rig rig;
    WindowProbe &probe = rig.probe;
    QVERIFY(rig.open(mode));

    for (int i = 0; i < 2500; ++i) {
        if (!probe.scanTimer()->isActive() && !probe.changeTimer()->isActive()) {
            (below(2) ? rig.ui().scan_parameters : rig.ui().applyButton)->click();
            rig.driveTicks();
        }
        // A tick only ever comes from a running timer; a refused change may have stopped it.
        for (int ticks = below(3); ticks > 0; --ticks) {
            if (probe.scanTimer()->isActive())
                probe.scanTick();
            else if (probe.changeTimer()->isActive())
                probe.changeTick();
            rig.pty.take(2);
        }
        if (!probe.serial().isOpen())
            QVERIFY(rig.open(mode));

        QByteArray reply(below(1001), Qt::Uninitialized);
        const char specials[] = {'\0', '\r', '\n', char(0xC3), char(0xFF), 'O', 'K'};
        for (char &byte : reply)
            byte = below(4) == 0 ? specials[below(int(sizeof specials))] : char(below(256));
        // In one to three pieces, mostly back to back, sometimes a few milliseconds apart.
        for (int at = 0, piece = 0; at < reply.size(); at += piece) {
            piece = below(3) == 0 ? reply.size() - at : 1 + below(reply.size() - at);
            rig.pty.write(reply.mid(at, piece));
            QTest::qWait(below(4) == 0 ? 1 + below(5) : 0);
        }

        QVERIFY2(rig.pty.take(1).isEmpty(), "a reply made the window write");
        const bool scanning = probe.scanTimer()->isActive(),
                   changing = probe.changeTimer()->isActive();
        QVERIFY(!(scanning && changing));
        // A run that is over is ready to start from its first step.
        QVERIFY(scanning ? probe.scanStep() <= protocol::modes[mode].queried
                         : probe.scanStep() == 0);
        QVERIFY(changing ? probe.changeStep() < 2 * protocol::modes[mode].written + 1
                         : probe.changeStep() == 0);
    }
}

void FaultTest::babblingDevice()
{
    Rig rig;
    QVERIFY(rig.open(1));
    // The read waits at the parity step, where nearly every reply turns the combo box red.
    rig.ui().scan_parameters->click();
    rig.driveTicks();
    for (int step = 1; step <= 6; ++step)
        rig.probe.scanTick();
    NeedlessRestyles restyles;
    rig.ui().comboBox->installEventFilter(&restyles);

    // 1 MB/s of garbage, in 10 kB bursts every 10 ms, from a thread of its own.
    std::atomic<bool> babbling{true};
    std::thread babbler([&] {
        std::mt19937 random;
        QByteArray burst(10000, Qt::Uninitialized);
        while (babbling) {
            for (char &byte : burst)
                byte = char(random());
            rig.pty.write(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    QTest::qWait(500);
    const long rssBefore = procStatusKib("VmRSS");
    const std::clock_t cpuBefore = std::clock();
    QTest::qWait(5000);
    const double cpuUsed = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    const long growthKib = procStatusKib("VmRSS") - rssBefore;
    babbling = false;
    babbler.join();

    qInfo("CPU %.0f%%, RSS growth %ld KiB", cpuUsed / 5.0 * 100, growthKib);
    QVERIFY(rig.probe.serial().isOpen());
    QCOMPARE(restyles.count, 0);
#ifndef __SANITIZE_ADDRESS__
    // The sanitizers' bookkeeping and quarantine would be measured instead; scripts/bench has the
    // precise figures.
    QVERIFY2(growthKib < 5 * 1024, qPrintable(QString::number(growthKib)));
    QVERIFY2(cpuUsed < 5.0 * 0.25, qPrintable(QString::number(cpuUsed)));
#endif
}

QTEST_MAIN(FaultTest)
#include "tst_faults.moc"
