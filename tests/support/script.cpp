#include "script.h"

#include <QHash>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTest>

#include <ctime>
#include <functional>

namespace {

QByteArray bytesOf(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        if (c == 'x') {
            out += char(in.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c;
        }
    }
    return out;
}

QString colourName(const QString &styleSheet)
{
    return styleSheet == green    ? "green"
           : styleSheet == red    ? "red"
           : styleSheet.isEmpty() ? "plain"
                                  : styleSheet;
}

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The device's answers to the queries when a script lets it read.
const QHash<QByteArray, QByteArray> deviceValues = {
    {"MAC", "02:00:00:00:00:01"}, {"ip", "192.168.0.10"}, {"MASK", "255.255.255.0"},
    {"GATEWAY", "192.168.0.1"},   {"PORT TCP", "502"},    {"parity", "2"},
    {"SPEED RS485", "115200"},    {"STOP BIT", "2"},      {"IP SERVER TCP", "192.168.0.100"},
    {"TIMEOUT TCP", "1000"}};

class Player
{
public:
    explicit Player(Rig &rig);
    ~Player() { rig.boxes.whileOpen = nullptr; }
    bool play(const QString &script);

private:
    using Step = std::function<bool(const QString &)>;
    bool expect(bool holds, const QString &why);
    bool same(const QString &actual, const QString &expected);
    QWidget *widget(const QString &name) const;
    bool forEach(const QString &names, const std::function<bool(QWidget *)> &holds);
    bool runTicks(int count);

    Rig &rig;
    LogCapture log;
    QHash<QString, Step> steps;
    QString current;
    QString device = "silent";
    QList<QByteArray> wire;
    int boxesSeen = 0;
    QList<QHash<QString, QString>> atBoxes;
    std::unique_ptr<QSerialPort> holder;
    bool droppedDuringBox = false;
};

Player::Player(Rig &rig) : rig(rig)
{
    // What the window looked like while each box was open.
    rig.boxes.whileOpen = [this](const BoxRecord &) {
        atBoxes << QHash<QString, QString>{
            {"status", this->rig.ui().statusbar->currentMessage()},
            {"port", this->rig.probe.serial().isOpen() ? "open" : "closed"},
            {"restart", this->rig.probe.resetRequested() ? "expected" : "unexpected"},
            {"lineEdit_ip", colourName(this->rig.ui().lineEdit_ip->styleSheet())},
            {"comboBox_2", colourName(this->rig.ui().comboBox_2->styleSheet())}};
    };

    steps = {
        // The port and the buttons.
        {"open",
         [this](const QString &mode) {
             return expect(this->rig.open(mode == "rtu-tcp" ? Rig::RtuTcp : Rig::TcpRtu),
                           "port did not open");
         }},
        {"list",
         [this](const QString &path) {
             this->rig.ui().serialPortInfoListBox->clear();
             if (!path.isEmpty())
                 this->rig.ui().serialPortInfoListBox->addItem(path);
             return true;
         }},
        {"hold",
         [this](const QString &) {
             // Another program has the line open; the window lists it all the same.
             holder = std::make_unique<QSerialPort>(this->rig.pty.slavePath());
             this->rig.ui().serialPortInfoListBox->insertItem(0, this->rig.pty.slavePath());
             this->rig.ui().serialPortInfoListBox->setCurrentIndex(0);
             return expect(holder->open(QIODevice::ReadWrite), "could not hold the line");
         }},
        {"click",
         [this](const QString &name) {
             auto *button = qobject_cast<QAbstractButton *>(widget(name));
             if (!expect(button, "no such button"))
                 return false;
             button->click();
             // The test drives every tick itself.
             for (QTimer *timer : {this->rig.probe.scanTimer(), this->rig.probe.changeTimer()})
                 if (timer->isActive())
                     timer->setInterval(24 * 3600 * 1000);
             return true;
         }},
        {"closeport",
         [this](const QString &) {
             this->rig.probe.closePort();
             return true;
         }},
        {"yank",
         [this](const QString &) {
             this->rig.probe.serial().close();
             return true;
         }},
        {"drop",
         [this](const QString &) {
             this->rig.pty.closeMaster();
             return expect(
                 QTest::qWaitFor([&] { return !this->rig.probe.serial().isOpen(); }, 2000),
                 "port still open");
         }},
        {"newline",
         [this](const QString &) {
             this->rig.pty.reopen();
             this->rig.ui().serialPortInfoListBox->insertItem(0, this->rig.pty.slavePath());
             this->rig.ui().serialPortInfoListBox->setCurrentIndex(0);
             return true;
         }},
        {"error",
         [this](const QString &name) {
             const int error =
                 QMetaEnum::fromType<QSerialPort::SerialPortError>().keyToValue(name.toLatin1());
             return expect(error >= 0, "no such error") &&
                    QMetaObject::invokeMethod(
                        this->rig.window.get(), "handleError",
                        Q_ARG(QSerialPort::SerialPortError, QSerialPort::SerialPortError(error)));
         }},
        {"quiet",
         [this](const QString &ms) {
             const int window = ms.isEmpty() ? 300 : ms.toInt();
             const double before = cpuSeconds();
             QTest::qWait(window);
             return expect(cpuSeconds() - before < window * 0.05 / 1000, "the process keeps busy");
         }},

        // Ticks and the wire.
        {"tick",
         [this](const QString &count) { return runTicks(count.isEmpty() ? 1 : count.toInt()); }},
        {"skip",
         [this](const QString &count) {
             const bool ran = runTicks(count.toInt());
             wire.clear();
             return ran;
         }},
        {"scan-tick",
         [this](const QString &) {
             this->rig.probe.scanTick();
             return true;
         }},
        {"change-tick",
         [this](const QString &) {
             this->rig.probe.changeTick();
             return true;
         }},
        {"device",
         [this](const QString &behaviour) {
             device = behaviour;
             return true;
         }},
        {"sent",
         [this](const QString &bytes) {
             wire << this->rig.pty.take();
             const QByteArray all = wire.join();
             wire.clear();
             return same(QString::fromLatin1(all.toHex(' ')),
                         QString::fromLatin1(bytesOf(bytes).toHex(' ')));
         }},
        {"wire",
         [this](const QString &ticks) {
             if (const QByteArray late = this->rig.pty.take(); !late.isEmpty())
                 wire << late;
             QStringList seen;
             for (const QByteArray &w : wire)
                 seen << QString::fromLatin1(w);
             wire.clear();
             return same(seen.join('|'), ticks);
         }},
        {"reply",
         [this](const QString &bytes) {
             this->rig.pty.write(bytesOf(bytes));
             QTest::qWait(80);
             return true;
         }},
        {"piece",
         [this](const QString &bytes) {
             this->rig.pty.write(bytesOf(bytes));
             QTest::qWait(20);
             return true;
         }},
        {"pause",
         [](const QString &ms) {
             QTest::qWait(ms.toInt());
             return true;
         }},

        // The fields.
        {"fill",
         [this](const QString &) {
             Ui::MainWindow &ui = this->rig.ui();
             ui.lineEdit_MAC->setText("02:00:00:00:00:01");
             ui.lineEdit_ip->setText("192.168.0.10");
             ui.lineEdit_mask->setText("255.255.255.0");
             ui.lineEdit_gateway->setText("192.168.0.1");
             ui.lineEdit_portTCP->setText("502");
             ui.comboBox->setCurrentIndex(3);
             ui.comboBox_speed->setCurrentIndex(4);
             ui.comboBox_2->setCurrentIndex(1);
             ui.lineEdit_ipservertcp->setText("192.168.0.100");
             ui.lineEdit_timeout->setText("1000");
             return true;
         }},
        {"set",
         [this](const QString &assignment) {
             const QString name = assignment.section('=', 0, 0), value = assignment.section('=', 1);
             if (auto *edit = qobject_cast<QLineEdit *>(widget(name)))
                 edit->setText(value);
             else if (auto *combo = qobject_cast<QComboBox *>(widget(name)))
                 combo->setCurrentIndex(value.toInt());
             else
                 return expect(false, "no such field");
             return true;
         }},
        {"check",
         [this](const QString &what) {
             const QString name = what.section('=', 0, 0);
             const QString rest = what.section('=', 1);
             const QString value = rest.section(' ', 0, -2), colour = rest.section(' ', -1);
             QWidget *field = widget(name);
             if (!expect(field, "no such field"))
                 return false;
             const QString actual =
                 qobject_cast<QLineEdit *>(field)
                     ? qobject_cast<QLineEdit *>(field)->text()
                     : QString::number(qobject_cast<QComboBox *>(field)->currentIndex());
             return same(actual + ' ' + colourName(field->styleSheet()), value + ' ' + colour);
         }},

        // What the window shows and tells.
        {"status",
         [this](const QString &text) {
             return same(this->rig.ui().statusbar->currentMessage(), text);
         }},
        {"enabled",
         [this](const QString &names) {
             return forEach(names, [](QWidget *w) { return w->isEnabled(); });
         }},
        {"disabled",
         [this](const QString &names) {
             return forEach(names, [](QWidget *w) { return !w->isEnabled(); });
         }},
        {"shown",
         [this](const QString &names) {
             return forEach(names, [](QWidget *w) { return !w->isHidden(); });
         }},
        {"hidden",
         [this](const QString &names) {
             return forEach(names, [](QWidget *w) { return w->isHidden(); });
         }},
        {"box",
         [this](const QString &box) {
             if (!expect(boxesSeen < this->rig.boxes.boxes.size(), "no box was shown"))
                 return false;
             const BoxRecord &record = this->rig.boxes.boxes[boxesSeen++];
             const QString icon = record.icon == QMessageBox::Critical      ? "critical"
                                  : record.icon == QMessageBox::Information ? "information"
                                                                            : "other";
             return expect(record.parent == this->rig.window.get(),
                           "box without the window as parent") &&
                    same(icon + ' ' + record.title + " -> " + record.text, box);
         }},
        {"at-box",
         [this](const QString &facts) {
             for (const QString &fact : facts.split(' ')) {
                 if (!same(fact.section('=', 0, 0) + '=' +
                               atBoxes.value(boxesSeen - 1).value(fact.section('=', 0, 0)),
                           fact))
                     return false;
             }
             return true;
         }},
        {"no-box",
         [this](const QString &) {
             QTest::qWait(20);
             return same(QString::number(this->rig.boxes.boxes.size() - boxesSeen), "0");
         }},
        {"drop-during-box",
         [this](const QString &) {
             this->rig.boxes.whileOpen =
                 [this, keep = this->rig.boxes.whileOpen](const BoxRecord &record) {
                     keep(record);
                     this->rig.pty.closeMaster();
                     droppedDuringBox =
                         QTest::qWaitFor([&] { return !this->rig.probe.serial().isOpen(); }, 1000);
                 };
             return true;
         }},
        {"dropped-during-box",
         [this](const QString &) {
             return expect(droppedDuringBox, "the line was not dropped while the box was open");
         }},
        {"log",
         [this](const QString &line) {
             return expect(log.lines().contains(line),
                           "not in the log: " + log.lines().join(" / "));
         }},
        {"data-lines",
         [this](const QString &count) {
             return same(
                 QString::number(log.lines().filter(QRegularExpression("^\"data 2:")).size()),
                 count);
         }},

        // The runs.
        {"idle",
         [this](const QString &) {
             return same(QString("%1 %2 %3 %4")
                             .arg(this->rig.probe.scanTimer()->isActive())
                             .arg(this->rig.probe.scanStep())
                             .arg(this->rig.probe.changeTimer()->isActive())
                             .arg(this->rig.probe.changeStep()),
                         "0 0 0 0");
         }},
        {"scanning",
         [this](const QString &step) {
             return same(QString("%1 %2 %3")
                             .arg(this->rig.probe.scanTimer()->isActive())
                             .arg(this->rig.probe.scanStep())
                             .arg(this->rig.probe.changeTimer()->isActive()),
                         "1 " + step + " 0");
         }},
        {"changing",
         [this](const QString &step) {
             return same(QString("%1 %2 %3")
                             .arg(this->rig.probe.changeTimer()->isActive())
                             .arg(this->rig.probe.changeStep())
                             .arg(this->rig.probe.scanTimer()->isActive()),
                         "1 " + step + " 0");
         }},
        {"counters",
         [this](const QString &both) {
             return same(
                 QString("%1 %2").arg(this->rig.probe.scanStep()).arg(this->rig.probe.changeStep()),
                 both);
         }},
    };
}

bool Player::expect(bool holds, const QString &why)
{
    if (!holds)
        QTest::qFail(qPrintable(QString("step \"%1\": %2").arg(current, why)), __FILE__, __LINE__);
    return holds;
}

bool Player::same(const QString &actual, const QString &expected)
{
    return expect(actual == expected, QString("got \"%1\", expected \"%2\"").arg(actual, expected));
}

QWidget *Player::widget(const QString &name) const
{
    return rig.window->findChild<QWidget *>(name);
}

bool Player::forEach(const QString &names, const std::function<bool(QWidget *)> &holds)
{
    for (const QString &name : names.split(',')) {
        QWidget *w = widget(name);
        if (!expect(w && holds(w), name))
            return false;
    }
    return true;
}

bool Player::runTicks(int count)
{
    for (int i = 0; i < count; ++i) {
        if (rig.probe.scanTimer()->isActive())
            rig.probe.scanTick();
        else if (rig.probe.changeTimer()->isActive())
            rig.probe.changeTick();
        else
            return expect(false, QString("no run left for tick %1").arg(i + 1));
        const QByteArray sent = rig.pty.take(10);
        wire << sent;
        if (device == "reads" && deviceValues.contains(sent))
            rig.reply(sent + ':' + deviceValues[sent] + "\r\n");
        else if (device == "ok" && sent.startsWith("CHANGE"))
            rig.reply("OK\r\n");
        else if (device.startsWith("ok-except:") && sent.startsWith("CHANGE") &&
                 !sent.startsWith(device.mid(10).toLatin1()))
            rig.reply("OK\r\n");
    }
    return true;
}

bool Player::play(const QString &script)
{
    for (const QString &step : script.split("; ")) {
        current = step;
        const QString verb = step.section(' ', 0, 0);
        if (!expect(steps.contains(verb), "unknown step") || !steps[verb](step.section(' ', 1)))
            return false;
    }
    return true;
}

} // namespace

void play(Rig &rig, const QString &script)
{
    Player(rig).play(script);
}
