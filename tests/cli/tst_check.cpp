// tcprtu check through the simulated converter's Modbus gateway, each device in its own process.
// A row starts at most one device, runs tcprtu once per step and looks for fragments in the
// output of every run and in the device's log. Every device serves on a random loopback address
// of its own, so that runs side by side never meet. Then poll's latency summary in process.

#include "latency.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <csignal>

class CheckTest : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void latency_data();
    void latency();
};

void CheckTest::run_data()
{
    // The device's options (none: no device), then per step the exit status expected and
    // tcprtu's arguments. @0 is the device's port, @h and @p the address and TCP port it serves
    // on, @i another loopback address. A fragment with a leading ! must not appear; one with a
    // leading ~ is a regular expression.
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
    const QString scan = "scan --host @h --tcp-port @p ";
    const QString poll = "poll --host @h --tcp-port @p --interval 5 --read 1 --json ";
    QTest::newRow("unusable answers, quoted")
        << "--slave 1:malformed=count --slave 2:malformed=bare --slave 3:malformed=foreign"
        << QStringList{"4 " + check, "4 " + check + "--unit 2", "4 " + check + "--unit 3"}
        << QStringList{"answered slave 1 unusably (a byte count of 4 and 2 bytes of data, for 1 "
                       "register): 00 01 00 00 00 05 01 03 04 00",
                       "answered slave 2 unusably (the function code alone): 00 01 00 00 00 02 02 "
                       "03\n",
                       "answered slave 3 unusably (an exception to function 4, not 3): 00 01 00 "
                       "00 00 03 03 84 02\n"};
    QTest::newRow("write one register, then several, and read them back")
        << ""
        << QStringList{"0 " + check + "--write 5=1234", "0 " + check + "--read 5 --json",
                       "0 " + check + "--write 10=7,65535 --json"}
        << QStringList{"modbus unit 1 <- 06 00 05 04 d2 -> 06 00 05 04 d2", "\"values\":[1234]",
                       "modbus unit 1 <- 10 00 0a 00 02 04 00 07 ff ff -> 10 00 0a 00 02",
                       "\"values\":[7,65535]"};
    QTest::newRow("a write the slave does not keep")
        << "" << QStringList{"6 " + check + "--write 0=7"}
        << QStringList{"slave 1 took the write of 7 from register 0 on, but reads back "};
    QTest::newRow("scan finds the slaves on the converter's line, one with an exception")
        << "--rtu-timeout-ms 20 --slave 1 --slave 3:19200:none:1 --slave 9:exception=4 "
           "--slave 200"
        << QStringList{"0 " + scan + "--units 1-12,199-201,5 --read 1 --json",
                       "4 " + scan + "--units 2-8"}
        << QStringList{"[{\"unit\":1,\"values\":[101]},{\"exception\":4,\"unit\":9},"
                       "{\"unit\":200,\"values\":[20001]}]\n",
                       "none of the 7 unit ids answered"};
    // Its request waits in the converter's queue behind a missing slave's, for longer than the
    // time-out: the wait is not its own.
    QTest::newRow("scan finds a slave queued behind a missing one")
        << "--rtu-timeout-ms 300 --slave 1 --slave 3"
        << QStringList{"0 " + scan + "--units 1-3 --read 1 --timeout 250 --json"}
        << QStringList{"[{\"unit\":1,\"values\":[101]},{\"unit\":3,\"values\":[301]}]\n"};
    QTest::newRow("poll counts dropped answers and time-outs")
        << "--rtu-timeout-ms 200 --slave 1:drop=3"
        << QStringList{"4 " + poll + "--count 6", "4 " + poll + "--count 3 --timeout 100"}
        << QStringList{
               "{\"answered\":4,\"exceptions\":{\"11\":2},\"latency_ms\":",
               "\"sent\":6,\"timeouts\":0,\"unusable\":0}",
               "{\"answered\":2,\"exceptions\":{},\"latency_ms\":", "\"sent\":3,\"timeouts\":1,"};
    // Each answer written in pieces: the client must wait for the whole of it, and take the
    // next one from where this one ends.
    const QStringList cuts[] = {{"inside the header", "1,3,5"},
                                {"between the header and the PDU", "7"},
                                {"one byte before the last", "-1"}};
    for (const QStringList &cut : cuts)
        QTest::newRow(qPrintable("check and scan with answers cut " + cut[0]))
            << "--rtu-timeout-ms 20 --slave 1 --slave 3 --tcp-split " + cut[1]
            << QStringList{"0 " + check + "--read 1:3 --json",
                           "0 " + scan + "--units 1-4 --read 1 --json"}
            << QStringList{"\"values\":[101,102,103]",
                           "[{\"unit\":1,\"values\":[101]},{\"unit\":3,\"values\":[301]}]\n"};
    // Twenty-one answers, each later by one of these ms: the median is the 11th (60 ms), the
    // 95th percentile the 20th (150 ms); their neighbours are 30 ms off. The line is fast, so
    // that little else adds to the delays.
    QTest::newRow("poll's median and 95th percentile of a known spread")
        << "--set speed=115200 --slave "
           "1:115200:none:1:delay=0,0,0,0,0,0,0,0,0,30,60,90,90,90,90,90,90,90,120,150,180"
        << QStringList{"0 " + poll + "--count 21"}
        << QStringList{"~\"latency_ms\":{\"median\":(6\\d|7[0-4])(\\.\\d+)?,"
                       "\"p95\":(15\\d|16[0-4])(\\.\\d+)?}"};
    // 2^32 ms and 4 more: as an int of milliseconds the duration would end the poll at once.
    // @dropped: the signal comes as the third request reaches the slave, which drops it.
    QTest::newRow("poll for 49.7 days runs until Ctrl-C and sums up")
        << "--rtu-timeout-ms 100 --slave 1:drop=3"
        << QStringList{"4@dropped@2 " + poll + "--duration 4294967.3"}
        << QStringList{"{\"answered\":2,\"exceptions\":{\"11\":1},\"latency_ms\":",
                       "\"sent\":3,\"timeouts\":0,"};
    // @no slave 4: ids 1 and 2 have answered; 3 and 4 would take the converter seconds.
    QTest::newRow("scan interrupted prints what answered so far")
        << "--rtu-timeout-ms 5000 --slave 1 --slave 2"
        << QStringList{"130@no~slave~4 " + scan + "--units 1-20 --read 1 --json"}
        << QStringList{"[{\"unit\":1,\"values\":[101]},{\"unit\":2,\"values\":[201]}]\n",
                       "interrupted after 2 of 20 unit ids; 2 answered"};
    QTest::newRow("scan and poll without a listener")
        << QString() << QStringList{"3 " + scan + "--units 1", "3 " + poll + "--count 1"}
        << QStringList{"no TCP connection to @h:@p"};
    // The slave's line is the second candidate; the converter starts at the first.
    const QString line = "line --port @0 --mode tcp-rtu --timeout 300 ";
    const QString slave = "--rtu-timeout-ms 20 --slave 5:19200:even:1";
    const QString readBack = "0 read --port @0 --mode tcp-rtu --csv";
    QTest::newRow("line finds the slave's setting and keeps it")
        << slave << QStringList{"0 " + line, readBack}
        << QStringList{"9600   none    1          unchanged  none\n"
                       "19200  even    1          verified   5\n"
                       "found: 19200 even 1; unit 5 answered\n"
                       "converter: holds 19200 even 1, as read back\n",
                       ",15020,even,19200,1\n"};
    QTest::newRow("line finds the slave's setting and restores the converter's own")
        << slave << QStringList{"0 " + line + "--unit 5 --unit 4 --restore --json", readBack}
        << QStringList{"\"found\": {\n        \"parity\": \"even\",\n        \"speed\": 19200,",
                       "\"units\": [\n        5\n    ]",
                       "\"converter\": {\n        \"gateway\": \"192.168.0.1\",\n        "
                       "\"ip\": \"@h\",",
                       "\"parity\": \"none\",\n        \"speed\": 9600,\n        \"stop_bits\": 1,",
                       ",15020,none,9600,1\n"};
    QTest::newRow("line where nothing answers puts the converter's own back")
        << slave
        << QStringList{"4 " + line +
                           "--unit 5 --speeds 4800,9600 --parities odd,none --stop-bits 1",
                       readBack}
        << QStringList{
               "9600   none    1          unchanged  none\n"
               "4800   none    1          verified   none\n"
               "9600   odd     1          verified   none\n"
               "4800   odd     1          verified   none\n"
               "found: none\n",
               "no unit answered at any of the 4 settings tried",
               "converter: holds 9600 none 1, as read back (its settings before the search)",
               ",15020,none,9600,1\n"};
    QTest::newRow("line narrowed to one setting, at the address given")
        << "--slave 3:115200:even:2"
        << QStringList{"0 " + line +
                       "--host @h --tcp-port @p --unit 3 --speeds 115200 --parities Even "
                       "--stop-bits 2 --json"}
        << QStringList{"\"tries\": [\n        {\n            \"answered\": true,\n"
                       "            \"parity\": \"even\",\n            \"speed\": 115200,\n"
                       "            \"stop_bits\": 2,\n            \"write\": \"verified\"\n"
                       "        }\n    ],"};
    QTest::newRow("line stops at a refused write with its status")
        << slave + " --refuse parity" << QStringList{"5 " + line + "--unit 5"}
        << QStringList{
               "19200  even    1          refused    -\nfound: none\n",
               "converter: holds 9600 none 1, as read back (its settings before the search)"};
    QTest::newRow("line without a TCP connection stops and puts the converter's own back")
        << slave
        << QStringList{"3 " + line + "--host @i --unit 5 --speeds 19200 --parities none", readBack}
        << QStringList{
               "no TCP connection to @i:15020",
               "converter: holds 9600 none 1, as read back (its settings before the search)",
               ",15020,none,9600,1\n"};
    // @restarting: the signal comes once the device restarts for the second candidate.
    QTest::newRow("line interrupted before a setting is found puts the converter's own back")
        << "--slave 5:115200:even:2"
        << QStringList{"130@restarting " + line + "--unit 5", "0 log --csv"}
        << QStringList{"19200  even    1          interrupted  -\n",
                       "converter: holds 9600 none 1, as read back (its settings before the "
                       "search)\n",
                       "line,@0,02:00:00:00:00:01,interrupted,",
                       "line,@0,02:00:00:00:00:01,verified,\"parity: even -> none"};
    QTest::newRow("line interrupted with a change staged sends it back, and says it is not back")
        << slave + " --reply CHANGE~PARITY:=" << QStringList{"130@PARITY:2 " + line + "--unit 5"}
        << QStringList{"converter: holds 9600 none 1, as read back\n"
                       "converter: parity may be staged and take effect at its next restart\n"
                       "its settings before the search: ",
                       "to put them back: tcprtu write --port @0 --force ",
                       "did not answer parity=0", "!(its settings before the search)"};
    QTest::newRow("line never writes another unit that answers after a restart")
        << slave + " --mac-after-restart 02:00:00:00:00:09" << QStringList{"6 " + line + "--unit 5"}
        << QStringList{"another unit answered after the restart: MAC 02:00:00:00:00:09",
                       "converter: what it holds is not known: another unit answered",
                       "its settings before the search: ", "!<- \"CHANGE SPEED RS485:9600\""};
    QTest::newRow("line interrupted with --restore puts the converter's own back")
        << "--slave 5:115200:even:2"
        << QStringList{"143@restarting " + line + "--unit 5 --restore", readBack, "0 log --csv"}
        << QStringList{
               "converter: holds 9600 none 1, as read back (its settings before the search)",
               ",15020,none,9600,1\n",
               "line,@0,02:00:00:00:00:01,verified,\"parity: even -> none, speed: 19200 -> 9600\""};
    QTest::newRow("bad arguments")
        << QString()
        << QStringList{"2 check --unit 0 --read 1:200 --tcp-port 0",
                       "2 check --host @h --read 2147483647:1",
                       "2 check --host @h --write 65535=1,2",
                       "2 scan --host @h --units 5-3",
                       "2 poll --host @h --count 1 --duration 1",
                       "2 write --port @0 --mode rtu-tcp --set timeout=5 --check --no-verify",
                       "2 line --port @0 --mode rtu-tcp --speeds 9601 --stop-bits 3 --keep "
                       "--restore",
                       "2 line --port @0 --port @0 --mode tcp-rtu --unit 248 --parities mark"}
        << QStringList{"--host: give",
                       "--unit: must be",
                       "--read: must be",
                       "--tcp-port: must be",
                       "--check: only in mode tcp-rtu",
                       "--check and --no-verify",
                       "--write: must be",
                       "--units: must be",
                       "--read: give the registers to poll",
                       "--count and --duration: give one",
                       "--mode: must be tcp-rtu",
                       "--speeds: must be one of 1200, ",
                       "--stop-bits: must be one of 1, 2, not 3",
                       "--keep and --restore: give one",
                       "--port @0: given twice",
                       "--unit: must be a whole number from 1 to 247, not 248",
                       "--parities: must be one of 0, 1, 2 (none, odd, even), not mark"};
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

    // A write's backups and log go to the row's own directory, never the user's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));

    QProcess simulator;
    simulator.setReadChannel(QProcess::StandardError);
    if (!device.isNull()) {
        // One argument may hold blanks where a row writes them as '~'.
        QStringList options = expand("--link @0 --restart-ms 100 --ip @h --tcp-port @p " + device)
                                  .split(' ', Qt::SkipEmptyParts);
        options.replaceInStrings("~", " ");
        simulator.start(TCPRTU_SIM_BINARY, options);
        QVERIFY(simulator.waitForStarted());
    }

    // The network side opens just after the serial one: a run must not start in between.
    QString output;
    while (!device.isNull() && !device.contains("rtu-tcp") && !output.contains("serving") &&
           !output.contains("network side closed")) {
        QVERIFY(simulator.waitForReadyRead(5000));
        output += simulator.readAllStandardError();
    }
    for (const QString &step : steps) {
        QStringList arguments = expand(step).split(' ', Qt::SkipEmptyParts);
        // "130@cue": once the device logs the cue, the signal of that exit status comes;
        // "4@cue@2": signal 2 comes, and the exit status is 4. A cue writes blanks as '~'.
        const QStringList head = arguments.takeFirst().replace('~', ' ').split('@');
        const int status = head.first().toInt();
        const int signal = head.size() == 3 ? head[2].toInt() : status - 128;
        QProcess tcprtu;
        tcprtu.setProcessEnvironment(environment);
        tcprtu.start(TCPRTU_BINARY, arguments);
        if (head.size() >= 2) {
            QVERIFY(tcprtu.waitForStarted());
            QString log;
            while (!log.contains(head[1])) {
                QVERIFY2(simulator.waitForReadyRead(5000), qPrintable(log));
                log += simulator.readAllStandardError();
            }
            output += log;
            QCOMPARE(::kill(pid_t(tcprtu.processId()), signal), 0);
        }
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
    for (const QString &fragment : fragments) {
        const bool absent = fragment.startsWith('!');
        const bool found = fragment.startsWith('~')
                               ? output.contains(QRegularExpression(fragment.mid(1)))
                               : output.contains(expand(fragment.mid(absent)));
        QVERIFY2(found != absent, qPrintable(fragment + " in:\n" + output));
    }
}

void CheckTest::latency_data()
{
    QTest::addColumn<QVector<double>>("latencies");
    QVector<double> geometric; // each 5% above the one before: a rank off by one is seen
    for (int i = 0; i < 200; ++i)
        geometric << 0.5 * std::pow(1.05, i);
    QVector<double> even;
    for (int ms = 1000; ms >= 1; --ms)
        even << ms;
    QVector<double> oneSlow(99, 5.0);
    oneSlow << 3000;
    QTest::newRow("none") << QVector<double>{};
    QTest::newRow("a single answer") << QVector<double>{42.37};
    QTest::newRow("200 of them 5% apart: ranks 100 and 190") << geometric;
    geometric << 0.5 * std::pow(1.05, 200);
    QTest::newRow("201 of them 5% apart: ranks 101 and 191") << geometric;
    QTest::newRow("1 to 1000 ms, the slowest first") << even;
    QTest::newRow("one slow among fast ones") << oneSlow;
    QTest::newRow("at the longest time-out") << QVector<double>{3'599'990, 3'600'000, 3'600'000};
    QTest::newRow("below a microsecond") << QVector<double>{0, 0.0002, 0.0004};
}

void CheckTest::latency()
{
    QFETCH(QVector<double>, latencies);
    LatencySummary summary;
    for (const double ms : qAsConst(latencies))
        summary.add(ms);
    QVector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    for (const int percent : {50, 95}) {
        // The nearest rank: the least latency that percent % of them do not exceed.
        const int rank = int(std::ceil(percent * sorted.size() / 100.0));
        const double exact = sorted.isEmpty() ? 0 : sorted[std::max(rank, 1) - 1];
        const double error = std::max(0.01 * exact, 0.001);
        QVERIFY2(std::abs(summary.percentile(percent) - exact) <= error,
                 qPrintable(QString("%1th percentile %2, not %3")
                                .arg(percent)
                                .arg(summary.percentile(percent))
                                .arg(exact)));
    }
}

QTEST_GUILESS_MAIN(CheckTest)
#include "tst_check.moc"
