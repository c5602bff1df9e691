#include "profile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

#include <QVector>

#include <algorithm>
#include <cmath>

namespace {

// A profile is a dozen keys. Anything much larger is not one, and is not read whole: the path
// may name a device that never ends.
constexpr qint64 maxProfileBytes = 64 * 1024;

bool isNumber(protocol::Kind kind)
{
    return kind == protocol::Kind::TcpPort || kind == protocol::Kind::Speed ||
           kind == protocol::Kind::StopBits || kind == protocol::Kind::Timeout;
}

} // namespace

// The forms a person writes, as the device takes them: a choice by name in any letter case
// becomes its code, a mask as /N its dotted form. Anything else is left for check() to judge.
QByteArray wireSpelling(const protocol::Parameter &parameter, const QString &text)
{
    const protocol::Choices &choices = parameter.choices;
    for (int i = 0; i < choices.count; ++i) {
        if (text.compare(QLatin1String(choices.names[i]), Qt::CaseInsensitive) == 0)
            return choices.codes[i];
    }
    if (parameter.kind == protocol::Kind::Netmask && text.startsWith(QLatin1Char('/'))) {
        bool ok = false;
        const int bits = text.mid(1).toInt(&ok);
        if (ok && bits >= 0 && bits <= 32) {
            const quint32 mask = bits == 0 ? 0 : ~quint32(0) << (32 - bits);
            return QByteArray::number(mask >> 24) + '.' + QByteArray::number((mask >> 16) & 0xff) +
                   '.' + QByteArray::number((mask >> 8) & 0xff) + '.' +
                   QByteArray::number(mask & 0xff);
        }
    }
    return text.toUtf8();
}

// The word a mistyped one most likely meant: one or two letters off.
QString nearestWord(const QString &word, const QStringList &candidates)
{
    QString best;
    // A short word is close to too many others to guess from.
    int bestDistance = std::min(3, int(word.size()) / 3 + 1);
    for (const QString &candidate : candidates) {
        // Edit distance, one row at a time.
        QVector<int> row(candidate.size() + 1);
        for (int j = 0; j <= candidate.size(); ++j)
            row[j] = j;
        for (int i = 1; i <= word.size(); ++i) {
            int diagonal = row[0];
            row[0] = i;
            for (int j = 1; j <= candidate.size(); ++j) {
                const int above = row[j];
                row[j] = std::min({above + 1, row[j - 1] + 1,
                                   diagonal + (word[i - 1].toLower() != candidate[j - 1])});
                diagonal = above;
            }
        }
        if (row.last() < bestDistance) {
            bestDistance = row.last();
            best = candidate;
        }
    }
    return best;
}

QString nearestKey(const QString &key)
{
    QStringList keys;
    for (const protocol::Parameter &parameter : protocol::parameters)
        keys << QLatin1String(parameter.key);
    return nearestWord(key, keys);
}

QString textPosition(const QByteArray &text, int offset)
{
    const QByteArray before = text.left(offset);
    return QStringLiteral("line %1, column %2")
        .arg(before.count('\n') + 1)
        .arg(offset - before.lastIndexOf('\n'));
}

namespace {

// QJsonDocument keeps the last of two equal keys without a word; in a profile that is a mistake.
QStringList repeatedKeys(const QByteArray &text)
{
    QStringList seen, repeated;
    int depth = 0;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[')
            ++depth;
        else if (c == '}' || c == ']')
            --depth;
        if (c != '"')
            continue;
        int end = i + 1;
        while (end < text.size() && text[end] != '"')
            end += text[end] == '\\' ? 2 : 1;
        int next = end + 1;
        while (next < text.size() && QChar::fromLatin1(text[next]).isSpace())
            ++next;
        if (depth == 1 && next < text.size() && text[next] == ':') {
            const QString key = QJsonDocument::fromJson('[' + text.mid(i, end - i + 1) + ']')
                                    .array()
                                    .first()
                                    .toString();
            if (seen.contains(key) && !repeated.contains(key))
                repeated << key;
            seen << key;
        }
        i = end;
    }
    return repeated;
}

QByteArray numberText(double number)
{
    // Whole numbers as digits; fractions, negatives and huge numbers keep a form check() refuses.
    if (number >= 0 && number < 1e9 && std::floor(number) == number)
        return QByteArray::number(qint64(number));
    return QByteArray::number(number);
}

void take(Profile *profile, const QString &source, const QString &key, const QJsonValue &value,
          QStringList *errors)
{
    if (key == QLatin1String("mode")) {
        profile->mode = value.toVariant().toString();
        return;
    }
    const int index = protocol::parameterIndex(key);
    if (index < 0) {
        profile->unknownKeys << QStringLiteral("%1: unknown key %2").arg(source, key);
        return;
    }
    const protocol::Parameter &parameter = protocol::parameters[index];
    const bool number = isNumber(parameter.kind) || parameter.kind == protocol::Kind::Parity;
    std::optional<QByteArray> &slot = profile->values[size_t(index)];
    if (value.isString())
        slot = wireSpelling(parameter, value.toString());
    else if (value.isDouble() && number)
        slot = numberText(value.toDouble());
    else
        errors->append(QStringLiteral("%1: %2: must be %3")
                           .arg(source, key,
                                number ? QStringLiteral("a number") : QStringLiteral("a string")));
}

} // namespace

QString modeList()
{
    QStringList keys;
    for (const protocol::Mode &mode : protocol::modes)
        keys << mode.key;
    return keys.join(QStringLiteral(" or "));
}

std::optional<QByteArray> readSmallFile(const QString &path, qint64 maxBytes, QStringList *errors)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errors->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    const QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes) {
        errors->append(QStringLiteral("%1: larger than %2 KiB, not what tcprtu reads")
                           .arg(path)
                           .arg(maxBytes / 1024));
        return std::nullopt;
    }
    return bytes;
}

std::optional<Profile> readProfile(const QString &path, QStringList *errors)
{
    const std::optional<QByteArray> file = readSmallFile(path, maxProfileBytes, errors);
    if (!file)
        return std::nullopt;
    const QByteArray &text = *file;
    if (text.trimmed().isEmpty()) {
        errors->append(QStringLiteral("%1: empty, not a profile").arg(path));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (document.isNull()) {
        errors->append(
            QStringLiteral("%1: %2: not JSON: %3")
                .arg(path, textPosition(text, parseError.offset), parseError.errorString()));
        return std::nullopt;
    }
    if (!document.isObject()) {
        errors->append(QStringLiteral("%1: not a JSON object").arg(path));
        return std::nullopt;
    }
    for (const QString &key : repeatedKeys(text))
        errors->append(QStringLiteral("%1: %2 is given twice").arg(path, key));
    Profile profile;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        take(&profile, path, it.key(), it.value(), errors);
    return profile;
}

void setValue(Profile *profile, const QString &assignment, QStringList *errors)
{
    const int equals = int(assignment.indexOf(QLatin1Char('=')));
    if (equals < 1) {
        errors->append(QStringLiteral("--set %1: must be KEY=VALUE").arg(assignment));
        return;
    }
    const QString key = assignment.left(equals);
    const QString value = assignment.mid(equals + 1);
    if (key == QLatin1String("mode")) {
        profile->mode = value;
        return;
    }
    const int index = protocol::parameterIndex(key);
    if (index < 0)
        profile->unknownKeys << QStringLiteral("--set: unknown key %1").arg(key);
    else
        profile->values[size_t(index)] = wireSpelling(protocol::parameters[index], value);
}

void setValues(Profile *profile, const QStringList &assignments, QStringList *errors)
{
    QStringList keys;
    for (const QString &assignment : assignments) {
        const QString key = assignment.section(QLatin1Char('='), 0, 0);
        if (keys.contains(key))
            errors->append(QStringLiteral("--set %1: given twice").arg(key));
        keys << key;
        setValue(profile, assignment, errors);
    }
}

const protocol::Mode *checkProfile(Profile *profile, QStringList *errors, bool modeRequired,
                                   QStringList *forced)
{
    const protocol::Mode *mode = protocol::modeByKey(profile->mode);
    if (!mode && (modeRequired || !profile->mode.isEmpty()))
        errors->append(
            profile->mode.isEmpty()
                ? QStringLiteral("no mode: give --mode or \"mode\" in the profile")
                : QStringLiteral("mode: must be %1, not %2").arg(modeList(), profile->mode));
    for (const QString &unknown : qAsConst(profile->unknownKeys)) {
        const QString key = unknown.section(QLatin1Char(' '), -1);
        const QString nearest = nearestKey(key);
        QString error = unknown;
        if (!nearest.isEmpty())
            error += QStringLiteral("; did you mean %1?").arg(nearest);
        if (mode)
            error += QStringLiteral(" Keys in mode %1: %2")
                         .arg(mode->key, modeKeys(*mode).join(QStringLiteral(", ")));
        errors->append(error);
    }
    for (int i = 0; i < protocol::parameterCount; ++i) {
        std::optional<QByteArray> &value = profile->values[size_t(i)];
        const protocol::Parameter &parameter = protocol::parameters[i];
        if (!value)
            continue;
        if (mode && i >= mode->queried) {
            errors->append(
                QStringLiteral("%1: not a setting in mode %2").arg(parameter.key, mode->key));
            continue;
        }
        const protocol::Checked checked = protocol::check(parameter, *value);
        const QString problem = QStringLiteral("%1=%2: must be %3")
                                    .arg(parameter.key, QString::fromUtf8(*value), checked.rule);
        if (checked.ok())
            value = checked.value;
        else if (forced && protocol::carries(*value))
            forced->append(problem);
        else
            errors->append(problem);
    }
    return errors->isEmpty() ? mode : nullptr;
}

QStringList modeKeys(const protocol::Mode &mode)
{
    QStringList keys;
    for (int i = 0; i < mode.queried; ++i)
        keys << protocol::parameters[i].key;
    return keys;
}

// A value the device holds that is no number stays text, so that a backup keeps it as it was.
QJsonValue valueJson(const protocol::Parameter &parameter, const QByteArray &value)
{
    bool number = false;
    const qlonglong n = value.toLongLong(&number);
    if (isNumber(parameter.kind) && number)
        return n;
    return shown(parameter, value);
}

QJsonObject toJson(const protocol::Mode &mode, const Values &values)
{
    QJsonObject object{{QStringLiteral("mode"), mode.key}};
    for (int i = 0; i < mode.queried; ++i)
        object.insert(protocol::parameters[i].key,
                      valueJson(protocol::parameters[i], values[size_t(i)].value_or(QByteArray())));
    return object;
}

QString shown(const protocol::Parameter &parameter, const QByteArray &value)
{
    const int choice = protocol::choiceIndex(parameter, QString::fromLatin1(value));
    return choice < 0 ? QString::fromLatin1(value) : parameter.choices.names[choice];
}

bool isRegularOrNew(const QString &path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isFile();
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    if (isRegularOrNew(path)) {
        // commit() misses a failure of the buffered write it flushes on a full disk, and would
        // put an empty file in place: the flush is made and checked first.
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
            file.commit())
            return true;
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush())
        return true;
    *error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
}

bool isSameFile(const QString &a, const QString &b)
{
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

bool saveProfile(const QString &path, const QJsonObject &profile, QString *error)
{
    return writeFile(path, QJsonDocument(profile).toJson(), error);
}

QString saveBackup(const QString &path, const QJsonObject &profile, const FileWriter &write)
{
    if (!isRegularOrNew(path))
        return QStringLiteral("%1: not a regular file, which a backup must be").arg(path);
    QString error;
    if (!write(path, QJsonDocument(profile).toJson(), &error))
        return error;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    if (QJsonDocument::fromJson(file.read(maxProfileBytes + 1)).object() != profile)
        return QStringLiteral("%1: does not read back as written").arg(path);
    return {};
}

QString stateDirectory()
{
#ifdef Q_OS_WIN
    const QString state = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    // Qt 5 knows no state location. A relative XDG_STATE_HOME is to be ignored.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return state + QStringLiteral("/tcprtu");
}

QString backupPath(const QByteArray &mac)
{
    const QString directory = stateDirectory() + QStringLiteral("/backups");
    QDir().mkpath(directory);
    // A device's answer that is no MAC must not name a path elsewhere.
    const QByteArray normalized = protocol::normalizedMac(mac);
    QString name = QString::fromLatin1(normalized.isEmpty() ? mac : normalized);
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() || c.unicode() > 0x7f)
            c = QLatin1Char('-');
    }
    const QString stem =
        directory + QLatin1Char('/') + name +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("-yyyyMMdd'T'HHmmss'Z'"));
    // The name is taken by creating the file, never by a look before: two writes in one second,
    // or two units with one MAC, each get their own.
    for (int n = 1;; ++n) {
        const QString path =
            n == 1 ? stem + QStringLiteral(".json") : stem + QStringLiteral("-%1.json").arg(n);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !file.exists())
            return path;
    }
}
