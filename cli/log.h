#pragma once

// The record of what tcprtu did to which unit: one JSON line per unit under the state directory.

#include "output.h"

#include <QByteArray>
#include <QString>

#include <QDateTime>
#include <QJsonObject>
#include <QList>

#include <optional>

class Arguments;

QString logPath();

// The account tcprtu runs under, as the log names it.
QString userName();

// Appends one unit's line with the time, the user, the host and the version added: whole or not at
// all. A log that cannot be written is a warning, shown even under --quiet.
bool appendLog(QJsonObject entry, const Console &console);

// --since DATE: a day or a time, UTC unless it says otherwise; nothing when not given.
std::optional<QDateTime> readSince(const Arguments &args, QStringList *errors);
// The log's entries since the time, as written (oldest first), each MAC in one spelling.
QList<QJsonObject> readLog(const std::optional<QDateTime> &since);

// `tcprtu log`: oldest first, as a table, CSV or the JSON lines, only the entries asked for; or
// with --merge, other machines' logs folded into this one.
int runLog(const Arguments &args, const Console &console);
