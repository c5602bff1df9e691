#include "rig.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPushButton>
#include <QTest>

ModalBoxes::ModalBoxes()
{
    QObject::connect(&poll, &QTimer::timeout, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        boxes << QMetaEnum::fromType<QMessageBox::Icon>().valueToKey(box->icon()) +
                     (' ' + box->windowTitle()) + " -> " + box->text();
        if (whileOpen)
            whileOpen();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(5);
}

QStringList Rig::log;

static QtMessageHandler previousHandler = nullptr;

Rig::Rig()
{
    log.clear();
    previousHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (type == QtDebugMsg)
                log << message;
            else if (previousHandler)
                previousHandler(type, context, message);
        });
}

Rig::~Rig()
{
    qInstallMessageHandler(previousHandler);
}

bool Rig::open(int mode, const QString &path)
{
    ui().conbox0->setCurrentIndex(mode);
    ui().serialPortInfoListBox->insertItem(0, path.isEmpty() ? pty.slave : path);
    ui().serialPortInfoListBox->setCurrentIndex(0);
    ui().connect->click();
    return probe.serial().isOpen();
}

void Rig::driveTicks()
{
    for (QTimer *timer : {probe.scanTimer(), probe.changeTimer()}) {
        if (timer->isActive())
            timer->setInterval(24 * 3600 * 1000);
    }
}

void verifyNothingLeftOpen()
{
    QVERIFY(!QApplication::activeModalWidget());
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
}
