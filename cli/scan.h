#pragma once

#include "output.h"

#include <QList>

class Arguments;

// "1-247" or "1,5,10-20": the ids in order, each once; none when the text is not such a list.
QList<int> parseUnits(const QString &text);

// The scan command: which unit ids answer behind the converter. Its exit status.
int runScan(const Arguments &args, const Console &console);

extern const char scanExitStatuses[];
