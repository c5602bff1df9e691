#include "log.h"

#include "profile.h"
#include "status.h"

#include <QCoreApplication>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

// Who ran tcprtu: sudo, cron and services leave $USER unset, the account is always there.
QString userName()
{
    for (const char *variable : {"USER", "USERNAME"}) {
        const QString name = qEnvironmentVariable(variable);
        if (!name.isEmpty())
            return name;
    }
#ifdef Q_OS_WIN
    wchar_t name[257];
    DWORD size = 257;
    if (GetUserNameW(name, &size))
        return QString::fromWCharArray(name, int(size) - 1);
#else
    if (const passwd *account = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(account->pw_name);
#endif
    return QString::number(QCoreApplication::applicationPid());
}

} // namespace

QString logPath()
{
    return stateDirectory() + QStringLiteral("/log.jsonl");
}

// One write call a line, in append mode: lines of several tcprtu at once never mix. A line that
// could not be written whole is cut off again, so that the next one does not join it.
bool appendLog(QJsonObject entry, const Console &console)
{
    entry.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    entry.insert("user", userName());
    entry.insert("host", QSysInfo::machineHostName());
    entry.insert("version", TCPRTU_VERSION);
    QDir().mkpath(stateDirectory());
    QFile file(logPath());
    QString error;
    if (file.open(QIODevice::Append | QIODevice::Unbuffered)) {
        const qint64 size = file.size();
        const QByteArray line = QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n';
        if (file.write(line) == line.size())
            return true;
        error = file.errorString();
        file.resize(size);
    } else {
        error = file.errorString();
    }
    console.error(QStringLiteral("warning: %1 not logged: %2: %3")
                      .arg(entry.value("port").toString(), file.fileName(), error));
    return false;
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
