#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QTimer;
class QWidget;
QT_END_NAMESPACE

namespace device {
struct Parameter;
struct Mode;
} // namespace device

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
    QWidget *widgetOf(const device::Parameter &parameter) const;
    QByteArray valueOf(const device::Parameter &parameter) const;
    void queryTick(const device::Mode &mode);
    void changeTick(const device::Mode &mode);
    void finishChangeRun(const device::Mode &mode);
    void handleReply();
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

    // Bytes of a reply still being received; see readData().
    QByteArray rxBuffer;
    QTimer *frameTimer;
    // One bit per change command of the current run that the device answered with "OK".
    quint32 confirmedChanges = 0;

    friend class WindowProbe;
};
