#include "mainwindow.h"

#include "fields.h"
#include "protocol.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QIcon>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QStringList>
#include <QThread>
#include <QTimer>

namespace {

constexpr int tickMs = 1000;

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
    connect(frameTimer, &QTimer::timeout, this, &MainWindow::takeQuietReply);

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

QWidget *MainWindow::widgetOf(int parameter) const
{
    const fields::Field &field = fields::fields[parameter];
    if (field.edit)
        return ui->*field.edit;
    return ui->*field.combo;
}

void MainWindow::clearColours()
{
    for (int i = 0; i < protocol::parameterCount; ++i)
        setColour(widgetOf(i), "");
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
    for (const fields::Field &field : fields::fields) {
        if (field.edit)
            (ui->*field.edit)->clear();
        else
            (ui->*field.combo)->setCurrentIndex(0);
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
    queryTick(0);
}

void MainWindow::scan_pa_modbus_RTU_TCP()
{
    queryTick(1);
}

void MainWindow::queryTick(int mode)
{
    const int n = ++scanStep;
    if (n <= protocol::modes[mode].queried) {
        serial.write(protocol::parameters[n - 1].query);
    } else if (n == fields::queryEndStep(protocol::modes[mode])) {
        stopScanRun();
        clearColours();
    }
}

QByteArray MainWindow::valueOf(int parameter) const
{
    const fields::Field &field = fields::fields[parameter];
    if (field.edit)
        return (ui->*field.edit)->text().toLatin1();
    const protocol::Choices &choices = protocol::parameters[parameter].choices;
    const int index = (ui->*field.combo)->currentIndex();
    if (index >= 1 && index <= choices.count)
        return choices.codes[index - 1];
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
    changeTick(0);
}

void MainWindow::change_pa_modbus_RTU_TCP()
{
    changeTick(1);
}

void MainWindow::changeTick(int mode)
{
    const int n = ++changeStep;
    const int finalStep = fields::changeFinalStep(protocol::modes[mode]);
    if (n == finalStep) {
        finishChangeRun(mode);
        return;
    }
    if (n > finalStep || n % 2 == 0)
        return;

    const int k = (n - 1) / 2;
    const fields::Field &field = fields::writable(k);
    const QByteArray command = protocol::writable(k).change + valueOf(k + 1);
    serial.write(command);
    switch (field.log) {
    case fields::ChangeLog::None:
        break;
    case fields::ChangeLog::Command:
        qDebug() << command;
        break;
    case fields::ChangeLog::Tagged:
        qDebug() << field.logTag << command;
        break;
    }
}

void MainWindow::finishChangeRun(int mode)
{
    serial.write(protocol::resetCommand);
    stopChangeRun();
    if (fields::modes[mode].closesPortAfterReset) {
        serial.waitForBytesWritten(resetFlushMs);
        // Closing puts the port's earlier settings back at once: the bytes still in the adapter
        // would leave at another speed.
        QThread::msleep(
            ulong(protocol::drainMs(int(qstrlen(protocol::resetCommand)), serial.baudRate())));
        closeport();
    } else {
        // The device drops the line as it restarts, usually while the box below is still open.
        resetRequested = true;
    }

    QStringList unconfirmed;
    for (int k = 0; k < protocol::modes[mode].written; ++k) {
        if (!(confirmedChanges & (1u << k)))
            unconfirmed << (ui->*fields::writable(k).caption)->text().trimmed();
    }
    if (unconfirmed.isEmpty()) {
        QMessageBox::information(this, tr("Результы изменения"), fields::modes[mode].success);
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
    serial.write(protocol::resetCommand);
    resetRequested = true;
    qDebug() << "pb clicked!";
}

void MainWindow::readData()
{
    if (const std::optional<QByteArray> reply = framer.feed(serial.readAll()))
        handleReply(*reply);
    else if (framer.msUntilQuiet() >= 0)
        frameTimer->start(framer.msUntilQuiet());
}

void MainWindow::takeQuietReply()
{
    if (const std::optional<QByteArray> reply = framer.takeIfQuiet())
        handleReply(*reply);
    else if (framer.msUntilQuiet() >= 0)
        frameTimer->start(framer.msUntilQuiet());
}

void MainWindow::handleReply(const QByteArray &reply)
{
    frameTimer->stop();

    rxData = QString::fromUtf8(protocol::replyText(reply));
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
    if (n < 1 || n > protocol::parameterCount)
        return;
    const protocol::Parameter &parameter = protocol::parameters[n - 1];
    const fields::Field &field = fields::fields[n - 1];
    const QString value = protocol::answerValue(parameter, rxData).left(field.width);

    if (field.edit) {
        QLineEdit *edit = ui->*field.edit;
        if (value.isEmpty()) {
            setColour(edit, fields::red);
            return;
        }
        setColour(edit, fields::green);
        edit->setText(value);
        return;
    }

    QComboBox *combo = ui->*field.combo;
    const int choice = protocol::choiceIndex(parameter, value);
    if (choice < 0) {
        setColour(combo, fields::red);
        return;
    }
    setColour(combo, fields::green);
    combo->setCurrentIndex(choice + 1);
}

void MainWindow::judgeVerdict()
{
    const int m = changeStep;
    if (m < 1 || m > 2 * protocol::writableCount)
        return;
    const int k = (m - 1) / 2;
    QWidget *widget = widgetOf(k + 1);
    if (rxData == QLatin1String(protocol::confirmation)) {
        setColour(widget, fields::green);
        confirmedChanges |= 1u << k;
        return;
    }
    setColour(widget, fields::red);
    stopChangeRun();
    QMessageBox::critical(this, "Ошибка", fields::writable(k).refusal);
}
