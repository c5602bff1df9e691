#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

#include <functional>

struct BoxRecord
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *parent = nullptr;
};

// Watches for modal message boxes, records each one and closes it with its OK button, so that code
// which opens a box runs on instead of blocking the test.
class ModalBoxes : public QObject
{
    Q_OBJECT

public:
    ModalBoxes();

    QList<BoxRecord> boxes;
    // Runs while a box is still open, before it is closed: to look at the window behind it.
    std::function<void(const BoxRecord &)> whileOpen;

private:
    void closeActiveBox();

    QTimer poll;
};

// A test's cleanup: fails when a message box or a shown window was left behind.
void verifyNothingLeftOpen();
