#pragma once

#include "output.h"

class QCommandLineParser;

// The line command: the RS-485 speed, parity and stop bits at which the converter's slaves
// answer, tried in turn through full writes. Its exit status.
int runLine(const QCommandLineParser &parser, const Console &console);

extern const char lineExitStatuses[];
