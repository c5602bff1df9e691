#include "batch.h"

#include "find.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QSysInfo>

namespace {

int key(const char *name)
{
    return protocol::parameterIndex(QLatin1String(name));
}

// What the unit will hold once written: its wanted keys over what it holds now.
Values planned(const Session &unit)
{
    Values values = unit.settings();
    for (int i = 1; i < unit.mode()->queried; ++i) {
        if (unit.wanted()[size_t(i)])
            values[size_t(i)] = unit.wanted()[size_t(i)];
    }
    return values;
}

// A setting the command does not touch is the device's business: only what a write changes is
// judged, so that a unit already set up oddly can still get its other keys.
bool touches(const Session &unit, std::initializer_list<int> keys)
{
    return std::any_of(keys.begin(), keys.end(),
                       [&](int i) { return unit.wanted()[size_t(i)].has_value(); });
}

QJsonValue profileOrNull(const protocol::Mode *mode, const std::optional<Values> &values)
{
    if (!mode || !values)
        return QJsonValue::Null;
    return toJson(*mode, *values);
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString logPath()
{
    return stateDirectory() + QStringLiteral("/log.jsonl");
}

} // namespace

bool judgeBatch(const std::vector<Session *> &units, const Console &console)
{
    const int ip = key("ip"), mask = key("mask"), gateway = key("gateway"),
              server = key("server_ip");
    QStringList problems;
    QMap<QByteArray, QStringList> portsByIp;
    QMap<QByteArray, bool> ipWritten;
    for (const Session *unit : units) {
        if (!unit->isWaiting())
            continue;
        const Values values = planned(*unit);
        const bool hasServer = server < unit->mode()->queried;
        if (touches(*unit, {ip, mask, gateway, server})) {
            for (const QString &problem : protocol::networkProblems(
                     values[size_t(ip)].value_or(""), values[size_t(mask)].value_or(""),
                     values[size_t(gateway)].value_or(""),
                     hasServer ? values[size_t(server)].value_or("") : QByteArray()))
                problems << unit->port() + QStringLiteral(": ") + problem;
        }
        const QByteArray address = values[size_t(ip)].value_or("");
        portsByIp[address] << unit->port();
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

QJsonObject unitRecord(const Session &session)
{
    const std::optional<QByteArray> &mac = session.settings()[0];
    QJsonObject wanted;
    for (int i = 1; i < protocol::parameterCount; ++i) {
        if (session.wanted()[size_t(i)])
            wanted.insert(protocol::parameters[i].key,
                          shown(protocol::parameters[i], *session.wanted()[size_t(i)]));
    }
    return {
        {"port", session.port()},
        {"mac", mac ? QJsonValue(QString::fromLatin1(*mac)) : QJsonValue()},
        {"mode", session.mode() ? QJsonValue(session.mode()->key) : QJsonValue()},
        {"result", session.result()},
        {"status", session.status()},
        {"wanted", wanted},
        {"before", profileOrNull(session.mode(),
                                 mac ? std::optional<Values>(session.settings()) : std::nullopt)},
        {"after", profileOrNull(session.mode(), session.after())},
        {"backup", textOrNull(session.backup())},
    };
}

// One write call a line, in append mode: lines of several tcprtu at once never mix.
void logRuns(const std::vector<Session *> &units, const QString &command, const Console &console)
{
    QDir().mkpath(stateDirectory());
    QFile file(logPath());
    if (!file.open(QIODevice::Append | QIODevice::Unbuffered)) {
        console.note(QStringLiteral("warning: nothing logged: %1: %2")
                         .arg(file.fileName(), file.errorString()));
        return;
    }
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const Session *unit : units) {
        QJsonObject entry = unitRecord(*unit);
        entry.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        entry.insert("user", textOrNull(user));
        entry.insert("host", QSysInfo::machineHostName());
        entry.insert("version", TCPRTU_VERSION);
        entry.insert("command", command);
        entry.insert("serial_number", textOrNull(describePort(unit->port(), ports).serialNumber));
        const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
        if (file.write(line) != line.size()) {
            console.note(QStringLiteral("warning: not logged in full: %1: %2")
                             .arg(file.fileName(), file.errorString()));
            return;
        }
    }
}

int showLog(const QByteArray &mac, bool json, const Console &console)
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly)) {
        console.note(QStringLiteral("nothing logged yet (%1)").arg(file.fileName()));
        return Done;
    }
    QList<QStringList> rows{{"time", "port", "mac", "result", "changed"}};
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty() || (!mac.isEmpty() && entry.value("mac").toString().toLatin1() != mac))
            continue;
        if (json) {
            console.result(QString::fromUtf8(line));
            continue;
        }
        const QJsonObject before = entry.value("before").toObject();
        const QJsonObject after = entry.value("after").toObject();
        QStringList changed;
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (before.value(it.key()) != it.value())
                changed << it.key();
        }
        rows << QStringList{entry.value("time").toString(), entry.value("port").toString(),
                            entry.value("mac").toString(QStringLiteral("-")),
                            entry.value("result").toString(),
                            after.isEmpty()     ? QStringLiteral("-")
                            : changed.isEmpty() ? QStringLiteral("none")
                                                : changed.join(QLatin1Char(','))};
    }
    if (!json && rows.size() > 1)
        console.result(table(rows));
    return Done;
}
