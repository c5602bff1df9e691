#include "script.h"

#include <QHash>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTest>

#include <ctime>
#include <functional>
#include <memory>

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
    bool expect(bool holds, const QString &why);
    bool same(const QString &actual, const QString &expected);
    QWidget *widget(const QString &name) const { return rig.window->findChild<QWidget *>(name); }
    QString fact(const QString &key) const;
    bool facts(const QString &claim, const QHash<QString, QString> *seen = nullptr);
    bool runTicks(int count);
    void list(const QString &path);

    Rig &rig;
    LogCapture log;
    QHash<QString, std::function<bool(const QString &)>> steps;
    QString current;
    QString device = "silent";
    QList<QByteArray> wire;
    int boxesSeen = 0;
    QList<QHash<QString, QString>> atBoxes;
    std::unique_ptr<QSerialPort> holder;
};

Player::Player(Rig &rig) : rig(rig)
{
    // What the window looked like while each box was open.
    rig.boxes.whileOpen = [this](const BoxRecord &) {
        QHash<QString, QString> seen;
        for (const char *key : {"status", "port", "restart", "lineEdit_ip", "comboBox_2"})
            seen[key] = fact(key);
        atBoxes << seen;
    };

    auto action = [](std::function<void(const QString &)> act) {
        return [act](const QString &argument) {
            act(argument);
            return true;
        };
    };
    WindowProbe &probe = rig.probe;
    PtyPair &pty = rig.pty;

    // clang-format off
    steps = {
        // The port and the buttons.
        {"open", [this](const QString &mode) { return expect(this->rig.open(mode == "rtu-tcp" ? Rig::RtuTcp : Rig::TcpRtu), "port did not open"); }},
        {"list", action([this](const QString &path) { this->rig.ui().serialPortInfoListBox->clear(); list(path); })},
        {"newline", action([this, &pty](const QString &) { pty.reopen(); list(pty.slavePath()); })},
        {"hold", [this, &pty](const QString &) {
             // Another program has the line open; the window lists it all the same.
             holder = std::make_unique<QSerialPort>(pty.slavePath());
             list(pty.slavePath());
             return expect(holder->open(QIODevice::ReadWrite), "could not hold the line"); }},
        {"click", [this, &probe](const QString &name) {
             auto *button = qobject_cast<QAbstractButton *>(widget(name));
             if (!expect(button, "no such button"))
                 return false;
             button->click();
             // The test drives every tick itself.
             for (QTimer *timer : {probe.scanTimer(), probe.changeTimer()})
                 if (timer->isActive())
                     timer->setInterval(24 * 3600 * 1000);
             return true; }},
        {"closeport", action([&probe](const QString &) { probe.closePort(); })},
        {"yank", action([&probe](const QString &) { probe.serial().close(); })},
        {"drop", [this, &probe, &pty](const QString &) {
             pty.closeMaster();
             return expect(QTest::qWaitFor([&] { return !probe.serial().isOpen(); }, 2000), "port still open"); }},
        {"drop-during-box", action([this, &probe, &pty](const QString &) {
             this->rig.boxes.whileOpen = [&, keep = this->rig.boxes.whileOpen](const BoxRecord &record) {
                 pty.closeMaster();
                 (void)!QTest::qWaitFor([&] { return !probe.serial().isOpen(); }, 1000);
                 keep(record);
             }; })},
        {"error", [this](const QString &name) {
             const int error = QMetaEnum::fromType<QSerialPort::SerialPortError>().keyToValue(name.toLatin1());
             return expect(error >= 0, "no such error") &&
                    QMetaObject::invokeMethod(this->rig.window.get(), "handleError", Q_ARG(QSerialPort::SerialPortError, QSerialPort::SerialPortError(error))); }},

        // Ticks and the device.
        {"tick", [this](const QString &count) { return runTicks(count.isEmpty() ? 1 : count.toInt()); }},
        {"skip", [this](const QString &count) { const bool ran = runTicks(count.toInt()); wire.clear(); return ran; }},
        {"scan-tick", action([&probe](const QString &) { probe.scanTick(); })},
        {"change-tick", action([&probe](const QString &) { probe.changeTick(); })},
        {"device", action([this](const QString &behaviour) { device = behaviour; })},
        {"reply", action([&pty](const QString &bytes) { pty.write(bytesOf(bytes)); QTest::qWait(80); })},
        {"piece", action([&pty](const QString &bytes) { pty.write(bytesOf(bytes)); QTest::qWait(20); })},
        {"pause", action([](const QString &ms) { QTest::qWait(ms.toInt()); })},

        // The user's input.
        {"fill", [this](const QString &) { return play("set lineEdit_MAC=02:00:00:00:00:01; set lineEdit_ip=192.168.0.10; set lineEdit_mask=255.255.255.0; set lineEdit_gateway=192.168.0.1; set lineEdit_portTCP=502; set comboBox=3; set comboBox_speed=4; set comboBox_2=1; set lineEdit_ipservertcp=192.168.0.100; set lineEdit_timeout=1000"); }},
        {"set", [this](const QString &assignment) {
             QWidget *field = widget(assignment.section('=', 0, 0));
             const QString value = assignment.section('=', 1);
             if (auto *edit = qobject_cast<QLineEdit *>(field))
                 edit->setText(value);
             else if (auto *combo = qobject_cast<QComboBox *>(field))
                 combo->setCurrentIndex(value.toInt());
             return expect(field, "no such field"); }},

        // What the window does.
        {"expect", [this](const QString &claim) { return facts(claim); }},
        {"at-box", [this](const QString &claim) { return expect(boxesSeen > 0, "no box yet") && facts(claim, &atBoxes[boxesSeen - 1]); }},
        {"sent", [this, &pty](const QString &bytes) {
             wire << pty.take();
             const QByteArray all = wire.join();
             wire.clear();
             return same(QString::fromLatin1(all.toHex(' ')), QString::fromLatin1(bytesOf(bytes).toHex(' '))); }},
        {"wire", [this, &pty](const QString &ticks) {
             if (const QByteArray late = pty.take(); !late.isEmpty())
                 wire << late;
             const QString seen = QString::fromLatin1(wire.join('|'));
             wire.clear();
             return same(seen, ticks); }},
        {"box", [this](const QString &box) {
             if (!expect(boxesSeen < this->rig.boxes.boxes.size(), "no box was shown"))
                 return false;
             const BoxRecord &record = this->rig.boxes.boxes[boxesSeen++];
             const QString icon = record.icon == QMessageBox::Critical ? "critical" : record.icon == QMessageBox::Information ? "information" : "other";
             return expect(record.parent == this->rig.window.get(), "box without the window as parent") && same(icon + ' ' + record.title + " -> " + record.text, box); }},
        {"no-box", [this](const QString &) { QTest::qWait(20); return same(QString::number(this->rig.boxes.boxes.size() - boxesSeen), "0"); }},
        {"log", [this](const QString &line) { return expect(log.lines().contains(line), "not in the log: " + log.lines().join(" / ")); }},
        {"quiet", [this](const QString &ms) {
             const int window = ms.isEmpty() ? 300 : ms.toInt();
             const double before = cpuSeconds();
             QTest::qWait(window);
             return expect(cpuSeconds() - before < window * 0.05 / 1000, "the process keeps busy"); }},
    };
    // clang-format on
}

// What a script can check: "status", "port", "restart", "run", "data-lines", a field by its
// name ("10.0.0.1 green", "4 plain"), "enabled:NAME" and "visible:NAME" (yes or no).
QString Player::fact(const QString &key) const
{
    const WindowProbe &p = rig.probe;
    const bool scanning = p.scanTimer()->isActive(), changing = p.changeTimer()->isActive();
    if (key == "status")
        return rig.ui().statusbar->currentMessage();
    if (key == "port")
        return p.serial().isOpen() ? "open" : "closed";
    if (key == "restart")
        return p.resetRequested() ? "expected" : "unexpected";
    if (key == "data-lines")
        return QString::number(log.lines().filter(QRegularExpression("^\"data 2:")).size());
    if (key == "run") {
        if (scanning && !changing && p.changeStep() == 0)
            return QString("scan %1").arg(p.scanStep());
        if (changing && !scanning && p.scanStep() == 0)
            return QString("change %1").arg(p.changeStep());
        if (!scanning && !changing && p.scanStep() == 0 && p.changeStep() == 0)
            return "idle";
        return QString("timers %1 %2, steps %3 %4")
            .arg(scanning)
            .arg(changing)
            .arg(p.scanStep())
            .arg(p.changeStep());
    }
    QWidget *w = widget(key.section(':', -1));
    if (!w)
        return "no such widget";
    if (key.startsWith("enabled:"))
        return w->isEnabled() ? "yes" : "no";
    if (key.startsWith("visible:"))
        return w->isHidden() ? "no" : "yes";
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text() + ' ' + colourName(w->styleSheet());
    if (auto *combo = qobject_cast<QComboBox *>(w))
        return QString::number(combo->currentIndex()) + ' ' + colourName(w->styleSheet());
    return "not a field";
}

// "run=idle", or several keys sharing one value: "enabled:connect,scanport=yes".
bool Player::facts(const QString &claim, const QHash<QString, QString> *seen)
{
    const QString keys = claim.section('=', 0, 0), value = claim.section('=', 1);
    const QString prefix = keys.contains(':') ? keys.section(':', 0, 0) + ':' : QString();
    for (const QString &name : keys.mid(prefix.size()).split(',')) {
        const QString key = prefix + name;
        if (!same(key + '=' + (seen ? seen->value(key) : fact(key)), key + '=' + value))
            return false;
    }
    return true;
}

void Player::list(const QString &path)
{
    if (path.isEmpty())
        return;
    rig.ui().serialPortInfoListBox->insertItem(0, path);
    rig.ui().serialPortInfoListBox->setCurrentIndex(0);
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
        const bool change = sent.startsWith("CHANGE");
        if (device == "reads" && deviceValues.contains(sent))
            rig.reply(sent + ':' + deviceValues[sent] + "\r\n");
        else if (change && (device == "ok" || (device.startsWith("ok-except:") &&
                                               !sent.startsWith(device.mid(10).toLatin1()))))
            rig.reply("OK\r\n");
    }
    return true;
}

bool Player::play(const QString &script)
{
    const QString outer = current;
    for (const QString &step : script.split("; ")) {
        current = step;
        const QString verb = step.section(' ', 0, 0);
        if (!expect(steps.contains(verb), "unknown step") || !steps[verb](step.section(' ', 1)))
            return false;
    }
    current = outer;
    return true;
}

} // namespace

void play(Rig &rig, const QString &script)
{
    Player(rig).play(script);
}
