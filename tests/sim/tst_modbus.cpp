// The simulated RTU slaves: what they answer and how they are described on the command line.

#include "modbus.h"

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
    QTest::newRow("other function") << QByteArray("06 0001 0003") << QByteArray("86 01");
}

void TestModbus::answer()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    const sim::ModbusSlave slave(1, {});
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
