#include "poll.h"
#include "options.h"

#include "check.h"
#include "interrupts.h"
#include "latency.h"
#include "modbustcp.h"
#include "status.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Counts that a year of requests, one a millisecond, does not overflow.
struct Tally
{
    qint64 sent = 0;
    qint64 answered = 0;
    qint64 timeouts = 0;
    qint64 unusable = 0;
    QMap<int, qint64> exceptions; // by code
    LatencySummary latencies;     // of the answers with data

    // The median and the 95th percentile, rounded to 0.1 ms; 0 without answers.
    double median() const { return rounded(latencies.percentile(50)); }
    double p95() const { return rounded(latencies.percentile(95)); }

private:
    static double rounded(double ms) { return std::round(ms * 10) / 10; }
};

QString exceptionCounts(const Tally &tally)
{
    QStringList counts;
    for (auto it = tally.exceptions.cbegin(); it != tally.exceptions.cend(); ++it)
        counts << QStringLiteral("%1: %2").arg(exceptionCode(it.key())).arg(it.value());
    return counts.isEmpty() ? QStringLiteral("none") : counts.join(QStringLiteral(", "));
}

QString summary(const Tally &tally)
{
    return QStringLiteral("sent %1, answered %2, time-outs %3, exceptions %4%5; latency median "
                          "%6 ms, 95th percentile %7 ms")
        .arg(tally.sent)
        .arg(tally.answered)
        .arg(tally.timeouts)
        .arg(exceptionCounts(tally))
        .arg(tally.unusable ? QStringLiteral(", unusable %1").arg(tally.unusable) : QString())
        .arg(tally.median())
        .arg(tally.p95());
}

QJsonObject toJson(const Tally &tally)
{
    QJsonObject exceptions;
    for (auto it = tally.exceptions.cbegin(); it != tally.exceptions.cend(); ++it)
        exceptions.insert(QString::number(it.key()), it.value());
    return {{"sent", tally.sent},
            {"answered", tally.answered},
            {"timeouts", tally.timeouts},
            {"exceptions", exceptions},
            {"unusable", tally.unusable},
            {"latency_ms", QJsonObject{{"median", tally.median()}, {"p95", tally.p95()}}}};
}

} // namespace

int runPoll(const Arguments &args, const Console &console)
{
    CheckRequest request;
    QStringList errors;
    readCheckOptions(args, &request, &errors);
    if (!args.isSet(option::read))
        errors << QStringLiteral("--read: give the registers to poll");
    const int intervalMs = args.number(option::interval, 1000, 1, 3'600'000, &errors);
    const int count = args.number(option::count, std::numeric_limits<int>::max(), 1,
                                  std::numeric_limits<int>::max(), &errors);
    qint64 durationMs = -1;
    if (args.isSet(option::duration)) {
        bool ok = false;
        const double seconds = args.value(option::duration).toDouble(&ok);
        if (ok && seconds > 0 && seconds <= 366 * 24 * 3600)
            durationMs = qint64(seconds * 1000);
        else
            errors << QStringLiteral("--duration: must be seconds, above 0 and at most a year");
    }
    if (args.isSet(option::count) && args.isSet(option::duration))
        errors << QStringLiteral("--count and --duration: give one of them");
    if (!readConnection(args, &request, &errors, console))
        return BadInput;

    const QByteArray pdu = readRequest(request.input, request.address, request.count);
    ModbusTcp client(request.host, request.port, request.timeoutMs);
    Interrupts interrupts;
    Tally tally;
    int status = Done;
    bool due = false;      // the interval is up, and the next request may go
    bool stopping = false; // no more requests; the one in flight is awaited
    QTimer ticker;
    const auto stop = [&] {
        stopping = true;
        ticker.stop();
        if (client.inFlight() == 0)
            QCoreApplication::quit();
    };
    const auto sendIfDue = [&] {
        stopping = stopping || tally.sent == count;
        if (stopping)
            return stop();
        if (!due || client.inFlight() > 0)
            return;
        due = false;
        ++tally.sent;
        client.send(request.unit, pdu);
    };
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        due = true;
        sendIfDue();
    });
    // A timer takes at most 24.8 days of milliseconds: a longer poll ends through a chain of
    // shorter ones, each up to the deadline or a day, whichever comes first.
    QDeadlineTimer deadline;
    QTimer ender;
    ender.setSingleShot(true);
    ender.setTimerType(Qt::PreciseTimer);
    const auto endAtDeadline = [&] {
        if (deadline.hasExpired())
            return stop();
        ender.start(int(std::min<qint64>(deadline.remainingTime(), 24 * 3600 * 1000)));
    };
    QObject::connect(&ender, &QTimer::timeout, endAtDeadline);
    QObject::connect(&client, &ModbusTcp::connected, [&] {
        if (durationMs >= 0) {
            deadline.setRemainingTime(durationMs, Qt::PreciseTimer);
            endAtDeadline();
        }
        ticker.start(intervalMs);
        due = true;
        sendIfDue();
    });
    QObject::connect(&client, &ModbusTcp::failed, [&](int why, const QString &message) {
        status = why;
        console.live({});
        console.error(message);
        QCoreApplication::quit();
    });
    QObject::connect(&client, &ModbusTcp::answered, [&](int, const ModbusAnswer &answer) {
        switch (answer.kind) {
        case ModbusAnswer::Data:
            ++tally.answered;
            tally.latencies.add(answer.ms);
            break;
        case ModbusAnswer::Exception:
            ++tally.exceptions[answer.exception];
            break;
        case ModbusAnswer::Unusable: {
            ++tally.unusable;
            QString message;
            modbusFault(answer, request.unit, client.where(), request.timeoutMs, &message);
            console.live({});
            console.error(message);
            break;
        }
        case ModbusAnswer::TimedOut:
            ++tally.timeouts;
            break;
        }
        console.live(summary(tally));
        sendIfDue();
    });
    QObject::connect(&interrupts, &Interrupts::interrupted, [&] { stop(); });
    QMetaObject::invokeMethod(&client, &ModbusTcp::open, Qt::QueuedConnection);
    QCoreApplication::exec();
    console.live({});

    if (status == PortFailed && tally.sent == 0)
        return status;
    console.result(
        args.isSet(option::json)
            ? QString::fromUtf8(QJsonDocument(toJson(tally)).toJson(QJsonDocument::Compact))
            : summary(tally));
    if (status != Done)
        return status;
    // Ended before the first request: nothing was answered.
    return tally.sent > 0 && tally.answered == tally.sent ? Done : NoAnswer;
}
