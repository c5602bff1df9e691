#include "log.h"
#include "options.h"

#include "inventory.h"
#include "profile.h"
#include "status.h"

#include <QCoreApplication>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSysInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>
#endif

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

namespace {

// The log to itself, while a line is appended or the log is merged; whoever comes second waits.
// The lock is a file beside the log: a merge renames a new log over the old one, and a writer
// waiting on the old file would append to a file no longer in the directory. Released when
// destroyed.
class LogLock
{
public:
    LogLock()
    {
        QDir().mkpath(stateDirectory());
        const QString path = logPath() + QStringLiteral(".lock");
#ifdef Q_OS_WIN
        m_handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        OVERLAPPED whole{};
        if (m_handle != INVALID_HANDLE_VALUE &&
            !LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
        }
        if (m_handle == INVALID_HANDLE_VALUE)
            m_error = QStringLiteral("%1: %2").arg(path, qt_error_string());
#else
        // Read access is all flock needs: a lock file another account made still locks.
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(m_fd);
                m_fd = -1;
            }
        }
        if (m_fd < 0)
            m_error = QStringLiteral("%1: %2").arg(path, qt_error_string());
#endif
    }
    ~LogLock()
    {
#ifdef Q_OS_WIN
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
#else
        if (m_fd >= 0)
            ::close(m_fd);
#endif
    }
    LogLock(const LogLock &) = delete;
    LogLock &operator=(const LogLock &) = delete;

    // Why the lock is not held; empty when it is.
    const QString &error() const
    {
        return m_error;
    }

private:
#ifdef Q_OS_WIN
    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
    int m_fd = -1;
#endif
    QString m_error;
};

// A MAC as the log keeps it, whatever the spelling of the machine that logged it.
QByteArray normalMac(const QJsonValue &mac)
{
    const protocol::Checked checked =
        protocol::check(protocol::parameters[0], mac.toString().toLatin1());
    return checked.ok() ? checked.value : mac.toString().toLatin1();
}

qint64 msecs(const QJsonObject &entry)
{
    const QDateTime time = QDateTime::fromString(entry.value("time").toString(), Qt::ISODateWithMs);
    return time.isValid() ? time.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
}

QString valueText(const QJsonValue &value)
{
    return value.isUndefined() || value.isNull() ? QStringLiteral("-")
                                                 : value.toVariant().toString();
}

// What the entry changed: each key read back with another value, or the keys sent when nothing
// was read back.
QString changes(const QJsonObject &entry)
{
    const QJsonObject before = entry.value("before").toObject();
    const QJsonObject after = entry.value("after").toObject();
    const QJsonObject sent = entry.value("sent").toObject();
    QStringList changed;
    if (!after.isEmpty()) {
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (before.value(it.key()) != it.value())
                changed << QStringLiteral("%1: %2 -> %3")
                               .arg(it.key(), valueText(before.value(it.key())),
                                    valueText(it.value()));
        }
        return changed.isEmpty() ? QStringLiteral("none") : changed.join(QStringLiteral(", "));
    }
    for (auto it = sent.begin(); it != sent.end(); ++it)
        changed << QStringLiteral("%1=%2 sent").arg(it.key(), valueText(it.value()));
    return changed.isEmpty() ? QStringLiteral("-") : changed.join(QStringLiteral(", "));
}

// The result word, and the keys a run left staged in the device: they take effect at its next
// restart, whoever restarts it, so whoever reads the log must see them.
QString resultText(const QJsonObject &entry)
{
    const QStringList staged = entry.value("staged").toObject().keys();
    const QString result = entry.value("result").toString();
    return staged.isEmpty()
               ? result
               : QStringLiteral("%1 (staged: %2)").arg(result, staged.join(QStringLiteral(", ")));
}

// What a JSON object lacks of the fields every command logs; nothing when it has them. Merged, such
// an object would be a blank row of the log for good.
QString entryProblem(const QJsonObject &entry)
{
    for (const char *field : {"time", "command", "result"}) {
        if (entry.value(QLatin1String(field)).toString().isEmpty())
            return QStringLiteral("no \"%1\"").arg(QLatin1String(field));
    }
    if (msecs(entry) == std::numeric_limits<qint64>::min())
        return QStringLiteral("time %1 is no ISO 8601 time").arg(entry.value("time").toString());
    return QString();
}

// Every line of a log file, each a JSON object in its compact form; nothing, with the reason, when
// a line is not one, so that a merge never drops what it cannot read.
std::optional<QList<QByteArray>> readLines(const QString &path, bool mayBeMissing,
                                           QStringList *errors)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (mayBeMissing && !file.exists())
            return QList<QByteArray>();
        errors->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    QList<QByteArray> lines;
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        const QString problem = document.isObject() ? entryProblem(document.object()) : QString();
        if (!document.isObject() || !problem.isEmpty()) {
            errors->append(
                QStringLiteral("%1: line %2 is not a log entry%3")
                    .arg(path)
                    .arg(number)
                    .arg(problem.isEmpty() ? QString() : QStringLiteral(": ") + problem));
            return std::nullopt;
        }
        lines << document.toJson(QJsonDocument::Compact);
    }
    return lines;
}

// Other machines' logs folded into this one: each line once, oldest first. The new log is written
// beside the old and renamed over it, the log locked throughout so that no line is appended to
// the old one meanwhile.
int mergeLogs(const QStringList &files, const Console &console)
{
    const LogLock lock;
    if (!lock.error().isEmpty()) {
        console.error(lock.error() + QStringLiteral("; nothing merged"));
        return OutputFailed;
    }
    QStringList errors;
    const std::optional<QList<QByteArray>> own = readLines(logPath(), true, &errors);
    QList<QByteArray> lines = own.value_or(QList<QByteArray>());
    for (const QString &path : files)
        lines += readLines(path, false, &errors).value_or(QList<QByteArray>());
    if (!console.errors(errors)) {
        console.error(QStringLiteral("nothing merged"));
        return BadInput;
    }
    QSet<QByteArray> seen;
    QList<std::pair<qint64, QByteArray>> merged;
    for (const QByteArray &line : qAsConst(lines)) {
        if (seen.contains(line))
            continue;
        seen.insert(line);
        merged << std::pair{msecs(QJsonDocument::fromJson(line).object()), line};
    }
    std::stable_sort(merged.begin(), merged.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QByteArray text;
    for (const auto &entry : qAsConst(merged))
        text += entry.second + '\n';
    QString error;
    if (!writeFile(logPath(), text, &error)) {
        console.error(error + QStringLiteral("; nothing merged"));
        return OutputFailed;
    }
    console.result(QStringLiteral("%1 of %2 entries new; the log has %3")
                       .arg(merged.size() - own->size())
                       .arg(lines.size() - own->size())
                       .arg(merged.size()));
    return Done;
}

} // namespace

QString logPath()
{
    return stateDirectory() + QStringLiteral("/log.jsonl");
}

// One write call a line, in append mode, under the log's lock: lines of several tcprtu at once
// never mix, and none goes to a log a merge is replacing. A line that could not be written whole
// is cut off again, so that the next one does not join it.
bool appendLog(QJsonObject entry, const Console &console)
{
    entry.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    entry.insert("user", userName());
    entry.insert("host", QSysInfo::machineHostName());
    entry.insert("version", TCPRTU_VERSION);
    // Unlocked, the line is still written: a unit's record outweighs a merge that may not run.
    const LogLock lock;
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

std::optional<QDateTime> readSince(const Arguments &args, QStringList *errors)
{
    const QString text = args.value(option::since);
    if (text.isEmpty())
        return std::nullopt;
    QDateTime since = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!since.isValid())
        since = QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0));
    if (!since.isValid()) {
        errors->append(QStringLiteral("--since %1: must be a date or a time, e.g. 2026-12-07 or "
                                      "2026-12-07T14:30")
                           .arg(text));
        return std::nullopt;
    }
    // The log's times are UTC, and so are those given without an offset.
    if (since.timeSpec() == Qt::LocalTime)
        since.setTimeSpec(Qt::UTC);
    return since;
}

QList<QJsonObject> readLog(const std::optional<QDateTime> &since)
{
    QList<QJsonObject> entries;
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const qint64 from = since ? since->toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
    while (!file.atEnd()) {
        QJsonObject entry = QJsonDocument::fromJson(file.readLine().trimmed()).object();
        if (entry.isEmpty() || msecs(entry) < from)
            continue;
        if (!entry.value("mac").isNull())
            entry.insert("mac", QString::fromLatin1(normalMac(entry.value("mac"))));
        entries << entry;
    }
    return entries;
}

int runLog(const Arguments &args, const Console &console)
{
    QStringList errors;
    const QStringList files = args.positional();
    const bool merge = args.isSet(option::merge);
    if (merge && files.isEmpty())
        errors << QStringLiteral("--merge: give the log files to fold in");
    if (!merge)
        errors << args.unexpected();
    const bool json = args.isSet(option::json);
    const bool csv = args.isSet(option::csv);
    if (json && csv)
        errors << QStringLiteral("--json and --csv: give one of them");
    const QString macText = args.value(option::mac);
    const protocol::Checked mac = protocol::check(protocol::parameters[0], macText.toLatin1());
    if (!macText.isEmpty() && !mac.ok())
        errors << QStringLiteral("--mac %1: must be %2").arg(macText, mac.rule);
    const QString result = args.value(option::result);
    if (!result.isEmpty() &&
        std::none_of(std::begin(resultWords), std::end(resultWords),
                     [&](const ResultWord &entry) { return result == QLatin1String(entry.word); }))
        errors << QStringLiteral("--result %1: not a result; tcprtu write --help lists them")
                      .arg(result);
    const std::optional<QDateTime> since = readSince(args, &errors);
    if (merge && (json || csv || !macText.isEmpty() || !result.isEmpty() || since))
        errors << QStringLiteral("--merge: takes the log files alone");
    if (!console.errors(errors))
        return BadInput;
    if (merge)
        return mergeLogs(files, console);

    if (!QFileInfo::exists(logPath())) {
        console.note(QStringLiteral("nothing logged yet (%1)").arg(logPath()));
        return Done;
    }
    QList<QStringList> rows{{"time", "command", "port", "mac", "result", "changed"}};
    bool macSeen = false;
    for (const QJsonObject &entry : readLog(since)) {
        if (!macText.isEmpty() && entry.value("mac").toString().toLatin1() != mac.value)
            continue;
        macSeen = true;
        if (!result.isEmpty() && entry.value("result").toString() != result)
            continue;
        if (json) {
            console.result(QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact)));
            continue;
        }
        rows << QStringList{entry.value("time").toString(),
                            entry.value("command").toString(),
                            entry.value("port").toString(),
                            entry.value("mac").toString(QStringLiteral("-")),
                            resultText(entry),
                            changes(entry)};
    }
    if (!macText.isEmpty() && !macSeen)
        console.note(
            QStringLiteral("MAC %1: nothing logged%2 (%3)")
                .arg(QString::fromLatin1(mac.value),
                     since ? QStringLiteral(" since ") + args.value(option::since) : QString(),
                     logPath()));
    if (csv) {
        QStringList text;
        for (const QStringList &row : qAsConst(rows))
            text << csvRow(row);
        console.result(text.join(QLatin1Char('\n')));
    } else if (!json && rows.size() > 1) {
        console.result(table(rows));
    }
    return Done;
}
