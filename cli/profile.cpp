#include "profile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

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

// A choice given by name becomes its code; anything else is left for check() to judge.
QByteArray wireSpelling(const protocol::Parameter &parameter, const QString &text)
{
    const protocol::Choices &choices = parameter.choices;
    for (int i = 0; i < choices.count; ++i) {
        if (text == QLatin1String(choices.names[i]))
            return choices.codes[i];
    }
    return text.toUtf8();
}

QByteArray numberText(double number)
{
    // Whole numbers as digits; fractions, negatives and huge numbers keep a form check() refuses.
    if (number >= 0 && number < 1e9 && std::floor(number) == number)
        return QByteArray::number(qint64(number));
    return QByteArray::number(number);
}

void take(Profile *profile, const QString &key, const QJsonValue &value, QStringList *errors)
{
    if (key == QLatin1String("mode")) {
        profile->mode = value.toVariant().toString();
        return;
    }
    const int index = protocol::parameterIndex(key);
    if (index < 0) {
        errors->append(QStringLiteral("%1: unknown key").arg(key));
        return;
    }
    const protocol::Parameter &parameter = protocol::parameters[index];
    const bool number = isNumber(parameter.kind);
    const bool choice = parameter.kind == protocol::Kind::Parity;
    std::optional<QByteArray> &slot = profile->values[size_t(index)];
    if (value.isString() && !number)
        slot = wireSpelling(parameter, value.toString());
    else if (value.isDouble() && (number || choice))
        slot = numberText(value.toDouble());
    else
        errors->append(QStringLiteral("%1: must be %2")
                           .arg(key, number   ? QStringLiteral("a JSON number")
                                     : choice ? QStringLiteral("a name or a code")
                                              : QStringLiteral("a string")));
}

} // namespace

QString modeList()
{
    QStringList keys;
    for (const protocol::Mode &mode : protocol::modes)
        keys << mode.key;
    return keys.join(QStringLiteral(" or "));
}

std::optional<Profile> readProfile(const QString &path, QStringList *errors)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errors->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    const QByteArray text = file.read(maxProfileBytes + 1);
    if (text.size() > maxProfileBytes) {
        errors->append(QStringLiteral("%1: larger than %2 KiB, not a profile")
                           .arg(path)
                           .arg(maxProfileBytes / 1024));
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (document.isNull()) {
        errors->append(QStringLiteral("%1: not JSON: %2 at byte %3")
                           .arg(path, parseError.errorString())
                           .arg(parseError.offset));
        return std::nullopt;
    }
    if (!document.isObject()) {
        errors->append(QStringLiteral("%1: not a JSON object").arg(path));
        return std::nullopt;
    }
    Profile profile;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it)
        take(&profile, it.key(), it.value(), errors);
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
        errors->append(QStringLiteral("%1: unknown key").arg(key));
    else
        profile->values[size_t(index)] = wireSpelling(protocol::parameters[index], value);
}

const protocol::Mode *checkProfile(Profile *profile, QStringList *errors)
{
    const protocol::Mode *mode = protocol::modeByKey(profile->mode);
    if (!mode)
        errors->append(
            profile->mode.isEmpty()
                ? QStringLiteral("no mode: give --mode or \"mode\" in the profile")
                : QStringLiteral("mode: must be %1, not %2").arg(modeList(), profile->mode));
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
        if (checked.ok())
            value = checked.value;
        else
            errors->append(QStringLiteral("%1=%2: must be %3")
                               .arg(parameter.key, QString::fromUtf8(*value), checked.rule));
    }
    return errors->isEmpty() ? mode : nullptr;
}

QJsonObject toJson(const protocol::Mode &mode, const Values &values)
{
    QJsonObject object{{QStringLiteral("mode"), mode.key}};
    for (int i = 0; i < mode.queried; ++i) {
        const protocol::Parameter &parameter = protocol::parameters[i];
        const QByteArray value = values[size_t(i)].value_or(QByteArray());
        if (isNumber(parameter.kind))
            object.insert(parameter.key, value.toLongLong());
        else
            object.insert(parameter.key, shown(parameter, value));
    }
    return object;
}

QString shown(const protocol::Parameter &parameter, const QByteArray &value)
{
    const int choice = protocol::choiceIndex(parameter, QString::fromLatin1(value));
    return choice < 0 ? QString::fromLatin1(value) : parameter.choices.names[choice];
}

bool saveProfile(const QString &path, const QJsonObject &profile, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(profile).toJson()) < 0 ||
        !file.commit()) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString backupPath(const QByteArray &mac)
{
#ifdef Q_OS_WIN
    const QString state = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#else
    // Qt 5 knows no state location. A relative XDG_STATE_HOME is to be ignored.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    const QString directory = state + QStringLiteral("/tcprtu/backups");
    QDir().mkpath(directory);
    const QString stem =
        directory + QLatin1Char('/') + QString::fromLatin1(mac).replace(':', '-') +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("-yyyyMMdd'T'HHmmss'Z'"));
    // Two writes within a second must not overwrite the first one's backup.
    QString path = stem + QStringLiteral(".json");
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = stem + QStringLiteral("-%1.json").arg(n);
    return path;
}
