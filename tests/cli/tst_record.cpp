// tcprtu's record of a site, from logs written by hand: log, log --merge and report. A row writes
// the machine's log and other files, runs tcprtu once per step and looks for patterns in the
// last run's output.

#include "log.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

// "MAC-END COMMAND RESULT STATUS DAY [KEY=VALUE]..." as one line of a log: the unit
// 02:00:00:00:00:MAC-END, on day DAY of December 2026. A write that verified holds its keys after
// it; one that did not read back only sent them, and staged:KEY=VALUE left KEY staged.
// label=... and check=VALUES go in as they are ('~' for a blank).
QByteArray entry(const QString &shorthand)
{
    const QStringList words = shorthand.split(' ');
    const QString mac = "02:00:00:00:00:" + words[0];
    QJsonObject before{{"mac", mac}, {"mode", "tcp-rtu"}, {"ip", "192.168.0.10"}};
    QJsonObject changed, staged;
    QJsonObject line{{"mac", words[0] == "-" ? QJsonValue() : QJsonValue(mac)},
                     {"command", words[1]},
                     {"result", words[2]},
                     {"status", words[3].toInt()},
                     {"time", QString("2026-12-%1T10:00:00.000Z").arg(words[4])},
                     {"port", "/dev/ttyUSB0"},
                     {"user", "ann"},
                     {"host", "laptop"},
                     {"version", "1.0"},
                     {"check", QJsonValue()}};
    for (QString pair : words.mid(5)) {
        pair.replace('~', ' ');
        const QString key = pair.section('=', 0, 0), value = pair.section('=', 1);
        if (key == "label")
            line.insert(key, value);
        else if (key == "check")
            line.insert(key,
                        QJsonObject{{"host", "127.0.0.2"},
                                    {"tcp_port", 502},
                                    {"unit", 1},
                                    {"address", 0},
                                    {"count", 1},
                                    {"input", false},
                                    {"status", 0},
                                    {"ms", 23.5},
                                    {"values", QJsonDocument::fromJson(value.toUtf8()).array()}});
        else if (key.startsWith("staged:"))
            staged.insert(key.mid(7), value);
        else
            changed.insert(key, value);
    }
    line.insert("staged", staged);
    QJsonObject after = before;
    for (auto it = changed.begin(); it != changed.end(); ++it)
        after.insert(it.key(), it.value());
    const bool readBack = words[2] == "verified";
    // An audit holds what it read.
    line.insert("before", words[1] == "audit" ? after : before);
    line.insert("after", readBack ? QJsonValue(after) : QJsonValue());
    line.insert("sent", words[1] == "write" ? changed : QJsonObject());
    if (words[1] == "audit")
        line.insert("wanted", changed);
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

} // namespace

class RecordTest : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void html();
    void mergeWhileAppending();
};

void RecordTest::run_data()
{
    // Files: "NAME ENTRY|ENTRY|..." with the machine's log named "log", or "NAME TEXT" for any
    // other file: a sheet as it is (each character a byte, as a code page saves it), else "|"
    // between lines, each as entry() makes it or as it is where it starts with "{". Steps: the exit
    // status, then tcprtu's arguments ('~' a blank;
    // @d the row's directory). Patterns: regular expressions in the last run's output, a leading
    // ! for one that must not match.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("patterns");
    const QString site = "log 01 write verified 0 01 ip=10.0.0.1|02 write verified 0 01 "
                         "ip=10.0.0.2|03 write written-unverified 0 02 ip=10.0.0.3|02 line "
                         "refused 5 02|04 write verified 0 01 ip=10.0.0.4 label=Pump~4|04 reset "
                         "restarted 0 04|- reset restarted 0 04|01 audit matches 0 03 "
                         "ip=10.0.0.1 check=[101]";

    QTest::newRow("report: failed first, then not verified, then verified")
        << QStringList{site} << QStringList{"0 report"}
        << QStringList{"^4 units, 1 verified, 1 failed, 2 not verified\n",
                       "\nfailed +02:00:00:00:00:02 +- +tcp-rtu +10\\.0\\.0\\.2 +refused .* 2\n"
                       "not verified +02:00:00:00:00:03 +- +- +- +written-unverified .* 1\n"
                       "not verified +02:00:00:00:00:04 +Pump 4 +tcp-rtu +10\\.0\\.0\\.4 +restarted"
                       ".*\nverified +02:00:00:00:00:01 +- +tcp-rtu +10\\.0\\.0\\.1 +matches +101 +"
                       "2026-12-03 10:00 UTC +ann@laptop +1\n"};
    QTest::newRow("report as JSON: the settings as last verified, the check, the writes")
        << QStringList{site}
        << QStringList{"0 report --mac 020000000002 --mac 02:00:00:00:00:01 --json"}
        << QStringList{"\"mac\": \"02:00:00:00:00:02\",\n        \"mode\": \"tcp-rtu\",\n"
                       "        \"notes\": \\{\n        \\},\n        \"result\": \"refused\",\n"
                       "        \"settings\": \\{\n            \"ip\": \"10.0.0.2\"\n        \\},\n"
                       "        \"state\": \"failed\",\n        \"status\": 5,\n"
                       "        \"time\": \"2026-12-02T10:00:00.000Z\",\n.*"
                       "        \"verified_at\": \"2026-12-01T10:00:00.000Z\",\n.*\"writes\": 2",
                       "\"values\": \\[\n +101\n", "!02:00:00:00:00:0[34]"};
    QTest::newRow("report since a day, with the sheet's labels and a unit never logged")
        << QStringList{site, "units.csv mac;ip;label;room\n02-00-00-00-00-01;;Pump 1;cellar\n"
                             "02:00:00:00:00:09;;Spare;\n"}
        << QStringList{"0 report --since 2026-12-03 --inventory @d/units.csv --output "
                       "@d/r.csv",
                       "0 report --since 2026-12-03 --inventory @d/units.csv"}
        << QStringList{"^3 units, 1 verified, 0 failed, 1 not verified, 1 not logged\n",
                       "\nnot verified +02:00:00:00:00:04 .*\nnot logged +02:00:00:00:00:09 +Spare "
                       ".*\nverified +02:00:00:00:00:01 +Pump 1 .* 0\n"};
    QTest::newRow("report: a sheet in a code page, read in the encoding given")
        << QStringList{site, QString::fromLatin1("units.csv mac,label\n02:00:00:00:00:09,K\xfc"
                                                 "che 1\n")}
        << QStringList{"2 report --inventory @d/units.csv",
                       "0 report --inventory @d/units.csv --encoding cp1252"}
        << QStringList{"\nnot logged +02:00:00:00:00:09 +K\u00fcche 1 "};
    QTest::newRow("report: --encoding without a sheet, or one no one knows, before anything")
        << QStringList{site}
        << QStringList{"2 report --encoding cp1252",
                       "2 report --inventory @d/none.csv --encoding klingon"}
        << QStringList{"^tcprtu: --encoding klingon: not an encoding tcprtu knows, e.g. cp1252, "
                       "cp1251 or latin1\n$"};
    QTest::newRow("log: what each entry changed; a MAC however spelt")
        << QStringList{site} << QStringList{"0 log --mac 020000000003"}
        << QStringList{"written-unverified +ip=10.0.0.3 sent\n", "!02:00:00:00:00:01"};
    QTest::newRow("log: the keys a run left staged, beside its result")
        << QStringList{"log 05 write refused 8 05 staged:ip=10.0.0.5 staged:mask=255.0.0.0|05 "
                       "write verified 0 06 ip=10.0.0.5"}
        << QStringList{"0 log"}
        << QStringList{" refused \\(staged: ip, mask\\) +-\n",
                       " verified +ip: 192.168.0.10 -> 10.0.0.5\n$"};
    QTest::newRow("log: a MAC never logged is said so")
        << QStringList{site} << QStringList{"0 log --mac 02-00-00-00-00-0a"}
        << QStringList{"MAC 02:00:00:00:00:0A: nothing logged", "!02:00:00:00:00:01"};
    QTest::newRow("log: since a day, one result, as CSV")
        << QStringList{site}
        << QStringList{"2 log --result no-such-word", "0 log --since 2026-12-02 --result verified",
                       "0 log --since 2026-12-01T12:00 --result restarted --csv"}
        << QStringList{"^time,command,port,mac,result,changed\n"
                       "2026-12-04T10:00:00.000Z,reset,/dev/ttyUSB0,02:00:00:00:00:04,restarted,-\n"
                       "2026-12-04T10:00:00.000Z,reset,/dev/ttyUSB0,-,restarted,-\n$"};
    QTest::newRow("merge: each line once, oldest first, the log replaced whole")
        << QStringList{"log 01 write verified 0 01 ip=10.0.0.1|01 audit matches 0 03",
                       "other.jsonl 01 audit matches 0 03|02 write verified 0 02 ip=10.0.0.2",
                       "bad.jsonl 03 write verified 0 05|{\"mac\": "}
        << QStringList{"0 log --merge @d/other.jsonl", "0 log --merge @d/other.jsonl",
                       "2 log --merge @d/other.jsonl @d/bad.jsonl", "0 log"}
        << QStringList{"\n2026-12-01T10:00:00.000Z +write .*\n2026-12-02T10:00:00.000Z +write "
                       ".*\n2026-12-03T10:00:00.000Z +audit [^\n]*$",
                       "!2026-12-05"};
    QTest::newRow("merge: what it says")
        << QStringList{"log 01 write verified 0 01 ip=10.0.0.1|01 audit matches 0 03",
                       "other.jsonl 01 audit matches 0 03|02 write verified 0 02 ip=10.0.0.2",
                       "bad.jsonl 03 write verified 0 05|{\"mac\": "}
        << QStringList{"0 log --merge @d/other.jsonl",
                       "0 log --merge @d/other.jsonl @d/other.jsonl"}
        << QStringList{"^0 of 4 entries new; the log has 3\n$"};
    QTest::newRow("merge: a file with a line that is no entry")
        << QStringList{"log 01 write verified 0 01 ip=10.0.0.1",
                       "bad.jsonl 03 write verified 0 05|{\"mac\": "}
        << QStringList{"2 log --merge @d/bad.jsonl"}
        << QStringList{"bad.jsonl: line 2 is not a log entry\n.*nothing merged"};
    QTest::newRow("merge: an object without the fields of an entry, a time that is none")
        << QStringList{"log 01 write verified 0 01 ip=10.0.0.1",
                       "odd.jsonl 03 write verified 0 05|{\"a\": 1}",
                       "late.jsonl {\"time\": \"yesterday\", \"command\": \"write\", "
                       "\"result\": \"verified\"}"}
        << QStringList{"2 log --merge @d/odd.jsonl @d/late.jsonl"}
        << QStringList{"odd.jsonl: line 2 is not a log entry: no \"time\"\n",
                       "late.jsonl: line 1 is not a log entry: time yesterday is no ISO 8601 time\n"
                       ".*nothing merged"};
}

void RecordTest::run()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, patterns);
    QTemporaryDir dir;
    const QString log = dir.filePath("state/tcprtu/log.jsonl");
    QVERIFY(QDir().mkpath(QFileInfo(log).path()));
    for (const QString &file : files) {
        const QString name = file.section(' ', 0, 0);
        QFile out(name == "log" ? log : dir.filePath(name));
        QVERIFY(out.open(QIODevice::WriteOnly));
        const QString body = file.section(' ', 1);
        if (name.endsWith(".csv")) {
            out.write(body.toLatin1());
            continue;
        }
        for (const QString &shorthand : body.split('|'))
            out.write((shorthand.startsWith('{') ? shorthand.toUtf8() : entry(shorthand)) + '\n');
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    QString output;
    for (const QString &step : steps) {
        QProcess tcprtu;
        tcprtu.setProcessEnvironment(environment);
        QStringList arguments = step.section(' ', 1).replace("@d", dir.path()).split(' ');
        arguments.replaceInStrings("~", " ");
        tcprtu.start(TCPRTU_BINARY, arguments);
        QVERIFY(tcprtu.waitForFinished(5000));
        output = tcprtu.readAllStandardOutput() + tcprtu.readAllStandardError();
        QVERIFY2(
            tcprtu.exitCode() == step.section(' ', 0, 0).toInt(),
            qPrintable(step + ": status " + QString::number(tcprtu.exitCode()) + "\n" + output));
    }
    for (const QString &pattern : patterns) {
        const bool absent = pattern.startsWith('!');
        const QRegularExpression expression(pattern.mid(absent),
                                            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(expression.match(output).hasMatch() != absent,
                 qPrintable(pattern + " in:\n" + output));
    }
}

// The page parsed by a real HTML parser: well formed, every text from the log escaped, one table
// whose header repeats on printed pages, nothing fetched from elsewhere.
void RecordTest::html()
{
    const QString xmllint = QStandardPaths::findExecutable("xmllint");
    if (xmllint.isEmpty())
        QSKIP("xmllint (libxml2-utils) is not installed");
    QTemporaryDir dir;
    const QString log = dir.filePath("state/tcprtu/log.jsonl");
    QVERIFY(QDir().mkpath(QFileInfo(log).path()));
    QFile out(log);
    QVERIFY(out.open(QIODevice::WriteOnly));
    for (const char *shorthand :
         {"01 write verified 0 01 ip=10.0.0.1 label=</td><script>alert(1)</script>&amp;",
          "02 write refused 5 02", "03 write written-unverified 0 02 ip=10.0.0.3"})
        out.write(entry(QString::fromUtf8(shorthand)) + '\n');
    out.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    QProcess tcprtu;
    tcprtu.setProcessEnvironment(environment);
    const QString page = dir.filePath("site.html");
    tcprtu.start(TCPRTU_BINARY, {"report", "--title", "Site <3> & \"north\"", "--output", page});
    QVERIFY(tcprtu.waitForFinished(5000) && tcprtu.exitCode() == 0);
    const auto query = [&](const QString &xpath) {
        QProcess parser;
        parser.start(xmllint, {"--html", "--xpath", xpath, page});
        parser.waitForFinished(5000);
        return QString(parser.readAllStandardOutput() + parser.readAllStandardError()).trimmed();
    };
    QProcess check;
    check.start(xmllint, {"--html", "--noout", page});
    QVERIFY(check.waitForFinished(5000));
    QCOMPARE(QString(check.readAllStandardError()), QString());
    QCOMPARE(query("string(//title)"), QString("Site <3> & \"north\""));
    QCOMPARE(query("normalize-space(//p[@class='summary'])"),
             QString("3 units, 1 verified, 1 failed, 1 not verified"));
    QCOMPARE(query("count(//table)"), QString("1"));
    QCOMPARE(query("count(//script) + count(//*[@src]) + count(//link)"), QString("0"));
    QCOMPARE(query("string(//tbody/tr[1]/@class)"), QString("failed"));
    QCOMPARE(query("string(//tbody/tr[3]/td[3])"), QString("</td><script>alert(1)</script>&amp;"));
    QCOMPARE(query("count(//tbody/tr[1]/td) = count(//thead/tr/th)"), QString("true"));
    const QString style = query("string(//style)");
    QVERIFY(style.contains("thead { display: table-header-group; }"));
    QVERIFY(style.contains("@page { size: A4;"));
    QVERIFY(!style.contains("url("));
}

// Merges while lines are appended as fast as they can be: each line of both kept, none lost to the
// log renamed over the one it went to.
void RecordTest::mergeWhileAppending()
{
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath("state")));
    const int others = 50;
    QFile other(dir.filePath("other.jsonl"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    for (int i = 0; i < others; ++i)
        other.write(entry(QString("%1 audit matches 0 01").arg(i, 2, 10, QChar('0'))) + '\n');
    other.close();
    std::atomic<bool> stop{false};
    int appended = 0;
    bool failed = false;
    std::thread appender([&] {
        const Console console;
        while (!stop && !failed) {
            failed =
                !appendLog({{"command", "read"}, {"result", "read"}, {"n", appended}}, console);
            appended += !failed;
        }
    });
    for (int merge = 0; merge < 8; ++merge) {
        QProcess tcprtu;
        tcprtu.start(TCPRTU_BINARY, {"log", "--merge", other.fileName()});
        QVERIFY(tcprtu.waitForFinished(5000));
        QVERIFY2(tcprtu.exitCode() == 0, tcprtu.readAllStandardError());
    }
    stop = true;
    appender.join();
    QVERIFY(!failed);
    QFile log(logPath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count('\n'), appended + others);
}

QTEST_GUILESS_MAIN(RecordTest)
#include "tst_record.moc"
