// The simulated RTU slaves: what they answer and how they are described on the command line.

#include "rtu.h"

#include <QtTest>

class TestModbus : public QObject
{
    Q_OBJECT

private slots:
    void answer_data();
    void answer();
    void parse_data();
    void parse();
};

void TestModbus::answer_data()
{
    // PDUs in hex, to slave 1.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");
    QTest::newRow("holding registers")
        << QByteArray("03 0001 0002") << QByteArray("03 04 0065 0066");
    QTest::newRow("input register, last of the block")
        << QByteArray("04 0063 0001") << QByteArray("04 02 75f7");
    QTest::newRow("beyond the block") << QByteArray("03 0063 0002") << QByteArray("83 02");
    QTest::newRow("no registers") << QByteArray("03 0000 0000") << QByteArray("83 03");
    QTest::newRow("more than a read may carry")
        << QByteArray("04 0000 007e") << QByteArray("84 03");
    QTest::newRow("cut short") << QByteArray("03 00") << QByteArray("83 03");
    QTest::newRow("other function") << QByteArray("05 0001 ff00") << QByteArray("85 01");
    QTest::newRow("write one register") << QByteArray("06 0063 1234") << QByteArray("06 0063 1234");
    QTest::newRow("write several registers")
        << QByteArray("10 0001 0002 04 0007 0008") << QByteArray("10 0001 0002");
    QTest::newRow("write past the block")
        << QByteArray("10 0063 0002 04 0007 0008") << QByteArray("90 02");
    QTest::newRow("write with a byte count off")
        << QByteArray("10 0001 0002 02 0007") << QByteArray("90 03");
}

void TestModbus::answer()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    sim::ModbusSlave slave(1, {});
    QCOMPARE(slave.answer(QByteArray::fromHex(request)).toHex(),
             QByteArray::fromHex(response).toHex());
}

void TestModbus::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line"); // empty: refused
    QTest::newRow("unit alone: 9600 none 1") << "247"
                                             << "9600 none 1";
    QTest::newRow("its own line") << "7:115200:even:2"
                                  << "115200 even 2";
    QTest::newRow("unit 0") << "0"
                            << "";
    QTest::newRow("unit 248") << "248"
                              << "";
    QTest::newRow("line cut short") << "1:9600:none"
                                    << "";
    QTest::newRow("a speed the device lacks") << "1:9601:none:1"
                                              << "";
    QTest::newRow("parity as its code") << "1:9600:0:1"
                                        << "";
    QTest::newRow("three stop bits") << "1:9600:none:3"
                                     << "";
    QTest::newRow("quirks after the line") << "1:19200:odd:1:drop=3:malformed=bare"
                                           << "19200 odd 1";
    QTest::newRow("a quirk after the unit alone") << "1:exception=0x04"
                                                  << "9600 none 1";
    QTest::newRow("no answer to every 0th") << "1:drop=0"
                                            << "";
    QTest::newRow("an unknown way to answer wrongly") << "1:malformed=late"
                                                      << "";
    QTest::newRow("an answer before its request") << "1:delay=10,-5"
                                                  << "";
}

void TestModbus::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, line);
    QString error;
    const std::optional<sim::ModbusSlave> slave = sim::parseSlave(text, &error);
    QCOMPARE(slave ? sim::describe(slave->line()) : QString(), line);
    QCOMPARE(error.isEmpty(), bool(slave));
}

QTEST_GUILESS_MAIN(TestModbus)
#include "tst_modbus.moc"
