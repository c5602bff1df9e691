#pragma once

#include "output.h"

class Arguments;

// The line command: the RS-485 speed, parity and stop bits at which the converter's slaves
// answer, tried in turn through full writes. Its exit status.
int runLine(const Arguments &args, const Console &console);

extern const char lineExitStatuses[];
