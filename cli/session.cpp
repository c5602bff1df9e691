#include "session.h"

#include <QJsonObject>

#include <algorithm>

namespace {

// While the device restarts: how often to look for it. Short, because the whole write waits on
// it; long enough that each look reaches a device that frames messages by silence on its own.
constexpr int probeMs = 200;

// The MAC exists in every mode and changes in none: the question that tells which device is back.
constexpr int macIndex = 0;

const char unchanged[] = "unchanged";
const char wouldWrite[] = "would write";
const char notSent[] = "not sent";
const char accepted[] = "accepted";
const char unconfirmed[] = "unconfirmed";
const char refused[] = "refused";
const char putBack[] = "put back";
const char mayBeStaged[] = "may be staged";
const char written[] = "written";
const char verified[] = "verified";
const char differs[] = "differs";

QString quoted(const QByteArray &line)
{
    return QLatin1Char('"') + protocol::escaped(line) + QLatin1Char('"');
}

QString lostLine()
{
    return QStringLiteral("the line was lost: the device or its adapter went away");
}

} // namespace

Session::Session(const QString &port, const Job &job, const Console &console, QObject *parent)
    : QObject(parent), m_job(job), m_console(console), m_link(port, job.baud, console),
      m_mode(job.mode), m_wanted(job.wanted)
{
    m_probeTimer.setSingleShot(true);
    connect(&m_link, &Link::finished, this, &Session::linkFinished);
    connect(&m_probeTimer, &QTimer::timeout, this, &Session::probe);
}

void Session::start()
{
    if (m_done)
        return;
    QString error;
    if (!m_link.open(&error))
        return fail(PortFailed, error);
    if (m_job.command == Command::Reset)
        return sendReset();
    m_console.step(port() + QStringLiteral(": reading"));
    m_queue << macIndex;
    askNext();
}

void Session::proceed()
{
    if (!m_done && m_phase == Phase::Waiting)
        plan();
}

void Session::cancel(const QString &message)
{
    fail(BadInput, message);
}

QString Session::result() const
{
    if (m_notInInventory)
        return QStringLiteral("not-in-inventory");
    if (m_interrupt)
        return QStringLiteral("interrupted");
    switch (m_status) {
    case Done:
        if (m_job.command == Command::Reset)
            return QStringLiteral("restarted");
        if (m_job.command == Command::Read)
            return QStringLiteral("read");
        if (m_job.dryRun)
            return QStringLiteral("dry-run");
        if (std::none_of(m_rows.begin(), m_rows.end(),
                         [](const Row &row) { return row.status != unchanged; }))
            return QStringLiteral("unchanged");
        return m_readBackDone ? QStringLiteral("verified") : QStringLiteral("written");
    case BadInput:
        return QStringLiteral("not-sent");
    case PortFailed:
        return QStringLiteral("port-failed");
    case NoAnswer:
        return QStringLiteral("no-answer");
    case Refused:
        return QStringLiteral("refused");
    case Differs:
        return QStringLiteral("differs");
    default:
        return QStringLiteral("failed");
    }
}

std::optional<Values> Session::after() const
{
    if (!m_readBackDone)
        return std::nullopt;
    return m_readBack;
}

// A unit of an inventory gets its own row's values over the shared ones, and its mode.
bool Session::findUnit(const QByteArray &mac)
{
    if (!m_job.inventory)
        return true;
    const Unit *unit = m_job.inventory->find(mac);
    if (!unit) {
        m_notInInventory = true;
        finish(Done, QStringLiteral("not in inventory, left alone"));
        return false;
    }
    if (!unit->mode.isEmpty())
        m_mode = protocol::modeByKey(unit->mode);
    if (!m_mode) {
        fail(BadInput, QStringLiteral("no mode for MAC %1: give --mode, \"mode\" in the profile "
                                      "or a mode column; nothing sent")
                           .arg(QString::fromLatin1(mac)));
        return false;
    }
    for (int i = macIndex + 1; i < protocol::parameterCount; ++i) {
        if (unit->values[size_t(i)])
            m_wanted[size_t(i)] = unit->values[size_t(i)];
        if (m_wanted[size_t(i)] && i >= m_mode->queried) {
            fail(BadInput, QStringLiteral("%1: not a setting in mode %2 (row %3); nothing sent")
                               .arg(protocol::parameters[i].key, m_mode->key)
                               .arg(unit->row));
            return false;
        }
    }
    return true;
}

void Session::interrupt(int status)
{
    if (m_done || m_interrupt)
        return;
    m_interrupt = status;
    switch (m_phase) {
    case Phase::Reading:
        return finish(status, QStringLiteral("interrupted, nothing sent"));
    case Phase::Probing:
    case Phase::ReadingBack:
        return finish(status, QStringLiteral("restarted; interrupted before it was verified"));
    case Phase::Checking:
        return finish(status, QStringLiteral("interrupted in the Modbus check"));
    case Phase::Waiting:
        return finish(status, QStringLiteral("interrupted, nothing sent"));
    case Phase::Changing:  // the change under way is answered first, then put back
    case Phase::Restoring: // putting back is what an interrupted write has to do
    case Phase::Resetting: // the restart is on its way and cannot be called back
        return;
    }
}

void Session::linkFinished(Link::Result result, const QByteArray &text)
{
    if (m_done)
        return;
    switch (m_phase) {
    case Phase::Reading:
    case Phase::ReadingBack:
        if (result == Link::Result::Value)
            return answered(text);
        return readFailed(result, text);
    case Phase::Changing:
    case Phase::Restoring:
        return verdict(result, text);
    case Phase::Resetting:
        if (result == Link::Result::Left) {
            m_link.close();
            return restarted();
        }
        // A reset alone has nothing to put back, and so fails as it is.
        return restore(PortFailed, result == Link::Result::Lost
                                       ? lostLine()
                                       : QStringLiteral("the restart command did not leave the "
                                                        "port"));
    case Phase::Waiting:
    case Phase::Checking:
        return;
    case Phase::Probing:
        if (result == Link::Result::Value)
            return probed(text);
        if (result == Link::Result::NoAnswer)
            return lookAgain(QStringLiteral("no answer"), true);
        if (result == Link::Result::Lost)
            m_link.close();
        return lookAgain(result == Link::Result::Lost ? lostLine()
                                                      : QStringLiteral("answered ") + quoted(text));
    }
}

void Session::askNext()
{
    if (m_queue.isEmpty()) {
        if (m_phase == Phase::ReadingBack) {
            m_readBackDone = true;
            return compare();
        }
        if (m_job.command == Command::Read)
            return finish(Done, QStringLiteral("read"));
        m_phase = Phase::Waiting;
        emit waiting();
        return;
    }
    m_asked = m_queue.takeFirst();
    m_link.ask(m_asked, m_job.timeoutMs);
}

// A value the device holds is taken as it is, also one our rules would not send: a read shows
// what the device holds. Valid values are kept in their plain form, so that 010.0.0.1 and
// 10.0.0.1 compare equal.
void Session::answered(const QByteArray &value)
{
    const protocol::Parameter &parameter = protocol::parameters[m_asked];
    const protocol::Checked checked = protocol::check(parameter, value);
    Values &values = m_phase == Phase::Reading ? m_settings : m_readBack;
    values[size_t(m_asked)] = checked.ok() ? checked.value : value;
    if (m_phase == Phase::Reading && m_asked == macIndex) {
        if (!findUnit(*values[macIndex]))
            return;
        for (int i = macIndex + 1; i < m_mode->queried; ++i)
            m_queue << i;
    }
    if (!checked.ok() && m_phase == Phase::Reading)
        m_console.note(QStringLiteral("%1: warning: the device holds %2=%3, which tcprtu would not "
                                      "write (must be %4)")
                           .arg(port(), parameter.key, QString::fromLatin1(value), checked.rule));
    askNext();
}

void Session::readFailed(Link::Result result, const QByteArray &text)
{
    const char *key = protocol::parameters[m_asked].key;
    const QString after = m_phase == Phase::ReadingBack
                              ? QStringLiteral("; the device restarted, not verified")
                              : QString();
    switch (result) {
    case Link::Result::Lost:
        return fail(PortFailed, lostLine() + after);
    case Link::Result::Unexpected:
        return fail(NoAnswer, QStringLiteral("the device answered %1 when asked for %2: is it in "
                                             "mode %3? --trace shows the traffic%4")
                                  .arg(quoted(text), key,
                                       m_mode            ? m_mode->key
                                       : m_job.inventory ? "the sheet's"
                                                         : "the one given",
                                       after));
    default:
        return fail(NoAnswer, QStringLiteral("no answer to %1 within %2 ms: check the cable, the "
                                             "port and the device's mode, or give a longer "
                                             "--timeout; --trace shows the traffic%3")
                                  .arg(key)
                                  .arg(m_job.timeoutMs)
                                  .arg(after));
    }
}

void Session::plan()
{
    const Values &wanted = m_wanted;
    const QByteArray &mac = *m_settings[macIndex];
    if (wanted[macIndex] && *wanted[macIndex] != mac)
        return fail(BadInput,
                    QStringLiteral("the device's MAC is %1, not %2: nothing written")
                        .arg(QString::fromLatin1(mac), QString::fromLatin1(*wanted[macIndex])));
    int changes = 0;
    for (int k = 0; k < m_mode->written; ++k) {
        const int index = k + 1; // writable parameter k, as the core lays them out
        const QByteArray &before = *m_settings[size_t(index)];
        const std::optional<QByteArray> &value = wanted[size_t(index)];
        const bool change = value && (m_job.force || *value != before);
        changes += change;
        m_rows << Row{index, before, change ? *value : before,
                      change ? (m_job.dryRun ? wouldWrite : notSent) : unchanged};
    }
    if (changes == 0 && m_job.check)
        return checkModbus(m_settings, QStringLiteral("nothing to change"));
    if (changes == 0)
        return finish(Done, QStringLiteral("nothing to change"));
    if (m_job.dryRun)
        return finish(Done, QStringLiteral("dry run, %1 to change, nothing sent").arg(changes));
    if (m_job.backup && !saveBackup())
        return;
    if (m_interrupt)
        return finish(m_interrupt, QStringLiteral("interrupted, nothing sent"));
    m_phase = Phase::Changing;
    sendChange();
}

// A backup counts once it reads back as the profile that was meant.
bool Session::saveBackup()
{
    const QString path =
        m_job.backupFile.isEmpty() ? backupPath(*m_settings[macIndex]) : m_job.backupFile;
    const QJsonObject profile = toJson(*m_mode, m_settings);
    QString error;
    if (!isRegularOrNew(path))
        error = QStringLiteral("%1: not a regular file, which a backup must be").arg(path);
    else if (saveProfile(path, profile, &error) && readJson(path, &error) != profile)
        error =
            error.isEmpty() ? QStringLiteral("%1: does not read back as written").arg(path) : error;
    if (!error.isEmpty()) {
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
    m_console.step(
        QStringLiteral("%1: changing %2").arg(port(), protocol::parameters[row.index].key));
    m_link.change(row.index, row.after, m_job.timeoutMs);
}

void Session::verdict(Link::Result result, const QByteArray &text)
{
    Row &row = m_rows[m_phase == Phase::Changing ? m_change : m_restore.first()];
    const QString key = protocol::parameters[row.index].key;
    if (m_phase == Phase::Restoring) {
        if (result != Link::Result::Confirmed)
            return reportStaged();
        row.status = putBack;
        m_console.note(QStringLiteral("%1: %2 put back to %3")
                           .arg(port(), key, shown(protocol::parameters[row.index], row.before)));
        m_restore.removeFirst();
        return restoreNext();
    }
    switch (result) {
    case Link::Result::Confirmed:
        row.status = accepted;
        if (m_interrupt)
            return restore(m_interrupt, QStringLiteral("interrupted"));
        return sendChange();
    case Link::Result::Refused:
        row.status = refused;
        return restore(Refused, QStringLiteral("the device answered %1 to %2=%3; no restart sent")
                                    .arg(quoted(text), key, QString::fromLatin1(row.after)));
    case Link::Result::Lost:
        row.status = unconfirmed;
        return restore(PortFailed, lostLine());
    default:
        row.status = unconfirmed;
        return restore(Refused, QStringLiteral("the device did not answer %1=%2 within %3 ms; no "
                                               "restart sent")
                                    .arg(key, QString::fromLatin1(row.after))
                                    .arg(m_job.timeoutMs));
    }
}

// The device keeps accepted changes staged until its next restart, whoever restarts it. Each is
// undone by sending the value the device held before, so that what it stages is what it runs.
void Session::restore(int status, const QString &message)
{
    m_failure = status;
    m_failureMessage = message;
    m_phase = Phase::Restoring;
    m_restore.clear();
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].status == accepted || m_rows[i].status == unconfirmed)
            m_restore << i;
    }
    restoreNext();
}

void Session::restoreNext()
{
    if (m_restore.isEmpty())
        return fail(m_failure, m_failureMessage);
    if (!m_link.isOpen())
        return reportStaged();
    const Row &row = m_rows[m_restore.first()];
    m_console.step(
        QStringLiteral("%1: putting %2 back").arg(port(), protocol::parameters[row.index].key));
    m_link.change(row.index, row.before, m_job.timeoutMs);
}

void Session::reportStaged()
{
    QStringList keys;
    QString sets;
    for (const int i : qAsConst(m_restore)) {
        Row &staged = m_rows[i];
        staged.status = mayBeStaged;
        const protocol::Parameter &parameter = protocol::parameters[staged.index];
        keys << parameter.key;
        sets += QStringLiteral(" --set %1=%2").arg(parameter.key, shown(parameter, staged.before));
    }
    // The device still reports its old values while the new ones wait, so only --force sends them.
    const QString command =
        m_backup.isEmpty()
            ? QStringLiteral("tcprtu write --port %1 --mode %2 --force%3")
                  .arg(port(), m_mode->key, sets)
            : QStringLiteral("tcprtu write --port %1 --force %2").arg(port(), m_backup);
    fail(m_failure, QStringLiteral("%1\n  %2 may be staged in the device and take effect at its "
                                   "next restart; to put them back: %3")
                        .arg(m_failureMessage, keys.join(QStringLiteral(", ")), command));
}

void Session::sendReset()
{
    m_phase = Phase::Resetting;
    m_console.step(port() + QStringLiteral(": restarting the device"));
    // The device answers nothing; the time-out bounds the wait for the command to leave.
    m_link.restart(m_job.timeoutMs);
}

void Session::restarted()
{
    for (Row &row : m_rows) {
        if (row.status == accepted)
            row.status = written;
    }
    if (m_job.command == Command::Reset)
        return finish(Done, QStringLiteral("restart sent"));
    if (m_interrupt)
        return finish(m_interrupt, QStringLiteral("restarted; interrupted before it was verified"));
    if (!m_job.verify)
        return finish(Done, QStringLiteral("written, restarted, not verified"));
    m_phase = Phase::Probing;
    m_restartDeadline.setRemainingTime(m_job.restartTimeoutMs);
    m_console.step(port() + QStringLiteral(": waiting for the device to come back"));
    m_probeTimer.start(probeMs);
}

void Session::probe()
{
    QString error;
    if (!m_link.isOpen() && !m_link.open(&error))
        return lookAgain(error);
    m_sinceProbe.start();
    m_link.ask(macIndex, probeMs);
}

// Every way of not finding the device yet ends here, so that the wait ends in time on each.
void Session::lookAgain(const QString &detail, bool now)
{
    if (m_restartDeadline.hasExpired())
        return fail(NoAnswer, QStringLiteral("the device did not come back within %1 s of its "
                                             "restart (%2); it had accepted every change")
                                  .arg(m_job.restartTimeoutMs / 1000.0)
                                  .arg(detail));
    if (now)
        return probe();
    m_probeTimer.start(probeMs);
}

void Session::probed(const QByteArray &mac)
{
    if (mac != *m_settings[macIndex])
        return fail(Differs,
                    QStringLiteral("another unit answered after the restart: MAC %1, not "
                                   "%2; nothing else judged")
                        .arg(QString::fromLatin1(mac), QString::fromLatin1(*m_settings[macIndex])));
    m_phase = Phase::ReadingBack;
    m_readBack[macIndex] = mac;
    m_console.step(port() + QStringLiteral(": reading back"));
    for (int i = macIndex + 1; i < m_mode->queried; ++i)
        m_queue << i;
    // The answer may be to an earlier look while the latest one is still on its way: let the line
    // fall quiet, or the device would take that look and the next question as one.
    const qint64 settle = ReplyFramer::quietMs - m_sinceProbe.elapsed();
    QTimer::singleShot(int(qMax<qint64>(0, settle)), this, [this] {
        if (!m_done)
            askNext();
    });
}

// The device as a whole must hold what it held before, with the written keys replaced: a change
// left staged by anyone takes effect at this restart too.
void Session::compare()
{
    QStringList differences;
    for (Row &row : m_rows) {
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        const QByteArray found = *m_readBack[size_t(row.index)];
        if (found == row.after) {
            if (row.status == written)
                row.status = verified;
            continue;
        }
        differences << QStringLiteral("%1 is %2, expected %3")
                           .arg(parameter.key, shown(parameter, found),
                                shown(parameter, row.after));
        row.status = differs;
        row.after = found;
    }
    if (!differences.isEmpty())
        return fail(Differs, QStringLiteral("read back after the restart: %1")
                                 .arg(differences.join(QStringLiteral("; "))));
    if (m_job.check)
        return checkModbus(m_readBack, QStringLiteral("written and verified"));
    finish(Done, QStringLiteral("written and verified"));
}

// Settings that read back right prove the device stored them, not that it carries data.
void Session::checkModbus(const Values &now, const QString &done)
{
    m_phase = Phase::Checking;
    CheckRequest request = m_job.checkRequest;
    request.host = m_job.checkHost.isEmpty()
                       ? QString::fromLatin1(*now[size_t(protocol::parameterIndex("ip"))])
                       : m_job.checkHost;
    request.port = now[size_t(protocol::parameterIndex("tcp_port"))]->toUShort();
    request.timeoutMs = m_job.timeoutMs;
    m_console.step(QStringLiteral("%1: reading slave %2 through %3:%4")
                       .arg(port())
                       .arg(request.unit)
                       .arg(request.host)
                       .arg(request.port));
    auto *check = new ModbusCheck(request, this);
    connect(check, &ModbusCheck::finished, this, [this, done, request](const CheckResult &result) {
        if (result.status != Done)
            return fail(result.status, done + QStringLiteral("; Modbus check: ") + result.message);
        QStringList values;
        for (const quint16 value : result.values)
            values << QString::number(value);
        finish(Done, QStringLiteral("%1; slave %2 answered through %3:%4 in %5 ms: %6")
                         .arg(done)
                         .arg(request.unit)
                         .arg(request.host)
                         .arg(request.port)
                         .arg(result.ms, 0, 'f', 1)
                         .arg(values.join(QLatin1Char(' '))));
    });
    check->start();
}

void Session::fail(int status, const QString &message)
{
    if (m_done)
        return;
    m_console.error(port() + QStringLiteral(": ") + message);
    finish(status, message.section(QLatin1Char('\n'), 0, 0));
}

void Session::finish(int status, const QString &outcome)
{
    if (m_done)
        return;
    m_done = true;
    m_probeTimer.stop();
    m_link.close();
    m_status = m_interrupt ? m_interrupt : status;
    m_outcome = outcome;
    emit finished();
}
