// The command line's pure parts in process: sheets as spreadsheets save them, each row against
// its mode, the batch judged as a whole, and ports however they are spelt.

#include "batch.h"
#include "inventory.h"
#include "ports.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// "line:cell|cell" per row, rows joined by " / ".
QString shown(const QList<CsvRow> &rows)
{
    QStringList text;
    for (const CsvRow &row : rows)
        text << QString::number(row.line) + ':' + row.cells.join('|');
    return text.join(" / ");
}

Values values(const QString &assignments)
{
    Values result;
    for (const QString &assignment : assignments.split(' ', Qt::SkipEmptyParts))
        result[size_t(protocol::parameterIndex(assignment.section('=', 0, 0)))] =
            assignment.section('=', 1).toLatin1();
    return result;
}

} // namespace

class InventoryTest : public QObject
{
    Q_OBJECT

private slots:
    void csv_data();
    void csv();
    void written_data();
    void written();
    void sheet_data();
    void sheet();
    void batch_data();
    void batch();
    void ports_data();
    void ports();
    void backups();
    void backupReadBack_data();
    void backupReadBack();
};

void InventoryTest::csv_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("encoding"); // --encoding
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("errors");
    QTest::newRow("a quote inside a cell is a character")
        << QByteArray("mac,label\n1,19\" rack\n") << ""
        << "1:mac|label / 2:1|19\" rack"
        << "";
    QTest::newRow("a quoted cell: separators, doubled quotes, text after its end")
        << QByteArray("a,b\n\"x,\"\"y\"\"\"z,w\n") << ""
        << "1:a|b / 2:x,\"y\"z|w"
        << "";
    QTest::newRow("rows keep their lines over blank lines and two-line cells")
        << QByteArray("a,b\r\n1,\"two\r\nlines\"\r\n\r\n3,c\r\n") << ""
        << "1:a|b / 2:1|two\r\nlines / 5:3|c"
        << "";
    QTest::newRow("a quoted cell left open names its row")
        << QByteArray("a,b\n1,\"open\n2,x\n") << ""
        << "1:a|b / 2:1|open\n2,x"
        << "row 2: a quoted cell opens here and is never closed";
    QTest::newRow("UTF-8") << QByteArray("a;b\n1;K\xc3\xbc"
                                         "che\n")
                           << ""
                           << "1:a|b / 2:1|K\u00fcche"
                           << "";
    QTest::newRow("UTF-8 with its mark") << QByteArray("\xef\xbb\xbfmac,b\n1,\xc3\xa9\n") << ""
                                         << "1:mac|b / 2:1|\u00e9"
                                         << "";
    QTest::newRow("UTF-16 with its mark, tabs") << QByteArray("\xff\xfe"
                                                              "a\0\t\0b\0\n\0"
                                                              "1\0\t\0\xe9\0",
                                                              16)
                                                << "latin1"
                                                << "1:a|b / 2:1|\u00e9"
                                                << "";
    QTest::newRow("a code page's bytes refused by row and column")
        << QByteArray("mac;label;room\n1;\"a;\xc3\xa9\";x\n2;Pumpe;K\xfc"
                      "che\n")
        << ""
        << ""
        << "row 3, column 3: not UTF-8 (byte 0xfc); save the sheet as \"CSV UTF-8\", or give its "
           "encoding, e.g. --encoding cp1252 or --encoding cp1251";
    QTest::newRow("a code page's byte after a UTF-8 mark, refused whatever the encoding")
        << QByteArray("\xef\xbb\xbfmac,b\n1,\xe9\n") << "cp1252"
        << ""
        << "row 2, column 2: not UTF-8 (byte 0xe9); save the sheet as \"CSV UTF-8\", or give its "
           "encoding, e.g. --encoding cp1252 or --encoding cp1251";
    QTest::newRow("a code page's bytes read in the encoding given")
        << QByteArray("mac,label\n1,\xcd\xe0\xf1\xee\xf1\n") << "cp1251"
        << "1:mac|label / 2:1|\u041d\u0430\u0441\u043e\u0441"
        << "";
}

void InventoryTest::csv()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, encoding);
    QFETCH(QString, rows);
    QFETCH(QString, errors);
    if (!encoding.isEmpty() && !knownEncoding(encoding))
        QSKIP(qPrintable("this Qt reads no " + encoding));
    QStringList found;
    QString error;
    const std::optional<QString> text = sheetText(bytes, encoding, &error);
    if (!text)
        found << error;
    QCOMPARE(shown(parseCsv(text.value_or(QString()), &found)), rows);
    QCOMPARE(found.join(" | "), errors);
}

// Cells as tcprtu writes them for a spreadsheet, and read back as they were.
void InventoryTest::written_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<QString>("line");
    QTest::newRow("what a spreadsheet would run as a formula is carried as text")
        << QStringList{"=1+1", "+1", "-2+3", "@SUM(A1)", "-", "1-2"}
        << "'=1+1,'+1,'-2+3,'@SUM(A1),-,1-2";
    QTest::newRow("a tab first, a lone carriage return, quoted")
        << QStringList{"\tx", "a\rb"} << "\"'\tx\",\"a\rb\"";
    QTest::newRow("separators and quotes")
        << QStringList{"a,b", "c;d", "19\" rack"} << "\"a,b\",\"c;d\",\"19\"\" rack\"";
}

void InventoryTest::written()
{
    QFETCH(QStringList, cells);
    QFETCH(QString, line);
    QCOMPARE(csvRow(cells), line);
    QString error;
    const std::optional<QString> text =
        sheetText("\xEF\xBB\xBF" + line.toUtf8() + '\n', QString(), &error);
    QVERIFY2(text, qPrintable(error));
    QStringList errors;
    const QList<CsvRow> rows = parseCsv(*text, &errors);
    QCOMPARE(errors, QStringList());
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].cells, cells);
}

void InventoryTest::sheet_data()
{
    // Rows over the shared mode tcp-rtu unless --mode is given; "check" asks for --check.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("modeOption");
    QTest::addColumn<QString>("problems"); // errors, warnings and rowProblems(), joined by " | "
    QTest::newRow("spreadsheet headers, a row without MAC passed over")
        << "s.csv"
        << QByteArray(
               "port\tMAC address\tip\tMode\nu0\t\t\t\nu1\t02-00-00-00-00-aa\t10.0.0.2\ttcp-rtu\n")
        << ""
        << "warning: s.csv: row 2: no MAC, passed over";
    QTest::newRow("a column twice, a row too long")
        << "s.csv" << QByteArray("mac,ip,ip\n02:00:00:00:00:01,10.0.0.2,,x\n") << ""
        << "s.csv: column 3 \"ip\": given twice, also column 2 | s.csv: row 2: 4 cells, more than "
           "the header's 3";
    QTest::newRow("each row against its own mode")
        << "s.csv"
        << QByteArray("mac,mode,server_ip\n02:00:00:00:00:01,tcp-rtu,10.0.0.9\n"
                      "02:00:00:00:00:02,rtu-tcp,\n02:00:00:00:00:03,,\n")
        << "check"
        << "s.csv: row 2: server_ip: not a setting in mode tcp-rtu | s.csv: row 3: --check: only "
           "in mode tcp-rtu, not rtu-tcp";
    QTest::newRow("a mode column against --mode, a row with none")
        << "s.csv" << QByteArray("mac,mode\n02:00:00:00:00:01,rtu-tcp\n02:00:00:00:00:02,\n")
        << "none"
        << "s.csv: row 2: mode rtu-tcp, but --mode tcp-rtu | s.csv: row 3: no mode: give --mode, "
           "\"mode\" in the profile or a mode column";
    QTest::newRow("JSON by line and column")
        << "s.json" << QByteArray("[{\"mac\": \"02:00:00:00:00:01\"},\n {\"ip\" 1}]") << ""
        << "s.json: line 2, column 9: not JSON: missing name separator";
}

void InventoryTest::sheet()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, text);
    QFETCH(QString, modeOption);
    QFETCH(QString, problems);
    QTemporaryDir dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    QStringList found;
    const std::optional<Inventory> inventory = readInventory(name, QString(), &found);
    if (inventory) {
        found << inventory->warnings;
        // "none": a sheet over no shared mode, though --mode names one.
        const bool none = modeOption == "none";
        found << rowProblems(*inventory, none ? nullptr : &protocol::modes[0],
                             none ? "tcp-rtu" : "", {}, modeOption == "check");
    }
    QCOMPARE(found.join(" | "), problems);
}

void InventoryTest::batch_data()
{
    // Per unit "port mac mode | as read | wanted", the settings as KEY=VALUE.
    QTest::addColumn<QStringList>("units");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QString>("problems");
    const QString held = "ip=10.0.0.2 mask=255.255.255.0 gateway=10.0.0.1 server_ip=10.0.0.9";
    const QString odd = "ip=10.0.0.1 mask=255.255.255.0 gateway=10.0.0.1 speed=9600";
    QTest::newRow("one unit's mistake beside a sound one")
        << QStringList{"a 01 0 | " + held + " | ip=10.0.0.3", "b 02 0 | " + held + " | ip=10.1.0.3"}
        << false << "b: gateway 10.0.0.1 lies outside the subnet of ip 10.1.0.3";
    QTest::newRow("two units given one ip")
        << QStringList{"a 01 0 | " + held + " | ip=10.0.0.3", "b 02 0 | " + held + " | ip=10.0.0.3"}
        << false << "ip 10.0.0.3 would be held by 2 units: a, b";
    QTest::newRow("an odd setting the unit holds is not judged")
        << QStringList{"a 01 0 | " + odd + " | speed=19200 gateway=10.0.0.1"} << false << "";
    QTest::newRow("forced, what is sent is judged")
        << QStringList{"a 01 0 | " + odd + " | gateway=10.0.0.1"} << true
        << "a: ip and gateway are both 10.0.0.1";
    QTest::newRow("the server judged against an ip written alone")
        << QStringList{"a 01 1 | " + held + " | ip=10.0.0.9"} << false
        << "a: server_ip and ip are both 10.0.0.9";
    QTest::newRow("one MAC on two ports")
        << QStringList{"a 01 0 | " + held + " | speed=19200", "b 01 0 | " + held + " | speed=19200"}
        << false << "MAC 01 answers on a and b";
    QTest::newRow("one MAC on two ports, forced")
        << QStringList{"a 01 0 | " + held + " | speed=19200", "b 01 0 | " + held + " | speed=19200"}
        << true << "";
}

void InventoryTest::batch()
{
    QFETCH(QStringList, units);
    QFETCH(bool, force);
    QFETCH(QString, problems);
    QList<PlannedUnit> planned;
    for (const QString &unit : units) {
        const QStringList parts = unit.split(" | ");
        const QStringList head = parts[0].split(' ');
        planned << PlannedUnit{head[0], head[1].toLatin1(), &protocol::modes[head[2].toInt()],
                               values(parts[1]), values(parts[2])};
    }
    QStringList found;
    for (const QString &problem : batchProblems(planned, force))
        found << problem.section(" and mask", 0, 0).section(';', 0, 0).section(':', 0, 1);
    QCOMPARE(found.join(" | "), problems);
}

void InventoryTest::ports_data()
{
    // Ports given, one of them twice however spelt; "@" is a directory of the row's own.
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<int>("repeated");
    QTest::newRow("a bare name and its path") << QStringList{"null", "/dev/null"} << 1;
    QTest::newRow("relative and absolute") << QStringList{"./p", "@/p"} << 1;
    QTest::newRow("a link and its target") << QStringList{"@/link", "@/p"} << 1;
    QTest::newRow("different ports") << QStringList{"@/p", "@/q", "null"} << 0;
}

void InventoryTest::ports()
{
    QFETCH(QStringList, given);
    QFETCH(int, repeated);
    QTemporaryDir dir;
    QVERIFY(QDir::setCurrent(dir.path()));
    for (const char *name : {"p", "q"}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(dir.filePath("p"), "link"));
    QCOMPARE(repeatedPorts(given.replaceInStrings("@", dir.path())).size(), repeated);
    // Without --port, find asks adapters alone.
    QStringList skipped;
    QCOMPARE(adapterPorts({{"ttyS0", false}, {"ttyUSB0", true}}, &skipped), QStringList{"ttyUSB0"});
    QCOMPARE(skipped, QStringList{"ttyS0"});
}

void InventoryTest::backups()
{
    QTemporaryDir dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path()));
    // Two units with one MAC in one second each get their own; an answer that is no MAC names no
    // path elsewhere.
    const QFileInfo first(backupPath("02:00:00:00:00:aa")), second(backupPath("02-00-00-00-00-AA"));
    QVERIFY2(first.fileName().startsWith("02-00-00-00-00-AA-") && first != second,
             qPrintable(first.filePath() + ' ' + second.filePath()));
    QCOMPARE(QFileInfo(backupPath("../x")).absolutePath(), first.absolutePath());
}

void InventoryTest::backupReadBack_data()
{
    // What a disk that loses bytes, or a writer that lies, leaves of a backup that was "written".
    QTest::addColumn<int>("kept");      // bytes kept of what was written; -1: all
    QTest::addColumn<QString>("other"); // written instead, if not empty
    QTest::addColumn<bool>("saved");
    QTest::newRow("kept as written") << -1 << QString() << true;
    QTest::newRow("short by its last bytes") << 40 << QString() << false;
    QTest::newRow("nothing") << 0 << QString() << false;
    QTest::newRow("another profile")
        << -1 << "{\"mode\": \"tcp-rtu\", \"ip\": \"10.0.0.1\"}" << false;
}

void InventoryTest::backupReadBack()
{
    QFETCH(int, kept);
    QFETCH(QString, other);
    QFETCH(bool, saved);
    QTemporaryDir dir;
    const QJsonObject profile{{"mode", "tcp-rtu"}, {"ip", "192.168.0.10"}, {"speed", 9600}};
    const QString error =
        saveBackup(dir.filePath("b.json"), profile,
                   [&](const QString &path, const QByteArray &bytes, QString *writeError) {
                       const QByteArray left = other.isEmpty()
                                                   ? bytes.left(kept < 0 ? bytes.size() : kept)
                                                   : other.toUtf8();
                       return writeFile(path, left, writeError);
                   });
    QCOMPARE(error.isEmpty(), saved);
}

QTEST_GUILESS_MAIN(InventoryTest)
#include "tst_inventory.moc"
