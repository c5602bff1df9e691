#pragma once

// How a run ended: the exit statuses scripts rely on, and the word each unit's result is logged
// and printed with. The help text, `--json` and the log all read these tables.

#include <QString>

// With several ports the highest wins.
enum Status
{
    Done = 0,
    BadInput = 2,
    PortFailed = 3,
    NoAnswer = 4,
    Refused = 5,
    Differs = 6,
    OutputFailed = 7,
    Staged = 8, // a change may still be staged in the device: named, with what puts it back
    // 128 + the signal's number when a signal ended the run
};

struct ExitStatus
{
    const char *codes;
    const char *meaning;
};

// clang-format off
inline constexpr ExitStatus exitStatuses[] = {
    {"0", "done, including \"nothing to change\""},
    {"2", "bad command line, profile, sheet or value, the same port or MAC twice, MAC guard, or "
          "backup not saved: nothing was sent"},
    {"3", "the port cannot be opened, or was lost"},
    {"4", "no usable answer within the time-out, or the device did not come back after the "
          "restart"},
    {"5", "the device refused a change or did not confirm it; what it had accepted was put back"},
    {"6", "read back after the restart, the device differs from what it must hold now, or "
          "another unit answered"},
    {"7", "the results could not be written: standard output or the --output file"},
    {"8", "a change could not be put back and may still be staged in the device: the keys and "
          "the command that puts them back are named"},
    {"130, 143, 129", "interrupted by Ctrl-C, SIGTERM or SIGHUP (128 + the signal's number)"},
};
// clang-format on

// What happened to one unit, in one word.
enum class Result
{
    Read,
    Matches,
    Verified,
    Unchanged,
    DryRun,
    WrittenUnverified,
    Restarted,
    NotInInventory,
    NotConnected,
    NotSent,
    Cancelled,
    PortFailed,
    Lost,
    NoAnswer,
    NotBack,
    RestartUnconfirmed,
    Refused,
    Unanswered,
    Differs,
    AnotherUnit,
    CheckFailed,
    Found,
    NotFound,
    Interrupted,
};

struct ResultWord
{
    Result result;
    const char *word;
    const char *status; // the exit status it gives
    const char *meaning;
};

// clang-format off
inline constexpr ResultWord resultWords[] = {
    {Result::Read,               "read",                "0", "every key of the mode read"},
    {Result::Matches,            "matches",             "0", "audit: the unit holds every value its row and the shared values plan (and the Modbus check answered, with --check)"},
    {Result::Verified,           "verified",            "0", "written, restarted, and read back whole as planned (and the Modbus check answered, with --check)"},
    {Result::Unchanged,          "unchanged",           "0", "the device held every value: nothing sent, no restart"},
    {Result::DryRun,             "dry-run",             "0", "--dry-run: what would change shown, nothing sent"},
    {Result::WrittenUnverified,  "written-unverified",  "0", "written and restarted, not read back (--no-verify)"},
    {Result::Restarted,          "restarted",           "0", "reset: the restart command left the adapter"},
    {Result::NotInInventory,     "not-in-inventory",    "0", "a converter with no row in the sheet: left alone"},
    {Result::NotConnected,       "not-connected",       "0", "a row of the sheet whose unit is on none of the ports"},
    {Result::NotSent,            "not-sent",            "2", "a mistake in what was asked (MAC guard, backup not saved): nothing sent"},
    {Result::Cancelled,          "cancelled",           "2", "the batch had a mistake, or a stop was asked, before this unit was sent anything"},
    {Result::PortFailed,         "port-failed",         "3", "the port could not be opened"},
    {Result::Lost,               "lost",                "3", "the line went away; keys that may be staged are named in staged"},
    {Result::NoAnswer,           "no-answer",           "4", "no usable answer within the time-out, or an error reply"},
    {Result::NotBack,            "not-back",            "4", "restarted, but the device did not answer again within --restart-timeout: written, not verified"},
    {Result::RestartUnconfirmed, "restart-unconfirmed", "3", "the restart command did not leave the adapter in time; it may or may not have reached the device"},
    {Result::Refused,            "refused",             "5,8", "the device refused a change; what it had accepted was put back (8: what could not be is named in staged)"},
    {Result::Unanswered,         "unanswered",          "5,8", "the device did not answer a change; it and what was accepted were put back (8: what could not be is named in staged)"},
    {Result::Differs,            "differs",             "6", "read back after the restart, or in an audit, a key differs from what the device must hold"},
    {Result::AnotherUnit,        "another-unit",        "6", "another MAC answered after the restart: nothing else judged"},
    {Result::CheckFailed,        "check-failed",        "3-5", "verified, but the Modbus request through the converter failed (the check's status)"},
    {Result::Found,              "found",               "0", "line or scan: slaves answered through the converter, at the setting it holds as read back (line)"},
    {Result::NotFound,           "not-found",           "3,4", "line or scan: no slave answered through the converter (3: no TCP connection to it)"},
    {Result::Interrupted,        "interrupted",         "128+N", "a signal ended the run; what was accepted was put back, or is named in staged"},
};
// clang-format on

const char *word(Result result);

// The exit statuses as --help lists them.
QString exitStatusHelp();
// The result words as --help lists them.
QString resultWordHelp();
