#include "mainwindow.h"

#include "deviceprotocol.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QIcon>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTimer>

using device::Parameter;

namespace {

constexpr int tickMs = 1000;

// USB-serial adapters hand one answer over in pieces; a reply is complete when it ends in CR or LF,
// or when the line has been quiet this long.
constexpr int frameGapMs = 50;

// A device that babbles without ever ending a line must not grow the buffer without bound.
constexpr int maxReplyBytes = 4096;

// "RESET" must have left the port before the port is closed, or the device never restarts.
constexpr int resetFlushMs = 200;

// Re-styling is costly (a combo box re-polishes and keeps memory each time), and a chattering
// device would turn the same field red hundreds of times a second.
void setColour(QWidget *widget, const char *styleSheet)
{
    if (widget->styleSheet() != QLatin1String(styleSheet))
        widget->setStyleSheet(styleSheet);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), serial(), resetRequested(false)
{
    qRegisterMetaType<QSerialPort::SerialPortError>("QSerialPort::SerialPortError");
    ui->setupUi(this);

    scanStep = 0;
    scanTimer = new QTimer(this);
    connect(scanTimer, SIGNAL(timeout()), this, SLOT(timerforScan()));
    scanTimer->setInterval(tickMs);

    changeStep = 0;
    changeTimer = new QTimer(this);
    connect(changeTimer, SIGNAL(timeout()), this, SLOT(change_parametersofmodbus()));
    changeTimer->setInterval(tickMs);

    frameTimer = new QTimer(this);
    frameTimer->setSingleShot(true);
    frameTimer->setInterval(frameGapMs);
    connect(frameTimer, &QTimer::timeout, this, &MainWindow::handleReply);

    setWindowTitle(tr("Конфигуратор Modbus TCP-RTU"));
    setWindowIcon(QIcon(":/images/TobriskRTUTCP.ico"));

    setPortControls(false);
    ui->lineEdit_MAC->setEnabled(false);

    checkCustomDevicePathPolicy();

    connect(&serial, &QSerialPort::readyRead, this, &MainWindow::readData);
    connect(&serial, &QSerialPort::errorOccurred, this, &MainWindow::handleError);
    connect(ui->closeport, &QPushButton::clicked, this, &MainWindow::closeport);
    connect(ui->connect, &QPushButton::clicked, this, &MainWindow::openport);
}

MainWindow::~MainWindow()
{
    delete ui;
    if (serial.isOpen()) {
        serial.close();
        scanTimer->stop();
        changeTimer->stop();
    }
}

void MainWindow::setPortControls(bool open)
{
    ui->connect->setEnabled(!open);
    ui->closeport->setEnabled(open);
    ui->scan_parameters->setEnabled(open);
    ui->applyButton->setEnabled(open);
    ui->Reset->setEnabled(open);
    ui->conbox0->setEnabled(!open);
    ui->serialPortInfoListBox->setEnabled(!open);
    ui->scanport->setEnabled(!open);
}

void MainWindow::checkCustomDevicePathPolicy()
{
    ui->serialPortInfoListBox->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->serialPortInfoListBox->addItem(info.portName());
}

void MainWindow::on_scanport_clicked()
{
    checkCustomDevicePathPolicy();
}

void MainWindow::openport()
{
    serial.setPortName(ui->serialPortInfoListBox->currentText());
    if (!serial.open(QIODevice::ReadWrite)) {
        QMessageBox::critical(this, tr("Отказано в доступе"), "Ошибка соединения");
        ui->statusbar->showMessage(tr("ПортDCON отказано в доступе"));
        stopRuns();
        return;
    }
    // A restart asked for on an earlier connection says nothing about this one: a line lost now is
    // a real fault and must be reported.
    resetRequested = false;
    setPortControls(true);
    ui->statusbar->showMessage(tr("Connected"));

    const int mode = ui->conbox0->currentIndex();
    if (mode == 0 || mode == 1) {
        const bool serverRows = mode == 1;
        ui->lineEdit_ipservertcp->setVisible(serverRows);
        ui->lineEdit_timeout->setVisible(serverRows);
        ui->label_ipserver->setVisible(serverRows);
        ui->label_timeout->setVisible(serverRows);
    }
}

void MainWindow::closeport()
{
    if (!serial.isOpen())
        return;
    serial.close();
    setPortControls(false);
    ui->statusbar->showMessage(tr("Disconnected"));
    stopRuns();
}

void MainWindow::handleError(QSerialPort::SerialPortError error)
{
    // A line whose far end has gone reports each failed read as ReadError on some systems, over and
    // over; it is the same lost port as ResourceError.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (resetRequested) {
        qDebug() << "reseted!!!!!";
        closeport();
        return;
    }
    closeport();
    stopRuns();
    QMessageBox::critical(this, tr("Critical Error"), "Ошибка соединения");
}

void MainWindow::stopScanRun()
{
    scanTimer->stop();
    scanStep = 0;
}

void MainWindow::stopChangeRun()
{
    changeTimer->stop();
    changeStep = 0;
}

void MainWindow::stopRuns()
{
    stopScanRun();
    stopChangeRun();
}

QWidget *MainWindow::widgetOf(const Parameter &parameter) const
{
    if (parameter.edit)
        return ui->*parameter.edit;
    return ui->*parameter.combo;
}

void MainWindow::clearColours()
{
    for (const Parameter &parameter : device::parameters)
        setColour(widgetOf(parameter), "");
}

void MainWindow::on_scan_parameters_clicked()
{
    const int mode = ui->conbox0->currentIndex();
    if (mode != 0 && mode != 1)
        return;
    stopChangeRun();
    if (scanTimer->isActive()) {
        stopScanRun();
        return;
    }
    scanTimer->start(tickMs);
    for (const Parameter &parameter : device::parameters) {
        if (parameter.edit)
            (ui->*parameter.edit)->clear();
        else
            (ui->*parameter.combo)->setCurrentIndex(0);
    }
    clearColours();
}

void MainWindow::timerforScan()
{
    const int mode = ui->conbox0->currentIndex();
    if (mode == 1)
        scan_pa_modbus_RTU_TCP();
    else if (mode == 0)
        scan_pa_modbus_TCP_RTU();
}

void MainWindow::scan_pa_modbus_TCP_RTU()
{
    if (!serial.isOpen()) {
        stopScanRun();
        qDebug() << "error connecting";
        return;
    }
    queryTick(device::modes[0]);
}

void MainWindow::scan_pa_modbus_RTU_TCP()
{
    queryTick(device::modes[1]);
}

void MainWindow::queryTick(const device::Mode &mode)
{
    const int n = ++scanStep;
    if (n <= mode.queried) {
        serial.write(device::parameters[n - 1].query);
    } else if (n == mode.queryEndStep()) {
        stopScanRun();
        clearColours();
    }
}

QByteArray MainWindow::valueOf(const Parameter &parameter) const
{
    if (parameter.edit)
        return (ui->*parameter.edit)->text().toLatin1();
    const int index = (ui->*parameter.combo)->currentIndex();
    if (index >= 1 && index <= parameter.choices.count)
        return parameter.choices.values[index - 1];
    return {};
}

void MainWindow::on_applyButton_clicked()
{
    const int mode = ui->conbox0->currentIndex();
    if (mode != 0 && mode != 1)
        return;
    stopScanRun();
    if (changeTimer->isActive()) {
        stopChangeRun();
        return;
    }
    changeTimer->start(tickMs);
    confirmedChanges = 0;
    clearColours();
}

void MainWindow::change_parametersofmodbus()
{
    const int mode = ui->conbox0->currentIndex();
    if (mode == 1)
        change_pa_modbus_RTU_TCP();
    else if (mode == 0)
        change_pa_modbus_TCP_RTU();
}

void MainWindow::change_pa_modbus_TCP_RTU()
{
    changeTick(device::modes[0]);
}

void MainWindow::change_pa_modbus_RTU_TCP()
{
    changeTick(device::modes[1]);
}

void MainWindow::changeTick(const device::Mode &mode)
{
    const int n = ++changeStep;
    if (n == mode.changeFinalStep()) {
        finishChangeRun(mode);
        return;
    }
    if (n > mode.changeFinalStep() || n % 2 == 0)
        return;

    const Parameter &parameter = device::writable((n - 1) / 2);
    const QByteArray command = parameter.change + valueOf(parameter);
    serial.write(command);
    switch (parameter.log) {
    case device::ChangeLog::None:
        break;
    case device::ChangeLog::Command:
        qDebug() << command;
        break;
    case device::ChangeLog::Tagged:
        qDebug() << parameter.logTag << command;
        break;
    }
}

void MainWindow::finishChangeRun(const device::Mode &mode)
{
    serial.write("RESET");
    stopChangeRun();
    if (mode.closesPortAfterReset) {
        serial.waitForBytesWritten(resetFlushMs);
        closeport();
    } else {
        // The device drops the line as it restarts, usually while the box below is still open.
        resetRequested = true;
    }

    QStringList unconfirmed;
    for (int k = 0; k < mode.written; ++k) {
        if (!(confirmedChanges & (1u << k)))
            unconfirmed << (ui->*device::writable(k).caption)->text().trimmed();
    }
    if (unconfirmed.isEmpty()) {
        QMessageBox::information(this, tr("Результы изменения"), mode.success);
    } else {
        QMessageBox::critical(this, "Ошибка",
                              "<FONT COLOR='#800000'>Устройство не подтвердило изменение "
                              "параметров: " +
                                  unconfirmed.join(", ").toHtmlEscaped() + "</FONT>");
    }
    clearColours();
}

void MainWindow::on_Reset_clicked()
{
    serial.write("RESET");
    resetRequested = true;
    qDebug() << "pb clicked!";
}

void MainWindow::readData()
{
    rxBuffer += serial.readAll();
    if (rxBuffer.endsWith('\r') || rxBuffer.endsWith('\n') || rxBuffer.size() >= maxReplyBytes)
        handleReply();
    else
        frameTimer->start();
}

void MainWindow::handleReply()
{
    frameTimer->stop();
    const QByteArray reply = rxBuffer;
    rxBuffer.clear();

    const int zero = reply.indexOf('\0');
    rxData = QString::fromUtf8(zero < 0 ? reply : reply.left(zero));
    rxData.remove('\r');
    rxData.remove('\n');
    if (rxData.isEmpty())
        return;

    qDebug() << "data 2:" + rxData;
    if (changeTimer->isActive())
        judgeVerdict();
    else if (scanTimer->isActive())
        takeAnswer();
}

void MainWindow::takeAnswer()
{
    const int n = scanStep;
    if (n < 1 || n > device::parameterCount)
        return;
    const Parameter &parameter = device::parameters[n - 1];
    const QString value = rxData.mid(device::prefixLength(parameter.query), parameter.limit);

    if (parameter.edit) {
        QLineEdit *edit = ui->*parameter.edit;
        if (value.isEmpty()) {
            setColour(edit, device::red);
            return;
        }
        setColour(edit, device::green);
        edit->setText(value);
        return;
    }

    QComboBox *combo = ui->*parameter.combo;
    for (int i = 0; i < parameter.choices.count; ++i) {
        if (value == QLatin1String(parameter.choices.values[i])) {
            setColour(combo, device::green);
            combo->setCurrentIndex(i + 1);
            return;
        }
    }
    setColour(combo, device::red);
}

void MainWindow::judgeVerdict()
{
    const int m = changeStep;
    if (m < 1 || m > 2 * device::writableCount)
        return;
    const int k = (m - 1) / 2;
    const Parameter &parameter = device::writable(k);
    QWidget *widget = widgetOf(parameter);
    if (rxData == QLatin1String("OK")) {
        setColour(widget, device::green);
        confirmedChanges |= 1u << k;
        return;
    }
    setColour(widget, device::red);
    stopChangeRun();
    QMessageBox::critical(this, "Ошибка", parameter.refusal);
}
