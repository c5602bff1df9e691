// The simulated device's behaviour. The values it takes are the protocol core's, tested there.

#include "simdevice.h"

#include <QtTest>

class TestSimDevice : public QObject
{
    Q_OBJECT

private slots:
    void exchanges_data();
    void exchanges();
    void refuseNeedsAChangeCommand();
    void lineNeedsRealValues();
};

// clang-format off
void TestSimDevice::exchanges_data()
{
    QTest::addColumn<QByteArray>("refused"); // the name given to refuse(), if any
    // Messages and the device's replies, "message -> reply | ..."; each reply ends in CR LF, and
    // "(restart)" stands for a restart without a reply.
    QTest::addColumn<QByteArray>("exchange");
    QTest::newRow("queries answer the factory values") << QByteArray() << QByteArray("MAC -> MAC:02:00:00:00:00:01 | ip -> ip:192.168.0.10 | MASK -> MASK:255.255.255.0 | GATEWAY -> GATEWAY:192.168.0.1 | PORT TCP -> PORT TCP:502 | parity -> parity:0 | SPEED RS485 -> SPEED RS485:9600 | STOP BIT -> STOP BIT:1 | IP SERVER TCP -> IP SERVER TCP:192.168.0.100 | TIMEOUT TCP -> TIMEOUT TCP:1000");
    QTest::newRow("a change waits for RESET, in its plain form") << QByteArray() << QByteArray("CHANGE IP:010.0.0.5 -> OK | ip -> ip:192.168.0.10 | RESET -> (restart) | ip -> ip:10.0.0.5");
    QTest::newRow("the last valid value staged wins") << QByteArray() << QByteArray("CHANGE IP:10.0.0.5 -> OK | CHANGE IP:10.0.0.6 -> OK | CHANGE IP:10.0.0.256 -> ERR bad value | CHANGE MASK:255.255.0.0 -> OK | RESET -> (restart) | ip -> ip:10.0.0.6 | MASK -> MASK:255.255.0.0");
    QTest::newRow("a second RESET changes nothing") << QByteArray() << QByteArray("CHANGE PORT TCP:10000 -> OK | RESET -> (restart) | RESET -> (restart) | PORT TCP -> PORT TCP:10000");
    QTest::newRow("empty value") << QByteArray() << QByteArray("CHANGE MASK: -> ERR empty value | RESET -> (restart) | MASK -> MASK:255.255.255.0");
    QTest::newRow("parity only as its code") << QByteArray() << QByteArray("CHANGE PARITY:odd -> ERR bad value | CHANGE PARITY:1 -> OK | RESET -> (restart) | parity -> parity:1");
    QTest::newRow("unknown commands change nothing") << QByteArray() << QByteArray(" -> ERR unknown command | IP -> ERR unknown command | mask -> ERR unknown command | ip  -> ERR unknown command | ip\r\n -> ERR unknown command | reset -> ERR unknown command | RESET\r\n -> ERR unknown command | CHANGE MAC:02:00:00:00:00:02 -> ERR unknown command | change ip:10.0.0.5 -> ERR unknown command | CHANGE IP 10.0.0.5 -> ERR unknown command | CHANGE  IP:10.0.0.5 -> ERR unknown command | RESET -> (restart) | ip -> ip:192.168.0.10");
    QTest::newRow("refused by its keyword, even a bad value") << QByteArray("mask") << QByteArray("CHANGE MASK:255.255.0.0 -> ERR refused | CHANGE MASK:255.0.255.0 -> ERR refused | CHANGE GATEWAY:10.0.0.1 -> OK | RESET -> (restart) | MASK -> MASK:255.255.255.0 | GATEWAY -> GATEWAY:10.0.0.1");
    QTest::newRow("refused by its command, loosely spelt") << QByteArray(" change  mask: ") << QByteArray("CHANGE MASK:255.255.0.0 -> ERR refused");
    QTest::newRow("refusing ip spares the server address") << QByteArray("IP") << QByteArray("CHANGE IP:10.0.0.1 -> ERR refused | CHANGE IP SERVER TCP:10.0.0.1 -> OK");
    QTest::newRow("refusing the server address spares ip") << QByteArray("CHANGE IP SERVER TCP:") << QByteArray("CHANGE IP SERVER TCP:10.0.0.1 -> ERR refused | CHANGE IP:10.0.0.1 -> OK");
}
// clang-format on

void TestSimDevice::exchanges()
{
    QFETCH(QByteArray, refused);
    QFETCH(QByteArray, exchange);
    sim::SimDevice device;
    QVERIFY(refused.isNull() || device.refuse(refused));
    for (const QByteArray &pair : exchange.split('|')) {
        const QByteArray message =
            pair.left(pair.indexOf(" -> ")).mid(pair.startsWith(' ') ? 1 : 0);
        const sim::Reply reply = device.handle(message);
        QCOMPARE(reply.restart ? "(restart)" + reply.bytes : reply.bytes,
                 pair.mid(pair.indexOf(" -> ") + 4).trimmed() + (reply.restart ? "" : "\r\n"));
    }
}

void TestSimDevice::refuseNeedsAChangeCommand()
{
    for (const char *name : {"", "MAC", "CHANGE MAC", "CHANGE", "RESET", "SERVER", "PORT"})
        QVERIFY2(!sim::SimDevice().refuse(name), name);
}

// The line's timing divides by the speed and names the parity by its code.
void TestSimDevice::lineNeedsRealValues()
{
    const auto rule = [](const char *key, const char *value) {
        return sim::lineRule(protocol::parameterIndex(key), value);
    };
    QVERIFY(!rule("speed", "0").isEmpty());
    QVERIFY(!rule("parity", "5").isEmpty());
    QVERIFY(!rule("stop_bits", "0").isEmpty());
    QVERIFY(rule("speed", "19200").isEmpty());
    QVERIFY(rule("tcp_port", "8080").isEmpty());
}

QTEST_APPLESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
