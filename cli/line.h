#pragma once

#include "output.h"

class Arguments;

// The line command: the RS-485 speed, parity and stop bits at which the converter's slaves
// answer, tried in turn through full writes. Its exit status.
int runLine(const Arguments &args, const Console &console);

inline constexpr char lineExitStatuses[] =
    "Exit status (several converters: the highest):\n"
    "  0  a unit answered at one of the settings\n"
    "  2  bad command line or sheet: nothing was sent\n"
    "  3  the port failed or was lost, or no TCP connection to the converter\n"
    "  4  no unit answered at any setting tried; or the device did not answer, or did\n"
    "     not come back after a restart\n"
    "  5  the device refused a setting; what it had accepted was put back\n"
    "  6  read back after a restart, the device differs from what it was sent, or another\n"
    "     unit answered\n"
    "  7  the results could not be written to standard output\n"
    "  8  a change could not be put back and may still be staged\n"
    "  129, 130, 143  ended by SIGHUP, Ctrl-C or SIGTERM; the converter was read\n"
    "     back, with its own settings again unless a setting had been found\n";
