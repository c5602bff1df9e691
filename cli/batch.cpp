#include "batch.h"

#include <QMap>

#include <qcoro/qcorosignal.h>

namespace {

int key(const char *name)
{
    return protocol::parameterIndex(QLatin1String(name));
}

// What the unit will hold once written: its wanted keys over what it holds now.
Values planned(const UnitRecord &unit)
{
    Values values = unit.before;
    for (int i = 1; i < unit.mode->queried; ++i) {
        if (unit.wanted[size_t(i)])
            values[size_t(i)] = unit.wanted[size_t(i)];
    }
    return values;
}

// A setting the command does not touch is the device's business: only what a write changes is
// judged, so that a unit already set up oddly can still get its other keys.
bool touches(const UnitRecord &unit, std::initializer_list<int> keys)
{
    return std::any_of(keys.begin(), keys.end(),
                       [&](int i) { return unit.wanted[size_t(i)].has_value(); });
}

} // namespace

bool judgeBatch(const QList<const UnitRecord *> &units, const Console &console)
{
    const int ip = key("ip"), mask = key("mask"), gateway = key("gateway"),
              server = key("server_ip");
    QStringList problems;
    QMap<QByteArray, QStringList> portsByIp;
    QMap<QByteArray, bool> ipWritten;
    for (const UnitRecord *unit : units) {
        const Values values = planned(*unit);
        const bool hasServer = server < unit->mode->queried;
        if (touches(*unit, {ip, mask, gateway, server})) {
            for (const QString &problem : protocol::networkProblems(
                     values[size_t(ip)].value_or(""), values[size_t(mask)].value_or(""),
                     values[size_t(gateway)].value_or(""),
                     hasServer ? values[size_t(server)].value_or("") : QByteArray()))
                problems << unit->port + QStringLiteral(": ") + problem;
        }
        const QByteArray address = values[size_t(ip)].value_or("");
        portsByIp[address] << unit->port;
        ipWritten[address] = ipWritten.value(address) || touches(*unit, {ip});
    }
    for (auto it = portsByIp.cbegin(); it != portsByIp.cend(); ++it) {
        if (it.value().size() > 1 && ipWritten.value(it.key()))
            problems << QStringLiteral("ip %1 would be held by %2 units: %3")
                            .arg(QString::fromLatin1(it.key()))
                            .arg(it.value().size())
                            .arg(it.value().join(QStringLiteral(", ")));
    }
    for (const QString &problem : qAsConst(problems))
        console.error(problem);
    return problems.isEmpty();
}

Batch::Batch(int units, const Console &console) : m_console(console), m_missing(units) {}

QCoro::Task<bool> Batch::verdict(const UnitRecord *unit)
{
    if (!m_verdict) {
        m_planned << unit;
        arrive();
    }
    if (m_verdict)
        co_return *m_verdict;
    co_return co_await qCoro(this, &Batch::decided);
}

void Batch::leave()
{
    if (!m_verdict)
        arrive();
}

void Batch::stop()
{
    if (!m_verdict)
        decide(false);
}

void Batch::arrive()
{
    if (--m_missing == 0)
        decide(judgeBatch(m_planned, m_console));
}

void Batch::decide(bool proceed)
{
    m_verdict = proceed;
    emit decided(proceed);
}
