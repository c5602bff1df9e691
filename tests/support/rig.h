#pragma once

#include "mainwindow.h"
#include "pty.h"
#include "ui_mainwindow.h"

#include <QStringList>
#include <QTimer>

#include <functional>

// The tests' view of the window's inner state, and a way to drive its ticks without waiting a
// second for each.
class WindowProbe
{
public:
    MainWindow &w;

    Ui::MainWindow &ui() const { return *w.ui; }
    QSerialPort &serial() const { return w.serial; }
    QTimer *scanTimer() const { return w.scanTimer; }
    QTimer *changeTimer() const { return w.changeTimer; }
    int scanStep() const { return w.scanStep; }
    int changeStep() const { return w.changeStep; }
    bool resetRequested() const { return w.resetRequested; }

    void scanTick() { w.timerforScan(); }
    void changeTick() { w.change_parametersofmodbus(); }
    void error(QSerialPort::SerialPortError error) { w.handleError(error); }
};

// Records every modal message box as "Critical Title -> text" and closes it with its OK button, so
// that code which opens a box runs on instead of blocking the test.
struct ModalBoxes
{
    ModalBoxes();

    QStringList boxes;
    // Runs while a box is still open: to look at the window behind it.
    std::function<void()> whileOpen;
    QTimer poll;
};

// A window, a pseudo-terminal playing the device and the box recorder, for one test. While it
// lives, it collects the debug log; other messages go where they went before.
struct Rig
{
    Rig();
    ~Rig();

    PtyPair pty;
    MainWindow window;
    WindowProbe probe{window};
    ModalBoxes boxes;
    static QStringList log;

    Ui::MainWindow &ui() const { return probe.ui(); }

    // Lists the port first, as the system's enumeration never lists a pseudo-terminal, and opens
    // it: the rig's own line unless another path is given. Mode 0 is TCP-RTU, 1 RTU-TCP.
    bool open(int mode, const QString &path = {});
    // Stretches the running timers to a day, so that the test drives every tick itself.
    void driveTicks();
};

// A test's cleanup: fails when a message box or a shown window was left behind.
void verifyNothingLeftOpen();

// Plays one exchange between the window and the device on the pseudo-terminal, from a line of
// steps separated by "; ", for example
//   open rtu-tcp; click scan_parameters; tick 2; reply ip:10.0.0.1\r\n; expect lineEdit_ip=10.0.0.1
//   green
// The steps are listed in script.cpp. Fails the running test at the first step that does not
// hold, naming that step.
void play(Rig &rig, const QString &script);
// Plays the test's row from its column "script".
void playRow();
