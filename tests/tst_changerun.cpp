#include "rig.h"

#include <QRegularExpression>
#include <QTest>

namespace {

// The values the user has typed or picked before pressing the apply button.
void fillForm(Rig &rig)
{
    Ui::MainWindow &ui = rig.ui();
    ui.lineEdit_MAC->setText("02:00:00:00:00:01");
    ui.lineEdit_ip->setText("192.168.0.10");
    ui.lineEdit_mask->setText("255.255.255.0");
    ui.lineEdit_gateway->setText("192.168.0.1");
    ui.lineEdit_portTCP->setText("502");
    ui.comboBox->setCurrentIndex(3);
    ui.comboBox_speed->setCurrentIndex(4);
    ui.comboBox_2->setCurrentIndex(1);
    ui.lineEdit_ipservertcp->setText("192.168.0.100");
    ui.lineEdit_timeout->setText("1000");
}

const QList<QByteArray> commandsTcpRtu = {
    "CHANGE IP:192.168.0.10", "CHANGE MASK:255.255.255.0", "CHANGE GATEWAY:192.168.0.1",
    "CHANGE PORT TCP:502",    "CHANGE PARITY:2",           "CHANGE SPEED RS485:9600",
    "CHANGE STOP BIT:1"};
const QList<QByteArray> commandsRtuTcp =
    commandsTcpRtu +
    QList<QByteArray>{"CHANGE IP SERVER TCP:192.168.0.100", "CHANGE TIMEOUT TCP:1000"};

const QString writeError = "<FONT COLOR='#800000'> Ошибка записи </FONT>";
const QString writeErrorTight = "<FONT COLOR='#800000'>Ошибка записи </FONT>";

struct RunOutcome
{
    QList<QByteArray> wire; // what each tick wrote
    QStringList fieldColoursWhileBoxOpen;
    bool portOpenWhileBoxOpen = false;
    bool resetRequestedWhileBoxOpen = false;
};

// Drives a whole change run tick by tick; `answer` gives the device's reply to each command.
RunOutcome runChange(Rig &rig, const std::function<QByteArray(const QByteArray &)> &answer)
{
    RunOutcome outcome;
    rig.boxes.whileOpen = [&](const BoxRecord &) {
        for (QWidget *field : {static_cast<QWidget *>(rig.ui().lineEdit_ip),
                               static_cast<QWidget *>(rig.ui().comboBox_2)})
            outcome.fieldColoursWhileBoxOpen << field->styleSheet();
        outcome.portOpenWhileBoxOpen = rig.probe.serial().isOpen();
        outcome.resetRequestedWhileBoxOpen = rig.probe.resetRequested();
    };
    rig.startChange();
    while (rig.probe.changeTimer()->isActive()) {
        const QByteArray sent = rig.changeTick();
        outcome.wire << sent;
        if (!sent.isEmpty() && sent != "RESET")
            rig.reply(answer(sent));
    }
    outcome.wire << rig.pty.take();
    return outcome;
}

QList<QByteArray> expectedWire(const QList<QByteArray> &commands)
{
    QList<QByteArray> wire;
    for (const QByteArray &command : commands)
        wire << command << QByteArray();
    return wire << "RESET" << QByteArray();
}

} // namespace

class ChangeRunTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void acceptedWrite_data();
    void acceptedWrite();
    void unconfirmedWrite_data();
    void unconfirmedWrite();
    void values_data();
    void values();
    void verdicts_data();
    void verdicts();
    void valueIsReadAtItsStep();
    void secondClickCancels();
    void applyEndsAQueryRun();
    void restartButtonDuringARun();
    void restartDropsTheLineWhileTheBoxIsOpen();
};

void ChangeRunTest::cleanup()
{
    verifyNothingLeftOpen();
}

void ChangeRunTest::acceptedWrite_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QString>("success");
    QTest::newRow("TCP-RTU")
        << int(Rig::TcpRtu) << commandsTcpRtu
        << "<FONT COLOR='#008000'>Изменение параметров Modbus TCP-RTU было успешно</FONT>";
    QTest::newRow("RTU-TCP")
        << int(Rig::RtuTcp) << commandsRtuTcp
        << "<FONT COLOR='#008000'>Изменение параметров Modbus RTU-TCP было успешно</FONT>";
}

void ChangeRunTest::acceptedWrite()
{
    QFETCH(int, mode);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QString, success);
    Rig rig;
    QVERIFY(rig.open(Rig::Mode(mode)));
    fillForm(rig);
    LogCapture log;
    const RunOutcome outcome = runChange(rig, [](const QByteArray &) { return "OK\r\n"; });

    QCOMPARE(outcome.wire, expectedWire(commands));
    QCOMPARE(outcome.wire.first().size(), 22);
    QCOMPARE(rig.boxes.boxes.size(), 1);
    const BoxRecord box = rig.boxes.boxes.first();
    QCOMPARE(box.title, QString("Результы изменения"));
    QCOMPARE(box.text, success);
    QCOMPARE(box.icon, QMessageBox::Information);
    QVERIFY(box.richText);
    QCOMPARE(box.parent, rig.window.get());
    QCOMPARE(outcome.fieldColoursWhileBoxOpen, (QStringList{green, green}));

    // RTU-TCP closes the port itself; TCP-RTU expects the device to drop it as it restarts.
    QCOMPARE(outcome.portOpenWhileBoxOpen, mode == Rig::TcpRtu);
    QCOMPARE(outcome.resetRequestedWhileBoxOpen, mode == Rig::TcpRtu);
    QCOMPARE(rig.ui().statusbar->currentMessage(),
             QString(mode == Rig::TcpRtu ? "Connected" : "Disconnected"));
    QVERIFY(rig.ui().lineEdit_ip->styleSheet().isEmpty());
    QVERIFY(rig.ui().comboBox_2->styleSheet().isEmpty());
    QCOMPARE(rig.probe.changeStep(), 0);

    QStringList changeLines = log.lines().filter(QRegularExpression("^(change|\"CHANGE)"));
    QStringList expectedLines = {"change ip--- \"CHANGE IP:192.168.0.10\"",
                                 "change mask--- \"CHANGE MASK:255.255.255.0\"",
                                 "\"CHANGE PORT TCP:502\"", "\"CHANGE SPEED RS485:9600\""};
    if (mode == Rig::RtuTcp)
        expectedLines << "\"CHANGE IP SERVER TCP:192.168.0.100\"";
    QCOMPARE(changeLines, expectedLines);
}

void ChangeRunTest::unconfirmedWrite_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("silentOn");
    QTest::addColumn<QString>("named");
    QTest::newRow("silent device, TCP-RTU")
        << int(Rig::TcpRtu) << QByteArray("CHANGE")
        << "IP-адрес, Маска подсети, IP-адрес шлюза, Порт TCP (502, 10000-65535), Паритет, "
           "Скорость RS-485, Количество стоп бит";
    QTest::newRow("silent device, RTU-TCP")
        << int(Rig::RtuTcp) << QByteArray("CHANGE")
        << "IP-адрес, Маска подсети, IP-адрес шлюза, Порт TCP (502, 10000-65535), Паритет, "
           "Скорость RS-485, Количество стоп бит, IP-адрес сервера TCP, Таймаут TCP";
    QTest::newRow("one answer missing")
        << int(Rig::RtuTcp) << QByteArray("CHANGE GATEWAY") << "IP-адрес шлюза";
}

void ChangeRunTest::unconfirmedWrite()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, silentOn);
    QFETCH(QString, named);
    Rig rig;
    QVERIFY(rig.open(Rig::Mode(mode)));
    fillForm(rig);
    const RunOutcome outcome = runChange(rig, [&](const QByteArray &command) {
        return command.startsWith(silentOn) ? QByteArray() : QByteArray("OK\r\n");
    });

    QVERIFY(outcome.wire.contains("RESET"));
    QCOMPARE(rig.boxes.boxes.size(), 1);
    const BoxRecord box = rig.boxes.boxes.first();
    QCOMPARE(box.title, QString("Ошибка"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(box.richText);
    QVERIFY(box.text.startsWith("<FONT COLOR='#800000'>"));
    QVERIFY2(box.text.endsWith(": " + named + "</FONT>"), qPrintable(box.text));
    QVERIFY(rig.ui().lineEdit_ip->styleSheet().isEmpty());
}

void ChangeRunTest::values_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("empty field sends the keyword alone")
        << "lineEdit_mask" << QVariant("") << 3 << QByteArray("CHANGE MASK:");
    QTest::newRow("text as typed, not trimmed") << "lineEdit_gateway" << QVariant(" 10.0.0.1 ") << 5
                                                << QByteArray("CHANGE GATEWAY: 10.0.0.1 ");
    QTest::newRow("text through Latin-1") << "lineEdit_portTCP" << QVariant("5é2") << 7
                                          << QByteArray("CHANGE PORT TCP:5\xe9"
                                                        "2");
    QTest::newRow("blank parity") << "comboBox" << QVariant(0) << 9 << QByteArray("CHANGE PARITY:");
    QTest::newRow("parity none") << "comboBox" << QVariant(1) << 9 << QByteArray("CHANGE PARITY:0");
    QTest::newRow("speed 1200") << "comboBox_speed" << QVariant(1) << 11
                                << QByteArray("CHANGE SPEED RS485:1200");
    QTest::newRow("speed 256000") << "comboBox_speed" << QVariant(10) << 11
                                  << QByteArray("CHANGE SPEED RS485:256000");
    QTest::newRow("two stop bits")
        << "comboBox_2" << QVariant(2) << 13 << QByteArray("CHANGE STOP BIT:2");
    QTest::newRow("blank stop bits")
        << "comboBox_2" << QVariant(0) << 13 << QByteArray("CHANGE STOP BIT:");
    QTest::newRow("time-out") << "lineEdit_timeout" << QVariant("30") << 17
                              << QByteArray("CHANGE TIMEOUT TCP:30");
}

void ChangeRunTest::values()
{
    QFETCH(QString, field);
    QFETCH(QVariant, value);
    QFETCH(int, step);
    QFETCH(QByteArray, command);
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    fillForm(rig);
    QWidget *widget = rig.window->findChild<QWidget *>(field);
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        edit->setText(value.toString());
    else
        qobject_cast<QComboBox *>(widget)->setCurrentIndex(value.toInt());
    rig.startChange();
    for (int n = 1; n < step; ++n)
        rig.probe.changeTick();
    rig.pty.take();
    QCOMPARE(rig.changeTick(), command);
}

void ChangeRunTest::verdicts_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::newRow("OK CR LF accepts") << 1 << QByteArray("OK\r\n") << "lineEdit_ip" << QString();
    QTest::newRow("OK LF accepts") << 3 << QByteArray("OK\n") << "lineEdit_mask" << QString();
    QTest::newRow("OK at the idle step accepts")
        << 6 << QByteArray("OK") << "lineEdit_gateway" << QString();
    QTest::newRow("lower-case ok refuses")
        << 1 << QByteArray("ok\r\n") << "lineEdit_ip" << writeError;
    QTest::newRow("OK and a blank refuses")
        << 9 << QByteArray("OK \r\n") << "comboBox" << writeError;
    QTest::newRow("error text refuses")
        << 11 << QByteArray("ERROR\r\n") << "comboBox_speed" << writeError;
    QTest::newRow("TCP port refusal, tight text")
        << 7 << QByteArray("ERR\r\n") << "lineEdit_portTCP" << writeErrorTight;
    QTest::newRow("stop bits refusal, tight text")
        << 14 << QByteArray("NO\r\n") << "comboBox_2" << writeErrorTight;
    QTest::newRow("time-out refusal")
        << 17 << QByteArray("ERR\r\n") << "lineEdit_timeout" << writeError;
}

void ChangeRunTest::verdicts()
{
    QFETCH(int, step);
    QFETCH(QByteArray, reply);
    QFETCH(QString, field);
    QFETCH(QString, refusal);
    Rig rig;
    QVERIFY(rig.open(Rig::RtuTcp));
    fillForm(rig);
    rig.startChange();
    for (int n = 0; n < step; ++n)
        rig.changeTick();
    rig.reply(reply, 80);

    QWidget *widget = rig.window->findChild<QWidget *>(field);
    if (refusal.isEmpty()) {
        QCOMPARE(widget->styleSheet(), green);
        QVERIFY(rig.boxes.boxes.isEmpty());
        QVERIFY(rig.probe.changeTimer()->isActive());
        QCOMPARE(rig.probe.changeStep(), step);
        return;
    }
    QCOMPARE(widget->styleSheet(), red);
    QCOMPARE(rig.boxes.boxes.size(), 1);
    QCOMPARE(rig.boxes.boxes.first().title, QString("Ошибка"));
    QCOMPARE(rig.boxes.boxes.first().text, refusal);
    QCOMPARE(rig.boxes.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(rig.boxes.boxes.first().parent, rig.window.get());
    QVERIFY(!rig.probe.changeTimer()->isActive());
    QCOMPARE(rig.probe.changeStep(), 0);
    rig.probe.changeTimer()->setInterval(5);
    QVERIFY(rig.pty.take(50).isEmpty());
}

void ChangeRunTest::valueIsReadAtItsStep()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    fillForm(rig);
    rig.startChange();
    rig.changeTick();
    rig.ui().lineEdit_gateway->setText("10.0.0.254");
    for (int n = 2; n < 5; ++n)
        rig.changeTick();
    QCOMPARE(rig.changeTick(), QByteArray("CHANGE GATEWAY:10.0.0.254"));
}

void ChangeRunTest::secondClickCancels()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    fillForm(rig);
    rig.startChange();
    rig.changeTick();
    rig.reply("OK\r\n");
    rig.ui().applyButton->click();
    QVERIFY(!rig.probe.changeTimer()->isActive());
    QCOMPARE(rig.probe.changeStep(), 0);
    QCOMPARE(rig.ui().lineEdit_ip->styleSheet(), green);
    QVERIFY(rig.pty.take(50).isEmpty());
    QVERIFY(rig.boxes.boxes.isEmpty());
}

void ChangeRunTest::applyEndsAQueryRun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startScan();
    rig.scanTick();
    rig.ui().applyButton->click();
    QVERIFY(!rig.probe.scanTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);
    QVERIFY(rig.probe.changeTimer()->isActive());

    // The buttons never let both run, but the apply button stops a query run when it cancels too.
    rig.probe.scanTimer()->start();
    rig.ui().applyButton->click();
    QVERIFY(!rig.probe.scanTimer()->isActive());
    QVERIFY(!rig.probe.changeTimer()->isActive());
}

void ChangeRunTest::restartButtonDuringARun()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    fillForm(rig);
    rig.startChange();
    rig.changeTick();
    LogCapture log;
    rig.ui().Reset->click();
    QCOMPARE(rig.pty.take(), QByteArray("RESET"));
    QCOMPARE(log.lines(), QStringList{"pb clicked!"});
    QVERIFY(rig.probe.resetRequested());
    QVERIFY(rig.probe.changeTimer()->isActive());
    rig.changeTick();
    QCOMPARE(rig.changeTick(), QByteArray("CHANGE MASK:255.255.255.0"));
}

void ChangeRunTest::restartDropsTheLineWhileTheBoxIsOpen()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    fillForm(rig);
    rig.startChange();
    for (int n = 1; n < 15; ++n) {
        if (!rig.changeTick().isEmpty())
            rig.reply("OK\r\n");
    }
    LogCapture log;
    QByteArray lastWords;
    bool droppedWhileOpen = false;
    rig.boxes.whileOpen = [&](const BoxRecord &) {
        lastWords = rig.pty.take(0);
        rig.pty.closeMaster();
        droppedWhileOpen = QTest::qWaitFor([&] { return !rig.probe.serial().isOpen(); }, 1000);
    };
    rig.probe.changeTick();

    QCOMPARE(lastWords, QByteArray("RESET"));
    QVERIFY(droppedWhileOpen);
    QCOMPARE(rig.boxes.boxes.size(), 1);
    QCOMPARE(rig.boxes.boxes.first().title, QString("Результы изменения"));
    QVERIFY(!rig.probe.serial().isOpen());
    QCOMPARE(log.count("reseted!!!!!"), 1);
}

QTEST_MAIN(ChangeRunTest)
#include "tst_changerun.moc"
