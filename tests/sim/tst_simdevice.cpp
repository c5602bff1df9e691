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
};

// clang-format off
void TestSimDevice::exchanges_data()
{
    QTest::addColumn<QByteArray>("refused"); // the name given to refuse(), if any
    QTest::addColumn<QByteArrayList>("exchange"); // messages, each followed by its reply
    const QByteArray ok = "OK\r\n", bad = "ERR bad value\r\n", unknown = "ERR unknown command\r\n";
    const QByteArray refused = "ERR refused\r\n", restart = "(restart)";
    QTest::newRow("queries answer the factory values") << QByteArray() << QByteArrayList{
        "MAC", "MAC:02:00:00:00:00:01\r\n", "ip", "ip:192.168.0.10\r\n", "MASK", "MASK:255.255.255.0\r\n",
        "GATEWAY", "GATEWAY:192.168.0.1\r\n", "PORT TCP", "PORT TCP:502\r\n", "parity", "parity:0\r\n",
        "SPEED RS485", "SPEED RS485:9600\r\n", "STOP BIT", "STOP BIT:1\r\n",
        "IP SERVER TCP", "IP SERVER TCP:192.168.0.100\r\n", "TIMEOUT TCP", "TIMEOUT TCP:1000\r\n"};
    QTest::newRow("a change waits for RESET, in its plain form") << QByteArray() << QByteArrayList{
        "CHANGE IP:010.0.0.5", ok, "ip", "ip:192.168.0.10\r\n", "RESET", restart, "ip", "ip:10.0.0.5\r\n"};
    QTest::newRow("the last valid value staged wins") << QByteArray() << QByteArrayList{
        "CHANGE IP:10.0.0.5", ok, "CHANGE IP:10.0.0.6", ok, "CHANGE IP:10.0.0.256", bad,
        "CHANGE MASK:255.255.0.0", ok, "RESET", restart, "ip", "ip:10.0.0.6\r\n", "MASK", "MASK:255.255.0.0\r\n"};
    QTest::newRow("a second RESET changes nothing") << QByteArray() << QByteArrayList{
        "CHANGE PORT TCP:10000", ok, "RESET", restart, "RESET", restart, "PORT TCP", "PORT TCP:10000\r\n"};
    QTest::newRow("empty value") << QByteArray() << QByteArrayList{
        "CHANGE MASK:", "ERR empty value\r\n", "RESET", restart, "MASK", "MASK:255.255.255.0\r\n"};
    QTest::newRow("parity only as its code") << QByteArray() << QByteArrayList{
        "CHANGE PARITY:odd", bad, "CHANGE PARITY:1", ok, "RESET", restart, "parity", "parity:1\r\n"};
    QTest::newRow("unknown commands change nothing") << QByteArray() << QByteArrayList{
        "", unknown, "IP", unknown, "mask", unknown, "ip ", unknown, "ip\r\n", unknown, "reset", unknown,
        "RESET\r\n", unknown, "CHANGE MAC:02:00:00:00:00:02", unknown, "change ip:10.0.0.5", unknown,
        "CHANGE IP 10.0.0.5", unknown, "CHANGE  IP:10.0.0.5", unknown, "RESET", restart, "ip", "ip:192.168.0.10\r\n"};
    QTest::newRow("refused by its keyword, even a bad value") << QByteArray("mask") << QByteArrayList{
        "CHANGE MASK:255.255.0.0", refused, "CHANGE MASK:255.0.255.0", refused, "CHANGE GATEWAY:10.0.0.1", ok,
        "RESET", restart, "MASK", "MASK:255.255.255.0\r\n", "GATEWAY", "GATEWAY:10.0.0.1\r\n"};
    QTest::newRow("refused by its command, loosely spelt") << QByteArray(" change  mask: ") << QByteArrayList{
        "CHANGE MASK:255.255.0.0", refused};
    QTest::newRow("refusing ip spares the server address") << QByteArray("IP") << QByteArrayList{
        "CHANGE IP:10.0.0.1", refused, "CHANGE IP SERVER TCP:10.0.0.1", ok};
    QTest::newRow("refusing the server address spares ip") << QByteArray("CHANGE IP SERVER TCP:") << QByteArrayList{
        "CHANGE IP SERVER TCP:10.0.0.1", refused, "CHANGE IP:10.0.0.1", ok};
}
// clang-format on

void TestSimDevice::exchanges()
{
    QFETCH(QByteArray, refused);
    QFETCH(QByteArrayList, exchange);
    sim::SimDevice device;
    QVERIFY(refused.isNull() || device.refuse(refused));
    for (int i = 0; i + 1 < exchange.size(); i += 2) {
        const sim::Reply reply = device.handle(exchange[i]);
        QCOMPARE(reply.restart ? QByteArray("(restart)") + reply.bytes : reply.bytes,
                 exchange[i + 1]);
    }
}

void TestSimDevice::refuseNeedsAChangeCommand()
{
    for (const char *name : {"", "MAC", "CHANGE MAC", "CHANGE", "RESET", "SERVER", "PORT"})
        QVERIFY2(!sim::SimDevice().refuse(name), name);
}

QTEST_APPLESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
