// The window against the simulated converter as a separate process, in real time: a read, a write,
// the device's restart, and a second read that must show what was written.

#include "rig.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Short, so the test waits little for the restart, yet long enough that a window reconnecting
// too early would meet a device still ignoring input.
constexpr int restartMs = 300;

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { verifyNothingLeftOpen(); }
    void writeAndReadBack_data();
    void writeAndReadBack();
};

// clang-format off
void EndToEndTest::writeAndReadBack_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("write"); // %1: the device's port
    QTest::addColumn<QString>("readBack");
    // The simulator's factory settings as a read shows them; then new values, each as long as its
    // field takes so that an answer cut short shows.
    const QString factory = "expect lineEdit_MAC=02:00:00:00:00:01 plain; expect lineEdit_ip=192.168.0.10 plain; expect lineEdit_mask=255.255.255.0 plain; expect lineEdit_gateway=192.168.0.1 plain; expect lineEdit_portTCP=502 plain; expect comboBox=1 plain; expect comboBox_speed=4 plain; expect comboBox_2=1 plain";
    const QString changes = "lineEdit_ip=192.168.100.200; %1 lineEdit_mask=255.255.255.252; %1 lineEdit_gateway=192.168.100.254; %1 lineEdit_portTCP=65535; %1 comboBox=3; %1 comboBox_speed=10; %1 comboBox_2=2";
    const QString serverChanges = "; %1 lineEdit_ipservertcp=192.168.100.201; %1 lineEdit_timeout=65535";
    const QString success = "box Information Результы изменения -> <FONT COLOR='#008000'>Изменение параметров Modbus %1 было успешно</FONT>";
    // In TCP-RTU the device drops the line as it restarts and the window takes that quietly; in
    // RTU-TCP the window has closed the port itself before the device could.
    QTest::newRow("TCP-RTU, the device drops the line") << QStringList{"--drop-on-restart"}
        << "set conbox0=0; list %1; click connect; run scan_parameters 9; " + factory + "; expect lineEdit_ipservertcp,lineEdit_timeout= plain; set " + changes.arg("set") + "; run applyButton 15; " + success.arg("TCP-RTU") + "; at-box port=open; await port=closed; log reseted!!!!!"
        << "click connect; run scan_parameters 9; expect " + changes.arg("expect").replace(";", " plain;") + " plain; expect lineEdit_ipservertcp,lineEdit_timeout= plain; no-box; click closeport";
    QTest::newRow("RTU-TCP, the window closes the port") << QStringList{}
        << "set conbox0=1; list %1; click connect; run scan_parameters 11; " + factory + "; expect lineEdit_ipservertcp=192.168.0.100 plain; expect lineEdit_timeout=1000 plain; set " + (changes + serverChanges).arg("set") + "; run applyButton 19; " + success.arg("RTU-TCP") + "; at-box port=closed"
        << "click connect; run scan_parameters 11; expect " + (changes + serverChanges).arg("expect").replace(";", " plain;") + " plain; no-box; click closeport";
}
// clang-format on

void EndToEndTest::writeAndReadBack()
{
    QFETCH(QStringList, options);
    QFETCH(QString, write);
    QFETCH(QString, readBack);

    // The simulator in its own process, reached through a link that follows it to each new
    // pseudo-terminal; it prints its port once the link is in place.
    QTemporaryDir dir;
    const QString link = dir.filePath("port");
    QProcess device;
    device.start(TCPRTU_SIM_BINARY,
                 QStringList{"--link", link, "--restart-ms", QString::number(restartMs)} + options);
    QVERIFY(device.waitForReadyRead(5000) && QFileInfo(link).isSymLink());
    QByteArray log;
    const auto showLog = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "The simulator's log:\n" + log + device.readAllStandardError();
    });

    Rig rig;
    play(rig, write.arg(link));
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(QTest::qWaitFor(
        [&] { return (log += device.readAllStandardError()).contains(" restarted\n"); }, 3000));
    play(rig, readBack);
    QVERIFY(!QTest::currentTestFailed());

    // Ends the device the way a user's Ctrl-C does: it goes cleanly and takes its link along.
    device.terminate();
    QVERIFY(device.waitForFinished(3000));
    QCOMPARE(device.exitStatus(), QProcess::NormalExit);
    QCOMPARE(device.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
