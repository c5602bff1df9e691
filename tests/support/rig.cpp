#include "rig.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

void PtyPair::reopen()
{
    closeMaster();
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
        slave = QString::fromLocal8Bit(ptsname(master));
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(std::exchange(master, -1));
}

void PtyPair::write(const QByteArray &bytes)
{
    // What a full line cannot take is lost, as on a real one; only the babbling device fills it.
    [[maybe_unused]] const ssize_t written =
        master < 0 ? 0 : ::write(master, bytes.constData(), size_t(bytes.size()));
}

QByteArray PtyPair::take(int settleMs)
{
    QTest::qWait(settleMs);
    QByteArray bytes;
    char chunk[4096];
    ssize_t n = 0;
    // Until EAGAIN (nothing more for now) or EIO (nobody has the slave open).
    while (master >= 0 && (n = ::read(master, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, int(n));
    return bytes;
}

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
