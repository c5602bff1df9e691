#pragma once

// `tcprtu report`: from the log, the latest state of each unit, to hand a site over: a table, or
// an HTML page (on a phone and on A4 paper), CSV or JSON. And the sheet's columns that are no
// setting (label, notes), which a write carries into the log.

#include "output.h"

#include <QJsonObject>
#include <QMap>

class Arguments;

// By MAC, the sheet's label and its other columns that are neither a setting, the mode nor the
// port: {"label": TEXT, "notes": {COLUMN: TEXT}}. Empty where the sheet cannot be read, which its
// reader reports.
QMap<QByteArray, QJsonObject> readSheetNotes(const QString &path);

int runReport(const Arguments &args, const Console &console);
