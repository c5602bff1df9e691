// The window against the simulated converter as a separate process, in real time: a read, a write,
// the device's restart, and a second read that must show what was written.

#include "logcapture.h"
#include "modalboxes.h"
#include "windowprobe.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

namespace {

constexpr int tickMs = 1000;
// Room on top of a run's nominal length for a loaded machine.
constexpr int slackMs = 3000;
// Short, so the test waits little for the restart, yet long enough that a window reconnecting
// too early would meet a device still ignoring input.
constexpr int restartMs = 300;

struct Field
{
    const char *name;
    const char *factory;
    const char *changed; // nullptr: read only
};

// The simulator's factory settings, and valid new ones as long as each field takes, so that an
// answer cut short shows. In the order the window asks for them.
const Field fields[] = {
    {"lineEdit_MAC", "02:00:00:00:00:01", nullptr},
    {"lineEdit_ip", "192.168.0.10", "192.168.100.200"},
    {"lineEdit_mask", "255.255.255.0", "255.255.255.252"},
    {"lineEdit_gateway", "192.168.0.1", "192.168.100.254"},
    {"lineEdit_portTCP", "502", "65535"},
    {"comboBox", "0- без паритета", "2-контроль четности"},
    {"comboBox_speed", "9600", "256000"},
    {"comboBox_2", "1-один стоп бит", "2-два стоп бита"},
    {"lineEdit_ipservertcp", "192.168.0.100", "192.168.100.201"},
    {"lineEdit_timeout", "1000", "65535"},
};

QString shown(const QWidget *widget)
{
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    return qobject_cast<const QComboBox *>(widget)->currentText();
}

// Every field as "name=text"; a mode's read leaves the fields it does not ask for blank.
QStringList expected(int fieldsInMode, bool changed)
{
    QStringList lines;
    for (int i = 0; i < int(std::size(fields)); ++i) {
        const Field &field = fields[i];
        QString text;
        if (i < fieldsInMode)
            text = changed && field.changed ? field.changed : field.factory;
        lines << QString(field.name) + '=' + text;
    }
    return lines;
}

QStringList actual(const MainWindow &window)
{
    QStringList lines;
    for (const Field &field : fields)
        lines << QString(field.name) + '=' + shown(window.findChild<QWidget *>(field.name));
    return lines;
}

void type(MainWindow &window, int fieldsInMode)
{
    for (int i = 0; i < fieldsInMode; ++i) {
        const Field &field = fields[i];
        if (!field.changed)
            continue;
        QWidget *widget = window.findChild<QWidget *>(field.name);
        if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
            edit->selectAll();
            QTest::keyClicks(edit, field.changed);
        } else {
            auto *combo = qobject_cast<QComboBox *>(widget);
            combo->setCurrentIndex(combo->findText(field.changed));
        }
    }
}

// Clicks a button and runs the event loop until what it started is over; empty when the run ended
// in time and kept the one-second pace, else what went wrong.
QString run(QAbstractButton *button, int ticks, const std::function<bool()> &over)
{
    QElapsedTimer clock;
    clock.start();
    button->click();
    if (!QTest::qWaitFor(over, ticks * tickMs + slackMs))
        return "did not end";
    // Coarse timers may fire up to 5 % early.
    if (clock.elapsed() < ticks * tickMs * 95 / 100)
        return QString("ended after only %1 ms").arg(clock.elapsed());
    return {};
}

QStringList titles(const ModalBoxes &boxes)
{
    QStringList list;
    for (const BoxRecord &box : boxes.boxes)
        list << box.title;
    return list;
}

// The simulated converter in its own process, reached through a link that follows it to each new
// pseudo-terminal.
class Device
{
public:
    explicit Device(const QStringList &options)
    {
        process.start(TCPRTU_SIM_BINARY,
                      QStringList{"--link", link(), "--restart-ms", QString::number(restartMs)} +
                          options);
    }
    ~Device() { stop(); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    QString link() const { return dir.filePath("port"); }

    // The device announces its port once the link is in place.
    bool waitForPort()
    {
        QDeadlineTimer deadline(5000);
        while (!process.canReadLine() && process.waitForReadyRead(int(deadline.remainingTime())))
            ;
        return process.canReadLine() && QFileInfo(link()).isSymLink();
    }

    bool waitForRestart()
    {
        return QTest::qWaitFor([this] { return log().contains(" restarted\n"); },
                               restartMs + slackMs);
    }

    // Ends the device the way a user's Ctrl-C does; true when it went cleanly and took its link
    // along.
    bool stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(3000)) {
                process.kill();
                process.waitForFinished();
            }
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
               !QFileInfo(link()).isSymLink();
    }

    QByteArray log()
    {
        traffic += process.readAllStandardError();
        return traffic;
    }

private:
    QTemporaryDir dir;
    QProcess process;
    QByteArray traffic;
};

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void writeAndReadBack_data();
    void writeAndReadBack();

private:
    std::unique_ptr<Device> device;
};

void EndToEndTest::cleanup()
{
    if (device && QTest::currentTestFailed())
        qInfo().noquote() << "The simulator's log:\n" + device->log();
    QVERIFY(!device || device->stop());
    device.reset();
    verifyNothingLeftOpen();
}

void EndToEndTest::writeAndReadBack_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("fieldsInMode");
    QTest::addColumn<bool>("deviceDropsTheLine");
    QTest::newRow("TCP-RTU, the device drops the line") << 0 << 8 << true;
    QTest::newRow("RTU-TCP, the window closes the port") << 1 << 10 << false;
}

void EndToEndTest::writeAndReadBack()
{
    QFETCH(int, mode);
    QFETCH(int, fieldsInMode);
    QFETCH(bool, deviceDropsTheLine);
    const int readTicks = fieldsInMode + 1;
    const int writeTicks = 2 * (fieldsInMode - 1) + 1;

    device = std::make_unique<Device>(deviceDropsTheLine ? QStringList{"--drop-on-restart"}
                                                         : QStringList{});
    QVERIFY(device->waitForPort());

    MainWindow window;
    WindowProbe probe(window);
    Ui::MainWindow &ui = probe.ui();
    ModalBoxes boxes;
    LogCapture debugLog;
    ui.conbox0->setCurrentIndex(mode);
    ui.serialPortInfoListBox->insertItem(0, device->link());
    ui.serialPortInfoListBox->setCurrentIndex(0);
    const auto readIsOver = [&] { return !probe.scanTimer()->isActive(); };

    ui.connect->click();
    QVERIFY(probe.serial().isOpen());
    QCOMPARE(run(ui.scan_parameters, readTicks, readIsOver), QString());
    QCOMPARE(actual(window), expected(fieldsInMode, false));

    type(window, fieldsInMode);
    QCOMPARE(actual(window), expected(fieldsInMode, true));
    QCOMPARE(run(ui.applyButton, writeTicks, [&] { return !boxes.boxes.isEmpty(); }), QString());
    QCOMPARE(titles(boxes), QStringList{"Результы изменения"});
    QCOMPARE(boxes.boxes.first().icon, QMessageBox::Information);

    // In TCP-RTU the device drops the line as it restarts and the window takes that quietly; in
    // RTU-TCP the window has closed the port itself before the device could.
    QVERIFY(QTest::qWaitFor([&] { return !probe.serial().isOpen(); }, slackMs));
    QCOMPARE(debugLog.count("reseted!!!!!"), deviceDropsTheLine ? 1 : 0);
    QVERIFY(device->waitForRestart());

    ui.connect->click();
    QVERIFY(probe.serial().isOpen());
    QCOMPARE(run(ui.scan_parameters, readTicks, readIsOver), QString());
    QCOMPARE(actual(window), expected(fieldsInMode, true));

    QCOMPARE(titles(boxes), QStringList{"Результы изменения"});
    ui.closeport->click();
    QVERIFY(device->stop());
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
