// tcprtu against simulated converters, each in its own process on a pseudo-terminal. A row starts
// its devices, runs tcprtu one or more times, and looks for fragments in the last run's output
// and in the devices' traffic logs ("<- ..." is what a device received).

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void CliTest::run_data()
{
    // Per device: its simulator options. Per step: the exit status expected, then tcprtu's
    // arguments. @0, @1 name the devices' ports, @d the row's own directory. A fragment with a
    // leading ! must not appear.
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("fragments");
    const QString write = "write --port @0 --mode tcp-rtu --timeout 300 ";
    const QString nothingSent = "!<- ";
    const QString noChange = "!<- \"CHANGE";
    const QString noRestart = "!<- \"RESET";

    QTest::newRow("bare: usage, status 2")
        << QStringList{} << QStringList{"2"} << QStringList{"Usage: tcprtu COMMAND"};
    QTest::newRow("read: every exchange traced")
        << QStringList{""} << QStringList{"0 read --port @0 --mode rtu-tcp --trace"}
        << QStringList{"> MAC\n", "< MAC:02:00:00:00:00:01\\r\\n", "192.168.0.100"};
    QTest::newRow("read to a file, write it back: nothing to change, no restart")
        << QStringList{""}
        << QStringList{"0 read --port @0 --mode rtu-tcp --output @d/p.json",
                       "0 write --port @0 @d/p.json"}
        << QStringList{"nothing to change", noChange, noRestart};
    QTest::newRow("values compared, not their spelling")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=192.168.000.010 --set speed=09600"}
        << QStringList{"nothing to change", noChange};
    QTest::newRow("sent in plain form, backup in the state directory")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=010.0.0.9 --set tcp_port=010000 --no-verify"}
        << QStringList{"<- \"CHANGE IP:10.0.0.9\"", "<- \"CHANGE PORT TCP:10000\"", "<- \"RESET\"",
                       "backup in @d/state/tcprtu/backups/02-00-00-00-00-01-20"};
    QTest::newRow("the backup restores the device")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=10.0.0.9 --set parity=odd --backup @d/b.json",
                       "0 write --port @0 @d/b.json", "0 read --port @0 --mode tcp-rtu --json"}
        << QStringList{"\"ip\": \"192.168.0.10\"", "\"parity\": \"none\""};
    QTest::newRow("force sends what the device has")
        << QStringList{""} << QStringList{"0 " + write + "--force --set ip=192.168.0.10"}
        << QStringList{"<- \"CHANGE IP:192.168.0.10\"", "verified"};
    QTest::newRow("dry run sends and saves nothing")
        << QStringList{""} << QStringList{"0 " + write + "--dry-run --set ip=10.0.0.9"}
        << QStringList{"would write", noChange, noRestart, "!backup in"};
    QTest::newRow("every bad value reported, nothing sent")
        << QStringList{""}
        << QStringList{"2 " + write +
                       "--set ip=300.1.1.1 --set tcp_port=80 --set server_ip=1.2.3.4 --set x=1"}
        << QStringList{"ip=300.1.1.1: must be", "tcp_port=80: must be 502 or",
                       "server_ip: not a setting in mode tcp-rtu", "x: unknown key", nothingSent};
    QTest::newRow("a profile that never ends")
        << QStringList{""} << QStringList{"2 write --port @0 /dev/zero"}
        << QStringList{"/dev/zero: larger than", nothingSent};
    QTest::newRow("no key to write")
        << QStringList{""} << QStringList{"2 " + write + "--set mac=02:00:00:00:00:01"}
        << QStringList{"nothing to write", nothingSent};
    QTest::newRow("MAC guard refuses another device")
        << QStringList{""}
        << QStringList{"2 " + write + "--set mac=02:00:00:00:00:02 --set ip=1.2.3.4"}
        << QStringList{"MAC is 02:00:00:00:00:01", noChange};
    QTest::newRow("MAC guard takes its device however spelt")
        << QStringList{""} << QStringList{"0 " + write + "--set mac=020000000001 --set ip=1.2.3.4"}
        << QStringList{"<- \"CHANGE IP:1.2.3.4\""};
    QTest::newRow("backup not saved, nothing changed")
        << QStringList{""} << QStringList{"2 " + write + "--set ip=1.2.3.4 --backup @d/no/b.json"}
        << QStringList{"backup not saved", noChange};
    QTest::newRow("unknown port") << QStringList{}
                                  << QStringList{"3 read --port @d/none --mode tcp-rtu"}
                                  << QStringList{"cannot open"};
    QTest::newRow("silent device")
        << QStringList{"--silent"} << QStringList{"4 read --port @0 --mode tcp-rtu --timeout 200"}
        << QStringList{"no usable answer to mac"};
    QTest::newRow("babbling device")
        << QStringList{"--garbage"} << QStringList{"4 read --port @0 --mode tcp-rtu --timeout 200"}
        << QStringList{"no usable answer to mac"};
    QTest::newRow("refused: stop, no restart")
        << QStringList{"--refuse mask"}
        << QStringList{"5 " + write + "--set ip=1.2.3.4 --set mask=255.0.0.0 --set gateway=1.2.3.1"}
        << QStringList{"answered \"ERR refused\"", "accepted ip;", "!<- \"CHANGE GATEWAY",
                       noRestart};
    QTest::newRow("verified after the line dropped")
        << QStringList{"--drop-on-restart"} << QStringList{"0 " + write + "--set ip=1.2.3.4"}
        << QStringList{"written and verified"};
    QTest::newRow("not back after the restart")
        << QStringList{"--drop-on-restart --restart-ms 3000"}
        << QStringList{"4 " + write + "--set ip=1.2.3.4 --restart-timeout 0.5"}
        << QStringList{"did not come back"};
    QTest::newRow("read back differs")
        << QStringList{"--forget-changes"} << QStringList{"6 " + write + "--set ip=1.2.3.4"}
        << QStringList{"ip is 192.168.0.10, not 1.2.3.4"};
    QTest::newRow("late answers to the restart probe skipped")
        << QStringList{"--slow 250"}
        << QStringList{"0 write --port @0 --mode tcp-rtu --timeout 400 --set ip=1.2.3.4"}
        << QStringList{"written and verified"};
    QTest::newRow("several ports: each its own result, the highest status")
        << QStringList{"", "--refuse ip"}
        << QStringList{"5 " + write + "--port @1 --set ip=1.2.3.4"}
        << QStringList{"@0: written and verified", "@1: failed, status 5"};
    QTest::newRow("several ports read as JSON, null for a failed one")
        << QStringList{"--silent", ""}
        << QStringList{"4 read --port @0 --port @1 --mode tcp-rtu --json --timeout 200"}
        << QStringList{"[\n    null,\n    {", "\"ip\": \"192.168.0.10\""};
    QTest::newRow("reset leaves before the port closes")
        << QStringList{""} << QStringList{"0 reset --port @0"} << QStringList{"<- \"RESET\""};
}

void CliTest::run()
{
    QFETCH(QStringList, devices);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, fragments);
    QTemporaryDir dir;
    const auto expand = [&](QString text) {
        for (int i = 0; i < devices.size(); ++i)
            text.replace(QString("@%1").arg(i), dir.filePath(QString("dev%1").arg(i)));
        return text.replace("@d", dir.path());
    };

    std::vector<std::unique_ptr<QProcess>> simulators;
    for (int i = 0; i < devices.size(); ++i) {
        simulators.push_back(std::make_unique<QProcess>());
        QProcess &simulator = *simulators.back();
        simulator.setReadChannel(QProcess::StandardError);
        simulator.start(TCPRTU_SIM_BINARY, QStringList{"--link", expand(QString("@%1").arg(i)),
                                                       "--restart-ms", "100"} +
                                               devices[i].split(' ', Qt::SkipEmptyParts));
        // The device announces its port once the link is in place.
        QVERIFY(simulator.waitForStarted() && simulator.waitForReadyRead(5000));
    }

    QString output;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    for (const QString &step : steps) {
        QStringList arguments = expand(step).split(' ', Qt::SkipEmptyParts);
        const int status = arguments.takeFirst().toInt();
        QProcess tcprtu;
        tcprtu.setProcessEnvironment(environment);
        tcprtu.start(TCPRTU_BINARY, arguments);
        // Every run here takes a second or two; one that takes longer is stuck.
        QVERIFY(tcprtu.waitForFinished(8000));
        output = tcprtu.readAllStandardOutput() + tcprtu.readAllStandardError();
        QVERIFY2(tcprtu.exitStatus() == QProcess::NormalExit && tcprtu.exitCode() == status,
                 qPrintable(
                     QString("status %1 after %2:\n%3").arg(tcprtu.exitCode()).arg(step, output)));
    }
    // A device takes a message once the line has been quiet for a while.
    for (const auto &simulator : simulators) {
        while (simulator->waitForReadyRead(100))
            ;
        output += simulator->readAllStandardError();
        simulator->terminate();
        QVERIFY(simulator->waitForFinished(3000));
    }
    for (const QString &fragment : fragments) {
        const bool absent = fragment.startsWith('!');
        QVERIFY2(output.contains(expand(fragment.mid(absent))) != absent,
                 qPrintable(fragment + " in:\n" + output));
    }
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
