#include "session.h"

namespace {

// While the device restarts: how often to look for it. Short, because the whole write waits on
// it; long enough that each look reaches a device that frames messages by silence on its own.
constexpr int probeMs = 200;

// The MAC exists in every mode and changes in none: the question that tells the device is back.
constexpr int macIndex = 0;

const char unchanged[] = "unchanged";
const char wouldWrite[] = "would write";
const char notSent[] = "not sent";
const char accepted[] = "accepted";
const char refused[] = "refused";
const char written[] = "written";
const char verified[] = "verified";
const char differs[] = "differs";

} // namespace

Session::Session(const QString &port, const Job &job, const Console &console, QObject *parent)
    : QObject(parent), m_portName(port), m_job(job), m_console(console)
{
    m_port.setPortName(m_portName);
    m_port.setBaudRate(m_job.baud);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    for (QTimer *timer : {&m_answerTimer, &m_quietTimer, &m_reopenTimer})
        timer->setSingleShot(true);
    m_quietTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_port, &QSerialPort::readyRead, this, &Session::readAvailable);
    connect(&m_port, &QSerialPort::bytesWritten, this, &Session::checkResetLeft);
    connect(&m_port, &QSerialPort::errorOccurred, this, &Session::handleError);
    connect(&m_answerTimer, &QTimer::timeout, this, &Session::giveUpWaiting);
    connect(&m_quietTimer, &QTimer::timeout, this, &Session::takeQuietReply);
    connect(&m_reopenTimer, &QTimer::timeout, this, &Session::reopen);
}

void Session::start()
{
    QString error;
    if (!openPort(&error))
        return fail(PortFailed, QStringLiteral("cannot open the port: %1").arg(error));
    if (m_job.command == Command::Reset)
        return sendReset();
    m_console.step(m_portName + QStringLiteral(": reading"));
    for (int i = 0; i < m_job.mode->queried; ++i)
        m_queue << i;
    askNext();
}

bool Session::openPort(QString *error)
{
    m_framer.clear();
    if (m_port.open(QIODevice::ReadWrite))
        return true;
    *error = m_port.errorString();
    return false;
}

void Session::send(const QByteArray &bytes, int waitMs)
{
    m_console.traffic(m_portName, '>', bytes);
    m_sinceSent.start();
    m_answerTimer.start(waitMs);
    m_port.write(bytes);
}

void Session::ask(int index, int waitMs)
{
    m_asked = index;
    m_unusable.clear();
    send(protocol::parameters[index].query, waitMs);
}

void Session::askNext()
{
    if (m_done)
        return;
    if (m_queue.isEmpty())
        return readDone();
    ask(m_queue.first(), m_job.timeoutMs);
}

void Session::readAvailable()
{
    if (const std::optional<QByteArray> reply = m_framer.feed(m_port.readAll()))
        take(*reply);
    const int quietIn = m_framer.msUntilQuiet();
    if (quietIn >= 0)
        m_quietTimer.start(quietIn);
    else
        m_quietTimer.stop();
}

void Session::takeQuietReply()
{
    if (const std::optional<QByteArray> reply = m_framer.takeIfQuiet())
        take(*reply);
    else if (m_framer.msUntilQuiet() >= 0)
        m_quietTimer.start(m_framer.msUntilQuiet());
}

// A reply may carry several lines, a late answer before the awaited one, say: each is judged on
// its own. What follows the answer came before the next question and cannot answer it.
void Session::take(const QByteArray &reply)
{
    m_console.traffic(m_portName, '<', reply);
    // Nothing is asked: the reply is late, or noise.
    if (!m_answerTimer.isActive())
        return;
    QByteArray text = reply;
    for (const QByteArray &line : text.replace('\r', '\n').split('\n')) {
        if (!line.isEmpty() && judge(line))
            return;
    }
}

bool Session::judge(const QByteArray &line)
{
    if (m_phase == Phase::Changing) {
        if (line.trimmed() == protocol::confirmation)
            confirmed();
        else
            stopChanging(QStringLiteral("answered \"%1\"").arg(protocol::escaped(line)));
        return true;
    }
    if (m_phase == Phase::Resetting)
        return false;
    const protocol::Parameter &parameter = protocol::parameters[m_asked];
    if (!protocol::isAnswerTo(parameter, line))
        return false;
    const QString value = protocol::answerValue(parameter, QString::fromLatin1(line)).trimmed();
    const protocol::Checked checked = protocol::check(parameter, value.toLatin1());
    if (!checked.ok()) {
        m_unusable = line;
        return false;
    }
    answered(checked.value);
    return true;
}

void Session::answered(const QByteArray &value)
{
    m_answerTimer.stop();
    if (m_phase == Phase::Probing) {
        m_phase = Phase::ReadingBack;
        m_console.step(m_portName + QStringLiteral(": reading back"));
        for (const Row &row : qAsConst(m_rows)) {
            if (row.status == written)
                m_queue << row.index;
        }
        // The answer may be to an earlier look while the latest one is still on its way: let
        // the line fall quiet, or the device would take that look and the next question as one.
        const qint64 settle = ReplyFramer::quietMs - m_sinceSent.elapsed();
        QTimer::singleShot(int(qMax<qint64>(0, settle)), this, &Session::askNext);
        return;
    }
    Values &values = m_phase == Phase::Reading ? m_settings : m_readBack;
    values[size_t(m_asked)] = value;
    m_queue.removeFirst();
    askNext();
}

void Session::giveUpWaiting()
{
    switch (m_phase) {
    case Phase::Reading:
    case Phase::ReadingBack:
        return fail(
            NoAnswer,
            QStringLiteral("no usable answer to %1 within %2 ms%3")
                .arg(protocol::parameters[m_asked].key)
                .arg(m_job.timeoutMs)
                .arg(m_unusable.isEmpty()
                         ? QString()
                         : QStringLiteral(" (last: \"%1\")").arg(protocol::escaped(m_unusable))));
    case Phase::Changing:
        return stopChanging(QStringLiteral("did not answer within %1 ms").arg(m_job.timeoutMs));
    case Phase::Resetting:
        return fail(PortFailed, QStringLiteral("the restart command did not leave the port"));
    case Phase::Probing:
        if (m_restartDeadline.hasExpired())
            return notBack(QStringLiteral("no answer"));
        return ask(macIndex, probeMs);
    }
}

void Session::handleError(QSerialPort::SerialPortError error)
{
    // A line whose far end went away reports one resource error, or read errors without end,
    // with the text of whatever errno was left over.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (m_done || !m_port.isOpen())
        return;
    m_port.close();
    m_answerTimer.stop();
    m_quietTimer.stop();
    // A USB converter may vanish while it restarts and come back under the same name.
    if (m_phase == Phase::Probing)
        return m_reopenTimer.start(probeMs);
    fail(PortFailed, QStringLiteral("the line was lost: the device or its adapter went away"));
}

void Session::readDone()
{
    if (m_phase == Phase::ReadingBack)
        return compare();
    if (m_job.command == Command::Read)
        return finish(Done, QStringLiteral("read"));
    plan();
}

void Session::plan()
{
    const Values &wanted = m_job.wanted;
    const QByteArray &mac = *m_settings[macIndex];
    if (wanted[macIndex] && *wanted[macIndex] != mac)
        return fail(BadInput,
                    QStringLiteral("the device's MAC is %1, not %2: nothing written")
                        .arg(QString::fromLatin1(mac), QString::fromLatin1(*wanted[macIndex])));
    int changes = 0;
    for (int k = 0; k < m_job.mode->written; ++k) {
        const int index = k + 1; // writable parameter k, as the core lays them out
        const QByteArray &before = *m_settings[size_t(index)];
        const std::optional<QByteArray> &value = wanted[size_t(index)];
        const bool change = value && (m_job.force || *value != before);
        changes += change;
        m_rows << Row{index, before, change ? *value : before,
                      change ? (m_job.dryRun ? wouldWrite : notSent) : unchanged};
    }
    if (!m_job.dryRun && m_job.backup && !saveBackup())
        return;
    if (changes == 0)
        return finish(Done, QStringLiteral("nothing to change"));
    if (m_job.dryRun)
        return finish(Done, QStringLiteral("dry run, %1 to change, nothing sent").arg(changes));
    sendChange();
}

bool Session::saveBackup()
{
    const QString path =
        m_job.backupFile.isEmpty() ? backupPath(*m_settings[macIndex]) : m_job.backupFile;
    QString error;
    if (!saveProfile(path, toJson(*m_job.mode, m_settings), &error)) {
        fail(BadInput, QStringLiteral("backup not saved, nothing written: %1").arg(error));
        return false;
    }
    m_backup = path;
    return true;
}

void Session::sendChange()
{
    while (++m_change < m_rows.size() && m_rows[m_change].status != notSent) {
    }
    if (m_change == m_rows.size())
        return sendReset();
    const Row &row = m_rows[m_change];
    const protocol::Parameter &parameter = protocol::parameters[row.index];
    m_phase = Phase::Changing;
    m_console.step(QStringLiteral("%1: changing %2").arg(m_portName, parameter.key));
    send(parameter.change + row.after, m_job.timeoutMs);
}

void Session::confirmed()
{
    m_answerTimer.stop();
    m_rows[m_change].status = accepted;
    sendChange();
}

void Session::stopChanging(const QString &what)
{
    QStringList taken;
    for (const Row &row : qAsConst(m_rows)) {
        if (row.status == accepted)
            taken << protocol::parameters[row.index].key;
    }
    Row &row = m_rows[m_change];
    row.status = refused;
    fail(Refused,
         QStringLiteral("the device %1 to %2=%3; it had accepted %4; no restart sent")
             .arg(what, protocol::parameters[row.index].key, QString::fromLatin1(row.after),
                  taken.isEmpty() ? QStringLiteral("nothing") : taken.join(", ")));
}

void Session::sendReset()
{
    m_phase = Phase::Resetting;
    m_console.step(m_portName + QStringLiteral(": restarting the device"));
    // The device answers nothing; the time-out bounds the wait for the command to leave.
    send(protocol::resetCommand, m_job.timeoutMs);
}

// Closing the port sooner would drop the command unsent.
void Session::checkResetLeft()
{
    if (m_phase != Phase::Resetting || m_port.bytesToWrite() > 0)
        return;
    m_answerTimer.stop();
    m_port.close();
    restarted();
}

void Session::restarted()
{
    for (Row &row : m_rows) {
        if (row.status == accepted)
            row.status = written;
    }
    if (m_job.command == Command::Reset)
        return finish(Done, QStringLiteral("restart sent"));
    if (!m_job.verify)
        return finish(Done, QStringLiteral("written, restarted, not verified"));
    m_phase = Phase::Probing;
    m_restartDeadline.setRemainingTime(m_job.restartTimeoutMs);
    m_console.step(m_portName + QStringLiteral(": waiting for the device to come back"));
    m_reopenTimer.start(probeMs);
}

void Session::reopen()
{
    QString error;
    if (openPort(&error))
        return ask(macIndex, probeMs);
    if (m_restartDeadline.hasExpired())
        return notBack(error);
    m_reopenTimer.start(probeMs);
}

void Session::notBack(const QString &detail)
{
    fail(NoAnswer, QStringLiteral("the device did not come back within %1 s of its restart (%2); "
                                  "it had accepted every change")
                       .arg(m_job.restartTimeoutMs / 1000.0)
                       .arg(detail));
}

void Session::compare()
{
    QStringList differences;
    for (Row &row : m_rows) {
        if (row.status != written)
            continue;
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        const QByteArray now = *m_readBack[size_t(row.index)];
        if (now == row.after) {
            row.status = verified;
            continue;
        }
        differences << QStringLiteral("%1 is %2, not %3")
                           .arg(parameter.key, shown(parameter, now), shown(parameter, row.after));
        row.status = differs;
        row.after = now;
    }
    if (!differences.isEmpty())
        return fail(Differs, QStringLiteral("read back after the restart: %1")
                                 .arg(differences.join(QStringLiteral("; "))));
    finish(Done, QStringLiteral("written and verified"));
}

void Session::fail(Status status, const QString &message)
{
    if (m_done)
        return;
    m_console.error(m_portName + QStringLiteral(": ") + message);
    finish(status, message);
}

void Session::finish(Status status, const QString &outcome)
{
    if (m_done)
        return;
    m_done = true;
    m_answerTimer.stop();
    m_quietTimer.stop();
    m_reopenTimer.stop();
    m_framer.clear();
    if (m_port.isOpen())
        m_port.close();
    m_status = status;
    m_outcome = outcome;
    emit finished();
}
