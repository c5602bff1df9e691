#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

#include "replyframer.h"

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QTimer;
class QWidget;
QT_END_NAMESPACE

namespace protocol {
struct Mode;
} // namespace protocol

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_scanport_clicked();
    void on_applyButton_clicked();
    void on_Reset_clicked();
    void on_scan_parameters_clicked();
    void readData();
    void openport();
    void closeport();
    void timerforScan();
    void scan_pa_modbus_RTU_TCP();
    void scan_pa_modbus_TCP_RTU();
    void change_pa_modbus_RTU_TCP();
    void change_pa_modbus_TCP_RTU();
    void change_parametersofmodbus();
    void checkCustomDevicePathPolicy();
    void handleError(QSerialPort::SerialPortError error);

private:
    void setPortControls(bool open);
    void stopScanRun();
    void stopChangeRun();
    void stopRuns();
    void clearColours();
    QWidget *widgetOf(int parameter) const;
    QByteArray valueOf(int parameter) const;
    void queryTick(int mode);
    void changeTick(int mode);
    void finishChangeRun(int mode);
    void takeQuietReply();
    void handleReply(const QByteArray &reply);
    void takeAnswer();
    void judgeVerdict();

    Ui::MainWindow *ui;
    QSerialPort serial;
    QString rxData;
    QTimer *scanTimer;
    QTimer *changeTimer;
    int changeStep;
    int scanStep;
    bool resetRequested;

    // Joins the pieces of a reply; the frame timer wakes it when the line falls quiet.
    ReplyFramer framer;
    QTimer *frameTimer;
    // One bit per change command of the current run that the device answered with "OK".
    quint32 confirmedChanges = 0;

    friend class WindowProbe;
};
