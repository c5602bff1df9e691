#include "modalboxes.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

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
    record.richText = box->textFormat() == Qt::RichText ||
                      (box->textFormat() == Qt::AutoText && Qt::mightBeRichText(box->text()));
    record.parent = box->parentWidget();
    boxes << record;
    if (whileOpen)
        whileOpen(record);
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}

bool ModalBoxes::waitFor(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return boxes.size() >= count; }, timeoutMs);
}

void verifyNothingLeftOpen()
{
    QVERIFY(!QApplication::activeModalWidget());
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY2(!widget->isVisible(), qPrintable(widget->objectName()));
}
