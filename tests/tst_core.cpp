// The protocol core on its own: answers to values, pieces to replies, values to verdicts.

#include "protocol.h"
#include "replyframer.h"

#include <QTest>

namespace {

const protocol::Parameter &parameter(const QByteArray &key)
{
    return protocol::parameters[protocol::parameterIndex(QString::fromLatin1(key))];
}

// One event of a framer row: the bytes of a read at a time in ms, or, with null bytes, a look
// whether the line has fallen quiet.
using Events = QList<QPair<int, QByteArray>>;

} // namespace

class CoreTest : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void replies_data();
    void replies();
    void framer_data();
    void framer();
    void check_data();
    void check();
    void network_data();
    void network();
};

// clang-format off
void CoreTest::answers_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("choice");
    QTest::addColumn<bool>("answers"); // whether it answers the parameter's query at all
    struct Row { const char *key, *answer, *value; int choice; bool answers; };
    const Row rows[] = {
        // The value is everything after the prefix, however long.
        {"gateway",   "GATEWAY:192.168.100.254",         "192.168.100.254",    -1, true},
        {"timeout",   "TIMEOUT TCP:65535",               "65535",              -1, true},
        {"mac",       "MAC:02:00:00:00:00:01Z9",         "02:00:00:00:00:01Z9", -1, true},
        // A choice is matched to its code exactly.
        {"parity", "parity:0", "0", 0, true},       {"parity", "parity:2", "2", 2, true},
        {"parity", "parity:3", "3", -1, true},      {"parity", "parity:none", "none", -1, true},
        {"speed", "SPEED RS485:1200", "1200", 0, true}, {"speed", "SPEED RS485:256000", "256000", 9, true},
        {"speed", "SPEED RS485:14400", "14400", -1, true}, {"speed", "SPEED RS485:09600", "09600", -1, true},
        {"stop_bits", "STOP BIT:2", "2", 1, true},  {"stop_bits", "STOP BIT: 1", " 1", -1, true},
        // The keyword in any letter case, then one character that is no letter, digit or blank.
        {"ip", "IP:10.0.0.1", "10.0.0.1", -1, true}, {"speed", "speed rs485=9600", "9600", 3, true},
        {"ip", "IP SERVER TCP:1.2.3.4", "SERVER TCP:1.2.3.4", -1, false},
        {"ip", "ipx:1", ":1", -1, false},           {"tcp_port", "PORT TCP1", "", -1, false},
        {"tcp_port", "PORT TCP 502", "502", -1, false}, {"mac", "MAC", "", -1, false},
        {"mask", "MAC:02:00", "2:00", -1, false},
        // The prefix is only counted, and the value is not trimmed.
        {"ip", "xyz10.1.2.3", "10.1.2.3", -1, false}, {"gateway", "GATEWAY: 10.0.0.1 ", " 10.0.0.1 ", -1, true},
    };
    for (const Row &r : rows)
        QTest::addRow("%s %s", r.key, r.answer) << QByteArray(r.key) << QString(r.answer) << QString(r.value) << r.choice << r.answers;
}

void CoreTest::replies_data()
{
    QTest::addColumn<QByteArray>("key"); // the question asked
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("text");     // the reply judged whole
    QTest::addColumn<QByteArrayList>("lines"); // each line judged: its value, "late" or "other"
    const struct { const char *key; QByteArray reply; const char *text; QByteArrayList lines; } rows[] = {
        {"gateway", "GATEWAY: 192.168.100.254 \r\n", "GATEWAY: 192.168.100.254 ", {"192.168.100.254"}},
        {"ip", QByteArray("ip:10.0.0.1\0\0\r\n", 15), "ip:10.0.0.1", {"10.0.0.1"}},
        {"ip", QByteArray("\0ip:10.0.0.1", 12), "", {}},
        {"gateway", "ip:10.9.9.9\r\nGATEWAY:10.0.0.1\r\n", "ip:10.9.9.9GATEWAY:10.0.0.1", {"late", "10.0.0.1"}},
        {"ip", "IP SERVER TCP:1.2.3.4\rip:1.2.3.5\n", "IP SERVER TCP:1.2.3.4ip:1.2.3.5", {"late", "1.2.3.5"}},
        {"mac", "ERR unknown command\r\n", "ERR unknown command", {"other"}},
        {"ip", "ip:  \r\n\r\n", "ip:  ", {"other"}},
        {"ip", "OK\r\n", "OK", {"other"}},
    };
    for (const auto &r : rows)
        QTest::addRow("%s %s", r.key, protocol::escaped(r.reply).toLatin1().constData()) << QByteArray(r.key) << r.reply << QByteArray(r.text) << r.lines;
}

void CoreTest::framer_data()
{
    QTest::addColumn<Events>("events");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<int>("msUntilQuiet"); // after the last event
    const QByteArray nearlyFull(ReplyFramer::maxBytes - 1, 'x');
    QTest::newRow("CR ends") << Events{{0, "ip:1"}, {10, "0\r"}} << QByteArrayList{"ip:10\r"} << -1;
    QTest::newRow("LF ends") << Events{{0, "OK\n"}} << QByteArrayList{"OK\n"} << -1;
    QTest::newRow("quiet after 50 ms") << Events{{0, "OK"}, {50, {}}} << QByteArrayList{"OK"} << -1;
    QTest::newRow("not yet quiet at 49 ms") << Events{{0, "OK"}, {49, {}}} << QByteArrayList{} << 1;
    QTest::newRow("quiet counts from the last piece") << Events{{0, "O"}, {40, "K"}, {60, {}}} << QByteArrayList{} << 30;
    QTest::newRow("quiet 50 ms after the last piece") << Events{{0, "O"}, {40, "K"}, {60, {}}, {90, {}}} << QByteArrayList{"OK"} << -1;
    QTest::newRow("an empty read is no byte") << Events{{0, "OK"}, {40, ""}, {50, {}}} << QByteArrayList{"OK"} << -1;
    QTest::newRow("nothing held") << Events{{0, ""}, {100, {}}} << QByteArrayList{} << -1;
    QTest::newRow("taken at exactly 4 KiB") << Events{{0, nearlyFull}, {1, "y"}, {2, "a"}} << QByteArrayList{nearlyFull + "y"} << 50;
}

void CoreTest::check_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("plain"); // empty: refused
    const char *const rows[][3] = {
        {"ip", "10.0.0.1", "10.0.0.1"}, {"ip", "010.0.0.1", "10.0.0.1"}, {"ip", "255.255.255.255", "255.255.255.255"},
        {"ip", "256.0.0.1", ""}, {"ip", "1.2.3", ""}, {"ip", "1.2.3.4.5", ""}, {"ip", "1..3.4", ""},
        {"ip", " 1.2.3.4", ""}, {"ip", "+1.2.3.4", ""}, {"ip", "1.2.3.0004", ""}, {"ip", "", ""},
        {"gateway", "192.168.0.1", "192.168.0.1"}, {"server_ip", "10.0.0.300", ""},
        {"mask", "255.255.255.0", "255.255.255.0"}, {"mask", "128.0.0.0", "128.0.0.0"},
        {"mask", "255.255.255.254", "255.255.255.254"}, {"mask", "255.0.255.0", ""},
        {"mask", "0.255.255.255", ""}, {"mask", "0.0.0.0", ""}, {"mask", "255.255.255.255", ""},
        {"tcp_port", "502", "502"}, {"tcp_port", "0502", "502"}, {"tcp_port", "10000", "10000"},
        {"tcp_port", "65535", "65535"}, {"tcp_port", "503", ""}, {"tcp_port", "9999", ""},
        {"tcp_port", "65536", ""}, {"tcp_port", "99999999999999", ""}, {"tcp_port", "abc", ""},
        {"parity", "0", "0"}, {"parity", "02", "2"}, {"parity", "3", ""}, {"parity", "none", ""},
        {"speed", "1200", "1200"}, {"speed", "09600", "9600"}, {"speed", "256000", "256000"}, {"speed", "14400", ""},
        {"stop_bits", "1", "1"}, {"stop_bits", "2", "2"}, {"stop_bits", "0", ""}, {"stop_bits", "3", ""},
        {"timeout", "1", "1"}, {"timeout", "65535", "65535"}, {"timeout", "0", ""}, {"timeout", "65536", ""},
        {"mac", "02:00:00:ab:cd:ef", "02:00:00:AB:CD:EF"}, {"mac", "02-00-00-AB-CD-EF", "02:00:00:AB:CD:EF"},
        {"mac", "020000abcdef", "02:00:00:AB:CD:EF"}, {"mac", "02:00:00:ab:cd", ""},
        {"mac", "02:00-00:ab:cd:ef", ""}, {"mac", "0200:00ab:cdef", ""}, {"mac", "02:00:00:ab:cd:e:", ""},
        {"mac", "02:00:00:ab:cd:eg", ""}, {"mac", "02:00:00:ab:cd:ef:01", ""},
    };
    for (const auto &[key, text, plain] : rows)
        QTest::addRow("%s %s", key, text) << QByteArray(key) << QByteArray(text) << QByteArray(plain);
}
// clang-format on

void CoreTest::network_data()
{
    QTest::addColumn<QByteArrayList>("settings"); // ip, mask, gateway, server_ip
    QTest::addColumn<QString>("problems");        // each up to its advice, joined by " | "
    const struct
    {
        const char *name;
        QByteArrayList settings;
        const char *problems;
    } rows[] = {
        {"sound", {"192.168.0.10", "255.255.255.0", "192.168.0.1", ""}, ""},
        {"no gateway", {"192.168.0.10", "255.255.255.0", "0.0.0.0", ""}, ""},
        {"loopback", {"127.0.0.2", "255.0.0.0", "0.0.0.0", "127.0.0.3"}, ""},
        {"gateway elsewhere",
         {"192.168.0.10", "255.255.255.0", "192.168.1.1", ""},
         "gateway 192.168.1.1 lies outside the subnet of ip 192.168.0.10 and mask 255.255.255.0"},
        {"/8 reaches far", {"10.1.2.3", "255.0.0.0", "10.200.0.1", ""}, ""},
        {"/16 reaches the next /24", {"172.16.0.10", "255.255.0.0", "172.16.1.1", ""}, ""},
        {"/30 ends short of the /24",
         {"10.0.0.1", "255.255.255.252", "10.0.0.5", ""},
         "gateway 10.0.0.5 lies outside the subnet of ip 10.0.0.1 and mask 255.255.255.252"},
        {"/31 holds its peer", {"10.0.0.0", "255.255.255.254", "10.0.0.1", ""}, ""},
        {"/31 holds no more",
         {"10.0.0.0", "255.255.255.254", "10.0.0.2", ""},
         "gateway 10.0.0.2 lies outside the subnet of ip 10.0.0.0 and mask 255.255.255.254"},
        {"network address",
         {"10.0.0.0", "255.255.255.0", "10.0.0.1", ""},
         "ip 10.0.0.0 is the network address of its subnet (ip and mask)"},
        {"broadcast address",
         {"10.0.0.255", "255.255.255.0", "10.0.0.1", ""},
         "ip 10.0.0.255 is the broadcast address of its subnet (ip and mask)"},
        {"gateway at the network address",
         {"10.0.0.5", "255.255.255.0", "10.0.0.0", ""},
         "gateway 10.0.0.0 is the network address of the subnet of ip 10.0.0.5 and mask "
         "255.255.255.0"},
        {"gateway at the broadcast address",
         {"10.0.0.5", "255.255.0.0", "10.0.255.255", ""},
         "gateway 10.0.255.255 is the broadcast address of the subnet of ip 10.0.0.5 and mask "
         "255.255.0.0"},
        {"ip is the gateway",
         {"10.0.0.1", "255.255.255.0", "10.0.0.1", ""},
         "ip and gateway are both 10.0.0.1"},
        {"multicast ip",
         {"239.1.1.1", "255.255.255.0", "0.0.0.0", ""},
         "ip 239.1.1.1 is a multicast address (224.0.0.0/4)"},
        {"reserved ip",
         {"240.0.0.1", "255.0.0.0", "0.0.0.0", ""},
         "ip 240.0.0.1 is reserved (0.0.0.0/8, 240.0.0.0/4)"},
        {"this network",
         {"0.1.2.3", "255.0.0.0", "0.0.0.0", ""},
         "ip 0.1.2.3 is reserved (0.0.0.0/8, 240.0.0.0/4)"},
        {"server is itself",
         {"10.0.0.2", "255.255.255.0", "10.0.0.1", "10.0.0.2"},
         "server_ip and ip are both 10.0.0.2"},
        {"server multicast",
         {"10.0.0.2", "255.255.255.0", "10.0.0.1", "224.0.0.1"},
         "server_ip 224.0.0.1 is a multicast address (224.0.0.0/4)"},
        {"server elsewhere", {"10.0.0.2", "255.255.255.0", "10.0.0.1", "10.9.0.2"}, ""},
        {"no address is left to the value check",
         {"10.0.0.300", "255.255.255.0", "10.9.9.9", ""},
         ""},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << r.settings << QString(r.problems);
}

void CoreTest::answers()
{
    QFETCH(QByteArray, key);
    QFETCH(QString, answer);
    QFETCH(QString, value);
    QFETCH(int, choice);
    QFETCH(bool, answers);
    QCOMPARE(protocol::answerValue(parameter(key), answer), value);
    QCOMPARE(protocol::choiceIndex(parameter(key), value), choice);
    QCOMPARE(protocol::isAnswerTo(parameter(key), answer.toLatin1()), answers);
}

void CoreTest::replies()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, lines);
    QCOMPARE(protocol::replyText(reply), text);
    QByteArrayList judged;
    for (const QByteArray &line : protocol::replyLines(reply)) {
        const protocol::Answer answer = protocol::readAnswer(parameter(key), line);
        judged << (answer.kind == protocol::Answer::Value  ? answer.value
                   : answer.kind == protocol::Answer::Late ? QByteArray("late")
                                                           : QByteArray("other"));
    }
    QCOMPARE(judged, lines);
}

void CoreTest::framer()
{
    QFETCH(Events, events);
    QFETCH(QByteArrayList, replies);
    QFETCH(int, msUntilQuiet);
    qint64 now = 0;
    ReplyFramer framer([&now] { return now; });
    QByteArrayList taken;
    for (const auto &[at, bytes] : events) {
        now = at;
        const std::optional<QByteArray> reply =
            bytes.isNull() ? framer.takeIfQuiet() : framer.feed(bytes);
        if (reply)
            taken << *reply;
    }
    QCOMPARE(taken, replies);
    QCOMPARE(framer.msUntilQuiet(), msUntilQuiet);
}

void CoreTest::check()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, plain);
    const protocol::Checked checked = protocol::check(parameter(key), text);
    QCOMPARE(checked.value, plain);
    // A refusal names the rule broken; a valid value has none.
    QCOMPARE(checked.rule.isEmpty(), !plain.isEmpty());
}

void CoreTest::network()
{
    QFETCH(QByteArrayList, settings);
    QFETCH(QString, problems);
    QStringList found;
    for (const protocol::NetworkProblem &problem :
         protocol::networkProblems(settings[0], settings[1], settings[2], settings[3])) {
        // Every rule says what to do about it.
        QVERIFY2(problem.message.contains("; "), qPrintable(problem.message));
        found << problem.message.section("; ", 0, 0);
    }
    QCOMPARE(found.join(" | "), problems);
}

QTEST_APPLESS_MAIN(CoreTest)
#include "tst_core.moc"
