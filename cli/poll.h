#pragma once

#include "output.h"

class Arguments;

// The poll command: the same request again and again, and how the answers went. Its exit status.
int runPoll(const Arguments &args, const Console &console);

extern const char pollExitStatuses[];
