#pragma once

#include "output.h"

class Arguments;

// The poll command: the same request again and again, and how the answers went. Its exit status.
int runPoll(const Arguments &args, const Console &console);

inline constexpr char pollExitStatuses[] =
    "Exit status, also after Ctrl-C or SIGTERM, which end a poll with its summary:\n"
    "  0  every request was answered with registers\n"
    "  2  bad command line\n"
    "  3  no TCP connection to the converter, or it was lost\n"
    "  4  some requests were not: a time-out, an exception, or an unusable answer\n";
