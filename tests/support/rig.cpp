#include "rig.h"

#include <QTest>

bool Rig::open(Mode mode)
{
    ui().conbox0->setCurrentIndex(mode);
    ui().serialPortInfoListBox->insertItem(0, pty.slavePath());
    ui().serialPortInfoListBox->setCurrentIndex(0);
    ui().connect->click();
    return probe.serial().isOpen();
}

void Rig::startScan()
{
    ui().scan_parameters->click();
    probe.scanTimer()->setInterval(24 * 3600 * 1000);
}

void Rig::startChange()
{
    ui().applyButton->click();
    probe.changeTimer()->setInterval(24 * 3600 * 1000);
}

void Rig::reply(const QByteArray &bytes, int settleMs)
{
    pty.write(bytes);
    QTest::qWait(settleMs);
}
