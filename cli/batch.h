#pragma once

// What concerns the units of one command together: their network settings judged as a whole
// before anything is sent, and the log of what was done to which unit.

#include "session.h"

#include <QJsonObject>

#include <vector>

// The waiting units judged by batchProblems(). Every problem is reported; true when there is none.
bool judgeBatch(const std::vector<Session *> &units, bool force, const Console &console);

// One unit's run as `write --json` shows it and the log keeps it.
QJsonObject unitRecord(const Session &session);

// Appends one line per unit to the log; a log that cannot be written is only a warning.
void logRuns(const std::vector<Session *> &units, const QString &command, const Console &console);

// `tcprtu log`: oldest first, as a table or as the JSON lines; only the MAC's when one is given.
int showLog(const QByteArray &mac, bool json, const Console &console);
