// One converter's line in process, on a pseudo-terminal whose master the test holds: what leaves
// the port when the device or the adapter does not take it.

#include "link.h"
#include "pty.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class LinkTest : public QObject
{
    Q_OBJECT

private slots:
    void restartThatCannotLeave();
};

// A line that takes nothing (an adapter held by flow control, here a full pseudo-terminal): the
// restart command is given up, said not to have left, and what is sent next (the values put back)
// must not follow it onto the line once the line moves again.
void LinkTest::restartThatCannotLeave()
{
    PtyPair pty;
    const Console console;
    Link link(pty.slave, 9600, console);
    QString error;
    QVERIFY2(link.open(&error), qPrintable(error));
    const int filler = ::open(QFile::encodeName(pty.slave).constData(), O_WRONLY | O_NONBLOCK);
    QVERIFY(filler >= 0);
    // The kernel makes room in steps after a write: full is when it has stayed full a while.
    const QByteArray block(64, 'x');
    for (int full = 0; full < 5;) {
        if (::write(filler, block.constData(), size_t(block.size())) > 0) {
            full = 0;
        } else {
            ++full;
            QTest::qWait(10);
        }
    }
    ::close(filler);

    const Link::Reply reset = QCoro::waitFor(link.sendRestart(100));
    QCOMPARE(reset.result, Link::Result::NoAnswer);
    QVERIFY(!link.restartMayHaveLeft());
    auto putBack = link.sendChange(1, "192.168.0.10", 500);
    QByteArray line;
    QTRY_VERIFY_WITH_TIMEOUT((line += pty.take(5)).contains("CHANGE IP:192.168.0.10"), 3000);
    QVERIFY2(!line.contains("SET"), line.right(40).constData());
    QCOMPARE(QCoro::waitFor(putBack).result, Link::Result::NoAnswer);
}

QTEST_GUILESS_MAIN(LinkTest)
#include "tst_link.moc"
