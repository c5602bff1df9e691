// tcprtu check through the simulated converter's Modbus gateway, each device in its own process.
// A row starts at most one device, runs tcprtu once per step and looks for fragments in the
// output of every run and in the device's log. Every device serves on a random loopback address
// of its own, so that runs side by side never meet.

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

class CheckTest : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void CheckTest::run_data()
{
    // The device's options (none: no device), then per step the exit status expected and
    // tcprtu's arguments. @0 is the device's port, @h and @p the address and TCP port it serves
    // on, @i another loopback address.
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("fragments");
    const QString check = "check --host @h --tcp-port @p --timeout 1000 ";
    const QString write = "write --port @0 --mode tcp-rtu --no-backup --timeout 300 --set ";
    const QString hint = "compare the converter's RS-485 speed, parity and stop bits";

    QTest::newRow("holding registers through the gateway")
        << "" << QStringList{"0 " + check + "--read 1:3 --json"}
        << QStringList{"\"tcp_port\":@p", "\"values\":[101,102,103]",
                       "modbus unit 1 <- 03 00 01 00 03"};
    QTest::newRow("input registers of a second slave")
        << "--slave 1 --slave 7:9600:none:1"
        << QStringList{"0 " + check + "--unit 7 --input --read 98:2"}
        << QStringList{"98              30798\n99              30799", "slave 7 through @h:@p"};
    const QStringList wrongLine[] = {{"speed=19200", "speed=9600", "19200 none 1"},
                                     {"parity=odd", "parity=none", "9600 odd 1"},
                                     {"stop_bits=2", "stop_bits=1", "9600 none 2"}};
    for (const QStringList &line : wrongLine)
        QTest::newRow(qPrintable("wrong " + line[0] + ", then right again"))
            << ""
            << QStringList{"0 " + check, "0 " + write + line[0], "4 " + check,
                           "0 " + write + line[1], "0 " + check}
            << QStringList{"slave 1 did not (exception 0x0B gateway target device failed to "
                           "respond); " +
                               hint,
                           "slave 1 listens at 9600 none 1, the line runs at " + line[2]};
    QTest::newRow("a slave with its own line, once the converter matches it")
        << "--slave 3:115200:even:2"
        << QStringList{"4 " + check + "--unit 3",
                       "0 " + write + "speed=115200 --set parity=even --set stop_bits=2",
                       "0 " + check + "--unit 3"}
        << QStringList{"slave 3 through @h:@p answered"};
    QTest::newRow("unknown unit") << "" << QStringList{"4 " + check + "--unit 9"}
                                  << QStringList{"slave 9 did not",
                                                 hint + " with the slave's, and the unit id"};
    QTest::newRow("no answer within the time-out")
        << "" << QStringList{"4 " + check + "--unit 9 --timeout 50"}
        << QStringList{"no answer from slave 9 through @h:@p within 50 ms; " + hint};
    QTest::newRow("illegal address")
        << "" << QStringList{"5 " + check + "--read 99:2"}
        << QStringList{"answered with exception 0x02 illegal data address"};
    QTest::newRow("no listener") << QString() << QStringList{"3 " + check}
                                 << QStringList{"no TCP connection to @h:@p"};
    QTest::newRow("rtu-tcp mode has no network side")
        << "--mode rtu-tcp" << QStringList{"3 " + check} << QStringList{"no TCP connection"};
    QTest::newRow("an address off loopback is never served")
        << "--ip 192.168.0.10" << QStringList{"3 " + check}
        << QStringList{"network side closed: 192.168.0.10 is not a loopback address"};
    QTest::newRow("serves where its settings say after the restart")
        << ""
        << QStringList{"0 " + write + "ip=@i --set tcp_port=15021 --set gateway=0.0.0.0",
                       "3 " + check, "0 check --host @i --tcp-port 15021"}
        << QStringList{"serving Modbus TCP on @i:15021"};
    QTest::newRow("a write's check reaches the new TCP port")
        << "" << QStringList{"0 " + write + "tcp_port=15022 --check --read 1:2"}
        << QStringList{"written and verified; slave 1 answered through @h:15022", ": 101 102"};
    QTest::newRow("a write's check fails on a line the slave does not share")
        << "" << QStringList{"4 " + write + "speed=19200 --check"}
        << QStringList{"written and verified; Modbus check: ", hint};
    QTest::newRow("bad arguments")
        << QString()
        << QStringList{"2 check --unit 0 --read 1:200 --tcp-port 0",
                       "2 write --port @0 --mode rtu-tcp --set timeout=5 --check --no-verify"}
        << QStringList{"--host: give",
                       "--unit: must be",
                       "--read: must be",
                       "--tcp-port: must be",
                       "--check: only in mode tcp-rtu",
                       "--check and --no-verify"};
}

void CheckTest::run()
{
    QFETCH(QString, device);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, fragments);
    QTemporaryDir dir;
    QRandomGenerator *random = QRandomGenerator::global();
    const QString subnet =
        QString("127.%1.%2.").arg(random->bounded(1, 255)).arg(random->bounded(256));
    const int host = random->bounded(1, 254);
    const auto expand = [&](QString text) {
        return text.replace("@0", dir.filePath("dev"))
            .replace("@h", subnet + QString::number(host))
            .replace("@i", subnet + QString::number(host + 1))
            .replace("@p", "15020");
    };

    QProcess simulator;
    simulator.setReadChannel(QProcess::StandardError);
    if (!device.isNull()) {
        simulator.start(TCPRTU_SIM_BINARY,
                        expand("--link @0 --restart-ms 100 --ip @h --tcp-port @p " + device)
                            .split(' ', Qt::SkipEmptyParts));
        QVERIFY(simulator.waitForStarted() && simulator.waitForReadyRead(5000));
    }

    // A write's log goes to the row's own state directory, never the user's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    QString output;
    for (const QString &step : steps) {
        QStringList arguments = expand(step).split(' ', Qt::SkipEmptyParts);
        const int status = arguments.takeFirst().toInt();
        QProcess tcprtu;
        tcprtu.setProcessEnvironment(environment);
        tcprtu.start(TCPRTU_BINARY, arguments);
        QVERIFY(tcprtu.waitForFinished(8000));
        const QString run = tcprtu.readAllStandardOutput() + tcprtu.readAllStandardError();
        output += run;
        QVERIFY2(
            tcprtu.exitStatus() == QProcess::NormalExit && tcprtu.exitCode() == status,
            qPrintable(QString("status %1 after %2:\n%3").arg(tcprtu.exitCode()).arg(step, run)));
    }
    if (!device.isNull()) {
        while (simulator.waitForReadyRead(100))
            ;
        output += simulator.readAllStandardError();
        simulator.terminate();
        QVERIFY(simulator.waitForFinished(3000));
    }
    for (const QString &fragment : fragments)
        QVERIFY2(output.contains(expand(fragment)), qPrintable(fragment + " in:\n" + output));
}

QTEST_GUILESS_MAIN(CheckTest)
#include "tst_check.moc"
