#include "rig.h"

#include <QGridLayout>
#include <QIcon>
#include <QImageReader>
#include <QMetaMethod>
#include <QSerialPortInfo>
#include <QTest>

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void widgetClasses_data();
    void widgetClasses();
    void initialEnabledState_data();
    void initialEnabledState();
    void titleAndIcon();
    void slotTable();
    void texts_data();
    void texts();
    void comboItems_data();
    void comboItems();
    void queryButtonSpansTwoColumns();
    void portListIsTheSystemEnumeration();
    void closingWithPortClosedWritesNothing();
};

void WindowTest::cleanup()
{
    verifyNothingLeftOpen();
}

void WindowTest::widgetClasses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    const char *const buttons[] = {"closeport",       "connect", "scanport",
                                   "scan_parameters", "Reset",   "applyButton"};
    for (const char *name : buttons)
        QTest::newRow(name) << name << "QPushButton";
    const char *const combos[] = {"serialPortInfoListBox", "conbox0", "comboBox", "comboBox_speed",
                                  "comboBox_2"};
    for (const char *name : combos)
        QTest::newRow(name) << name << "QComboBox";
    const char *const edits[] = {"lineEdit_MAC",     "lineEdit_ip",      "lineEdit_mask",
                                 "lineEdit_gateway", "lineEdit_portTCP", "lineEdit_ipservertcp",
                                 "lineEdit_timeout"};
    for (const char *name : edits)
        QTest::newRow(name) << name << "QLineEdit";
    const char *const labels[] = {"label_20",    "label_23",       "label_timeout", "label_21",
                                  "label_27",    "label_",         "label_22",      "label_24",
                                  "label_speed", "label_ipserver", "label_28"};
    for (const char *name : labels)
        QTest::newRow(name) << name << "QLabel";
    QTest::newRow("groupBox") << "groupBox"
                              << "QGroupBox";
    QTest::newRow("menubar") << "menubar"
                             << "QMenuBar";
    QTest::newRow("statusbar") << "statusbar"
                               << "QStatusBar";
    QTest::newRow("centralwidget") << "centralwidget"
                                   << "QWidget";
}

void WindowTest::widgetClasses()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    MainWindow window;
    const QList<QObject *> found = window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString(found.first()->metaObject()->className()), className);
}

void WindowTest::initialEnabledState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");
    for (const char *name : {"connect", "conbox0", "serialPortInfoListBox", "scanport",
                             "lineEdit_ip", "comboBox_speed"})
        QTest::newRow(name) << name << true;
    for (const char *name :
         {"closeport", "scan_parameters", "applyButton", "Reset", "lineEdit_MAC"})
        QTest::newRow(name) << name << false;
}

void WindowTest::initialEnabledState()
{
    QFETCH(QString, name);
    QFETCH(bool, enabled);
    MainWindow window;
    QCOMPARE(window.findChild<QWidget *>(name)->isEnabled(), enabled);
}

void WindowTest::titleAndIcon()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("Конфигуратор Modbus TCP-RTU"));
    QCOMPARE(window.objectName(), QString("MainWindow"));

    QImageReader reader(":/images/TobriskRTUTCP.ico");
    QCOMPARE(reader.imageCount(), 4);
    QList<QSize> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QCOMPARE(image.depth(), 32);
        QVERIFY(image.hasAlphaChannel());
        sizes << image.size();
    }
    QCOMPARE(sizes, (QList<QSize>{{256, 256}, {48, 48}, {32, 32}, {16, 16}}));
    QCOMPARE(window.windowIcon().availableSizes().size(), 4);
}

void WindowTest::slotTable()
{
    MainWindow window;
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(meta.className(), "MainWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 15);
    const QStringList expected = {"on_scanport_clicked()",
                                  "on_applyButton_clicked()",
                                  "on_Reset_clicked()",
                                  "on_scan_parameters_clicked()",
                                  "readData()",
                                  "openport()",
                                  "closeport()",
                                  "timerforScan()",
                                  "scan_pa_modbus_RTU_TCP()",
                                  "scan_pa_modbus_TCP_RTU()",
                                  "change_pa_modbus_RTU_TCP()",
                                  "change_pa_modbus_TCP_RTU()",
                                  "change_parametersofmodbus()",
                                  "checkCustomDevicePathPolicy()",
                                  "handleError(QSerialPort::SerialPortError)"};
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(QString(method.methodSignature()), expected[i]);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
    }
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QVERIFY(QMetaType::type("QSerialPort::SerialPortError") != QMetaType::UnknownType);
}

void WindowTest::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("scan button, trailing blank") << "scan_parameters"
                                                 << "Сканировать ";
    QTest::newRow("apply button, trailing blank") << "applyButton"
                                                  << "Применить ";
    QTest::newRow("restart button, Latin a") << "Reset" << QString("Перезaгрузка");
    QTest::newRow("parity caption, trailing blank") << "label_28"
                                                    << "Паритет ";
    QTest::newRow("server caption, trailing blank") << "label_ipserver"
                                                    << "IP-адрес сервера TCP ";
    QTest::newRow("port caption") << "label_"
                                  << "Порт TCP (502, 10000-65535)";
    QTest::newRow("open") << "connect"
                          << "Открыть";
    QTest::newRow("close") << "closeport"
                           << "Закрыть";
}

void WindowTest::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    MainWindow window;
    const QObject *widget = window.findChild<QObject *>(name);
    QCOMPARE(widget->property("text").toString(), text);
    if (name == "Reset") {
        QCOMPARE(text.at(5), QChar(0x0061));
        QVERIFY(text != QString("Перезагрузка"));
    }
}

void WindowTest::comboItems_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::newRow("mode 0, trailing blank") << "conbox0" << 2 << 0 << "Modbus TCP-RTU ";
    QTest::newRow("mode 1") << "conbox0" << 2 << 1 << "Modbus RTU-TCP";
    QTest::newRow("parity blank") << "comboBox" << 4 << 0 << "";
    QTest::newRow("parity even") << "comboBox" << 4 << 3 << "2-контроль четности";
    QTest::newRow("speed 9600") << "comboBox_speed" << 11 << 4 << "9600";
    QTest::newRow("speed 256000") << "comboBox_speed" << 11 << 10 << "256000";
    QTest::newRow("stop bits two") << "comboBox_2" << 3 << 2 << "2-два стоп бита";
}

void WindowTest::comboItems()
{
    QFETCH(QString, name);
    QFETCH(int, count);
    QFETCH(int, index);
    QFETCH(QString, text);
    MainWindow window;
    auto *combo = window.findChild<QComboBox *>(name);
    QCOMPARE(combo->count(), count);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(combo->itemText(index), text);
}

void WindowTest::queryButtonSpansTwoColumns()
{
    MainWindow window;
    WindowProbe probe(window);
    QGridLayout *top = probe.ui().gridLayout_4;
    int row, column, rowSpan, columnSpan;
    top->getItemPosition(top->indexOf(probe.ui().scan_parameters), &row, &column, &rowSpan,
                         &columnSpan);
    QCOMPARE((QList<int>{row, column, rowSpan, columnSpan}), (QList<int>{3, 1, 1, 2}));
}

void WindowTest::portListIsTheSystemEnumeration()
{
    MainWindow window;
    WindowProbe probe(window);
    QStringList expected;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    QStringList listed;
    for (int i = 0; i < probe.ui().serialPortInfoListBox->count(); ++i)
        listed << probe.ui().serialPortInfoListBox->itemText(i);
    QCOMPARE(listed, expected);
    QCOMPARE(probe.ui().serialPortInfoListBox->currentIndex(), expected.isEmpty() ? -1 : 0);
}

void WindowTest::closingWithPortClosedWritesNothing()
{
    Rig rig;
    rig.ui().serialPortInfoListBox->insertItem(0, rig.pty.slavePath());
    rig.ui().serialPortInfoListBox->setCurrentIndex(0);
    rig.window.reset();
    QVERIFY(rig.pty.take().isEmpty());
    QVERIFY(rig.boxes.boxes.isEmpty());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
