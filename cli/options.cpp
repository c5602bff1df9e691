#include "options.h"

#include "check.h"
#include "line.h"
#include "modbus.h"
#include "poll.h"
#include "profile.h"
#include "scan.h"

#include <algorithm>

namespace {

QString keyList()
{
    QStringList keys;
    for (const protocol::Parameter &parameter : protocol::parameters)
        keys << parameter.key;
    return keys.join(QStringLiteral(", "));
}

const QCommandLineOption help({"h", "help"}, "Show this help.");

} // namespace

namespace option {

const QCommandLineOption port{
    "port",
    "A device path, or a port name as \"tcprtu ports\" lists it; repeat it to "
    "work on several converters at once.",
    "PORT"};
const QCommandLineOption mode{"mode", "The device mode: " + modeList() + '.', "MODE"};
const QCommandLineOption json{"json", "Print JSON instead of a table."};
const QCommandLineOption output{"output", QString(), "FILE"};
const QCommandLineOption csv{"csv", QString()};
const QCommandLineOption inventory{"inventory", QString(), "FILE"};
const QCommandLineOption mac{"mac", QString(), "MAC"};
const QCommandLineOption encoding{
    "encoding",
    "The sheet's encoding when it is neither UTF-8 nor marked UTF-16, as a spreadsheet's plain "
    "CSV is: its code page, e.g. cp1252 or cp1251.",
    "NAME"};
const QCommandLineOption since{
    "since", "Only what was logged from DATE on (UTC unless it says otherwise).", "DATE"};
const QCommandLineOption result{
    "result", "Only the entries with this result word; tcprtu write --help lists them.", "WORD"};
const QCommandLineOption merge{"merge", "Fold the log files given into this machine's log."};
const QCommandLineOption title{"title",
                               "The HTML page's title, e.g. the site's name, which its signature "
                               "block names as the site (default \"Converters\").",
                               "TEXT"};
const QCommandLineOption engineer{
    "engineer", "The engineer the HTML page's signature block names (default: this account).",
    "NAME"};
const QCommandLineOption engineerNotes{
    "engineer-notes",
    "The engineer's HTML page: each failure's message and troubleshooting hint, which the "
    "customer's page leaves out."};
const QCommandLineOption set{"set", "Set KEY to VALUE, over the profile. Keys: " + keyList() + '.',
                             "KEY=VALUE"};
const QCommandLineOption dryRun{"dry-run",
                                "Read and show what would change; save and send nothing."};
const QCommandLineOption force{"force", "Send every key given, also those the device already has."};
const QCommandLineOption backup{
    "backup",
    "Save the device's settings to FILE (one port only) instead of a new file "
    "under $XDG_STATE_HOME/tcprtu/backups.",
    "FILE"};
const QCommandLineOption noBackup{"no-backup", "Save no backup."};
const QCommandLineOption noVerify{
    "no-verify", "Do not wait for the device after its restart, nor read it back."};
const QCommandLineOption check{"check", QString()};
const QCommandLineOption checkHost{
    "check-host",
    "The address to check instead of the converter's own, e.g. where it sits behind NAT.", "HOST"};
const QCommandLineOption restartTimeout{
    "restart-timeout",
    "How long the device may take to answer after its restart, in seconds (default 15).", "S"};
const QCommandLineOption timeout{
    "timeout", "How long to wait for each answer of the device, in ms (default 1000).", "MS"};
const QCommandLineOption baud{
    "baud", "The configuration port's speed (default 9600); 8 data bits, no parity, one stop bit.",
    "N"};
const QCommandLineOption trace{"trace",
                               "Show every exchange on the configuration port on standard error."};
const QCommandLineOption quiet{{"q", "quiet"}, "Print nothing on standard error but errors."};
const QCommandLineOption host{"host", "The converter's address.", "HOST"};
const QCommandLineOption tcpPort{"tcp-port", "The converter's Modbus TCP port (default 502).", "N"};
const QCommandLineOption unit{"unit", "The slave's unit id, 1-247 (default 1).", "ID"};
const QCommandLineOption read{
    "read",
    QStringLiteral("Read COUNT registers (default 1, at most %1) from address ADDR "
                   "(default 0).")
        .arg(modbus::maxReadRegisters),
    "ADDR[:COUNT]"};
const QCommandLineOption input{"input", "Read input registers instead of holding registers."};
const QCommandLineOption write{
    "write",
    QStringLiteral("Write VALUE to holding register ADDR (function 6), or each VALUE, at "
                   "most %1, from ADDR on (function 16); then read them back.")
        .arg(modbus::maxWriteRegisters),
    "ADDR=VALUE[,VALUE...]"};
const QCommandLineOption units{
    "units", "The unit ids to ask: a list of ids and ranges (default 1-247).", "1-247|1,5,10-20"};
const QCommandLineOption interval{
    "interval", "Start a request every MS ms (default 1000); one not answered yet delays the next.",
    "MS"};
const QCommandLineOption count{"count", "Stop after N requests.", "N"};
const QCommandLineOption duration{"duration", "Stop after S seconds, at most a year.", "S"};
const QCommandLineOption speeds{
    "speeds", "The speeds to try, e.g. 9600,19200 (default: every one, the common first).", "LIST"};
const QCommandLineOption parities{
    "parities", "The parities to try, of none, odd and even (default: every one).", "LIST"};
const QCommandLineOption stopBits{"stop-bits", "The stop bits to try, of 1 and 2 (default: both).",
                                  "LIST"};
const QCommandLineOption keep{"keep", "Leave the converter at the setting found (the default)."};
const QCommandLineOption restore{
    "restore", "Put the converter's own settings back at the end, also when a unit answered."};
const QCommandLineOption scan{
    "scan", "Once a setting is found, ask every unit id of --units (default 1-247) at it."};

} // namespace option

namespace {

// What the write and the audit read through each converter with --check, and how they talk to
// the device.
const QList<TakenOption> checkThrough{
    {&option::unit, QStringLiteral("With --check: the slave's unit id, 1-247 (default 1).")},
    {&option::read, QStringLiteral("With --check: read COUNT registers (default 1, at most %1) "
                                   "from address ADDR (default 0).")
                        .arg(modbus::maxReadRegisters)},
    {&option::input,
     QStringLiteral("With --check: read input registers instead of holding registers.")},
    {&option::checkHost},
    {&option::timeout, QStringLiteral("How long to wait for each answer of the device, and with "
                                      "--check of the slave, in ms (default 1000).")},
    {&option::baud},
    {&option::trace},
};
// The Modbus TCP commands wait for the connection as for each answer, at least 10 ms.
const QString modbusTimeout = QStringLiteral("How long to wait for the connection and for each "
                                             "answer, in ms (default 1000, at least 10).");

} // namespace

const QList<CommandInfo> commands = {
    {"ports",
     Verb::Ports,
     "ports [--json]",
     "Lists the serial ports: name, location, description, manufacturer, serial number and USB "
     "vendor:product. Pseudo-terminals are not listed; give their path to --port.",
     "ports --json",
     {{&option::json}},
     "Exit status:\n"
     "  0  listed, also when there is none\n"
     "  2  bad command line\n"},
    {"find",
     Verb::Find,
     "find [--port PORT]... [--json]",
     "Asks every USB serial adapter (or each --port) for a converter's MAC, all at once: one row "
     "per port with what answers there. Other serial ports are listed as skipped.",
     "find --json",
     {{&option::port, "Ask this port instead of every USB adapter: a device path, or a name as "
                      "\"tcprtu ports\" lists it; repeat it to ask several."},
      {&option::json},
      {&option::timeout},
      {&option::baud},
      {&option::trace}},
     "Exit status:\n"
     "  0  a converter answered on at least one port\n"
     "  2  bad command line\n"
     "  3  no port could be opened, or there was none to ask\n"
     "  4  no converter answered on any port opened\n"},
    {"read",
     Verb::Read,
     "read --port PORT [--port PORT]... --mode MODE [--json | --csv | --output FILE]",
     "Reads every setting of the mode. --json prints a profile that write takes back as it is; "
     "--csv a sheet that write --inventory takes back.",
     "read --port ttyUSB0 --mode tcp-rtu --output site.json",
     {{&option::port},
      {&option::mode},
      {&option::json, "Print a JSON profile, or with several ports an array of them (null for "
                      "a port that failed), instead of a table."},
      {&option::csv, "Print a sheet: a header row, then one row per port."},
      {&option::output, "Save the profile to FILE instead of printing it (one port only)."},
      {&option::timeout},
      {&option::baud},
      {&option::trace}},
     nullptr},
    {"write", Verb::Write,
     "write --port PORT [--port PORT]... [--mode MODE] [PROFILE] [--set KEY=VALUE]...\n"
     "        [--inventory FILE [--encoding NAME]] [--dry-run] [--force]\n"
     "        [--backup FILE | --no-backup]\n"
     "        [--no-verify] [--restart-timeout S] [--json]\n"
     "        [--check [--unit ID] [--read ADDR[:COUNT]] [--input]\n"
     "          [--check-host HOST]]",
     "Checks every value and the units' network settings as a whole, reads each device, saves "
     "a backup of it, sends only what differs, restarts the device and reads it back. A "
     "\"mac\" in the profile refuses any other device. With --inventory, each unit gets its "
     "own row of the sheet, found by its MAC; without --port, every converter find finds.",
     "write --inventory units.csv site.json",
     QList<TakenOption>{
         {&option::port},
         {&option::mode},
         {&option::set},
         {&option::inventory, "A sheet of units (CSV or a JSON array): a \"mac\" column and any "
                              "keys; each unit found gets its row over the shared profile, and a "
                              "converter with no row is left alone."},
         {&option::encoding},
         {&option::dryRun},
         {&option::force},
         {&option::backup},
         {&option::noBackup},
         {&option::noVerify},
         {&option::restartTimeout},
         {&option::json},
         {&option::check, "Once the device is verified, or held every value already, read "
                          "registers from a slave through it over Modbus TCP, at the address and "
                          "TCP port it holds (mode tcp-rtu only): proves it carries data."}} +
         checkThrough,
     nullptr},
    {"reset",
     Verb::Reset,
     "reset --port PORT [--port PORT]...",
     "Asks the device its MAC, for the log, and sends it the restart command; it does not wait "
     "for the device to come back.",
     "reset --port ttyUSB0",
     {{&option::port}, {&option::timeout}, {&option::baud}, {&option::trace}},
     nullptr},
    {"audit", Verb::Audit,
     "audit --inventory FILE [--encoding NAME] [PROFILE] [--set KEY=VALUE]... [--port PORT]...\n"
     "        [--mode MODE]\n"
     "        [--json | --csv]\n"
     "        [--check [--unit ID] [--read ADDR[:COUNT]] [--input]\n"
     "          [--check-host HOST]]",
     "Reads every unit and compares it with what its row of the sheet and the shared values "
     "plan; sends nothing. Without --port, every converter find finds. With --check, a unit "
     "that matches is also read through over Modbus TCP at the address it holds.",
     "audit --inventory units.csv --set gateway=10.0.0.1",
     QList<TakenOption>{
         {&option::port},
         {&option::mode},
         {&option::set},
         {&option::inventory, "The sheet of units to audit against (CSV or a JSON array): a "
                              "\"mac\" column and any keys; each unit found is compared with its "
                              "row over the shared profile."},
         {&option::encoding},
         {&option::json},
         {&option::csv, "Print a sheet: a header row, then one row per unit."},
         {&option::check, "For each unit that matches, read registers from a slave through it "
                          "over Modbus TCP, at the address and TCP port it holds (mode tcp-rtu "
                          "only)."}} +
         checkThrough,
     nullptr},
    {"log",
     Verb::Log,
     "log [--mac MAC] [--since DATE] [--result WORD] [--json | --csv]\n"
     "    log --merge FILE...",
     "Shows what writes, restarts, audits, scans and line searches did to which unit, oldest "
     "first, with what each changed. --merge folds other machines' logs into this one.",
     "log --mac 02:00:00:00:00:01",
     {{&option::mac, "Only the entries of this MAC (any case, with : or - or none)."},
      {&option::since},
      {&option::result},
      {&option::json, "Print each entry as one line of JSON instead of a table."},
      {&option::csv, "Print a sheet: a header row, then one row per entry."},
      {&option::merge}},
     "Exit status:\n"
     "  0  shown or merged, also when nothing was logged\n"
     "  2  bad command line, or a file to merge that cannot be read or holds a line that is no\n"
     "     log entry: nothing merged\n"
     "  7  --merge: the log could not be written; nothing merged\n"},
    {"report",
     Verb::Report,
     "report [--inventory FILE [--encoding NAME]] [--mac MAC]... [--since DATE] [--title TEXT]\n"
     "       [--engineer NAME] [--engineer-notes] [--json | --output FILE.html | FILE.csv | "
     "FILE.json]",
     "From the log, the latest state of each unit: its settings as last verified (the RS-485 "
     "line's too), keys still staged, the slaves that answered behind it and whether the Modbus "
     "path was proven, who commissioned it and who last checked it, and its writes; staged, "
     "failed and unverified units first. The HTML page is the customer's: a legend of its words, "
     "local times and a block to sign. With --inventory, each unit's label and notes from the "
     "sheet.",
     "report --inventory units.csv --title \"Pump station 3\" --output site.html",
     {{&option::inventory, "A sheet of units (CSV or a JSON array): each unit's label and "
                           "notes, and the units never logged."},
      {&option::encoding},
      {&option::mac, "Only this unit (any case, with : or - or none); repeat it for several."},
      {&option::since},
      {&option::title},
      {&option::output, "Save the report instead of printing a table: an HTML page, CSV or "
                        "JSON, by FILE's ending."},
      {&option::json, "Print the report as JSON instead of a table."},
      {&option::engineer},
      {&option::engineerNotes}},
     "Exit status:\n"
     "  0  reported, also when no unit was logged\n"
     "  2  bad command line or sheet\n"
     "  7  the report could not be written: standard output or the --output file\n"},
    {"check",
     Verb::Check,
     "check --host HOST [--tcp-port N] [--unit ID] [--read ADDR[:COUNT]] [--input] [--json]\n"
     "        [--write ADDR=VALUE[,VALUE...]]",
     "Reads registers from a slave through the converter, over Modbus TCP: proves that the "
     "converter carries Modbus in TCP-RTU mode. Prints the values and the round trip. With "
     "--write, writes holding registers first and reads them back.",
     "check --host 192.168.0.10 --unit 1 --read 0:4\n"
     "  tcprtu check --host 192.168.0.10 --unit 3 --write 40=1,2,3",
     {{&option::host},
      {&option::tcpPort},
      {&option::unit},
      {&option::read},
      {&option::input},
      {&option::write},
      {&option::timeout, modbusTimeout},
      {&option::json}},
     checkExitStatuses},
    {"scan",
     Verb::Scan,
     "scan --host HOST | --inventory FILE [--encoding NAME] [--tcp-port N]\n"
     "        [--units 1-247 | --units 1,5,10-20]\n"
     "        [--read ADDR[:COUNT]] [--input] [--json]",
     "Asks each unit id (all of 1-247 without --units) for a register through the converter, "
     "several requests queued at once, and lists the ids that answer: with the values, or with "
     "an exception, which a slave that is there also sends. The converter's own exceptions "
     "0x0A and 0x0B mean no slave. On a terminal, a line tells how far it got. With "
     "--inventory, every converter of the sheet at once, at the ip and TCP port its row plans "
     "or the log last saw, each logged with the ids that answered.",
     "scan --host 192.168.0.10 --units 1-32 --json",
     {{&option::host},
      {&option::inventory, "A sheet of units (CSV or a JSON array) instead of --host: each "
                           "converter is asked at the ip and tcp_port its row plans, else as "
                           "the log last saw them."},
      {&option::encoding},
      {&option::tcpPort, "The converter's Modbus TCP port (default 502); with --inventory, "
                         "over every row's and the log's."},
      {&option::units},
      {&option::read},
      {&option::input},
      {&option::timeout, "How long to wait for the connection and for each answer, from when "
                         "the converter is done with the requests before, in ms (default 1000, "
                         "at least 10)."},
      {&option::json}},
     scanExitStatuses},
    {"poll",
     Verb::Poll,
     "poll --host HOST [--tcp-port N] [--unit ID] --read ADDR[:COUNT] [--input]\n"
     "        [--interval MS] [--count N | --duration S] [--json]",
     "Sends the same read again and again, one at a time, until --count, --duration, Ctrl-C or "
     "SIGTERM; on a terminal, a live line. Then a summary: requests sent, answered, time-outs, "
     "exceptions by code, and the answers' latency, median and 95th percentile.",
     "poll --host 192.168.0.10 --unit 3 --read 0:2 --interval 200 --duration 60 --json",
     {{&option::host},
      {&option::tcpPort},
      {&option::unit},
      {&option::read, QStringLiteral("The registers to poll, required: COUNT (default 1, at "
                                     "most %1) from address ADDR.")
                          .arg(modbus::maxReadRegisters)},
      {&option::input},
      {&option::interval},
      {&option::count},
      {&option::duration},
      {&option::timeout, modbusTimeout},
      {&option::json, "Print the summary as a JSON object."}},
     pollExitStatuses},
    {"line",
     Verb::Line,
     "line --port PORT [--port PORT]... | --inventory FILE [--encoding NAME] [--port PORT]...\n"
     "        --mode tcp-rtu [--host HOST] [--tcp-port N] [--unit ID]... [--read ADDR[:COUNT]]\n"
     "        [--input] [--speeds LIST] [--parities LIST] [--stop-bits LIST]\n"
     "        [--keep | --restore] [--scan [--units LIST]] [--json]",
     "Finds the RS-485 speed, parity and stop bits at which the slaves answer: writes each "
     "candidate to the converter in turn, the common ones first (a full write: backup, "
     "restart, read back), then reads a register of each --unit (without one, ids 1-10) "
     "through the converter over Modbus TCP, at the ip and TCP port it holds. Stops at the "
     "first setting where one answers. At the end the converter keeps that setting; with "
     "--restore, and when none answered, it gets its own back. Either way it is read back.",
     "line --port ttyUSB0 --mode tcp-rtu --unit 5 --speeds 9600,19200 --json",
     {{&option::port},
      {&option::inventory, "A sheet of units (CSV or a JSON array): every converter found is "
                           "searched, a row that gives speed, parity and stop_bits has that "
                           "setting tried first, and a converter with no row is left alone."},
      {&option::encoding},
      {&option::mode, "The device mode, which must be tcp-rtu: the mode in which the converter "
                      "serves Modbus TCP."},
      {&option::host, "Reach the converter over Modbus TCP at HOST instead of the ip it holds, "
                      "e.g. behind NAT; one converter only."},
      {&option::tcpPort, "The converter's Modbus TCP port, instead of the one it holds."},
      {&option::unit, "A unit id to ask at each setting, 1-247; repeat it for several "
                      "(default: ids 1-10)."},
      {&option::read, QStringLiteral("The registers to read of each unit: COUNT (default 1, at "
                                     "most %1) from address ADDR (default 0).")
                          .arg(modbus::maxReadRegisters)},
      {&option::input},
      {&option::speeds},
      {&option::parities},
      {&option::stopBits},
      {&option::keep},
      {&option::restore},
      {&option::scan},
      {&option::units, "With --scan: the unit ids to ask at the setting found, a list of ids "
                       "and ranges (default 1-247)."},
      {&option::json},
      {&option::timeout, "How long to wait for each answer of the device, and of each slave "
                         "over Modbus TCP, in ms (default 1000)."},
      {&option::baud},
      {&option::trace}},
     lineExitStatuses},
};

const CommandInfo *commandNamed(const QString &name)
{
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [&](const CommandInfo &info) { return name == info.name; });
    return found == commands.end() ? nullptr : &*found;
}

Arguments::Arguments(const CommandInfo &command) : m_command(command)
{
    m_parser.addOption(help);
    for (const TakenOption &taken : command.options) {
        QCommandLineOption option = *taken.option;
        if (!taken.help.isEmpty())
            option.setDescription(taken.help);
        m_parser.addOption(option);
    }
    m_parser.addOption(option::quiet);
    if (command.command == Verb::Write || command.command == Verb::Audit)
        m_parser.addPositionalArgument("PROFILE", "A JSON profile, as read --json prints it.",
                                       "[PROFILE]");
}

bool Arguments::parse(const QStringList &arguments, QString *error)
{
    if (m_parser.parse(arguments))
        return true;
    *error = m_parser.errorText();
    return false;
}

bool Arguments::helpAsked() const
{
    return m_parser.isSet(help);
}

QString Arguments::optionsHelp() const
{
    const QString text = m_parser.helpText();
    return text.mid(text.indexOf(QLatin1String("Options:")));
}

bool Arguments::takes(const QCommandLineOption &option) const
{
    return &option == &option::quiet ||
           std::any_of(m_command.options.begin(), m_command.options.end(),
                       [&](const TakenOption &taken) { return taken.option == &option; });
}

bool Arguments::isSet(const QCommandLineOption &option) const
{
    return takes(option) && m_parser.isSet(option);
}

QString Arguments::value(const QCommandLineOption &option) const
{
    return takes(option) ? m_parser.value(option) : QString();
}

QStringList Arguments::values(const QCommandLineOption &option) const
{
    return takes(option) ? m_parser.values(option) : QStringList();
}

QStringList Arguments::unexpected(int taken) const
{
    QStringList errors;
    for (const QString &argument : positional().mid(taken))
        errors << QStringLiteral("unexpected argument %1").arg(argument);
    return errors;
}

int Arguments::number(const QCommandLineOption &option, int fallback, int min, int max,
                      QStringList *errors) const
{
    if (!isSet(option))
        return fallback;
    bool ok = false;
    const int number = value(option).toInt(&ok);
    if (ok && number >= min && number <= max)
        return number;
    errors->append(QStringLiteral("--%1: must be a whole number from %2 to %3, not %4")
                       .arg(option.names().constLast())
                       .arg(min)
                       .arg(max)
                       .arg(value(option)));
    return fallback;
}
