#include "rig.h"

#include <QTest>

#include <ctime>

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Leaves both step counters off zero without opening the port, the way the RTU-TCP ticks do
// when they find the port closed.
void dirtyCounters(Rig &rig)
{
    rig.ui().conbox0->setCurrentIndex(Rig::RtuTcp);
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QSerialPort): device not open");
    rig.probe.scanTick();
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QSerialPort): device not open");
    rig.probe.changeTick();
    QVERIFY(rig.probe.scanStep() == 1 && rig.probe.changeStep() == 1);
}

} // namespace

class SerialLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void controlStates_data();
    void controlStates();
    void serverRowsFollowTheMode_data();
    void serverRowsFollowTheMode();
    void failedOpen_data();
    void failedOpen();
    void closingAClosedPortChangesNothing();
    void portLossDuringARun_data();
    void portLossDuringARun();
    void portErrors_data();
    void portErrors();
    void lossAfterRestartIsQuietOnlyOnThatConnection();
    void scanButtonRefillsTheList();
};

void SerialLinkTest::cleanup()
{
    verifyNothingLeftOpen();
}

void SerialLinkTest::controlStates_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("whenOpen");
    for (const char *name : {"closeport", "scan_parameters", "applyButton", "Reset"})
        QTest::newRow(name) << name << true;
    for (const char *name : {"connect", "conbox0", "serialPortInfoListBox", "scanport"})
        QTest::newRow(name) << name << false;
}

void SerialLinkTest::controlStates()
{
    QFETCH(QString, name);
    QFETCH(bool, whenOpen);
    Rig rig;
    auto *widget = rig.window->findChild<QWidget *>(name);
    QCOMPARE(widget->isEnabled(), !whenOpen);

    QVERIFY(rig.open(Rig::TcpRtu));
    QCOMPARE(widget->isEnabled(), whenOpen);
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString("Connected"));
    QVERIFY(!rig.ui().lineEdit_MAC->isEnabled());

    rig.ui().closeport->click();
    QVERIFY(!rig.probe.serial().isOpen());
    QCOMPARE(widget->isEnabled(), !whenOpen);
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString("Disconnected"));
    QVERIFY(rig.boxes.boxes.isEmpty());
}

void SerialLinkTest::serverRowsFollowTheMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("TCP-RTU hides them") << int(Rig::TcpRtu);
    QTest::newRow("RTU-TCP shows them") << int(Rig::RtuTcp);
}

void SerialLinkTest::serverRowsFollowTheMode()
{
    QFETCH(int, mode);
    Rig rig;
    const QList<QWidget *> rows = {rig.ui().lineEdit_ipservertcp, rig.ui().lineEdit_timeout,
                                   rig.ui().label_ipserver, rig.ui().label_timeout};
    for (QWidget *row : rows)
        QVERIFY(!row->isHidden());

    QVERIFY(rig.open(Rig::Mode(mode)));
    for (QWidget *row : rows)
        QCOMPARE(row->isHidden(), mode == Rig::TcpRtu);
    rig.ui().closeport->click();
    for (QWidget *row : rows)
        QCOMPARE(row->isHidden(), mode == Rig::TcpRtu);
}

void SerialLinkTest::failedOpen_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<bool>("holdTheLine");
    QTest::newRow("missing device") << "/dev/tcprtu-no-such-port" << false;
    QTest::newRow("no port listed") << "" << false;
    QTest::newRow("port in use") << "" << true;
}

void SerialLinkTest::failedOpen()
{
    QFETCH(QString, portName);
    QFETCH(bool, holdTheLine);
    Rig rig;
    QSerialPort other(rig.pty.slavePath());
    if (holdTheLine) {
        QVERIFY(other.open(QIODevice::ReadWrite));
        portName = rig.pty.slavePath();
    }
    dirtyCounters(rig);
    rig.ui().conbox0->setCurrentIndex(Rig::TcpRtu);
    rig.ui().serialPortInfoListBox->clear();
    if (!portName.isEmpty())
        rig.ui().serialPortInfoListBox->addItem(portName);

    QString statusWhileBoxOpen;
    rig.boxes.whileOpen = [&](const BoxRecord &) {
        statusWhileBoxOpen = rig.ui().statusbar->currentMessage();
    };
    rig.ui().connect->click();

    QCOMPARE(rig.boxes.boxes.size(), 1);
    const BoxRecord box = rig.boxes.boxes.first();
    QCOMPARE(box.title, QString("Отказано в доступе"));
    QCOMPARE(box.text, QString("Ошибка соединения"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(statusWhileBoxOpen.isEmpty());
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString("ПортDCON отказано в доступе"));
    QVERIFY(!rig.probe.serial().isOpen());
    QVERIFY(rig.ui().connect->isEnabled() && !rig.ui().closeport->isEnabled());
    QVERIFY(!rig.probe.scanTimer()->isActive() && !rig.probe.changeTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);
    QCOMPARE(rig.probe.changeStep(), 0);
}

void SerialLinkTest::closingAClosedPortChangesNothing()
{
    Rig rig;
    dirtyCounters(rig);
    rig.ui().statusbar->showMessage("untouched");
    rig.probe.closePort();
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString("untouched"));
    QCOMPARE(rig.probe.scanStep(), 1);
    QCOMPARE(rig.probe.changeStep(), 1);
    QVERIFY(rig.ui().connect->isEnabled());
}

void SerialLinkTest::portLossDuringARun_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("changeRun");
    QTest::newRow("query run, TCP-RTU") << int(Rig::TcpRtu) << false;
    QTest::newRow("query run, RTU-TCP") << int(Rig::RtuTcp) << false;
    QTest::newRow("change run, TCP-RTU") << int(Rig::TcpRtu) << true;
    QTest::newRow("change run, RTU-TCP") << int(Rig::RtuTcp) << true;
}

void SerialLinkTest::portLossDuringARun()
{
    QFETCH(int, mode);
    QFETCH(bool, changeRun);
    Rig rig;
    QVERIFY(rig.open(Rig::Mode(mode)));
    if (changeRun) {
        rig.startChange();
        rig.changeTick();
    } else {
        rig.startScan();
        rig.scanTick();
    }
    QString statusWhileBoxOpen;
    rig.boxes.whileOpen = [&](const BoxRecord &) {
        statusWhileBoxOpen = rig.ui().statusbar->currentMessage();
    };

    rig.pty.closeMaster();
    QVERIFY(rig.boxes.waitFor(1));
    const double cpuBefore = cpuSeconds();
    QTest::qWait(500);
    const double cpuUsed = cpuSeconds() - cpuBefore;

    QCOMPARE(rig.boxes.boxes.size(), 1);
    QCOMPARE(rig.boxes.boxes.first().title, QString("Critical Error"));
    QCOMPARE(rig.boxes.boxes.first().text, QString("Ошибка соединения"));
    QCOMPARE(rig.boxes.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(statusWhileBoxOpen, QString("Disconnected"));
    QVERIFY(!rig.probe.serial().isOpen());
    QVERIFY(!rig.probe.scanTimer()->isActive() && !rig.probe.changeTimer()->isActive());
    QCOMPARE(rig.probe.scanStep(), 0);
    QCOMPARE(rig.probe.changeStep(), 0);
    QVERIFY(rig.ui().connect->isEnabled());
    // A dead line must not leave the process spinning on read errors.
    QVERIFY2(cpuUsed < 0.025, qPrintable(QString("CPU %1 s in 0.5 s").arg(cpuUsed)));
}

void SerialLinkTest::portErrors_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<bool>("lost");
    QTest::newRow("resource error") << QSerialPort::ResourceError << true;
    QTest::newRow("read error") << QSerialPort::ReadError << true;
    QTest::newRow("parity error") << QSerialPort::ParityError << false;
    QTest::newRow("framing error") << QSerialPort::FramingError << false;
    QTest::newRow("write error") << QSerialPort::WriteError << false;
    QTest::newRow("time-out") << QSerialPort::TimeoutError << false;
    QTest::newRow("unknown error") << QSerialPort::UnknownError << false;
}

void SerialLinkTest::portErrors()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(bool, lost);
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.startScan();
    rig.scanTick();

    QMetaObject::invokeMethod(rig.window.get(), "handleError",
                              Q_ARG(QSerialPort::SerialPortError, error));
    QCOMPARE(rig.probe.serial().isOpen(), !lost);
    QCOMPARE(rig.probe.scanTimer()->isActive(), !lost);
    QCOMPARE(rig.probe.scanStep(), lost ? 0 : 1);
    QCOMPARE(rig.boxes.boxes.size(), lost ? 1 : 0);
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString(lost ? "Disconnected" : "Connected"));
}

void SerialLinkTest::lossAfterRestartIsQuietOnlyOnThatConnection()
{
    Rig rig;
    QVERIFY(rig.open(Rig::TcpRtu));
    rig.ui().Reset->click();
    QCOMPARE(rig.pty.take(), QByteArray("RESET"));
    QVERIFY(rig.probe.resetRequested());

    {
        LogCapture log;
        rig.pty.closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return !rig.probe.serial().isOpen(); }, 2000));
        QTest::qWait(50);
        QCOMPARE(log.count("reseted!!!!!"), 1);
    }
    QVERIFY(rig.boxes.boxes.isEmpty());
    QCOMPARE(rig.ui().statusbar->currentMessage(), QString("Disconnected"));
    QVERIFY(rig.ui().connect->isEnabled());

    // The device came back on a new line; losing that one is a fault again.
    PtyPair again;
    rig.ui().serialPortInfoListBox->insertItem(0, again.slavePath());
    rig.ui().serialPortInfoListBox->setCurrentIndex(0);
    rig.ui().connect->click();
    QVERIFY(rig.probe.serial().isOpen());
    QVERIFY(!rig.probe.resetRequested());
    again.closeMaster();
    QVERIFY(rig.boxes.waitFor(1));
    QCOMPARE(rig.boxes.boxes.first().title, QString("Critical Error"));
}

void SerialLinkTest::scanButtonRefillsTheList()
{
    Rig rig;
    rig.ui().serialPortInfoListBox->addItem("stale entry");
    rig.ui().scanport->click();
    QVERIFY(rig.ui().serialPortInfoListBox->findText("stale entry") < 0);
}

QTEST_MAIN(SerialLinkTest)
#include "tst_seriallink.moc"
