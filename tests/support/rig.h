#pragma once

#include "logcapture.h"
#include "modalboxes.h"
#include "ptypair.h"
#include "windowprobe.h"

#include <memory>

// A window, a pseudo-terminal playing the device, and the box recorder, ready for one test.
struct Rig
{
    enum Mode
    {
        TcpRtu = 0,
        RtuTcp = 1
    };

    PtyPair pty;
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    WindowProbe probe{*window};
    ModalBoxes boxes;

    Ui::MainWindow &ui() const { return probe.ui(); }

    // Lists the pseudo-terminal first, as the system's enumeration never does, and opens it.
    bool open(Mode mode);

    // Starts a run by its button and leaves the timer stopped, so the test drives every tick.
    void startScan();
    void startChange();

    // Sends a reply and lets the window take it in.
    void reply(const QByteArray &bytes, int settleMs = 20);
};

// The two colours a field takes.
inline const QString green = QStringLiteral("background-color:  #90ee90;");
inline const QString red = QStringLiteral("background-color: #FF2400");
