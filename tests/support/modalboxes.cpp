#include "modalboxes.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

ModalBoxes::ModalBoxes()
{
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, this, &ModalBoxes::closeActiveBox);
    poll.start();
}

void ModalBoxes::closeActiveBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    BoxRecord record;
    record.title = box->windowTitle();
    record.text = box->text();
    record.icon = box->icon();
    record.parent = box->parentWidget();
    boxes << record;
    if (whileOpen)
        whileOpen(record);
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}

void verifyNothingLeftOpen()
{
    QVERIFY(!QApplication::activeModalWidget());
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
}
