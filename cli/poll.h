#pragma once

#include "output.h"

class QCommandLineParser;

// The poll command: the same request again and again, and how the answers went. Its exit status.
int runPoll(const QCommandLineParser &parser, const Console &console);

extern const char pollExitStatuses[];
