#pragma once

#include "output.h"

class QCommandLineParser;

// The scan command: which unit ids answer behind the converter. Its exit status.
int runScan(const QCommandLineParser &parser, const Console &console);

extern const char scanExitStatuses[];
