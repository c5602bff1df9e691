#include "batch.h"

#include <QMap>

#include <algorithm>

namespace {

int key(const QString &name)
{
    return protocol::parameterIndex(name);
}

bool sends(const PlannedUnit &unit, int i, bool force)
{
    const std::optional<QByteArray> &value = unit.wanted[size_t(i)];
    return i < unit.mode->queried && value && (force || *value != unit.settings[size_t(i)]);
}

} // namespace

QStringList batchProblems(const QList<PlannedUnit> &units, bool force)
{
    const int ip = key("ip"), mask = key("mask"), gateway = key("gateway"),
              server = key("server_ip");
    QStringList problems;
    QMap<QByteArray, QStringList> portsByIp, portsByMac;
    QMap<QByteArray, bool> ipSent;
    for (const PlannedUnit &unit : units) {
        // What the unit will hold once written: what it is sent over what it holds.
        Values values = unit.settings;
        for (int i = 1; i < protocol::parameterCount; ++i) {
            if (sends(unit, i, force))
                values[size_t(i)] = unit.wanted[size_t(i)];
        }
        const bool hasServer = server < unit.mode->queried;
        // A rule is judged when the write sends one of its keys: a unit set up oddly by another
        // tool can still get its other keys, and a write never leaves a new value breaking one.
        for (const protocol::NetworkProblem &problem : protocol::networkProblems(
                 values[size_t(ip)].value_or(""), values[size_t(mask)].value_or(""),
                 values[size_t(gateway)].value_or(""),
                 hasServer ? values[size_t(server)].value_or("") : QByteArray())) {
            if (std::any_of(problem.keys.begin(), problem.keys.end(),
                            [&](const QString &name) { return sends(unit, key(name), force); }))
                problems << unit.port + QStringLiteral(": ") + problem.message;
        }
        const QByteArray address = values[size_t(ip)].value_or("");
        portsByIp[address] << unit.port;
        ipSent[address] = ipSent.value(address) || sends(unit, ip, force);
        portsByMac[unit.mac] << unit.port;
    }
    for (auto it = portsByIp.cbegin(); it != portsByIp.cend(); ++it) {
        if (it.value().size() > 1 && ipSent.value(it.key()))
            problems << QStringLiteral("ip %1 would be held by %2 units: %3; give each its own")
                            .arg(QString::fromLatin1(it.key()))
                            .arg(it.value().size())
                            .arg(it.value().join(QStringLiteral(", ")));
    }
    for (auto it = portsByMac.cbegin(); !force && it != portsByMac.cend(); ++it) {
        if (it.value().size() > 1)
            problems << QStringLiteral("MAC %1 answers on %2; cloned units, or one unit on two "
                                       "ports? --force writes each of them")
                            .arg(QString::fromLatin1(it.key()),
                                 it.value().join(QStringLiteral(" and ")));
    }
    return problems;
}
