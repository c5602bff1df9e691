#pragma once

#include "output.h"

class Arguments;

// The scan command: which unit ids answer behind the converter. Its exit status.
int runScan(const Arguments &args, const Console &console);

extern const char scanExitStatuses[];
