#include "batch.h"

#include "find.h"
#include "plan.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSysInfo>

namespace {

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

bool judgeBatch(const std::vector<Session *> &units, bool force, const Console &console)
{
    QList<PlannedUnit> planned;
    for (const Session *unit : units) {
        if (unit->isWaiting())
            planned << PlannedUnit{unit->port(), *unit->settings()[0], unit->mode(),
                                   unit->settings(), unit->wanted()};
    }
    const QStringList problems = batchProblems(planned, force);
    for (const QString &problem : problems)
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
