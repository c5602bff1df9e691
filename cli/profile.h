#pragma once

// Settings as files: a profile is a JSON object with the device mode and any of the parameters'
// keys. Numbers are JSON numbers, choices go by name ("even") or code (2), the rest are strings.

#include "protocol.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

// A value for some of the parameters, by their position in protocol::parameters.
using Values = std::array<std::optional<QByteArray>, protocol::parameterCount>;

struct Profile
{
    QString mode;
    // Spelt as on the wire (choices as codes); the plain form once checkProfile() passed them.
    Values values;
    // Keys that name no parameter, each with where it was given; judged once the mode is known.
    QStringList unknownKeys;
};

// The whole of a file of at most maxBytes; nothing, with the reason added, otherwise. The path may
// name a device that never ends: no more than that is read.
std::optional<QByteArray> readSmallFile(const QString &path, qint64 maxBytes, QStringList *errors);

// Every problem found is added to errors, so that all of them can be mended at once. Nothing
// when the file is no JSON object at all.
std::optional<Profile> readProfile(const QString &path, QStringList *errors);
void setValue(Profile *profile, const QString &assignment, QStringList *errors);
// Each --set in turn; a key given twice is an error, as it is in a profile.
void setValues(Profile *profile, const QStringList &assignments, QStringList *errors);
// The profile's mode, once its mode and every value pass the device's rules.
// Without a mode where modeRequired is false: an inventory's rules may give each unit its own.
// With `forced` (--force), a value outside the rules that the protocol carries is kept as it is,
// and said there: a device took it once, and its backup must put it back.
const protocol::Mode *checkProfile(Profile *profile, QStringList *errors, bool modeRequired = true,
                                   QStringList *forced = nullptr);

// The profile of a device that was read: the mode, the MAC and every parameter of the mode.
QJsonObject toJson(const protocol::Mode &mode, const Values &values);
// One value as a profile holds it: numbers as JSON numbers, choices by name.
QJsonValue valueJson(const protocol::Parameter &parameter, const QByteArray &value);
// "tcp-rtu or rtu-tcp"
QString modeList();
// The keys a device in this mode has, MAC first.
QStringList modeKeys(const protocol::Mode &mode);
// A value as a person writes it (a choice by name in any case, a mask as /N) as the device takes
// it.
QByteArray wireSpelling(const protocol::Parameter &parameter, const QString &text);
// The word a mistyped one most likely meant among the candidates, or nothing.
QString nearestWord(const QString &word, const QStringList &candidates);
// The key a mistyped one most likely meant, or nothing.
QString nearestKey(const QString &key);
// "line 2, column 7" for a byte offset in a file's text.
QString textPosition(const QByteArray &text, int offset);
// A value as a person reads it: choices by name.
QString shown(const protocol::Parameter &parameter, const QByteArray &value);

// A regular file is written beside its final name and renamed over it, so that it is never left
// half written; anything else (a device, a pipe) is written in place, never replaced. False, with
// the reason, unless every byte was taken.
bool writeFile(const QString &path, const QByteArray &bytes, QString *error);
bool isRegularOrNew(const QString &path);
// Whether two names reach one existing file, through links and relative paths.
bool isSameFile(const QString &a, const QString &b);
bool saveProfile(const QString &path, const QJsonObject &profile, QString *error);
using FileWriter = std::function<bool(const QString &, const QByteArray &, QString *)>;
// A backup counts once it reads back as the profile that was meant: empty, or what went wrong.
QString saveBackup(const QString &path, const QJsonObject &profile,
                   const FileWriter &write = writeFile);
// Where tcprtu keeps what it did: $XDG_STATE_HOME/tcprtu, else ~/.local/state/tcprtu.
QString stateDirectory();
// A new file under the user's state directory, named by the MAC and the time in UTC, created empty
// so that no other run takes the name; saveProfile() fills it.
QString backupPath(const QByteArray &mac);
