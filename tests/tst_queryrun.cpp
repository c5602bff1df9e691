#include "rig.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

namespace {

struct Answer
{
    const char *query;
    const char *value;
};

// A device that answers every query: keyword, colon, value, CR LF.
constexpr Answer scripted[] = {
    {"MAC", "02:00:00:00:00:01"}, {"ip", "192.168.0.10"}, {"MASK", "255.255.255.0"},
    {"GATEWAY", "192.168.0.1"},   {"PORT TCP", "502"},    {"parity", "2"},
    {"SPEED RS485", "115200"},    {"STOP BIT", "2"},      {"IP SERVER TCP", "192.168.0.100"},
    {"TIMEOUT TCP", "1000"},
};

QStringList dataLines(const LogCapture &log)
{
    return log.lines().filter(QRegularExpression("^\"data 2:"));
}

} // namespace

class QueryRunTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void fullRead_data();
    void fullRead();
    void startClearsTheFields();
    void answers_data();
    void answers();
    void splitAnswers_data();
    void splitAnswers();
    void textOutsideARunIsOnlyLogged();
    void secondClickStopsTheRun();
    void queryRunEndsAChangeRun();
    void tickOnAClosedPortResetsTheRun();
    void closingTheWindowEndsTheRun();
    void oneSecondPacing();
};

void QueryRunTest::cleanup()
{
    verifyNothingLeftOpen();
}

void QueryRunTest::fullRead_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("queries");
    QTest::newRow("TCP-RTU") << int(Rig::TcpRtu) << 8;
    QTest::newRow("RTU-TCP") << int(Rig::RtuTcp) << 10;
}

void QueryRunTest::fullRead()
{
    QFETCH(int, mode);
    QFETCH(int, queries);
    Rig rig;
    QVERIFY(rig.open(Rig::Mode(mode)));
    rig.ui().lineEdit_ipservertcp->setText("left from before");
    rig.startScan();

    for (int n = 1; n <= queries; ++n) {
        const QByteArray sent = rig.scanTick();
        QCOMPARE(sent, QByteArray(scripted[n - 1].query));
        QCOMPARE(rig.probe.scanStep(), n);
        rig.reply(QByteArray(scripted[n - 1].query) + ':' + scripted[n - 1].value + "\r\n");
    }
    QCOMPARE(rig.scanTick(), QByteArray());
    QVERIFY(!rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);

    const Ui::MainWindow &ui = rig.ui();
    QCOMPARE(ui.lineEdit_MAC->text(), QString("02:00:00:00:00:01"));
    QCOMPARE(ui.lineEdit_ip->text(), QString("192.168.0.10"));
    QCOMPARE(ui.lineEdit_mask->text(), QString("255.255.255.0"));
    QCOMPARE(ui.lineEdit_gateway->text(), QString("192.168.0.1"));
    QCOMPARE(ui.lineEdit_portTCP->text(), QString("502"));
    QCOMPARE(ui.comboBox->currentIndex(), 3);
    QCOMPARE(ui.comboBox_speed->currentIndex(), 8);
    QCOMPARE(ui.comboBox_2->currentIndex(), 2);
    const bool serverRows = mode == Rig::RtuTcp;
    QCOMPARE(ui.lineEdit_ipservertcp->text(), QString(serverRows ? "192.168.0.100" : ""));
    QCOMPARE(ui.lineEdit_timeout->text(), QString(serverRows ? "1000" : ""));
    for (QWidget *field : rig.window->findChild<QWidget *>("groupBox")->findChildren<QWidget *>())
        QVERIFY2(field->styleSheet().isEmpty(), qPrintable(field->objectName()));
}

void QueryRunTest::startClearsTheFields()
{
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    const QList<QLineEdit *> edits = rig.window->findChildren<QLineEdit *>();
    const QList<QComboBox *> combos = {rig.ui().comboBox, rig.ui().comboBox_speed,
                                       rig.ui().comboBox_2};
    for (QLineEdit *edit : edits) {
        edit->setText("old");
        edit->setStyleSheet(red);
    }
    for (QComboBox *combo : combos) {
        combo->setCurrentIndex(1);
        combo->setStyleSheet(green);
    }
    rig.ui().scan_parameters->click();
    QVERIFY(rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanTimer()->interval(), 1000);
    for (QLineEdit *edit : edits)
        QVERIFY(edit->text().isEmpty() && edit->styleSheet().isEmpty());
    for (QComboBox *combo : combos)
        QVERIFY(combo->currentIndex() == 0 && combo->styleSheet().isEmpty());
    QVERIFY(rig.pty.take().isEmpty());
}

void QueryRunTest::answers_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("colour");

    QTest::newRow("prefix skipped, not examined")
        << 2 << QByteArray("xyz10.1.2.3\r\n") << "lineEdit_ip" << QVariant("10.1.2.3") << green;
    QTest::newRow("prefix only") << 2 << QByteArray("ip:\r\n") << "lineEdit_ip" << QVariant("")
                                 << red;
    QTest::newRow("prefix only, no line end")
        << 2 << QByteArray("ip:") << "lineEdit_ip" << QVariant("") << red;
    QTest::newRow("cut to its limit") << 2 << QByteArray("ip:1234567890123456789\r\n")
                                      << "lineEdit_ip" << QVariant("123456789012345") << green;
    QTest::newRow("value not trimmed") << 4 << QByteArray("GATEWAY: 10.0.0.1 \r\n")
                                       << "lineEdit_gateway" << QVariant(" 10.0.0.1 ") << green;
    QTest::newRow("bytes after a zero byte dropped")
        << 2 << QByteArray("ip:10.0.0.1\0junk\r\n", 19) << "lineEdit_ip" << QVariant("10.0.0.1")
        << green;
    QTest::newRow("zero byte first: ignored")
        << 2 << QByteArray("\0ip:10.0.0.1\r\n", 14) << "lineEdit_ip" << QVariant("") << QString();
    QTest::newRow("CR and LF anywhere") << 5 << QByteArray("PORT\r TCP:\n50\r2\n")
                                        << "lineEdit_portTCP" << QVariant("502") << green;
    QTest::newRow("only CR LF: ignored")
        << 2 << QByteArray("\r\n") << "lineEdit_ip" << QVariant("") << QString();
    QTest::newRow("MAC") << 1 << QByteArray("MAC:02:00:00:00:00:01\r\n") << "lineEdit_MAC"
                         << QVariant("02:00:00:00:00:01") << green;
    QTest::newRow("time-out cut to 5") << 10 << QByteArray("TIMEOUT TCP:1234567\r\n")
                                       << "lineEdit_timeout" << QVariant("12345") << green;
    QTest::newRow("parity 0") << 6 << QByteArray("parity:0\r\n") << "comboBox" << QVariant(1)
                              << green;
    QTest::newRow("parity 3 refused")
        << 6 << QByteArray("parity:3\r\n") << "comboBox" << QVariant(0) << red;
    QTest::newRow("speed 9600") << 7 << QByteArray("SPEED RS485:9600\r\n") << "comboBox_speed"
                                << QVariant(4) << green;
    QTest::newRow("speed 256000") << 7 << QByteArray("SPEED RS485:256000") << "comboBox_speed"
                                  << QVariant(10) << green;
    QTest::newRow("speed 14400 refused")
        << 7 << QByteArray("SPEED RS485:14400\r\n") << "comboBox_speed" << QVariant(0) << red;
    QTest::newRow("stop bits 2") << 8 << QByteArray("STOP BIT:2\r\n") << "comboBox_2" << QVariant(2)
                                 << green;
    QTest::newRow("stop bit with a blank refused")
        << 8 << QByteArray("STOP BIT: 1\r\n") << "comboBox_2" << QVariant(0) << red;
    QTest::newRow("late answer taken by the next step")
        << 3 << QByteArray("ip:10.9.8.7\r\n") << "lineEdit_mask" << QVariant(".9.8.7") << green;
}

void QueryRunTest::answers()
{
    QFETCH(int, step);
    QFETCH(QByteArray, reply);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QFETCH(QString, colour);
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    rig.startScan();
    for (int n = 0; n < step; ++n)
        rig.scanTick();

    LogCapture log;
    rig.reply(reply, 80);
    QWidget *widget = rig.window->findChild<QWidget *>(field);
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        QCOMPARE(edit->text(), expected.toString());
    else
        QCOMPARE(qobject_cast<QComboBox *>(widget)->currentIndex(), expected.toInt());
    QCOMPARE(widget->styleSheet(), colour);
    QCOMPARE(dataLines(log).size(), colour.isEmpty() ? 0 : 1);
    QVERIFY(rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), step);
}

void QueryRunTest::splitAnswers_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("colour");
    QTest::newRow("MAC in two pieces 20 ms apart")
        << QList<QByteArray>{"MAC:02:00:00:0", "0:00:01\r\n"} << 20 << "02:00:00:00:00:01" << green;
    QTest::newRow("MAC byte by byte, no line end")
        << QList<QByteArray>{"MAC:", "0", "2", ":", "0", "0"} << 5 << "02:00" << green;
    QTest::newRow("line end alone afterwards changes nothing")
        << QList<QByteArray>{"MAC:02:00:00:00:00:01\r", "\n"} << 20 << "02:00:00:00:00:01" << green;
    QTest::newRow("pieces far apart are two answers")
        << QList<QByteArray>{"MAC:02:00:00:00:00:01", "AB"} << 150 << "02:00:00:00:00:01" << red;
}

void QueryRunTest::splitAnswers()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, gapMs);
    QFETCH(QString, mac);
    QFETCH(QString, colour);
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startScan();
    QCOMPARE(rig.scanTick(), QByteArray("MAC"));

    LogCapture log;
    for (const QByteArray &piece : pieces)
        rig.reply(piece, gapMs);
    QTest::qWait(80);
    QCOMPARE(rig.ui().lineEdit_MAC->text(), mac);
    QCOMPARE(rig.ui().lineEdit_MAC->styleSheet(), colour);
    QCOMPARE(dataLines(log).size(), colour == red ? 2 : 1);
}

void QueryRunTest::textOutsideARunIsOnlyLogged()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    LogCapture log;
    rig.reply("ip:10.0.0.1\r\n");
    QCOMPARE(dataLines(log), QStringList{"\"data 2:ip:10.0.0.1\""});
    QVERIFY(rig.ui().lineEdit_ip->text().isEmpty());
    QVERIFY(rig.ui().lineEdit_ip->styleSheet().isEmpty());
    QVERIFY(rig.pty.take().isEmpty());
}

void QueryRunTest::secondClickStopsTheRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startScan();
    rig.scanTick();
    rig.scanTick();
    rig.reply("ip:10.0.0.1\r\n");
    rig.ui().scan_parameters->click();
    QVERIFY(!rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);
    QCOMPARE(rig.ui().lineEdit_ip->text(), QString("10.0.0.1"));
    QCOMPARE(rig.ui().lineEdit_ip->styleSheet(), green);
}

void QueryRunTest::queryRunEndsAChangeRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startChange();
    rig.changeTick();
    rig.ui().scan_parameters->click();
    QVERIFY(!rig.probe.changeTimer()->isActive());
    QCOMPARE(rig.probe.changeStep(), 0);
    QVERIFY(rig.probe.scanTimer()->isActive());
}

void QueryRunTest::tickOnAClosedPortResetsTheRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startScan();
    rig.scanTick();
    rig.scanTick();
    rig.probe.serial().close();
    {
        LogCapture log;
        rig.probe.scanTick();
        QCOMPARE(log.lines(), QStringList{"error connecting"});
    }
    QVERIFY(!rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);

    QVERIFY(rig.probe.serial().open(QIODevice::ReadWrite));
    rig.startScan();
    QCOMPARE(rig.scanTick(), QByteArray("MAC"));
}

void QueryRunTest::closingTheWindowEndsTheRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    rig.ui().scan_parameters->click();
    rig.probe.scanTimer()->setInterval(10);
    QVERIFY(!rig.pty.waitForBytes().isEmpty());
    rig.window.reset();
    QVERIFY(rig.pty.take(100).isEmpty());
}

void QueryRunTest::oneSecondPacing()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    QElapsedTimer clock;
    clock.start();
    rig.ui().scan_parameters->click();
    QList<QByteArray> queries;
    QList<qint64> times;
    for (int i = 0; i < 2; ++i) {
        queries << rig.pty.waitForBytes(1500, 30);
        times << clock.elapsed();
    }
    QCOMPARE(queries, (QList<QByteArray>{"MAC", "ip"}));
    // A one-second timer may fire up to 5% early or late.
    QVERIFY2(times[0] >= 900 && times[0] < 1300, qPrintable(QString::number(times[0])));
    QVERIFY2(times[1] >= 1850 && times[1] < 2300, qPrintable(QString::number(times[1])));
}

QTEST_MAIN(QueryRunTest)
#include "tst_queryrun.moc"
