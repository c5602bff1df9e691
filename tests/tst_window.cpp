#include "rig.h"

#include <QGridLayout>
#include <QImageReader>
#include <QMetaMethod>
#include <QSerialPortInfo>
#include <QTest>

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { verifyNothingLeftOpen(); }
    void widgetsTheCodeReaches();
    void titleAndIcon();
    void slotTable();
    void textsEasyToGetWrong_data();
    void textsEasyToGetWrong();
    void portListIsTheSystemEnumeration();
    void closingWithThePortClosedWritesNothing();
};

void WindowTest::widgetsTheCodeReaches()
{
    const QHash<QString, QStringList> byClass = {
        {"QPushButton",
         {"closeport", "connect", "scanport", "scan_parameters", "Reset", "applyButton"}},
        {"QComboBox",
         {"serialPortInfoListBox", "conbox0", "comboBox", "comboBox_speed", "comboBox_2"}},
        {"QLineEdit",
         {"lineEdit_MAC", "lineEdit_ip", "lineEdit_mask", "lineEdit_gateway", "lineEdit_portTCP",
          "lineEdit_ipservertcp", "lineEdit_timeout"}},
        {"QLabel", {"label_ipserver", "label_timeout"}},
        {"QStatusBar", {"statusbar"}}};
    MainWindow window;
    for (auto it = byClass.cbegin(); it != byClass.cend(); ++it) {
        for (const QString &name : it.value()) {
            const QList<QWidget *> found = window.findChildren<QWidget *>(name);
            QVERIFY2(found.size() == 1, qPrintable(name));
            QCOMPARE(QString(found.first()->metaObject()->className()), it.key());
        }
    }
}

void WindowTest::titleAndIcon()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QString("Конфигуратор Modbus TCP-RTU"));
    QCOMPARE(window.objectName(), QString("MainWindow"));

    QImageReader reader(":/images/TobriskRTUTCP.ico");
    QList<QSize> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY(image.depth() == 32 && image.hasAlphaChannel());
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
    QStringList signatures;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QVERIFY(method.methodType() == QMetaMethod::Slot &&
                method.access() == QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        signatures << method.methodSignature();
    }
    QCOMPARE(signatures,
             (QStringList{"on_scanport_clicked()", "on_applyButton_clicked()", "on_Reset_clicked()",
                          "on_scan_parameters_clicked()", "readData()", "openport()", "closeport()",
                          "timerforScan()", "scan_pa_modbus_RTU_TCP()", "scan_pa_modbus_TCP_RTU()",
                          "change_pa_modbus_RTU_TCP()", "change_pa_modbus_TCP_RTU()",
                          "change_parametersofmodbus()", "checkCustomDevicePathPolicy()",
                          "handleError(QSerialPort::SerialPortError)"}));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QVERIFY(QMetaType::type("QSerialPort::SerialPortError") != QMetaType::UnknownType);
}

void WindowTest::textsEasyToGetWrong_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("item"); // -1: the widget's own text
    QTest::addColumn<QString>("text");
    QTest::newRow("scan button, trailing blank") << "scan_parameters" << -1 << "Сканировать ";
    QTest::newRow("apply button, trailing blank") << "applyButton" << -1 << "Применить ";
    QTest::newRow("restart button, Latin a") << "Reset" << -1 << "Перез\u0061грузка";
    QTest::newRow("parity caption, trailing blank") << "label_28" << -1 << "Паритет ";
    QTest::newRow("server caption, trailing blank")
        << "label_ipserver" << -1 << "IP-адрес сервера TCP ";
    QTest::newRow("mode 0, trailing blank") << "conbox0" << 0 << "Modbus TCP-RTU ";
    QTest::newRow("speed index 10") << "comboBox_speed" << 10 << "256000";
    QTest::newRow("parity index 3") << "comboBox" << 3 << "2-контроль четности";
    QTest::newRow("stop bits index 2") << "comboBox_2" << 2 << "2-два стоп бита";
}

void WindowTest::textsEasyToGetWrong()
{
    QFETCH(QString, name);
    QFETCH(int, item);
    QFETCH(QString, text);
    MainWindow window;
    QObject *widget = window.findChild<QObject *>(name);
    if (item < 0)
        QCOMPARE(widget->property("text").toString(), text);
    else
        QCOMPARE(qobject_cast<QComboBox *>(widget)->itemText(item), text);
    QVERIFY(text != QString("Перезагрузка"));
}

void WindowTest::portListIsTheSystemEnumeration()
{
    MainWindow window;
    auto *ports = window.findChild<QComboBox *>("serialPortInfoListBox");
    QStringList expected, listed;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    for (int i = 0; i < ports->count(); ++i)
        listed << ports->itemText(i);
    QCOMPARE(listed, expected);
    QCOMPARE(ports->currentIndex(), expected.isEmpty() ? -1 : 0);

    QGridLayout *top = WindowProbe(window).ui().gridLayout_4;
    int row, column, rowSpan, columnSpan;
    top->getItemPosition(top->indexOf(window.findChild<QWidget *>("scan_parameters")), &row,
                         &column, &rowSpan, &columnSpan);
    QCOMPARE((QList<int>{row, column, rowSpan, columnSpan}), (QList<int>{3, 1, 1, 2}));
}

void WindowTest::closingWithThePortClosedWritesNothing()
{
    Rig rig;
    rig.ui().serialPortInfoListBox->insertItem(0, rig.pty.slavePath());
    rig.window.reset();
    QVERIFY(rig.pty.take().isEmpty());
    QVERIFY(rig.boxes.boxes.isEmpty());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
