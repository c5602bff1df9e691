#include "procedure.h"

#include "batch.h"
#include "find.h"
#include "log.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTimer>

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>

// Every await stands in a statement of its own, its result named: GCC 12 mishandles an await
// inside a condition or a short-circuit expression (the rest of a read ran with no mode; the Qt 6
// build crashed on every read, with no signal or time-out in play). No await has two events that
// could end it: QCoro's wait for a signal with a time-out resumes twice when both fall due in one
// turn of the event loop.

namespace {

// While the device restarts: how long each look for it waits. Short, because the whole write
// waits on it; twice what the question and a MAC's answer take on the line with the device's
// quiet gap, and never below 100 ms, so that each look reaches a device that frames messages by
// silence on its own.
int lookMs(qint32 baud)
{
    return std::max(100, 2 * protocol::drainMs(
                                 int(sizeof "MAC\r\n" + sizeof "MAC:02:00:00:00:00:01\r\n"), baud));
}

// The MAC exists in every mode and changes in none: the question that tells which device it is.
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
const char asPlanned[] = "as planned";
const char notAsPlanned[] = "not as planned";

QString quoted(const QByteArray &line)
{
    return QLatin1Char('"') + protocol::escaped(line) + QLatin1Char('"');
}

QString lostLine()
{
    return QStringLiteral("the line was lost: the device or its adapter went away");
}

QString macOf(const UnitRecord &record)
{
    return QString::fromLatin1(record.before[macIndex].value_or("-"));
}

// The unit's end: a failure is said at once on standard error, then the run hears of it. A
// signal that came before the end decides how the unit ended, whatever step it cut short: what
// that step found is said in the outcome.
void finish(UnitRun &unit, Run &run, Result result, int status, const QString &outcome)
{
    UnitRecord &record = unit.record;
    if (record.done)
        return;
    record.done = true;
    unit.link.close();
    QString said = outcome;
    if (run.stopStatus() && result != Result::Interrupted && result != Result::NotInInventory) {
        said = QStringLiteral("interrupted; ") + outcome;
        result = Result::Interrupted;
    }
    record.result = result;
    record.status = result == Result::Interrupted ? run.stopStatus() : status;
    record.outcome = said.section(QLatin1Char('\n'), 0, 0);
    if (record.status != Done)
        run.console().error(record.port + QStringLiteral(": ") + said);
    run.ended(unit);
}

void interrupted(UnitRun &unit, Run &run, const QString &outcome)
{
    finish(unit, run, Result::Interrupted, 0, outcome);
}

// A value the device holds is taken as it is, also one our rules would not send: a read shows
// what the device holds. Valid values are kept in their plain form, so that 010.0.0.1 and
// 10.0.0.1 compare equal, and a MAC in any spelling is one MAC.
QCoro::Task<std::optional<QByteArray>> ask(UnitRun &unit, Run &run, int index,
                                           bool afterRestart = false)
{
    const protocol::Parameter &parameter = protocol::parameters[index];
    const Link::Reply reply = co_await unit.link.query(index, run.job().timeoutMs);
    const QString restarted =
        afterRestart ? QStringLiteral("; the device restarted, not verified") : QString();
    switch (reply.result) {
    case Link::Result::Value: {
        const protocol::Checked checked = protocol::check(parameter, reply.text);
        if (!checked.ok() && !afterRestart)
            run.console().note(QStringLiteral("%1: warning: the device holds %2=%3, which tcprtu "
                                              "would not write (must be %4)")
                                   .arg(unit.record.port, parameter.key,
                                        QString::fromLatin1(reply.text), checked.rule));
        co_return checked.ok() ? checked.value : reply.text;
    }
    case Link::Result::Stopped:
        interrupted(unit, run,
                    afterRestart ? QStringLiteral("restarted; interrupted before it was verified")
                                 : QStringLiteral("interrupted, nothing sent"));
        break;
    case Link::Result::Lost:
        finish(unit, run, Result::Lost, PortFailed, lostLine() + restarted);
        break;
    case Link::Result::Unexpected: {
        const protocol::Mode *mode = unit.record.mode;
        finish(unit, run, Result::NoAnswer, NoAnswer,
               QStringLiteral("the device answered %1 when asked for %2: is it in mode %3? "
                              "--trace shows the traffic%4")
                   .arg(quoted(reply.text), parameter.key,
                        mode                  ? mode->key
                        : run.job().inventory ? "the sheet's"
                                              : "the one given",
                        restarted));
        break;
    }
    default:
        finish(unit, run, Result::NoAnswer, NoAnswer,
               QStringLiteral("no answer to %1 within %2 ms%3: check the cable, the port and the "
                              "device's mode, or give a longer --timeout; --trace shows the "
                              "traffic%4")
                   .arg(parameter.key)
                   .arg(run.job().timeoutMs)
                   .arg(reply.text.isEmpty() ? QString()
                                             : QStringLiteral(" (the last line passed over: %1)")
                                                   .arg(quoted(reply.text)))
                   .arg(restarted));
    }
    co_return std::nullopt;
}

// Each key of the unit's mode that `wanted` asks for into `values`, the MAC already there.
QCoro::Task<bool> askTheRest(UnitRun &unit, Run &run, Values &values,
                             const std::function<bool(int)> &wanted, bool afterRestart = false)
{
    for (int i = macIndex + 1; i < unit.record.mode->queried; ++i) {
        if (!wanted(i))
            continue;
        const std::optional<QByteArray> value = co_await ask(unit, run, i, afterRestart);
        if (!value)
            co_return false;
        values[size_t(i)] = value;
    }
    co_return true;
}

// A device that restarts, or may still be restarting, is looked for until it answers with its
// MAC, for up to --restart-timeout: the port reopened as a USB converter may vanish meanwhile.
// Each wait is a plain sleep, and a stop request is looked at after it: a wait that two events
// could end would be ended twice when both fall due in one turn of the event loop. The MAC
// answered, or nothing once the unit has ended.
QCoro::Task<std::optional<QByteArray>> lookForTheDevice(UnitRun &unit, Run &run, bool restarted)
{
    UnitRecord &record = unit.record;
    const Job &job = run.job();
    const QDeadlineTimer deadline(job.restartTimeoutMs);
    const int look = lookMs(job.baud);
    const QString cutShort = restarted
                                 ? QStringLiteral("restarted; interrupted before it was verified")
                                 : QStringLiteral("interrupted, nothing sent");
    run.console().step(record.port + (restarted
                                          ? QStringLiteral(": waiting for the device to come back")
                                          : QStringLiteral(": waiting for the device to answer")));
    QString detail;
    // The restart command has only just left: the device is not back yet.
    bool wait = restarted;
    for (;;) {
        if (wait)
            co_await QCoro::sleepFor(std::chrono::milliseconds(look));
        wait = true;
        if (run.stopStatus()) {
            interrupted(unit, run, cutShort);
            co_return std::nullopt;
        }
        QString error;
        if (unit.link.isOpen() || unit.link.open(&error)) {
            QElapsedTimer sinceLook;
            sinceLook.start();
            Link::Reply reply = co_await unit.link.query(macIndex, look);
            // A look that found no answer is followed at once by the next.
            while (reply.result == Link::Result::NoAnswer && !deadline.hasExpired()) {
                sinceLook.start();
                reply = co_await unit.link.query(macIndex, look);
            }
            if (reply.result == Link::Result::Value) {
                // The answer may be to an earlier look while the latest one is still on its way:
                // let the line fall quiet, or the device would take that look and the next
                // question as one.
                const qint64 settle = ReplyFramer::quietMs - sinceLook.elapsed();
                if (settle > 0)
                    co_await QCoro::sleepFor(std::chrono::milliseconds(settle));
                if (run.stopStatus()) {
                    interrupted(unit, run, cutShort);
                    co_return std::nullopt;
                }
                co_return protocol::answeredMac(reply.text);
            }
            if (reply.result == Link::Result::Stopped) {
                interrupted(unit, run, cutShort);
                co_return std::nullopt;
            }
            if (reply.result == Link::Result::Lost)
                unit.link.close();
            detail = reply.result == Link::Result::Lost ? lostLine()
                     : reply.result == Link::Result::NoAnswer
                         ? QStringLiteral("no answer")
                         : QStringLiteral("answered ") + quoted(reply.text);
        } else {
            detail = error;
        }
        if (!deadline.hasExpired())
            continue;
        if (!restarted) {
            finish(unit, run, Result::NoAnswer, NoAnswer,
                   QStringLiteral("the device did not answer within %1 s (%2): check the cable, "
                                  "the port and the device's mode")
                       .arg(job.restartTimeoutMs / 1000.0)
                       .arg(detail));
            co_return std::nullopt;
        }
        finish(unit, run, Result::NotBack, NoAnswer,
               QStringLiteral("the device did not come back within %1 s of its restart (%2); it "
                              "had accepted every change. Once it is up, read it back: tcprtu "
                              "read --port %3 --mode %4")
                   .arg(job.restartTimeoutMs / 1000.0)
                   .arg(detail, record.port, record.mode->key));
        co_return std::nullopt;
    }
}

// After the restart: the same unit, answering again. False once the unit has ended.
QCoro::Task<bool> waitForTheUnit(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    const std::optional<QByteArray> found = co_await lookForTheDevice(unit, run, true);
    if (!found)
        co_return false;
    if (*found != *record.before[macIndex]) {
        finish(unit, run, Result::AnotherUnit, Differs,
               QStringLiteral("another unit answered after the restart: MAC %1, not %2; nothing "
                              "else judged")
                   .arg(QString::fromLatin1(*found), macOf(record)));
        co_return false;
    }
    co_return true;
}

// A unit of an inventory gets its own row's values over the shared ones, and its mode.
bool findPlan(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    const Inventory *inventory = run.job().inventory;
    if (!inventory)
        return true;
    const QByteArray &mac = *record.before[macIndex];
    const Unit *row = inventory->find(mac);
    if (!row) {
        finish(unit, run, Result::NotInInventory, Done,
               QStringLiteral("not in inventory, left alone"));
        return false;
    }
    record.sheetRow = row;
    // Each row was checked against its mode before any port opened.
    if (!row->mode.isEmpty())
        record.mode = protocol::modeByKey(row->mode);
    for (int i = macIndex + 1; i < protocol::parameterCount; ++i) {
        if (row->values[size_t(i)])
            record.wanted[size_t(i)] = row->values[size_t(i)];
    }
    return true;
}

// Steps 1 and 2: the device as it is, the MAC first, which finds the unit's plan.
QCoro::Task<bool> readDevice(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    QString error;
    if (!unit.link.open(&error)) {
        finish(unit, run, Result::PortFailed, PortFailed, error);
        co_return false;
    }
    run.console().step(record.port + QStringLiteral(": reading"));
    if (run.job().awaitDevice)
        record.before[macIndex] = co_await lookForTheDevice(unit, run, false);
    else
        record.before[macIndex] = co_await ask(unit, run, macIndex);
    if (!record.before[macIndex] || !findPlan(unit, run))
        co_return false;
    const Values &assumed = run.job().assumed;
    for (int i = macIndex + 1; i < protocol::parameterCount; ++i)
        record.before[size_t(i)] = assumed[size_t(i)];
    const bool read =
        co_await askTheRest(unit, run, record.before, [&](int i) { return !assumed[size_t(i)]; });
    co_return read;
}

// Each value that differs from the device's, or with --force each one given.
int compare(UnitRecord &record, const Job &job)
{
    int changes = 0;
    for (int k = 0; k < record.mode->written; ++k) {
        const int index = k + 1; // writable parameter k, as the core lays them out
        const QByteArray &before = *record.before[size_t(index)];
        const std::optional<QByteArray> &value = record.wanted[size_t(index)];
        const bool change =
            value && (job.force || job.forceKeys.contains(index) || *value != before);
        changes += change;
        record.rows << Row{index, before, change ? *value : before,
                           change ? (job.dryRun ? wouldWrite : notSent) : unchanged,
                           change ? *value : QByteArray()};
    }
    return changes;
}

QString backUp(UnitRecord &record, const Job &job)
{
    const QString path =
        job.backupFile.isEmpty() ? backupPath(*record.before[macIndex]) : job.backupFile;
    const QString error = saveBackup(path, toJson(*record.mode, record.before));
    if (error.isEmpty())
        record.backup = path;
    else if (job.backupFile.isEmpty())
        QFile::remove(path); // the name claimed for it
    return error;
}

// The device keeps accepted changes staged until its next restart, whoever restarts it. Each is
// undone by sending the value the device held before, so that what it stages is what it runs.
// What cannot be put back is named, with the command that does it.
QCoro::Task<QString> putBackAccepted(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    for (Row &row : record.rows) {
        if (row.status != accepted && row.status != unconfirmed)
            continue;
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        if (unit.link.isOpen()) {
            run.console().step(
                QStringLiteral("%1: putting %2 back").arg(record.port, parameter.key));
            const Link::Reply reply =
                co_await unit.link.sendChange(row.index, row.before, run.job().timeoutMs);
            if (reply.result == Link::Result::Confirmed) {
                row.status = putBack;
                row.after = row.before;
                run.console().note(
                    QStringLiteral("%1: %2 put back to %3")
                        .arg(record.port, parameter.key, shown(parameter, row.before)));
                continue;
            }
        }
        row.status = mayBeStaged;
    }
    const QStringList staged = record.keys({mayBeStaged}).keys();
    if (staged.isEmpty())
        co_return QString();
    co_return QStringLiteral("\n  %1 may be staged in the device and take effect at its next "
                             "restart; to put them back: %2")
        .arg(staged.join(QStringLiteral(", ")), putBackCommand(record));
}

// Settings that read back right prove the device stored them, not that it carries data.
QCoro::Task<QString> checkModbus(UnitRun &unit, Run &run, const Values &now)
{
    const Job &job = run.job();
    CheckRequest request = job.checkRequest;
    request.host = job.checkHost.isEmpty()
                       ? QString::fromLatin1(*now[size_t(protocol::parameterIndex("ip"))])
                       : job.checkHost;
    request.port = now[size_t(protocol::parameterIndex("tcp_port"))]->toUShort();
    request.timeoutMs = job.timeoutMs;
    run.console().step(QStringLiteral("%1: reading slave %2 through %3:%4")
                           .arg(unit.record.port)
                           .arg(request.unit)
                           .arg(request.host)
                           .arg(request.port));
    ModbusCheck check(request);
    check.start();
    const CheckResult result = co_await qCoro(&check, &ModbusCheck::finished);
    QJsonArray values;
    QStringList shownValues;
    for (const quint16 value : result.values) {
        values << value;
        shownValues << QString::number(value);
    }
    unit.record.check = QJsonObject{
        {"host", request.host},
        {"tcp_port", request.port},
        {"unit", request.unit},
        {"address", request.address},
        {"count", request.count},
        {"input", request.input},
        {"status", result.status},
        {"values", result.status == Done ? QJsonValue(values) : QJsonValue()},
        {"ms", result.status == Done ? QJsonValue(result.ms) : QJsonValue()},
        {"message", result.message.isEmpty() ? QJsonValue() : QJsonValue(result.message)},
    };
    if (result.status != Done)
        co_return QStringLiteral("Modbus check: ") + result.message;
    co_return QStringLiteral("slave %1 answered through %2:%3 in %4 ms: %5")
        .arg(request.unit)
        .arg(request.host)
        .arg(request.port)
        .arg(result.ms, 0, 'f', 1)
        .arg(shownValues.join(QLatin1Char(' ')));
}

// A unit that held its plan ends as the Modbus check through it went.
void finishChecked(UnitRun &unit, Run &run, Result done, const QString &outcome,
                   const QString &checked)
{
    const int status = unit.record.check.toObject().value("status").toInt();
    finish(unit, run, status == Done ? done : Result::CheckFailed, status,
           outcome + QStringLiteral("; ") + checked);
}

// The whole write of one unit, in the order the README promises.
QCoro::Task<> writeUnit(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    const Job &job = run.job();
    BatchVerdict &batch = run.batch();

    // The steps are the README's, "What a write guarantees"; step 1, the command line, is done.
    // Step 2: the device as it is, MAC first, and the unit's plan.
    const bool read = co_await readDevice(unit, run);
    if (!read)
        co_return batch.leave();

    // Nothing is sent to any unit until every unit was read and the batch makes sense.
    const bool proceed = co_await batch.verdict(&record);
    if (!proceed) {
        if (run.stopStatus())
            co_return interrupted(unit, run, QStringLiteral("interrupted, nothing sent"));
        co_return finish(unit, run, Result::Cancelled, BadInput,
                         QStringLiteral("the batch has errors; nothing sent"));
    }
    if (!unit.link.isOpen())
        co_return finish(unit, run, Result::Lost, PortFailed,
                         lostLine() + QStringLiteral(" while the batch was judged; nothing sent"));

    // Step 4 sends only what differs.
    const QByteArray &mac = *record.before[macIndex];
    if (record.wanted[macIndex] && *record.wanted[macIndex] != mac)
        co_return finish(
            unit, run, Result::NotSent, BadInput,
            QStringLiteral("the device's MAC is %1, not %2: nothing written")
                .arg(QString::fromLatin1(mac), QString::fromLatin1(*record.wanted[macIndex])));
    const int changes = compare(record, job);
    if (changes == 0 && job.check) {
        const QString checked = co_await checkModbus(unit, run, record.before);
        co_return finishChecked(unit, run, Result::Unchanged, QStringLiteral("nothing to change"),
                                checked);
    }
    if (changes == 0)
        co_return finish(unit, run, Result::Unchanged, Done, QStringLiteral("nothing to change"));
    if (job.dryRun)
        co_return finish(unit, run, Result::DryRun, Done,
                         QStringLiteral("dry run, %1 to change, nothing sent").arg(changes));

    // Step 3: a backup that reads back as written, now that something differs.
    if (run.stopStatus())
        co_return interrupted(unit, run, QStringLiteral("interrupted, nothing sent"));
    if (job.backup) {
        const QString error = backUp(record, job);
        if (!error.isEmpty())
            co_return finish(unit, run, Result::NotSent, BadInput,
                             QStringLiteral("backup not saved, nothing written: %1; give --backup "
                                            "FILE to save it elsewhere")
                                 .arg(error));
    }

    // Step 4: each change, awaiting the device's "OK".
    unit.sending = true;
    std::optional<std::pair<Result, QString>> stopped;
    for (Row &row : record.rows) {
        if (row.status != notSent)
            continue;
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        if (run.stopStatus()) {
            stopped = {Result::Interrupted, QStringLiteral("interrupted")};
            break;
        }
        if (!unit.link.isOpen()) {
            stopped = {Result::Lost, lostLine()};
            break;
        }
        run.console().step(QStringLiteral("%1: changing %2").arg(record.port, parameter.key));
        row.status = unconfirmed;
        const Link::Reply reply =
            co_await unit.link.sendChange(row.index, row.after, job.timeoutMs);
        if (reply.result == Link::Result::Confirmed) {
            row.status = accepted;
            continue;
        }
        if (reply.result == Link::Result::Refused) {
            stopped = {Result::Refused,
                       QStringLiteral("the device answered %1 to %2=%3; no restart sent")
                           .arg(quoted(reply.text), parameter.key, QString::fromLatin1(row.after))};
            // The device holds what it held.
            row.status = refused;
            row.after = row.before;
        } else if (reply.result == Link::Result::Lost) {
            stopped = {Result::Lost, lostLine()};
        } else {
            stopped = {Result::Unanswered,
                       QStringLiteral("the device did not answer %1=%2 within %3 ms; no restart "
                                      "sent")
                           .arg(parameter.key, QString::fromLatin1(row.after))
                           .arg(job.timeoutMs)};
        }
        break;
    }

    // Step 5: nothing stays staged when the write stops here.
    if (!stopped && run.stopStatus())
        stopped = {Result::Interrupted, QStringLiteral("interrupted")};
    if (stopped) {
        const QString staged = co_await putBackAccepted(unit, run);
        const int status = stopped->first == Result::Lost ? PortFailed
                           : staged.isEmpty()             ? Refused
                                                          : Staged;
        co_return finish(unit, run, stopped->first, status, stopped->second + staged);
    }

    // Step 6: the restart, once its bytes have left the adapter.
    run.console().step(record.port + QStringLiteral(": restarting the device"));
    const Link::Reply reset = co_await unit.link.sendRestart(job.timeoutMs);
    if (reset.result != Link::Result::Left) {
        const bool lost = reset.result == Link::Result::Lost;
        const QString why =
            lost ? lostLine() + QStringLiteral(" as the restart command was sent; it may have "
                                               "reached the device")
            : unit.link.restartMayHaveLeft()
                ? QStringLiteral("the restart command did not leave the port within %1 ms; part "
                                 "of it may have reached the device")
                      .arg(job.timeoutMs)
                : QStringLiteral("the restart command did not leave the port within %1 ms; none "
                                 "of it was sent")
                      .arg(job.timeoutMs);
        const QString staged = co_await putBackAccepted(unit, run);
        co_return finish(unit, run, lost ? Result::Lost : Result::RestartUnconfirmed, PortFailed,
                         why + staged);
    }
    unit.sending = false;
    unit.link.close();
    record.restarted = true;
    for (Row &row : record.rows) {
        if (row.status == accepted)
            row.status = written;
    }
    if (run.stopStatus())
        co_return interrupted(unit, run,
                              QStringLiteral("restarted; interrupted before it was verified"));
    if (!job.verify)
        co_return finish(unit, run, Result::WrittenUnverified, Done,
                         QStringLiteral("written, restarted, not verified"));

    // Step 7: the same unit, back,
    const bool back = co_await waitForTheUnit(unit, run);
    if (!back)
        co_return;

    // and every key of the mode read back: the device as a whole must hold what it held before,
    // with the written keys replaced. A change left staged by anyone takes effect at this restart
    // too.
    run.console().step(record.port + QStringLiteral(": reading back"));
    Values now;
    now[macIndex] = mac;
    const auto sent = [&](int i) {
        return std::any_of(record.rows.begin(), record.rows.end(),
                           [&](const Row &row) { return row.index == i && row.status == written; });
    };
    const bool readBack = co_await askTheRest(
        unit, run, now, [&](int i) { return !job.brief || sent(i); }, true);
    if (!readBack)
        co_return;
    record.after = now;
    unit.link.close();
    QStringList differences;
    for (Row &row : record.rows) {
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        if (!now[size_t(row.index)])
            continue;
        const QByteArray found = *now[size_t(row.index)];
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
        co_return finish(unit, run, Result::Differs, Differs,
                         QStringLiteral("read back after the restart: %1")
                             .arg(differences.join(QStringLiteral("; "))));

    // Step 8: with --check, a Modbus request through the converter as it now is.
    if (job.check) {
        Values held = record.before;
        for (size_t i = 0; i < held.size(); ++i)
            held[i] = now[i] ? now[i] : held[i];
        const QString checked = co_await checkModbus(unit, run, held);
        co_return finishChecked(unit, run, Result::Verified, QStringLiteral("written and verified"),
                                checked);
    }
    finish(unit, run, Result::Verified, Done, QStringLiteral("written and verified"));
}

QCoro::Task<> readUnit(UnitRun &unit, Run &run)
{
    const bool read = co_await readDevice(unit, run);
    if (read)
        finish(unit, run, Result::Read, Done, QStringLiteral("read"));
}

// The device as it is against its plan: each planned key is a row, held before, planned after.
// Nothing is sent.
QCoro::Task<> auditUnit(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    const bool read = co_await readDevice(unit, run);
    if (!read)
        co_return;
    unit.link.close();
    QStringList differences;
    for (int i = macIndex + 1; i < record.mode->queried; ++i) {
        const std::optional<QByteArray> &planned = record.wanted[size_t(i)];
        if (!planned)
            continue;
        const QByteArray &held = *record.before[size_t(i)];
        const bool same = held == *planned;
        record.rows << Row{i, held, *planned, same ? asPlanned : notAsPlanned, {}};
        if (!same)
            differences << QStringLiteral("%1 is %2, planned %3")
                               .arg(protocol::parameters[i].key,
                                    shown(protocol::parameters[i], held),
                                    shown(protocol::parameters[i], *planned));
    }
    // A unit that differs is judged already, and its address is not the planned one: the check
    // proves a unit that holds its plan.
    if (!differences.isEmpty())
        co_return finish(unit, run, Result::Differs, Differs,
                         differences.join(QStringLiteral("; ")));
    if (!run.job().check)
        co_return finish(unit, run, Result::Matches, Done, QStringLiteral("as planned"));
    const QString checked = co_await checkModbus(unit, run, record.before);
    finishChecked(unit, run, Result::Matches, QStringLiteral("as planned"), checked);
}

// The MAC first, so that the log can say which unit was restarted.
QCoro::Task<> resetUnit(UnitRun &unit, Run &run)
{
    UnitRecord &record = unit.record;
    QString error;
    if (!unit.link.open(&error))
        co_return finish(unit, run, Result::PortFailed, PortFailed, error);
    const Link::Reply reply = co_await unit.link.query(macIndex, run.job().timeoutMs);
    if (reply.result == Link::Result::Stopped)
        co_return interrupted(unit, run, QStringLiteral("interrupted, nothing sent"));
    if (reply.result == Link::Result::Lost)
        co_return finish(unit, run, Result::Lost, PortFailed, lostLine());
    if (reply.result == Link::Result::Value)
        record.before[macIndex] = protocol::answeredMac(reply.text);
    else
        run.console().note(record.port + QStringLiteral(": warning: no MAC answered; restarting "
                                                        "all the same"));
    if (run.stopStatus())
        co_return interrupted(unit, run, QStringLiteral("interrupted, nothing sent"));
    unit.sending = true;
    run.console().step(record.port + QStringLiteral(": restarting the device"));
    const Link::Reply reset = co_await unit.link.sendRestart(run.job().timeoutMs);
    unit.sending = false;
    if (reset.result == Link::Result::Left) {
        record.restarted = true;
        co_return finish(unit, run, Result::Restarted, Done, QStringLiteral("restart sent"));
    }
    if (reset.result == Link::Result::Lost)
        co_return finish(unit, run, Result::Lost, PortFailed, lostLine());
    finish(unit, run, Result::RestartUnconfirmed, PortFailed,
           QStringLiteral("the restart command did not leave the port within %1 ms%2")
               .arg(run.job().timeoutMs)
               .arg(unit.link.restartMayHaveLeft()
                        ? QStringLiteral("; part of it may have reached the device")
                        : QStringLiteral("; none of it was sent")));
}

// The planned units judged by batchProblems(); every problem is reported.
bool judgeBatch(const QList<const UnitRecord *> &units, bool force, const Console &console)
{
    QList<PlannedUnit> planned;
    for (const UnitRecord *unit : units)
        planned << PlannedUnit{unit->port, *unit->before[0], unit->mode, unit->before,
                               unit->wanted};
    const QStringList problems = batchProblems(planned, force);
    for (const QString &problem : problems)
        console.error(problem);
    return problems.isEmpty();
}

// The keys that were read, as a profile; null when nothing was.
QJsonValue profileOrNull(const protocol::Mode *mode, const std::optional<Values> &values)
{
    if (!mode || !values)
        return QJsonValue::Null;
    QJsonObject profile = toJson(*mode, *values);
    for (int i = 0; i < mode->queried; ++i) {
        if (!(*values)[size_t(i)])
            profile.remove(protocol::parameters[i].key);
    }
    return profile;
}

} // namespace

QJsonObject UnitRecord::keys(std::initializer_list<const char *> statuses) const
{
    QJsonObject object;
    for (const Row &row : rows) {
        // A key read back otherwise than it was before, unsent, is no key of this write's.
        if (std::find(statuses.begin(), statuses.end(), row.status) == statuses.end() ||
            (row.status != putBack && row.sent.isEmpty()))
            continue;
        object.insert(protocol::parameters[row.index].key,
                      valueJson(protocol::parameters[row.index],
                                row.status == putBack ? row.before : row.sent));
    }
    return object;
}

bool UnitRecord::readWhole() const
{
    if (!mode)
        return false;
    for (int i = 0; i < mode->queried; ++i) {
        if (!before[size_t(i)])
            return false;
    }
    return true;
}

QJsonObject UnitRecord::toJson() const
{
    const std::optional<QByteArray> &unitMac = before[macIndex];
    QJsonObject wantedKeys;
    for (int i = macIndex + 1; i < protocol::parameterCount; ++i) {
        if (wanted[size_t(i)])
            wantedKeys.insert(protocol::parameters[i].key,
                              valueJson(protocol::parameters[i], *wanted[size_t(i)]));
    }
    QJsonObject object{
        {"port", port},
        {"mac", unitMac ? QJsonValue(QString::fromLatin1(*unitMac)) : QJsonValue()},
        {"mode", mode ? QJsonValue(mode->key) : QJsonValue()},
        {"result", word(result)},
        {"status", status},
        {"wanted", wantedKeys},
        {"before", profileOrNull(mode, readWhole() ? std::optional<Values>(before) : std::nullopt)},
        {"after", profileOrNull(mode, after)},
        {"sent", keys({accepted, written, verified, differs})},
        {"staged", keys({mayBeStaged})},
        {"put_back", keys({putBack})},
        {"refused", keys({refused})},
        {"restarted", restarted},
        {"check", check},
        {"backup", backup.isEmpty() ? QJsonValue() : QJsonValue(backup)},
    };
    // Why it failed, in the words the run printed.
    if (status != Done)
        object.insert("message", outcome);
    return object;
}

QJsonObject notConnectedJson(const Unit &row)
{
    return {{"port", QJsonValue()},
            {"mac", QString::fromLatin1(row.mac)},
            {"result", word(Result::NotConnected)},
            {"status", Done},
            {"row", row.row}};
}

QString putBackCommand(const UnitRecord &record)
{
    const QString backup = record.backup.isEmpty() ? record.restoreFrom : record.backup;
    if (!backup.isEmpty())
        return QStringLiteral("tcprtu write --port %1 --force %2").arg(record.port, backup);
    // The device still reports its old values while the new ones wait, so only --force sends them.
    QString sets;
    for (const Row &row : record.rows) {
        if (row.status == mayBeStaged || row.status == unconfirmed || row.status == accepted)
            sets += QStringLiteral(" --set %1=%2")
                        .arg(protocol::parameters[row.index].key,
                             shown(protocol::parameters[row.index], row.before));
    }
    return QStringLiteral("tcprtu write --port %1 --mode %2 --force%3")
        .arg(record.port, record.mode->key, sets);
}

UnitRun::UnitRun(const QString &port, const Job &job, const Console &console)
    : link(port, job.baud, console)
{
    record.port = port;
    record.mode = job.mode;
    record.wanted = job.wanted;
    record.brief = job.brief;
    record.restoreFrom = job.restoreFrom;
}

Run::Run(const Job &job, const QStringList &ports, const Console &console)
    : m_job(job), m_console(console)
{
    QList<const UnitRecord *> records;
    for (const QString &port : ports) {
        m_units.push_back(std::make_unique<UnitRun>(port, job, console));
        records << &m_units.back()->record;
    }
    m_batch = std::make_unique<BatchVerdict>(records, job.force, console);
    // Listing the ports walks the system's device tree: once is enough.
    if (job.command != Command::Read)
        m_systemPorts = QSerialPortInfo::availablePorts();
}

Run::~Run() = default;

void Run::start()
{
    m_running = int(m_units.size());
    if (m_running == 0)
        return void(QTimer::singleShot(0, this, &Run::allEnded));
    for (const auto &unit : m_units)
        work(*unit);
}

// Each procedure starts from the event loop, so that allEnded() comes after start() returned.
QCoro::Task<> Run::work(UnitRun &unit)
{
    co_await QCoro::sleepFor(std::chrono::milliseconds(0));
    switch (m_job.command) {
    case Command::Read:
        co_await readUnit(unit, *this);
        break;
    case Command::Write:
        co_await writeUnit(unit, *this);
        break;
    case Command::Reset:
        co_await resetUnit(unit, *this);
        break;
    case Command::Audit:
        co_await auditUnit(unit, *this);
        break;
    }
}

QCoro::Task<UnitRecord> runOnOnePort(const Job &job, const QString &port, const Console &console,
                                     Run **current)
{
    Run run(job, {port}, console);
    *current = &run;
    run.start();
    co_await qCoro(&run, &Run::allEnded);
    *current = nullptr;
    co_return run.units().front()->record;
}

void Run::stop(int status)
{
    if (m_stopStatus)
        return;
    m_stopStatus = status;
    m_batch->stop();
    for (const auto &unit : m_units) {
        if (!unit->record.done && !unit->sending)
            unit->link.cancel();
    }
}

void Run::abandon(int status)
{
    for (const auto &unit : m_units) {
        UnitRecord &record = unit->record;
        if (record.done)
            continue;
        for (Row &row : record.rows) {
            if (row.status == accepted || row.status == unconfirmed)
                row.status = mayBeStaged;
        }
        const QStringList staged = record.keys({mayBeStaged}).keys();
        record.done = true;
        record.result = Result::Interrupted;
        record.status = status;
        record.outcome = QStringLiteral("interrupted again, at once");
        m_console.error(
            staged.isEmpty()
                ? record.port + QStringLiteral(": interrupted again; nothing was staged")
                : QStringLiteral("%1: interrupted again; %2 may be staged in the device and take "
                                 "effect at its next restart; to put them back: %3")
                      .arg(record.port, staged.join(QStringLiteral(", ")), putBackCommand(record)));
        log(record);
    }
}

void Run::ended(UnitRun &unit)
{
    log(unit.record);
    if (--m_running == 0)
        emit allEnded();
}

// What reached a unit is logged as that unit ends: every restart, and every write that read one.
void Run::log(const UnitRecord &record)
{
    const bool reached = m_job.command == Command::Reset ||
                         (m_job.command == Command::Write && !m_job.dryRun &&
                          record.before[macIndex] && record.result != Result::NotInInventory) ||
                         (m_job.command == Command::Audit && record.before[macIndex] &&
                          record.result != Result::NotInInventory);
    if (reached)
        logUnit(record, m_job.name, m_systemPorts, m_console);
}

void logUnit(const UnitRecord &record, const QString &command,
             const QList<QSerialPortInfo> &systemPorts, const Console &console,
             const QJsonObject &more)
{
    QJsonObject line = record.toJson();
    line.insert("command", command);
    const QString serialNumber = describePort(record.port, systemPorts).serialNumber;
    line.insert("serial_number", serialNumber.isEmpty() ? QJsonValue() : QJsonValue(serialNumber));
    if (record.sheetRow) {
        line.insert("label", record.sheetRow->label);
        line.insert("notes", record.sheetRow->notes);
    }
    for (auto it = more.begin(); it != more.end(); ++it)
        line.insert(it.key(), it.value());
    appendLog(line, console);
}

BatchVerdict::BatchVerdict(const QList<const UnitRecord *> &units, bool force,
                           const Console &console)
    : m_console(console), m_force(force), m_units(units), m_missing(int(units.size()))
{
}

QCoro::Task<bool> BatchVerdict::verdict(const UnitRecord *unit)
{
    if (!m_verdict) {
        m_planned << unit;
        arrive();
    }
    if (m_verdict)
        co_return *m_verdict;
    const bool proceed = co_await qCoro(this, &BatchVerdict::decided);
    co_return proceed;
}

void BatchVerdict::leave()
{
    if (!m_verdict)
        arrive();
}

void BatchVerdict::stop()
{
    if (!m_verdict)
        decide(false);
}

void BatchVerdict::arrive()
{
    if (--m_missing > 0)
        return;
    QList<const UnitRecord *> planned;
    for (const UnitRecord *unit : m_units) {
        if (m_planned.contains(unit))
            planned << unit;
    }
    decide(judgeBatch(planned, m_force, m_console));
}

void BatchVerdict::decide(bool proceed)
{
    m_verdict = proceed;
    emit decided(proceed);
}
