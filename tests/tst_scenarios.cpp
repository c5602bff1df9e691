#include "script.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

const QString closedState = "expect enabled:connect,conbox0,serialPortInfoListBox,scanport=yes; "
                            "expect enabled:closeport,scan_parameters,applyButton,Reset=no";
const QString openState = "expect enabled:closeport,scan_parameters,applyButton,Reset=yes; expect "
                          "enabled:connect,conbox0,serialPortInfoListBox,scanport=no";
const QString serverRows =
    "visible:lineEdit_ipservertcp,lineEdit_timeout,label_ipserver,label_timeout";
const QString accessBox = "box critical Отказано в доступе -> Ошибка соединения";
const QString lostBox = "box critical Critical Error -> Ошибка соединения";
const QString writeError = "<FONT COLOR='#800000'> Ошибка записи </FONT>";
const QString writeErrorTight = "<FONT COLOR='#800000'>Ошибка записи </FONT>";
const QString unconfirmed =
    "box critical Ошибка -> <FONT COLOR='#800000'>Устройство не подтвердило изменение параметров: ";
const QString success = "box information Результы изменения -> <FONT COLOR='#008000'>Изменение "
                        "параметров Modbus %1 было успешно</FONT>";
const QString readBack =
    "expect lineEdit_MAC=02:00:00:00:00:01 plain; expect lineEdit_ip=192.168.0.10 plain; expect "
    "lineEdit_mask=255.255.255.0 plain; expect lineEdit_gateway=192.168.0.1 plain; expect "
    "lineEdit_portTCP=502 plain; expect comboBox=3 plain; expect comboBox_speed=8 plain; expect "
    "comboBox_2=2 plain";
const QString commands =
    "CHANGE IP:192.168.0.10||CHANGE MASK:255.255.255.0||CHANGE GATEWAY:192.168.0.1||CHANGE PORT "
    "TCP:502||CHANGE PARITY:2||CHANGE SPEED RS485:9600||CHANGE STOP BIT:1||";
const QString changeLog =
    "log change ip--- \"CHANGE IP:192.168.0.10\"; log change mask--- \"CHANGE "
    "MASK:255.255.255.0\"; log \"CHANGE PORT TCP:502\"; log \"CHANGE SPEED RS485:9600\"";

} // namespace

class ScenarioTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { verifyNothingLeftOpen(); }
    void serialLink_data();
    void serialLink() { run(); }
    void queryRun_data();
    void queryRun() { run(); }
    void changeRun_data();
    void changeRun() { run(); }
    void closingTheWindowEndsTheRun();
    void oneSecondPacing();

private:
    void run();
};

void ScenarioTest::run()
{
    QFETCH(QString, script);
    Rig rig;
    play(rig, script);
}

// clang-format off
void ScenarioTest::serialLink_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("port-closed and port-open states") << closedState + "; expect enabled:lineEdit_MAC=no; open tcp-rtu; expect status=Connected; " + openState + "; expect enabled:lineEdit_MAC=no; click closeport; expect status=Disconnected; " + closedState + "; expect run=idle; no-box";
    QTest::newRow("TCP-RTU hides the server rows, closing keeps that") << "expect " + serverRows + "=yes; open tcp-rtu; expect " + serverRows + "=no; click closeport; expect " + serverRows + "=no";
    QTest::newRow("RTU-TCP shows the server rows, closing keeps that") << "open tcp-rtu; click closeport; open rtu-tcp; expect " + serverRows + "=yes; click closeport; expect " + serverRows + "=yes";
    QTest::newRow("missing device: box, then status, counters reset") << "set conbox0=1; scan-tick; change-tick; expect run=timers 0 0, steps 1 1; list /dev/tcprtu-no-such-port; click connect; " + accessBox + "; at-box status=; expect status=ПортDCON отказано в доступе; expect run=idle; " + closedState;
    QTest::newRow("no port listed") << "list; click connect; " + accessBox + "; expect status=ПортDCON отказано в доступе; expect run=idle; expect enabled:connect=yes";
    QTest::newRow("port held by another program") << "hold; click connect; " + accessBox + "; expect port=closed; expect enabled:connect=yes";
    QTest::newRow("closing a closed port changes nothing") << "set conbox0=1; scan-tick; change-tick; closeport; expect status=; expect run=timers 0 0, steps 1 1; " + closedState;
    for (const char *run : {"scan_parameters", "applyButton"}) {
        for (const char *mode : {"tcp-rtu", "rtu-tcp"})
            QTest::addRow("line lost during %s, %s", run, mode) << QString("open %1; click %2; tick; drop; ").arg(mode, run) + lostBox + "; at-box status=Disconnected; at-box port=closed; expect run=idle; " + closedState + "; quiet; no-box";
    }
    for (const char *error : {"ResourceError", "ReadError"})
        QTest::newRow(error) << QString("open tcp-rtu; click scan_parameters; tick; error %1; ").arg(error) + lostBox + "; expect run=idle; expect status=Disconnected";
    for (const char *error : {"ParityError", "FramingError", "WriteError", "TimeoutError", "UnknownError"})
        QTest::newRow(error) << QString("open tcp-rtu; click scan_parameters; tick; error %1; no-box; expect run=scan 1; expect status=Connected").arg(error);
    QTest::newRow("loss after the restart button is quiet, on that connection only") << "open tcp-rtu; click Reset; sent RESET; log pb clicked!; drop; log reseted!!!!!; no-box; expect status=Disconnected; expect run=idle; newline; click connect; drop; " + lostBox;
}

void ScenarioTest::queryRun_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("TCP-RTU read") << "open tcp-rtu; set lineEdit_ipservertcp=old; click scan_parameters; expect lineEdit_ipservertcp= plain; device reads; tick 9; wire MAC|ip|MASK|GATEWAY|PORT TCP|parity|SPEED RS485|STOP BIT|; expect run=idle; " + readBack + "; expect lineEdit_ipservertcp= plain; expect lineEdit_timeout= plain";
    QTest::newRow("RTU-TCP read") << "open rtu-tcp; click scan_parameters; device reads; tick 11; wire MAC|ip|MASK|GATEWAY|PORT TCP|parity|SPEED RS485|STOP BIT|IP SERVER TCP|TIMEOUT TCP|; expect run=idle; " + readBack + "; expect lineEdit_ipservertcp=192.168.0.100 plain; expect lineEdit_timeout=1000 plain";
    QTest::newRow("second click stops, a new run clears") << "open rtu-tcp; click scan_parameters; tick 2; reply ip:1.2.3.4\\r\\n; skip 5; reply SPEED RS485:9600\\r\\n; click scan_parameters; expect run=idle; expect lineEdit_ip=1.2.3.4 green; expect comboBox_speed=4 green; click scan_parameters; expect run=scan 0; expect lineEdit_ip= plain; expect comboBox_speed=0 plain";
    QTest::newRow("query run ends a change run") << "open tcp-rtu; click applyButton; tick; click scan_parameters; expect run=scan 0";
    QTest::newRow("TCP-RTU tick on a closed port resets the run") << "open tcp-rtu; click scan_parameters; tick 2; yank; scan-tick; log error connecting; expect run=idle";
    QTest::newRow("text outside a run is only logged") << "open tcp-rtu; reply ip:10.0.0.1\\r\\n; log \"data 2:ip:10.0.0.1\"; expect data-lines=1; expect lineEdit_ip= plain; sent";

    struct Answer { const char *name; int step; const char *reply; const char *field; const char *result; };
    const Answer answers[] = {
        {"prefix skipped, not examined",     2,  "xyz10.1.2.3\\r\\n",           "lineEdit_ip",      "10.1.2.3 green"},
        {"prefix only",                      2,  "ip:\\r\\n",                   "lineEdit_ip",      " red"},
        {"prefix only, no line end",         2,  "ip:",                         "lineEdit_ip",      " red"},
        {"cut to its limit",                 2,  "ip:1234567890123456789\\r\\n", "lineEdit_ip",     "123456789012345 green"},
        {"value not trimmed",                4,  "GATEWAY: 10.0.0.1 \\r\\n",    "lineEdit_gateway", " 10.0.0.1  green"},
        {"bytes after a zero byte dropped",  2,  "ip:10.0.0.1\\0junk\\r\\n",    "lineEdit_ip",      "10.0.0.1 green"},
        {"zero byte first: ignored",         2,  "\\0ip:10.0.0.1\\r\\n",        "lineEdit_ip",      " plain"},
        {"CR and LF anywhere",               5,  "PORT\\r TCP:\\n50\\r2\\n",     "lineEdit_portTCP", "502 green"},
        {"only CR LF: ignored",              2,  "\\r\\n",                      "lineEdit_ip",      " plain"},
        {"MAC",                              1,  "MAC:02:00:00:00:00:01\\r\\n", "lineEdit_MAC",     "02:00:00:00:00:01 green"},
        {"time-out cut to 5",                10, "TIMEOUT TCP:1234567\\r\\n",   "lineEdit_timeout", "12345 green"},
        {"parity 0",                         6,  "parity:0\\r\\n",              "comboBox",         "1 green"},
        {"parity 3 refused",                 6,  "parity:3\\r\\n",              "comboBox",         "0 red"},
        {"speed 9600",                       7,  "SPEED RS485:9600\\r\\n",      "comboBox_speed",   "4 green"},
        {"speed 256000, no line end",        7,  "SPEED RS485:256000",          "comboBox_speed",   "10 green"},
        {"speed 14400 refused",              7,  "SPEED RS485:14400\\r\\n",     "comboBox_speed",   "0 red"},
        {"two stop bits",                    8,  "STOP BIT:2\\r\\n",            "comboBox_2",       "2 green"},
        {"stop bit after a blank refused",   8,  "STOP BIT: 1\\r\\n",           "comboBox_2",       "0 red"},
        {"late answer taken by the next step", 3, "ip:10.9.8.7\\r\\n",          "lineEdit_mask",    ".9.8.7 green"},
    };
    for (const Answer &a : answers) {
        const bool ignored = QString(a.result).endsWith("plain");
        QTest::newRow(a.name) << QString("open rtu-tcp; click scan_parameters; tick %1; reply %2; expect %3=%4; expect data-lines=%5; expect run=scan %1").arg(a.step).arg(a.reply, a.field, a.result).arg(ignored ? 0 : 1);
    }
    QTest::newRow("MAC in two pieces 20 ms apart") << "open tcp-rtu; click scan_parameters; tick; piece MAC:02:00:00:0; piece 0:00:01\\r\\n; expect lineEdit_MAC=02:00:00:00:00:01 green; expect data-lines=1";
    QTest::newRow("MAC byte by byte, no line end") << "open tcp-rtu; click scan_parameters; tick; piece M; piece AC:0; piece 2; pause 80; expect lineEdit_MAC=02 green; expect data-lines=1";
    QTest::newRow("line end alone afterwards changes nothing") << "open tcp-rtu; click scan_parameters; tick; piece MAC:02:00:00:00:00:01\\r; piece \\n; expect lineEdit_MAC=02:00:00:00:00:01 green; expect data-lines=1";
    QTest::newRow("pieces far apart are two answers") << "open tcp-rtu; click scan_parameters; tick; piece MAC:02:00:00:00:00:01; pause 100; piece AB; pause 100; expect lineEdit_MAC=02:00:00:00:00:01 red; expect data-lines=2";
}

void ScenarioTest::changeRun_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("TCP-RTU write, every change confirmed") << "open tcp-rtu; fill; click applyButton; device ok; tick 15; wire " + commands + "RESET; " + success.arg("TCP-RTU") + "; at-box lineEdit_ip=192.168.0.10 green; at-box comboBox_2=1 green; at-box port=open; at-box restart=expected; expect lineEdit_ip=192.168.0.10 plain; expect status=Connected; expect run=idle; " + changeLog;
    QTest::newRow("RTU-TCP write, every change confirmed") << "open rtu-tcp; fill; click applyButton; device ok; tick 19; wire " + commands + "CHANGE IP SERVER TCP:192.168.0.100||CHANGE TIMEOUT TCP:1000||RESET; " + success.arg("RTU-TCP") + "; at-box lineEdit_ip=192.168.0.10 green; at-box port=closed; at-box restart=unexpected; expect comboBox_2=1 plain; expect status=Disconnected; expect run=idle; " + changeLog + "; log \"CHANGE IP SERVER TCP:192.168.0.100\"";
    QTest::newRow("silent device, TCP-RTU") << "open tcp-rtu; fill; click applyButton; tick 15; sent " + QString(commands).remove('|') + "RESET; " + unconfirmed + "IP-адрес, Маска подсети, IP-адрес шлюза, Порт TCP (502, 10000-65535), Паритет, Скорость RS-485, Количество стоп бит</FONT>; expect lineEdit_ip=192.168.0.10 plain";
    QTest::newRow("silent device, RTU-TCP") << "open rtu-tcp; fill; click applyButton; tick 19; " + unconfirmed + "IP-адрес, Маска подсети, IP-адрес шлюза, Порт TCP (502, 10000-65535), Паритет, Скорость RS-485, Количество стоп бит, IP-адрес сервера TCP, Таймаут TCP</FONT>";
    QTest::newRow("one change left unanswered") << "open rtu-tcp; fill; click applyButton; device ok-except:CHANGE GATEWAY; tick 19; " + unconfirmed + "IP-адрес шлюза</FONT>";
    QTest::newRow("device drops the line while the box is open") << "open tcp-rtu; fill; click applyButton; device ok; tick 14; drop-during-box; tick; " + success.arg("TCP-RTU") + "; at-box port=closed; log reseted!!!!!; no-box; expect status=Disconnected; expect run=idle";

    struct Value { const char *name; const char *field; const char *value; int step; const char *command; };
    const Value values[] = {
        {"empty field sends the keyword alone", "lineEdit_mask",    "",           3,  "CHANGE MASK:"},
        {"text as typed, not trimmed",          "lineEdit_gateway", " 10.0.0.1 ", 5,  "CHANGE GATEWAY: 10.0.0.1 "},
        {"text through Latin-1",                "lineEdit_portTCP", "5é2",        7,  "CHANGE PORT TCP:5\\xe92"},
        {"blank parity",                        "comboBox",         "0",          9,  "CHANGE PARITY:"},
        {"no parity",                           "comboBox",         "1",          9,  "CHANGE PARITY:0"},
        {"speed 1200",                          "comboBox_speed",   "1",          11, "CHANGE SPEED RS485:1200"},
        {"speed 256000",                        "comboBox_speed",   "10",         11, "CHANGE SPEED RS485:256000"},
        {"two stop bits",                       "comboBox_2",       "2",          13, "CHANGE STOP BIT:2"},
        {"time-out",                            "lineEdit_timeout", "30",         17, "CHANGE TIMEOUT TCP:30"},
    };
    for (const Value &v : values)
        QTest::newRow(v.name) << QString("open rtu-tcp; fill; set %1=%2; click applyButton; skip %3; tick; sent %4").arg(v.field, v.value).arg(v.step - 1).arg(v.command);

    struct Verdict { const char *name; int step; const char *reply; const char *field; const char *refusal; };
    const Verdict verdicts[] = {
        {"OK CR LF accepts",             1,  "OK\\r\\n",  "lineEdit_ip=192.168.0.10",   nullptr},
        {"OK LF accepts",                3,  "OK\\n",     "lineEdit_mask=255.255.255.0", nullptr},
        {"OK at the idle step accepts",  6,  "OK",        "lineEdit_gateway=192.168.0.1", nullptr},
        {"lower-case ok refuses",        1,  "ok\\r\\n",  "lineEdit_ip=192.168.0.10",   "wide"},
        {"OK and a blank refuses",       9,  "OK \\r\\n", "comboBox=3",                 "wide"},
        {"error text refuses",           11, "ERROR\\r\\n", "comboBox_speed=4",         "wide"},
        {"TCP port refusal, tight text", 7,  "ERR\\r\\n", "lineEdit_portTCP=502",       "tight"},
        {"stop bits refusal, tight text", 14, "NO\\r\\n", "comboBox_2=1",               "tight"},
        {"time-out refusal",             17, "ERR\\r\\n", "lineEdit_timeout=1000",      "wide"},
    };
    for (const Verdict &v : verdicts) {
        const QString start = QString("open rtu-tcp; fill; click applyButton; skip %1; reply %2; ").arg(v.step).arg(v.reply);
        if (!v.refusal)
            QTest::newRow(v.name) << start + QString("expect %1 green; expect run=change %2; no-box").arg(v.field).arg(v.step);
        else
            QTest::newRow(v.name) << start + QString("expect %1 red; box critical Ошибка -> %2; expect run=idle; sent").arg(v.field, QString(v.refusal) == "tight" ? writeErrorTight : writeError);
    }
    QTest::newRow("value read at its own step") << "open tcp-rtu; fill; click applyButton; skip 1; set lineEdit_gateway=10.0.0.254; skip 3; tick; sent CHANGE GATEWAY:10.0.0.254";
    QTest::newRow("second click cancels") << "open tcp-rtu; fill; click applyButton; tick; reply OK\\r\\n; click applyButton; expect run=idle; expect lineEdit_ip=192.168.0.10 green; sent CHANGE IP:192.168.0.10; no-box";
    QTest::newRow("apply ends a query run") << "open tcp-rtu; click scan_parameters; tick; click applyButton; expect run=change 0";
    QTest::newRow("restart button during a run") << "open tcp-rtu; fill; click applyButton; tick; sent CHANGE IP:192.168.0.10; click Reset; sent RESET; log pb clicked!; expect run=change 1; skip 1; tick; sent CHANGE MASK:255.255.255.0";
}
// clang-format on

void ScenarioTest::closingTheWindowEndsTheRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    rig.ui().scan_parameters->click();
    rig.probe.scanTimer()->setInterval(10);
    QVERIFY(!rig.pty.waitForBytes().isEmpty());
    rig.window.reset();
    QVERIFY(rig.pty.take(100).isEmpty());
}

void ScenarioTest::oneSecondPacing()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    QElapsedTimer clock;
    clock.start();
    rig.ui().scan_parameters->click();
    const QByteArray first = rig.pty.waitForBytes(1500, 30);
    const qint64 firstMs = clock.elapsed();
    const QByteArray second = rig.pty.waitForBytes(1500, 30);
    const qint64 secondMs = clock.elapsed();
    QCOMPARE(first + '|' + second, QByteArray("MAC|ip"));
    // A one-second timer may fire up to 5% early or late.
    QVERIFY2(firstMs >= 900 && firstMs < 1300, qPrintable(QString::number(firstMs)));
    QVERIFY2(secondMs >= 1850 && secondMs < 2300, qPrintable(QString::number(secondMs)));
}

QTEST_MAIN(ScenarioTest)
#include "tst_scenarios.moc"
