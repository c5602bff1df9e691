// tcprtu's record of a site, from logs written by hand: log, log --merge and report. A row writes
// the machine's log and other files, runs tcprtu once per step and looks for patterns in the
// last run's output.

#include "log.h"

#include <QImage>
#include <QJsonArray>
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
// 02:00:00:00:00:MAC-END, on day DAY of December 2026. A write or a line that verified holds its
// keys after it; one that did not read back only sent them. label=..., message=... and
// check=VALUES go in as they are ('~' for a blank); FIELD.KEY=VALUE goes into the object FIELD
// (staged, refused, put_back), before.KEY=VALUE into what the unit held before; restarted=true;
// slaves=IDS (e.g. 1,3) answered behind it at the line's setting, and nothing answered with
// slaves=none.
QByteArray entry(const QString &shorthand)
{
    const QStringList words = shorthand.split(' ');
    const QString mac = "02:00:00:00:00:" + words[0];
    QJsonObject before{{"mac", mac}, {"mode", "tcp-rtu"}, {"ip", "192.168.0.10"}};
    QJsonObject changed;
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
        if (key == "label" || key == "message")
            line.insert(key, value);
        else if (key == "restarted")
            line.insert(key, true);
        else if (key.startsWith("before."))
            before.insert(key.section('.', 1), value);
        else if (key.contains('.')) {
            QJsonObject field = line.value(key.section('.', 0, 0)).toObject();
            field.insert(key.section('.', 1), value);
            line.insert(key.section('.', 0, 0), field);
        } else if (key == "slaves") {
            QJsonArray units;
            for (const QString &id : value.split(',', Qt::SkipEmptyParts)) {
                if (id != "none")
                    units << QJsonObject{{"unit", id.toInt()}, {"values", QJsonArray{12, 101}}};
            }
            line.insert(key, QJsonObject{{"host", "10.0.0.1"},
                                         {"tcp_port", 502},
                                         {"address", 0},
                                         {"count", 2},
                                         {"input", false},
                                         {"units", units}});
        } else if (key == "check")
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
        else
            changed.insert(key, value);
    }
    QJsonObject after = before;
    for (auto it = changed.begin(); it != changed.end(); ++it)
        after.insert(it.key(), it.value());
    // The slaves answered at the line's setting the entry holds.
    if (line.value("slaves").isObject()) {
        QJsonObject slaves = line.value("slaves").toObject();
        slaves.insert("speed", changed.value("speed").toString("9600"));
        slaves.insert("parity", changed.value("parity").toString("none"));
        slaves.insert("stop_bits", changed.value("stop_bits").toString("1"));
        line.insert("slaves", slaves);
    }
    const bool readBack = words[2] == "verified" || words[2] == "found";
    // An audit holds what it read.
    line.insert("before", words[1] == "audit" ? after : before);
    line.insert("after", readBack ? QJsonValue(after) : QJsonValue());
    line.insert("sent", words[1] == "write" || (words[1] == "line" && words[2] != "found")
                            ? changed
                            : QJsonObject());
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
    void a4();
    void mergeWhileAppending();
};

void RecordTest::run_data()
{
    // Files: "NAME ENTRY|ENTRY|..." with the machine's log named "log", or "NAME TEXT" for any
    // other file: a sheet as it is (each character a byte, as a code page saves it), else "|"
    // between lines, each as entry() makes it or as it is where it starts with "{". Steps: the exit
    // status, then tcprtu's arguments ('~' a blank; @d the row's directory); or "= FILE", which
    // takes the file for the output (a UTF-8 byte order mark shown as "BOM "). Patterns: regular
    // expressions in the last run's output, a leading
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
        << QStringList{
               "^4 units, 1 verified, 1 failed, 2 not verified\n",
               "\nfailed +02:00:00:00:00:02 +- +tcp-rtu +10\\.0\\.0\\.2 +- +- +refused .* 1\n"
               "not verified +02:00:00:00:00:03 +- +- +- +- +- +written-unverified .* 1\n"
               "not verified +02:00:00:00:00:04 +Pump 4 +tcp-rtu +10\\.0\\.0\\.4 +- +- "
               "+restarted.*\nverified +02:00:00:00:00:01 +- +tcp-rtu +10\\.0\\.0\\.1 +- +- "
               "+matches +101 +2026-12-03 10:00 \\+00:00 +ann@laptop +1\n"};
    QTest::newRow("report as JSON: the settings as last verified, the check, the writes")
        << QStringList{site}
        << QStringList{"0 report --mac 020000000002 --mac 02:00:00:00:00:01 --json"}
        << QStringList{
               "\"mac\": \"02:00:00:00:00:02\",\n.*        \"mode\": \"tcp-rtu\",\n"
               "        \"notes\": \\{\n        \\},\n.*        \"result\": \"refused\",\n"
               "        \"settings\": \\{\n            \"ip\": \"10.0.0.2\"\n        \\},\n.*"
               "        \"state\": \"failed\",\n        \"status\": 5,\n"
               "        \"time\": \"2026-12-02T10:00:00.000Z\",\n.*"
               "        \"verified_at\": \"2026-12-01T10:00:00.000Z\",\n.*\"writes\": 1",
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
    QTest::newRow("report: keys staged come first until a write verifies or an audit reads "
                  "after a restart")
        << QStringList{"log 05 write refused 8 01 ip=10.0.0.5 staged.ip=10.0.0.5|05 audit matches "
                       "0 "
                       "02|06 write unanswered 8 01 staged.mask=255.0.0.0|06 reset restarted 0 02 "
                       "restarted=true|06 audit differs 6 03|07 write lost 3 01 staged.ip=10.0.0.7|"
                       "07 write verified 0 02 ip=10.0.0.7|08 write refused 8 01 "
                       "staged.ip=10.0.0.8|"
                       "08 reset restarted 0 02 restarted=true"}
        << QStringList{"0 report"}
        << QStringList{"^4 units, 1 verified, 1 failed, 2 staged\n",
                       "\nstaged ip=10.0.0.5 +02:00:00:00:00:05 .*\nstaged ip=10.0.0.8 "
                       "+02:00:00:00:00:08 .*\nfailed +02:00:00:00:00:06 .*\nverified "
                       "+02:00:00:00:00:07 "};
    QTest::newRow("report: writes are the runs that sent a change, commissioned by the last")
        << QStringList{"log 09 write verified 0 01 ip=10.0.0.9|09 write unchanged 0 02|09 write "
                       "cancelled 2 02|09 line found 0 03 speed=1200 slaves=1|09 line refused 5 03 "
                       "refused.speed=2400 message=the~device~answered~\"ERR\"|09 audit matches 0 "
                       "04"}
        << QStringList{"0 report --json"}
        << QStringList{"\"commissioned\": \\{\n +\"command\": \"write\",\n +\"host\": "
                       "\"laptop\",\n +\"time\": \"2026-12-01T10:00:00.000Z\",",
                       "\"writes\": 2\n", "\"time\": \"2026-12-04T10:00:00.000Z\""};
    QTest::newRow("report: a failed unit's read-back and what was refused")
        << QStringList{"log 09 write verified 0 01 ip=10.0.0.9|09 line refused 5 03 "
                       "refused.speed=2400 message=the~device~answered~\"ERR\""}
        << QStringList{"0 report --json"}
        << QStringList{"\"message\": \"the device answered \\\\\"ERR\\\\\"\",\n.*"
                       "\"read_back\": \\{\n +\"ip\": \"192.168.0.10\",\n +\"mode\": "
                       "\"tcp-rtu\"\n +\\},\n +\"refused\": \\{\n +\"speed\": \"2400\"\n"};
    QTest::newRow("report: the RS-485 line and the slaves found, the Modbus path proven or not")
        << QStringList{"log 10 write verified 0 01 ip=10.0.0.1|10 line found 0 02 speed=1200 "
                       "parity=odd slaves=1,3|10 audit matches 0 03 speed=1200 parity=odd|11 line "
                       "found 0 02 speed=2400 slaves=2|11 write verified 0 03 ip=10.0.0.3|12 line "
                       "not-found 4 02|13 write verified 0 01 ip=10.0.0.5 check=[7]"}
        << QStringList{"0 report", "0 report --json --mac 02:00:00:00:00:11"}
        << QStringList{"\"modbus_proven\": false,.*\"slaves\": \\{.*\"stale\": \\[\n +\"ip\"\n"};
    QTest::newRow("report: a try of line read back only what it wrote; the rest stands")
        << QStringList{"log 20 write verified 0 01 ip=10.0.0.20|{\"mac\":\"02:00:00:00:00:20\","
                       "\"command\":\"line\",\"result\":\"verified\",\"status\":0,\"time\":"
                       "\"2026-12-02T10:00:00.000Z\",\"after\":{\"mac\":\"02:00:00:00:00:20\","
                       "\"mode\":\"tcp-rtu\",\"speed\":19200},\"sent\":{\"speed\":19200}}|20 "
                       "line interrupted 130 03"}
        << QStringList{"0 report"}
        << QStringList{
               "\nfailed +02:00:00:00:00:20 +- +tcp-rtu +10.0.0.20 +19200 +- +interrupted "};
    QTest::newRow("report: the table's RS-485 line and slaves")
        << QStringList{"log 10 write verified 0 01 ip=10.0.0.1|10 line found 0 02 speed=1200 "
                       "parity=odd slaves=1,3|10 audit matches 0 03 speed=1200 parity=odd|11 line "
                       "found 0 02 speed=2400 slaves=2|11 write verified 0 03 ip=10.0.0.3 "
                       "speed=2400|12 "
                       "line not-found 4 02"}
        << QStringList{"0 report"}
        << QStringList{"\nfailed +02:00:00:00:00:12 .* not-found ",
                       "\nverified +02:00:00:00:00:10 +- +tcp-rtu +192.168.0.10 +1200 odd +1, 3 "
                       "+matches ",
                       "\nverified +02:00:00:00:00:11 +- +tcp-rtu +10.0.0.3 +2400 +2 \\(before ip "
                       "changed\\) +verified "};
    QTest::newRow("report as CSV: marked as UTF-8, no cell a spreadsheet runs as a formula")
        << QStringList{"log 01 write verified 0 01 ip=10.0.0.1 label=@SUM(1+1)~Pump~\u00e9"}
        << QStringList{"0 report --output @d/r.csv", "= @d/r.csv"}
        << QStringList{"^BOM state,mac,label,mode,ip,",
                       "\nverified,02:00:00:00:00:01,'@SUM"
                       "\\(1\\+1\\) Pump \u00e9,tcp-rtu,10.0.0.1,"};
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
        << QStringList{"log 05 write refused 8 05 staged.ip=10.0.0.5 staged.mask=255.0.0.0|05 "
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
    environment.insert("TZ", "UTC");
    QString output;
    for (const QString &step : steps) {
        if (step.startsWith("= ")) {
            QFile file(step.mid(2).replace("@d", dir.path()));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            // Qt takes a byte order mark off as it reads: it is shown as a word of its own.
            output = (bytes.startsWith("\xEF\xBB\xBF") ? "BOM " : "") + QString::fromUtf8(bytes);
            continue;
        }
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
// of units whose header repeats on printed pages, nothing fetched from elsewhere; the customer's
// page apart from the engineer's.
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
    // A check that failed, its message ending in the hint for the engineer.
    QJsonObject failed = QJsonDocument::fromJson(entry("04 write check-failed 4 03")).object();
    failed.insert("check", QJsonObject{{"host", "127.0.0.2"},
                                       {"tcp_port", 502},
                                       {"unit", 1},
                                       {"address", 0},
                                       {"count", 1},
                                       {"input", false},
                                       {"status", 4},
                                       {"message", "no answer from slave 1 within 1000 ms; compare "
                                                   "the converter's RS-485 speed, parity and stop "
                                                   "bits with the slave's, and the unit id"}});
    out.write(QJsonDocument(failed).toJson(QJsonDocument::Compact) + '\n');
    out.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    environment.insert("TZ", "Asia/Kolkata");
    environment.insert("USER", "ann");
    const QString page = dir.filePath("site.html"), engineers = dir.filePath("engineer.html");
    for (const QStringList &arguments :
         {QStringList{"--title", "Site <3> & \"north\"", "--engineer", "Ann Lee", "--output", page},
          QStringList{"--engineer-notes", "--output", engineers}}) {
        QProcess tcprtu;
        tcprtu.setProcessEnvironment(environment);
        tcprtu.start(TCPRTU_BINARY, QStringList{"report"} + arguments);
        QVERIFY(tcprtu.waitForFinished(5000) && tcprtu.exitCode() == 0);
    }
    const auto query = [&](const QString &xpath, const QString &file = QString()) {
        QProcess parser;
        parser.start(xmllint, {"--html", "--xpath", xpath, file.isEmpty() ? page : file});
        parser.waitForFinished(5000);
        return QString(parser.readAllStandardOutput() + parser.readAllStandardError()).trimmed();
    };
    QProcess check;
    check.start(xmllint, {"--html", "--noout", page});
    QVERIFY(check.waitForFinished(5000));
    QCOMPARE(QString(check.readAllStandardError()), QString());
    QCOMPARE(query("string(//title)"), QString("Site <3> & \"north\""));
    QCOMPARE(query("normalize-space(//p[@class='summary'])"),
             QString("4 units, 1 verified, 2 failed, 1 not verified"));
    QCOMPARE(query("count(//table[@class='units'])"), QString("1"));
    QCOMPARE(query("count(//script) + count(//*[@src]) + count(//link)"), QString("0"));
    const QString units = "//table[@class='units']/tbody/tr";
    QCOMPARE(query("string(" + units + "[1]/@class)"), QString("failed"));
    QCOMPARE(query("string(" + units + "[4]/td[2]/text()[1])"),
             QString("</td><script>alert(1)</script>&amp;"));
    QCOMPARE(query("count(" + units + "[1]/td) = count(//thead/tr/th)"), QString("true"));
    // Local time with its offset; the words of the legend, only those the page uses.
    QVERIFY(query("string(//p[@class='small'])").contains("Times are local, UTC+05:30 where"));
    QCOMPARE(query("string(" + units + "[4]/td[7]/text()[1])"), QString("2026-12-01 15:30"));
    QCOMPARE(query("count(//dl[@class='legend']//dt)"), QString("7"));
    QCOMPARE(query("count(//dl[@class='legend']//dt[.='differs'])"), QString("0"));
    QCOMPARE(query("count(//dl[@class='legend']//dt[.='check-failed'])"), QString("1"));
    // The block to sign: the site, the engineer given, the day.
    QCOMPARE(query("string(//table[@class='sign']//tr[1]/td[1])"), QString("Site <3> & \"north\""));
    QCOMPARE(query("string(//table[@class='sign']//tr[2]/td[1])"), QString("Ann Lee"));
    // The failed check in readable words; the hint only on the engineer's page.
    const QString customerCheck = query("normalize-space(" + units + "[2]/td[5])");
    QVERIFY2(customerCheck.endsWith("unit 1: no answer from slave 1 within 1000 ms"),
             qPrintable(customerCheck));
    QVERIFY2(!customerCheck.contains("compare"), qPrintable(customerCheck));
    QVERIFY(query("normalize-space(" + units + "[2]/td[5])", engineers).contains("compare the"));
    QCOMPARE(query("string(//table[@class='sign']//tr[2]/td[1])", engineers), QString("ann"));
    const QString style = query("string(//style)");
    QVERIFY(style.contains("thead { display: table-header-group; }"));
    QVERIFY(style.contains("@page { size: A4;"));
    QVERIFY(!style.contains("url("));
}

// Fifty units on A4 as a real browser prints them: at most three pages, and nothing in the right
// margin, which a table wider than the page would cross. With TCPRTU_REPORT_PICTURE set, the first
// page is also saved there as a PNG: the README's picture.
void RecordTest::a4()
{
    QString browser;
    for (const char *name : {"chromium", "chromium-browser", "google-chrome"}) {
        if (browser.isEmpty())
            browser = QStandardPaths::findExecutable(name);
    }
    const QString pdftoppm = QStandardPaths::findExecutable("pdftoppm");
    const QString pdfinfo = QStandardPaths::findExecutable("pdfinfo");
    if (browser.isEmpty() || pdftoppm.isEmpty() || pdfinfo.isEmpty())
        QSKIP("no headless browser (chromium) or no pdftoppm and pdfinfo (poppler-utils) here");
    QTemporaryDir dir;
    const QString log = dir.filePath("state/tcprtu/log.jsonl");
    QVERIFY(QDir().mkpath(QFileInfo(log).path()));
    QFile out(log);
    QVERIFY(out.open(QIODevice::WriteOnly));
    const char *const rooms[] = {"Intake", "Filter~hall", "Pump~house", "Clear-water~tank"};
    const QString device = "before.mask=255.255.255.0 before.gateway=10.20.0.1 before.tcp_port=502 "
                           "before.speed=9600 before.parity=none before.stop_bits=1";
    for (int i = 1; i <= 50; ++i) {
        const QString mac = QString::number(i + 9).rightJustified(2, '0');
        const QString name = QString("label=%1~pump~%2").arg(rooms[i % 4]).arg(i);
        const QString ip = QString("ip=10.20.%1.%2 %3").arg(i / 10).arg(100 + i).arg(device);
        out.write(entry(QString("%1 write verified 0 01 %2 %3").arg(mac, ip, name)) + '\n');
        out.write(entry(QString("%1 line found 0 02 %2 speed=19200 parity=even slaves=1,2,3")
                            .arg(mac, ip)) +
                  '\n');
        out.write(entry(i % 7 ? QString("%1 audit matches 0 03 %2 speed=19200 parity=even "
                                        "check=[1234,5678]")
                                    .arg(mac, ip)
                              : QString("%1 write refused 8 03 %2 staged.ip=10.30.0.%3 "
                                        "refused.speed=115200 message=the~device~answered~ERR")
                                    .arg(mac, ip)
                                    .arg(i)) +
                  '\n');
    }
    out.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", dir.filePath("state"));
    const QString page = dir.filePath("site.html"), pdf = dir.filePath("site.pdf");
    QProcess tcprtu;
    tcprtu.setProcessEnvironment(environment);
    tcprtu.start(TCPRTU_BINARY, {"report", "--title", "Waterworks Nordhafen", "--engineer",
                                 "Ann Lee", "--output", page});
    QVERIFY(tcprtu.waitForFinished(5000) && tcprtu.exitCode() == 0);
    QProcess print;
    // The page needs nothing from elsewhere, and the browser reaches nothing: no background
    // requests, and any other through a proxy on a loopback port where nothing listens.
    print.start(browser, {"--headless", "--no-sandbox", "--disable-gpu", "--no-pdf-header-footer",
                          "--disable-background-networking", "--proxy-server=127.0.0.1:9",
                          "--user-data-dir=" + dir.filePath("browser"), "--print-to-pdf=" + pdf,
                          QUrl::fromLocalFile(page).toString()});
    QVERIFY(print.waitForFinished(60000));
    QVERIFY2(QFileInfo(pdf).size() > 0, print.readAllStandardError().constData());
    QProcess info;
    info.start(pdfinfo, {pdf});
    QVERIFY(info.waitForFinished(10000));
    const QString pages = QRegularExpression("Pages: +(\\d+)")
                              .match(QString(info.readAllStandardOutput()))
                              .captured(1);
    QVERIFY2(pages.toInt() >= 1 && pages.toInt() <= 3, qPrintable("pages: " + pages));
    // Each page in grey at 144 dpi, where a border is a line of its own. The browser clips what
    // crosses into the margin, so a table too wide for the page loses its right border: the
    // rightmost ink must be that border, a line down the page, not the cut-off text of a cell.
    QProcess render;
    render.start(pdftoppm, {"-gray", "-r", "144", pdf, dir.filePath("page")});
    QVERIFY(render.waitForFinished(30000));
    for (int number = 1; number <= pages.toInt(); ++number) {
        const QImage image(dir.filePath(QString("page-%1.pgm").arg(number)));
        QVERIFY(!image.isNull());
        // Darker than the rows' tints.
        const auto inked = [&](int x, int y) { return qGray(image.pixel(x, y)) < 215; };
        int rightmost = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = image.width() - 1; x > rightmost; --x) {
                if (inked(x, y))
                    rightmost = x;
            }
        }
        const auto longestRun = [&](int x) {
            int run = 0, longest = 0;
            for (int y = 0; y < image.height(); ++y) {
                run = inked(x, y) ? run + 1 : 0;
                longest = std::max(longest, run);
            }
            return longest;
        };
        int border = rightmost;
        while (border > 0 && longestRun(border) < image.height() / 8)
            --border;
        QVERIFY2(border >= rightmost - 6,
                 qPrintable(QString("page %1: ink at x=%2 of %3, the table's right border at %4")
                                .arg(number)
                                .arg(rightmost)
                                .arg(image.width())
                                .arg(border)));
    }
    const QString picture = qEnvironmentVariable("TCPRTU_REPORT_PICTURE");
    if (!picture.isEmpty()) {
        QProcess png;
        png.start(pdftoppm, {"-png", "-r", "110", "-f", "1", "-l", "1", "-singlefile", pdf,
                             picture.chopped(4)});
        QVERIFY(png.waitForFinished(30000) && png.exitCode() == 0);
    }
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
