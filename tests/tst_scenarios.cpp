// What the window shows and sends, as scripted exchanges with a device on a pseudo-terminal: one
// table of named cases per run kind. How answers are cut and values matched is the core's, tested
// in tst_core; the rows here prove that the window wires it.

#include "rig.h"

#include <QTest>

// Pieces the scripts share.
// clang-format off
namespace {
const QString closedState = "expect enabled:connect,enabled:conbox0,enabled:serialPortInfoListBox,enabled:scanport=yes; expect enabled:closeport,enabled:scan_parameters,enabled:applyButton,enabled:Reset=no";
const QString openState = "expect enabled:closeport,enabled:scan_parameters,enabled:applyButton,enabled:Reset=yes; expect enabled:connect,enabled:conbox0,enabled:serialPortInfoListBox,enabled:scanport=no";
const QString serverRows = "visible:lineEdit_ipservertcp,visible:lineEdit_timeout,visible:label_ipserver,visible:label_timeout";
const QString writeError = "<FONT COLOR='#800000'> Ошибка записи </FONT>";
const QString writeErrorTight = "<FONT COLOR='#800000'>Ошибка записи </FONT>";
const QString lostBox = "box Critical Critical Error -> Ошибка соединения";
const QString unconfirmed = "box Critical Ошибка -> <FONT COLOR='#800000'>Устройство не подтвердило изменение параметров: ";
const QString success = "box Information Результы изменения -> <FONT COLOR='#008000'>Изменение параметров Modbus %1 было успешно</FONT>";
const QString readBack = "expect lineEdit_MAC=02:00:00:00:00:01 plain; expect lineEdit_ip=192.168.0.10 plain; expect lineEdit_mask=255.255.255.0 plain; expect lineEdit_gateway=192.168.0.1 plain; expect lineEdit_portTCP=502 plain; expect comboBox=3 plain; expect comboBox_speed=8 plain; expect comboBox_2=2 plain";
const QString commands = "CHANGE IP:192.168.0.10||CHANGE MASK:255.255.255.0||CHANGE GATEWAY:192.168.0.1||CHANGE PORT TCP:502||CHANGE PARITY:2||CHANGE SPEED RS485:9600||CHANGE STOP BIT:1||";
const QString changeLog = "log change ip--- \"CHANGE IP:192.168.0.10\"; log change mask--- \"CHANGE MASK:255.255.255.0\"; log \"CHANGE PORT TCP:502\"; log \"CHANGE SPEED RS485:9600\"";
} // namespace
// clang-format on

class ScenarioTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { verifyNothingLeftOpen(); }
    void serialLink_data();
    void serialLink() { playRow(); }
    void queryRun_data();
    void queryRun() { playRow(); }
    void changeRun_data();
    void changeRun() { playRow(); }
};

// clang-format off
void ScenarioTest::serialLink_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("port-closed and port-open states") << closedState + "; expect enabled:lineEdit_MAC=no; expect icon=4 sizes; open tcp-rtu; expect status=Connected; " + openState + "; click closeport; expect status=Disconnected; " + closedState + "; expect run=idle; no-box";
    QTest::newRow("server rows: hidden in TCP-RTU, shown in RTU-TCP, closing keeps them") << "expect " + serverRows + "=yes; open tcp-rtu; expect " + serverRows + "=no; click closeport; expect " + serverRows + "=no; open rtu-tcp; expect " + serverRows + "=yes; click closeport; expect " + serverRows + "=yes";
    QTest::newRow("missing device: box, then status, counters reset") << "set conbox0=1; scan-tick; change-tick; expect run=scan off 1, change off 1; list /dev/tcprtu-no-such-port; click connect; box Critical Отказано в доступе -> Ошибка соединения; at-box status=; expect status=ПортDCON отказано в доступе; expect run=idle; " + closedState;
    for (const char *error : {"ResourceError", "ReadError"})
        QTest::newRow(error) << QString("open tcp-rtu; click scan_parameters; tick; error %1; ").arg(error) + lostBox + "; expect run=idle; expect status=Disconnected";
    for (const char *error : {"ParityError", "FramingError", "WriteError", "TimeoutError", "UnknownError"})
        QTest::newRow(error) << QString("open tcp-rtu; click scan_parameters; tick; error %1; no-box; expect run=scan on 1, change off 0; expect status=Connected").arg(error);
    // The line lost before, during and at the end of every run, with and without a restart asked for.
    const struct { const char *button, *mode; int ticks; } runs[] = {{"scan_parameters", "tcp-rtu", 9}, {"scan_parameters", "rtu-tcp", 11}, {"applyButton", "tcp-rtu", 15}, {"applyButton", "rtu-tcp", 19}};
    for (const auto &run : runs) {
        for (const int ticks : {0, run.ticks / 2, run.ticks - 1}) {
            QTest::addRow("line lost, %s %s, %d ticks", run.button, run.mode, ticks) << QString("open %1; click %2; skip %3; drop; %4; at-box status=Disconnected; expect run=idle; ").arg(run.mode, run.button).arg(ticks).arg(lostBox) + closedState;
            QTest::addRow("line lost, %s %s, %d ticks, restart asked for", run.button, run.mode, ticks) << QString("open %1; click %2; skip %3; click Reset; drop; no-box; expect run=idle; expect status=Disconnected").arg(run.mode, run.button).arg(ticks);
        }
    }
    QTest::newRow("loss after the restart button is quiet, on that connection only") << "open tcp-rtu; click Reset; wire RESET; log pb clicked!; drop; log reseted!!!!!; no-box; expect status=Disconnected; expect run=idle; newline; click connect; drop; " + lostBox;
}

void ScenarioTest::queryRun_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("TCP-RTU read") << "open tcp-rtu; set lineEdit_ipservertcp=old; click scan_parameters; expect lineEdit_ipservertcp= plain; device reads; tick 9; wire MAC|ip|MASK|GATEWAY|PORT TCP|parity|SPEED RS485|STOP BIT|; expect run=idle; " + readBack + "; expect lineEdit_ipservertcp= plain; expect lineEdit_timeout= plain";
    QTest::newRow("RTU-TCP read") << "open rtu-tcp; click scan_parameters; device reads; tick 11; wire MAC|ip|MASK|GATEWAY|PORT TCP|parity|SPEED RS485|STOP BIT|IP SERVER TCP|TIMEOUT TCP|; expect run=idle; " + readBack + "; expect lineEdit_ipservertcp=192.168.0.100 plain; expect lineEdit_timeout=1000 plain";
    QTest::newRow("second click stops, a new run clears") << "open rtu-tcp; click scan_parameters; tick 2; reply ip:1.2.3.4\\r\\n; skip 5; reply SPEED RS485:9600\\r\\n; click scan_parameters; expect run=idle; expect lineEdit_ip=1.2.3.4 green; expect comboBox_speed=4 green; click scan_parameters; expect run=scan on 0, change off 0; expect lineEdit_ip= plain; expect comboBox_speed=0 plain";
    QTest::newRow("query run ends a change run") << "open tcp-rtu; click applyButton; tick; click scan_parameters; expect run=scan on 0, change off 0";
    QTest::newRow("TCP-RTU tick on a closed port resets the run") << "open tcp-rtu; click scan_parameters; tick 2; yank; scan-tick; log error connecting; expect run=idle";
    QTest::newRow("text outside a run is only logged") << "open tcp-rtu; reply ip:10.0.0.1\\r\\n; log \"data 2:ip:10.0.0.1\"; expect data-lines=1; expect lineEdit_ip= plain; wire ";

    struct Answer { const char *name; int step; const char *reply; const char *field; const char *result; };
    const Answer answers[] = {
        {"a field filled green",               2, "ip:10.0.0.1\\r\\n",        "lineEdit_ip",      "10.0.0.1 green"},
        {"prefix only: red",                   2, "ip:\\r\\n",                "lineEdit_ip",      " red"},
        {"a choice matched: green",            7, "SPEED RS485:9600\\r\\n",   "comboBox_speed",   "4 green"},
        {"no such choice: red",                6, "parity:3\\r\\n",           "comboBox",         "0 red"},
        {"bytes after a zero byte dropped",    2, "ip:10.0.0.1\\0junk\\r\\n", "lineEdit_ip",      "10.0.0.1 green"},
        {"zero byte first: ignored",           2, "\\0ip:10.0.0.1\\r\\n",     "lineEdit_ip",      " plain"},
        {"CR and LF anywhere",                 5, "PORT\\r TCP:\\n50\\r2\\n",  "lineEdit_portTCP", "502 green"},
        {"only CR LF: ignored",                2, "\\r\\n",                   "lineEdit_ip",      " plain"},
        {"late answer taken by the next step", 3, "ip:10.9.8.7\\r\\n",        "lineEdit_mask",    ".9.8.7 green"},
    };
    // An ignored reply is not even logged.
    for (const Answer &a : answers)
        QTest::newRow(a.name) << QString("open rtu-tcp; click scan_parameters; tick %1; reply %2; expect %3=%4; expect data-lines=%5; expect run=scan on %1, change off 0").arg(a.step).arg(a.reply, a.field, a.result).arg(QString(a.result).endsWith("plain") ? 0 : 1);
    // Each text field shows as much of a long value as it is wide.
    const struct { int step; const char *query, *field; int width; } widths[] = {{1, "MAC", "lineEdit_MAC", 18}, {2, "ip", "lineEdit_ip", 15}, {3, "MASK", "lineEdit_mask", 16}, {4, "GATEWAY", "lineEdit_gateway", 15}, {5, "PORT TCP", "lineEdit_portTCP", 6}, {9, "IP SERVER TCP", "lineEdit_ipservertcp", 16}, {10, "TIMEOUT TCP", "lineEdit_timeout", 5}};
    const QString digits = "12345678901234567890";
    for (const auto &w : widths)
        QTest::addRow("%s cut to %d", w.field, w.width) << QString("open rtu-tcp; click scan_parameters; tick %1; reply %2:%3\\r\\n; expect %4=%5 green").arg(w.step).arg(w.query, digits, w.field, digits.left(w.width));
    QTest::newRow("MAC in two pieces 20 ms apart") << "open tcp-rtu; click scan_parameters; tick; piece MAC:02:00:00:0; piece 0:00:01\\r\\n; expect lineEdit_MAC=02:00:00:00:00:01 green; expect data-lines=1";
    QTest::newRow("MAC byte by byte, no line end") << "open tcp-rtu; click scan_parameters; tick; piece M; piece AC:0; piece 2; pause 80; expect lineEdit_MAC=02 green; expect data-lines=1";
}

void ScenarioTest::changeRun_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("TCP-RTU write, every change confirmed") << "open tcp-rtu; fill; click applyButton; device ok; tick 15; wire " + commands + "RESET; " + success.arg("TCP-RTU") + "; at-box lineEdit_ip=192.168.0.10 green; at-box comboBox_2=1 green; at-box port=open; at-box restart=expected; expect lineEdit_ip=192.168.0.10 plain; expect status=Connected; expect run=idle; " + changeLog;
    QTest::newRow("RTU-TCP write, every change confirmed") << "open rtu-tcp; fill; click applyButton; device ok; tick 19; wire " + commands + "CHANGE IP SERVER TCP:192.168.0.100||CHANGE TIMEOUT TCP:1000||RESET; " + success.arg("RTU-TCP") + "; at-box lineEdit_ip=192.168.0.10 green; at-box port=closed; at-box restart=unexpected; expect comboBox_2=1 plain; expect status=Disconnected; expect run=idle; " + changeLog + "; log \"CHANGE IP SERVER TCP:192.168.0.100\"";
    QTest::newRow("silent device") << "open rtu-tcp; fill; click applyButton; tick 19; " + unconfirmed + "IP-адрес, Маска подсети, IP-адрес шлюза, Порт TCP (502, 10000-65535), Паритет, Скорость RS-485, Количество стоп бит, IP-адрес сервера TCP, Таймаут TCP</FONT>; expect lineEdit_ip=192.168.0.10 plain";
    QTest::newRow("one change left unanswered") << "open tcp-rtu; fill; click applyButton; device ok-except:CHANGE GATEWAY; tick 15; " + unconfirmed + "IP-адрес шлюза</FONT>; at-box restart=expected";

    struct Value { const char *name; const char *field; const char *value; int step; const char *command; };
    const Value values[] = {
        {"empty field sends the keyword alone", "lineEdit_mask",    "",           3, "CHANGE MASK:"},
        {"text as typed, not trimmed",          "lineEdit_gateway", " 10.0.0.1 ", 5, "CHANGE GATEWAY: 10.0.0.1 "},
        {"text through Latin-1",                "lineEdit_portTCP", "5é2",        7, "CHANGE PORT TCP:5é2"},
        {"blank parity",                        "comboBox",         "0",          9, "CHANGE PARITY:"},
    };
    for (const Value &v : values)
        QTest::newRow(v.name) << QString("open rtu-tcp; fill; set %1=%2; click applyButton; skip %3; tick; wire %4").arg(v.field, v.value).arg(v.step - 1).arg(v.command);

    struct Verdict { const char *name; int step; const char *reply; const char *field; const QString *refusal; };
    const Verdict verdicts[] = {
        {"OK CR LF accepts",            1,  "OK\\r\\n",   "lineEdit_ip=192.168.0.10",     nullptr},
        {"OK at the idle step accepts", 6,  "OK",         "lineEdit_gateway=192.168.0.1", nullptr},
        {"lower-case ok refuses",       1,  "ok\\r\\n",   "lineEdit_ip=192.168.0.10",     &writeError},
        {"TCP port refusal",            7,  "ERR\\r\\n",  "lineEdit_portTCP=502",         &writeErrorTight},
        {"stop bits refusal",           14, "NO\\r\\n",   "comboBox_2=1",                 &writeErrorTight},
    };
    for (const Verdict &v : verdicts) {
        const QString start = QString("open rtu-tcp; fill; click applyButton; skip %1; reply %2; ").arg(v.step).arg(v.reply);
        QTest::newRow(v.name) << start + (v.refusal ? QString("expect %1 red; box Critical Ошибка -> %2; expect run=idle; wire ").arg(v.field, *v.refusal) : QString("expect %1 green; expect run=scan off 0, change on %2; no-box").arg(v.field).arg(v.step));
    }
    QTest::newRow("value read at its own step") << "open tcp-rtu; fill; click applyButton; skip 1; set lineEdit_gateway=10.0.0.254; skip 3; tick; wire CHANGE GATEWAY:10.0.0.254";
    QTest::newRow("second click cancels") << "open tcp-rtu; fill; click applyButton; tick; reply OK\\r\\n; click applyButton; expect run=idle; expect lineEdit_ip=192.168.0.10 green; wire CHANGE IP:192.168.0.10; no-box";
    QTest::newRow("apply ends a query run") << "open tcp-rtu; click scan_parameters; tick; click applyButton; expect run=scan off 0, change on 0";
}
// clang-format on

QTEST_MAIN(ScenarioTest)
#include "tst_scenarios.moc"
