#pragma once

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QTimer>

// The tests' view of the window's inner state, and a way to drive its ticks without waiting a
// second for each.
class WindowProbe
{
public:
    explicit WindowProbe(MainWindow &window) : w(window) {}

    Ui::MainWindow &ui() const { return *w.ui; }
    QSerialPort &serial() const { return w.serial; }
    QTimer *scanTimer() const { return w.scanTimer; }
    QTimer *changeTimer() const { return w.changeTimer; }
    int scanStep() const { return w.scanStep; }
    int changeStep() const { return w.changeStep; }
    bool resetRequested() const { return w.resetRequested; }

    void scanTick() { w.timerforScan(); }
    void changeTick() { w.change_parametersofmodbus(); }
    void closePort() { w.closeport(); }

private:
    MainWindow &w;
};
