#include "rig.h"

#include "protocol.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTest>

namespace {

// Byte strings in scripts are Latin-1 and understand \r, \n and \0.
QByteArray bytesOf(const QString &text)
{
    return text.toLatin1().replace("\\r", "\r").replace("\\n", "\n").replace("\\0", {"", 1});
}

// The device's answers when a script lets it read, in the order of the protocol's table.
const char *const deviceValues[] = {
    "02:00:00:00:00:01", "192.168.0.10", "255.255.255.0", "192.168.0.1", "502", "2", "115200", "2",
    "192.168.0.100",     "1000"};

struct Player
{
    Rig &rig;
    WindowProbe &probe = rig.probe;
    QHash<QString, std::function<void(const QString &)>> steps;
    QString current;
    bool failed = false;
    QString device = "silent";
    QByteArrayList wire;
    // A script sees the boxes shown while it plays.
    int boxesSeen = int(rig.boxes.boxes.size());
    QList<QHash<QString, QString>> atBoxes;

    explicit Player(Rig &rig);
    ~Player() { rig.boxes.whileOpen = nullptr; }

    bool expect(bool holds, const QString &why)
    {
        failed = failed || !holds;
        if (!holds)
            QTest::qFail(qPrintable("step \"" + current + "\": " + why), __FILE__, __LINE__);
        return holds;
    }
    bool same(const QString &actual, const QString &expected)
    {
        return expect(actual == expected, "got \"" + actual + "\", expected \"" + expected + '"');
    }
    QWidget *widget(const QString &name) const { return rig.window.findChild<QWidget *>(name); }
    // What a script can check: "status", "port", "restart", "run", "data-lines", "icon", a field
    // by its name ("10.0.0.1 green", "4 plain"), "enabled:NAME" and "visible:NAME" (yes or no).
    QString fact(const QString &key) const
    {
        if (key == "status")
            return rig.ui().statusbar->currentMessage();
        if (key == "port")
            return probe.serial().isOpen() ? "open" : "closed";
        if (key == "restart")
            return probe.resetRequested() ? "expected" : "unexpected";
        if (key == "data-lines")
            return QString::number(Rig::log.filter(QRegularExpression("^\"data 2:")).size());
        if (key == "icon")
            return QString::number(rig.window.windowIcon().availableSizes().size()) + " sizes";
        if (key == "run") {
            // "idle" once both runs are over and ready to start from their first step.
            const QString run = QString("scan %1 %2, change %3 %4")
                                    .arg(probe.scanTimer()->isActive() ? "on" : "off")
                                    .arg(probe.scanStep())
                                    .arg(probe.changeTimer()->isActive() ? "on" : "off")
                                    .arg(probe.changeStep());
            return run == "scan off 0, change off 0" ? "idle" : run;
        }
        QWidget *w = widget(key.section(':', -1));
        if (!w)
            return "no such widget";
        if (key.startsWith("enabled:"))
            return w->isEnabled() ? "yes" : "no";
        if (key.startsWith("visible:"))
            return w->isHidden() ? "no" : "yes";
        const QString colour = w->styleSheet() == "background-color:  #90ee90;" ? "green"
                               : w->styleSheet() == "background-color: #FF2400" ? "red"
                               : w->styleSheet().isEmpty()                      ? "plain"
                                                                                : w->styleSheet();
        if (auto *edit = qobject_cast<QLineEdit *>(w))
            return edit->text() + ' ' + colour;
        return QString::number(qobject_cast<QComboBox *>(w)->currentIndex()) + ' ' + colour;
    }

    // "run=idle", or several keys sharing one value: "enabled:connect,enabled:scanport=yes".
    void facts(const QString &claim, const QHash<QString, QString> *seen = nullptr)
    {
        const QString value = claim.section('=', 1);
        for (const QString &key : claim.section('=', 0, 0).split(','))
            if (!same(key + '=' + (seen ? seen->value(key) : fact(key)), key + '=' + value))
                return;
    }

    // Each tick's bytes go to the wire. A device that reads answers each query; one that says
    // "ok" confirms each change, but those that start with what follows "ok-except:".
    void runTicks(int count)
    {
        for (int i = 0; i < count; ++i) {
            if (probe.scanTimer()->isActive())
                probe.scanTick();
            else if (probe.changeTimer()->isActive())
                probe.changeTick();
            else
                return (void)expect(false, QString("no run left for tick %1").arg(i + 1));
            const QByteArray sent = rig.pty.take(10);
            wire << sent;
            for (int p = 0; device == "reads" && p < protocol::parameterCount; ++p) {
                if (sent == protocol::parameters[p].query)
                    rig.pty.write(sent + ':' + deviceValues[p] + "\r\n");
            }
            if (sent.startsWith("CHANGE") &&
                (device == "ok" ||
                 (device.startsWith("ok-except:") && !sent.startsWith(device.mid(10).toLatin1()))))
                rig.pty.write("OK\r\n");
            // An answer is taken in before the next tick.
            QTest::qWait(device == "silent" ? 0 : 20);
        }
    }

    void play(const QString &script)
    {
        for (const QString &step : script.split("; ")) {
            current = step;
            const QString verb = step.section(' ', 0, 0);
            if (expect(steps.contains(verb), "unknown step"))
                steps[verb](step.section(' ', 1));
            if (failed)
                return;
        }
    }
};

Player::Player(Rig &rig) : rig(rig)
{
    // What the window looked like while each box was open.
    rig.boxes.whileOpen = [this] {
        QHash<QString, QString> seen;
        for (const char *key : {"status", "port", "restart", "lineEdit_ip", "comboBox_2"})
            seen[key] = fact(key);
        atBoxes << seen;
    };
    using Arg = const QString &;
    // clang-format off
    steps = {
        // The port and the buttons.
        {"open", [this](Arg mode) { expect(this->rig.open(mode == "rtu-tcp"), "port did not open"); }},
        {"list", [this](Arg path) { this->rig.ui().serialPortInfoListBox->clear(); this->rig.ui().serialPortInfoListBox->addItem(path); }},
        {"newline", [this](Arg) { this->rig.pty.reopen(); this->rig.ui().serialPortInfoListBox->insertItem(0, this->rig.pty.slave); this->rig.ui().serialPortInfoListBox->setCurrentIndex(0); }},
        {"click", [this](Arg name) { auto *button = qobject_cast<QAbstractButton *>(widget(name)); if (expect(button, "no such button")) button->click(); this->rig.driveTicks(); }},
        // In real time: the run a button starts must end within its ticks and a little, and not before.
        {"run", [this](Arg args) {
             QElapsedTimer clock;
             clock.start();
             qobject_cast<QAbstractButton *>(widget(args.section(' ', 0, 0)))->click();
             const int ms = args.section(' ', 1).toInt() * 1000;
             const bool over = QTest::qWaitFor([&] { return fact("run") == "idle"; }, ms + 3000);
             expect(over && clock.elapsed() >= ms * 95 / 100, QString("run ended after %1 ms").arg(clock.elapsed())); }},
        // The port closes behind the window's back.
        {"yank", [this](Arg) { probe.serial().close(); }},
        {"await", [this](Arg claim) { if (!QTest::qWaitFor([&] { return fact(claim.section('=', 0, 0)) == claim.section('=', 1); }, 3000)) facts(claim); }},
        {"drop", [this](Arg) { this->rig.pty.closeMaster(); expect(QTest::qWaitFor([&] { return !probe.serial().isOpen(); }, 2000), "port still open"); }},
        {"error", [this](Arg name) { probe.error(QSerialPort::SerialPortError(QMetaEnum::fromType<QSerialPort::SerialPortError>().keyToValue(name.toLatin1()))); }},

        // Ticks and the device.
        {"tick", [this](Arg count) { runTicks(count.isEmpty() ? 1 : count.toInt()); }},
        {"skip", [this](Arg count) { runTicks(count.toInt()); wire.clear(); }},
        // A tick as its timer would deliver it, whether a run is on or not.
        {"scan-tick", [this](Arg) { probe.scanTick(); }},
        {"change-tick", [this](Arg) { probe.changeTick(); }},
        {"device", [this](Arg behaviour) { device = behaviour; }},
        {"reply", [this](Arg bytes) { this->rig.pty.write(bytesOf(bytes)); QTest::qWait(80); }},
        {"piece", [this](Arg bytes) { this->rig.pty.write(bytesOf(bytes)); QTest::qWait(20); }},
        {"pause", [](Arg ms) { QTest::qWait(ms.toInt()); }},

        // The user's input: a text, or a combo box's item by its number.
        {"fill", [this](Arg) { play("set lineEdit_MAC=02:00:00:00:00:01; set lineEdit_ip=192.168.0.10; set lineEdit_mask=255.255.255.0; set lineEdit_gateway=192.168.0.1; set lineEdit_portTCP=502; set comboBox=3; set comboBox_speed=4; set comboBox_2=1; set lineEdit_ipservertcp=192.168.0.100; set lineEdit_timeout=1000"); }},
        {"set", [this](Arg assignment) {
             QWidget *field = widget(assignment.section('=', 0, 0));
             if (auto *edit = qobject_cast<QLineEdit *>(field)) edit->setText(assignment.section('=', 1));
             else if (auto *combo = qobject_cast<QComboBox *>(field)) combo->setCurrentIndex(assignment.section('=', 1).toInt());
             else expect(false, "no such field"); }},

        // What the window does.
        {"expect", [this](Arg claim) { facts(claim); }},
        {"at-box", [this](Arg claim) { if (expect(boxesSeen > 0, "no box yet")) facts(claim, &atBoxes[boxesSeen - 1]); }},
        // The bytes of each tick since the last look, joined by "|", then what was written after.
        {"wire", [this](Arg bytes) { if (const QByteArray late = this->rig.pty.take(); !late.isEmpty()) wire << late; same(QString::fromLatin1(wire.join('|')), QString::fromLatin1(bytesOf(bytes))); wire.clear(); }},
        {"box", [this](Arg box) { if (expect(boxesSeen < this->rig.boxes.boxes.size(), "no box was shown")) same(this->rig.boxes.boxes[boxesSeen++], box); }},
        {"no-box", [this](Arg) { QTest::qWait(20); same(QString::number(this->rig.boxes.boxes.size() - boxesSeen), "0"); }},
        {"log", [this](Arg line) { expect(Rig::log.contains(line), "not in the log: " + Rig::log.join(" / ")); }},
    };
    // clang-format on
}

} // namespace

void play(Rig &rig, const QString &script)
{
    Player(rig).play(script);
}

void playRow()
{
    QFETCH(QString, script);
    Rig rig;
    play(rig, script);
}
