#include "simdevice.h"

#include <QtTest>

using sim::SimDevice;

namespace {

QByteArrayList allAnswers(SimDevice &device)
{
    QByteArrayList answers;
    for (const sim::Parameter &parameter : sim::parameters)
        answers << device.handle(parameter.query).bytes;
    return answers;
}

} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT

private slots:
    void answersQueries_data();
    void answersQueries();
    void rejectsUnknownMessages_data();
    void rejectsUnknownMessages();
    void changes_data();
    void changes();
    void stagedValuesWaitForReset();
    void refuse_data();
    void refuse();
    void refuseNeedsAChangeCommand_data();
    void refuseNeedsAChangeCommand();
};

void TestSimDevice::answersQueries_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("MAC") << QByteArray("MAC") << QByteArray("MAC:02:00:00:00:00:01\r\n");
    QTest::newRow("ip") << QByteArray("ip") << QByteArray("ip:192.168.0.10\r\n");
    QTest::newRow("MASK") << QByteArray("MASK") << QByteArray("MASK:255.255.255.0\r\n");
    QTest::newRow("GATEWAY") << QByteArray("GATEWAY") << QByteArray("GATEWAY:192.168.0.1\r\n");
    QTest::newRow("PORT TCP") << QByteArray("PORT TCP") << QByteArray("PORT TCP:502\r\n");
    QTest::newRow("parity") << QByteArray("parity") << QByteArray("parity:0\r\n");
    QTest::newRow("SPEED RS485") << QByteArray("SPEED RS485") << QByteArray("SPEED RS485:9600\r\n");
    QTest::newRow("STOP BIT") << QByteArray("STOP BIT") << QByteArray("STOP BIT:1\r\n");
    QTest::newRow("IP SERVER TCP")
        << QByteArray("IP SERVER TCP") << QByteArray("IP SERVER TCP:192.168.0.100\r\n");
    QTest::newRow("TIMEOUT TCP") << QByteArray("TIMEOUT TCP") << QByteArray("TIMEOUT TCP:1000\r\n");
}

void TestSimDevice::answersQueries()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, reply);
    SimDevice device;
    const sim::Reply answer = device.handle(message);
    QCOMPARE(answer.bytes, reply);
    QVERIFY(!answer.restart);
}

void TestSimDevice::rejectsUnknownMessages_data()
{
    QTest::addColumn<QByteArray>("message");
    const char *const messages[] = {
        "",
        "IP",
        "PARITY",
        "mask",
        " ip",
        "ip ",
        "ipx",
        "ip:",
        "MAC:",
        "reset",
        " RESET",
        "CHANGE MAC:02:00:00:00:00:02",
        "change ip:10.0.0.5",
        "CHANGE IP 10.0.0.5",
        "CHANGE IP",
        "CHANGE  IP:10.0.0.5",
    };
    for (const char *message : messages)
        QTest::newRow(message) << QByteArray(message);
    QTest::newRow("ip CRLF") << QByteArray("ip\r\n");
    QTest::newRow("RESET CRLF") << QByteArray("RESET\r\n");
    QTest::newRow("binary") << QByteArray("\xff\x00ip", 4);
}

void TestSimDevice::rejectsUnknownMessages()
{
    QFETCH(QByteArray, message);
    SimDevice device;
    const QByteArrayList before = allAnswers(device);
    const sim::Reply answer = device.handle(message);
    QCOMPARE(answer.bytes, QByteArray("ERR unknown command\r\n"));
    QVERIFY(!answer.restart);
    device.handle("RESET");
    QCOMPARE(allAnswers(device), before);
}

void TestSimDevice::changes_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("applied");

    const QByteArray ok = "OK\r\n";
    const QByteArray bad = "ERR bad value\r\n";
    const QByteArray empty = "ERR empty value\r\n";
    const auto row = [](const char *message, const QByteArray &reply, const char *query,
                        const char *applied) {
        QTest::newRow(message) << QByteArray(message) << reply << QByteArray(query)
                               << QByteArray(applied);
    };

    row("CHANGE IP:10.0.0.5", ok, "ip", "10.0.0.5");
    row("CHANGE IP:255.255.255.255", ok, "ip", "255.255.255.255");
    row("CHANGE IP:010.000.000.005", ok, "ip", "10.0.0.5");
    row("CHANGE IP:256.1.1.1", bad, "ip", "192.168.0.10");
    row("CHANGE IP:1.2.3", bad, "ip", "192.168.0.10");
    row("CHANGE IP:1.2.3.4.5", bad, "ip", "192.168.0.10");
    row("CHANGE IP: 1.2.3.4", bad, "ip", "192.168.0.10");
    row("CHANGE IP:1.2.3.4 ", bad, "ip", "192.168.0.10");
    row("CHANGE IP:1..3.4", bad, "ip", "192.168.0.10");
    row("CHANGE IP:+1.2.3.4", bad, "ip", "192.168.0.10");
    row("CHANGE IP:1.2.3.0004", bad, "ip", "192.168.0.10");
    row("CHANGE IP:", empty, "ip", "192.168.0.10");

    row("CHANGE MASK:255.255.0.0", ok, "MASK", "255.255.0.0");
    row("CHANGE MASK:255.255.255.254", ok, "MASK", "255.255.255.254");
    row("CHANGE MASK:255.0.255.0", bad, "MASK", "255.255.255.0");
    row("CHANGE MASK:0.255.255.255", bad, "MASK", "255.255.255.0");
    row("CHANGE MASK:0.0.0.0", bad, "MASK", "255.255.255.0");
    row("CHANGE MASK:255.255.255.255", bad, "MASK", "255.255.255.0");
    row("CHANGE MASK:", empty, "MASK", "255.255.255.0");

    row("CHANGE GATEWAY:10.0.0.1", ok, "GATEWAY", "10.0.0.1");
    row("CHANGE GATEWAY:10.0.0", bad, "GATEWAY", "192.168.0.1");

    row("CHANGE PORT TCP:10000", ok, "PORT TCP", "10000");
    row("CHANGE PORT TCP:65535", ok, "PORT TCP", "65535");
    row("CHANGE PORT TCP:0502", ok, "PORT TCP", "502");
    row("CHANGE PORT TCP:501", bad, "PORT TCP", "502");
    row("CHANGE PORT TCP:9999", bad, "PORT TCP", "502");
    row("CHANGE PORT TCP:65536", bad, "PORT TCP", "502");
    row("CHANGE PORT TCP:99999999999999", bad, "PORT TCP", "502");
    row("CHANGE PORT TCP:abc", bad, "PORT TCP", "502");
    row("CHANGE PORT TCP:", empty, "PORT TCP", "502");

    row("CHANGE PARITY:1", ok, "parity", "1");
    row("CHANGE PARITY:3", bad, "parity", "0");
    row("CHANGE PARITY:1a", bad, "parity", "0");

    row("CHANGE SPEED RS485:1200", ok, "SPEED RS485", "1200");
    row("CHANGE SPEED RS485:256000", ok, "SPEED RS485", "256000");
    row("CHANGE SPEED RS485:14400", bad, "SPEED RS485", "9600");
    row("CHANGE SPEED RS485:", empty, "SPEED RS485", "9600");

    row("CHANGE STOP BIT:2", ok, "STOP BIT", "2");
    row("CHANGE STOP BIT:0", bad, "STOP BIT", "1");
    row("CHANGE STOP BIT:3", bad, "STOP BIT", "1");

    row("CHANGE IP SERVER TCP:10.0.0.100", ok, "IP SERVER TCP", "10.0.0.100");
    row("CHANGE IP SERVER TCP:10.0.0.300", bad, "IP SERVER TCP", "192.168.0.100");

    row("CHANGE TIMEOUT TCP:1", ok, "TIMEOUT TCP", "1");
    row("CHANGE TIMEOUT TCP:65535", ok, "TIMEOUT TCP", "65535");
    row("CHANGE TIMEOUT TCP:0", bad, "TIMEOUT TCP", "1000");
    row("CHANGE TIMEOUT TCP:65536", bad, "TIMEOUT TCP", "1000");
    row("CHANGE TIMEOUT TCP:", empty, "TIMEOUT TCP", "1000");
}

void TestSimDevice::changes()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, applied);
    SimDevice device;
    const QByteArray before = device.handle(query).bytes;

    const sim::Reply answer = device.handle(message);
    QCOMPARE(answer.bytes, reply);
    QVERIFY(!answer.restart);
    QCOMPARE(device.handle(query).bytes, before);

    const sim::Reply reset = device.handle("RESET");
    QVERIFY(reset.restart);
    QVERIFY(reset.bytes.isEmpty());
    QCOMPARE(device.handle(query).bytes, query + ':' + applied + "\r\n");
}

void TestSimDevice::stagedValuesWaitForReset()
{
    SimDevice device;
    QCOMPARE(device.handle("CHANGE IP:10.0.0.5").bytes, QByteArray("OK\r\n"));
    QCOMPARE(device.handle("CHANGE IP:10.0.0.6").bytes, QByteArray("OK\r\n"));
    QCOMPARE(device.handle("CHANGE IP:10.0.0.256").bytes, QByteArray("ERR bad value\r\n"));
    QCOMPARE(device.handle("CHANGE MASK:255.255.0.0").bytes, QByteArray("OK\r\n"));
    QCOMPARE(device.staged().ip, QByteArray("10.0.0.6"));
    QCOMPARE(device.handle("ip").bytes, QByteArray("ip:192.168.0.10\r\n"));

    device.handle("RESET");
    QCOMPARE(device.handle("ip").bytes, QByteArray("ip:10.0.0.6\r\n"));
    QCOMPARE(device.handle("MASK").bytes, QByteArray("MASK:255.255.0.0\r\n"));

    const QByteArrayList applied = allAnswers(device);
    device.handle("RESET");
    QCOMPARE(allAnswers(device), applied);
}

void TestSimDevice::refuse_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("refused");
    const auto row = [](const char *tag, const char *name, const char *message, bool refused) {
        QTest::newRow(tag) << QByteArray(name) << QByteArray(message) << refused;
    };
    row("command", "CHANGE MASK", "CHANGE MASK:255.255.0.0", true);
    row("with colon", "CHANGE MASK:", "CHANGE MASK:255.255.0.0", true);
    row("keyword", "mask", "CHANGE MASK:255.255.0.0", true);
    row("loose blanks", " change  mask ", "CHANGE MASK:255.255.0.0", true);
    row("even a bad value", "MASK", "CHANGE MASK:255.0.255.0", true);
    row("others still work", "MASK", "CHANGE GATEWAY:10.0.0.1", false);
    row("IP spares server", "IP", "CHANGE IP SERVER TCP:10.0.0.1", false);
    row("server spares IP", "IP SERVER TCP", "CHANGE IP:10.0.0.1", false);
}

void TestSimDevice::refuse()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, message);
    QFETCH(bool, refused);
    SimDevice device;
    const QByteArrayList factory = allAnswers(device);
    QVERIFY(device.refuse(name));
    QCOMPARE(device.handle(message).bytes, QByteArray(refused ? "ERR refused\r\n" : "OK\r\n"));
    device.handle("RESET");
    QCOMPARE(allAnswers(device) == factory, refused);
}
void TestSimDevice::refuseNeedsAChangeCommand_data()
{
    QTest::addColumn<QByteArray>("name");
    for (const char *name : {"", "MAC", "CHANGE MAC", "CHANGE", "RESET", "SERVER", "PORT"})
        QTest::newRow(name) << QByteArray(name);
}

void TestSimDevice::refuseNeedsAChangeCommand()
{
    QFETCH(QByteArray, name);
    QVERIFY(!SimDevice().refuse(name));
}

QTEST_APPLESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
