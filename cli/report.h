#pragma once

// `tcprtu report`: from the log, the latest state of each unit, to hand a site over: a table, or
// an HTML page (on a phone and on A4 paper), CSV or JSON.

#include "output.h"

class Arguments;

int runReport(const Arguments &args, const Console &console);
