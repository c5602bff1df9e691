#pragma once

// The record of what tcprtu did to which unit: one JSON line per unit under the state directory.

#include "output.h"

#include <QByteArray>
#include <QString>

#include <QJsonObject>

QString logPath();

// Appends one unit's line with the time, the user, the host and the version added: whole or not at
// all. A log that cannot be written is a warning, shown even under --quiet.
bool appendLog(QJsonObject entry, const Console &console);

// `tcprtu log`: oldest first, as a table or as the JSON lines; only the MAC's when one is given.
int showLog(const QByteArray &mac, bool json, const Console &console);
