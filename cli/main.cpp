// tcprtu: reads and writes converters' settings from the command line, several ports at once.

#include "audit.h"
#include "check.h"
#include "find.h"
#include "interrupts.h"
#include "inventory.h"
#include "line.h"
#include "log.h"
#include "output.h"
#include "poll.h"
#include "ports.h"
#include "procedure.h"
#include "profile.h"
#include "report.h"
#include "scan.h"
#include "status.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

enum class Verb
{
    Ports,
    Read,
    Write,
    Reset,
    Check,
    Scan,
    Poll,
    Line,
    Find,
    Log,
    Audit,
    Report,
};

struct CommandInfo
{
    const char *name;
    Verb command;
    const char *synopsis;
    const char *about;
    const char *example;
    const char *options; // names, blank-separated
};

const CommandInfo commands[] = {
    {"ports", Verb::Ports, "ports [--json]",
     "Lists the serial ports: name, location, description, manufacturer, serial number and USB "
     "vendor:product. Pseudo-terminals are not listed; give their path to --port.",
     "ports --json", "json quiet"},
    {"find", Verb::Find, "find [--port PORT]... [--json]",
     "Asks every serial port (or each --port) for a converter's MAC, all at once: one row per "
     "port with what answers there.",
     "find --json", "port json timeout baud trace quiet"},
    {"read", Verb::Read,
     "read --port PORT [--port PORT]... --mode MODE [--json | --csv | --output FILE]",
     "Reads every setting of the mode. --json prints a profile that write takes back as it is; "
     "--csv a sheet that write --inventory takes back.",
     "read --port ttyUSB0 --mode tcp-rtu --output site.json",
     "port mode json csv output timeout baud trace quiet"},
    {"write", Verb::Write,
     "write --port PORT [--port PORT]... [--mode MODE] [PROFILE] [--set KEY=VALUE]...\n"
     "        [--inventory FILE] [--dry-run] [--force] [--backup FILE | --no-backup]\n"
     "        [--no-verify] [--restart-timeout S] [--json]\n"
     "        [--check [--unit ID] [--read ADDR[:COUNT]] [--check-host HOST]]",
     "Checks every value and the units' network settings as a whole, reads each device, saves "
     "a backup of it, sends only what differs, restarts the device and reads it back. A "
     "\"mac\" in the profile refuses any other device. With --inventory, each unit gets its "
     "own row of the sheet, found by its MAC; without --port, every converter find finds.",
     "write --inventory units.csv site.json",
     "port mode set inventory dry-run force backup no-backup no-verify restart-timeout json "
     "check unit read input check-host timeout baud trace quiet"},
    {"reset", Verb::Reset, "reset --port PORT [--port PORT]...", "Restarts the device.",
     "reset --port ttyUSB0", "port timeout baud trace quiet"},
    {"audit", Verb::Audit,
     "audit --inventory FILE [PROFILE] [--set KEY=VALUE]... [--port PORT]... [--mode MODE]\n"
     "        [--json | --csv] [--check [--unit ID] [--read ADDR[:COUNT]] [--check-host HOST]]",
     "Reads every unit and compares it with what its row of the sheet and the shared values "
     "plan; sends nothing. Without --port, every converter find finds. With --check, a unit "
     "that matches is also read through over Modbus TCP at the address it holds.",
     "audit --inventory units.csv --set gateway=10.0.0.1",
     "port mode set inventory json csv check unit read input check-host timeout baud trace "
     "quiet"},
    {"log", Verb::Log,
     "log [--mac MAC] [--since DATE] [--result WORD] [--json | --csv]\n"
     "    log --merge FILE...",
     "Shows what writes, restarts and audits did to which unit, oldest first, with what each "
     "changed. --merge folds other machines' logs into this one.",
     "log --mac 02:00:00:00:00:01", "mac since result json csv merge quiet"},
    {"report", Verb::Report,
     "report [--inventory FILE] [--mac MAC]... [--since DATE] [--title TEXT]\n"
     "       [--json | --output FILE.html | FILE.csv | FILE.json]",
     "From the log, the latest state of each unit: its settings as last verified, the result, "
     "the Modbus check, who did it when, and its writes; failed and unverified units first. With "
     "--inventory, each unit's label and notes from the sheet.",
     "report --inventory units.csv --title \"Pump station 3\" --output site.html",
     "inventory mac since title output json quiet"},
    {"check", Verb::Check,
     "check --host HOST [--tcp-port N] [--unit ID] [--read ADDR[:COUNT]] [--input] [--json]\n"
     "        [--write ADDR=VALUE[,VALUE...]]",
     "Reads registers from a slave through the converter, over Modbus TCP: proves that the "
     "converter carries Modbus in TCP-RTU mode. Prints the values and the round trip. With "
     "--write, writes holding registers first and reads them back.",
     "check --host 192.168.0.10 --unit 1 --read 0:4\n"
     "  tcprtu check --host 192.168.0.10 --unit 3 --write 40=1,2,3",
     "host tcp-port unit read input write timeout json quiet"},
    {"scan", Verb::Scan,
     "scan --host HOST [--tcp-port N] [--units 1-247 | --units 1,5,10-20]\n"
     "        [--read ADDR[:COUNT]] [--input] [--json]",
     "Asks each unit id (all of 1-247 without --units) for a register through the converter, "
     "several requests queued at once, and lists the ids that answer: with the values, or with "
     "an exception, which a slave that is there also sends. The converter's own exceptions "
     "0x0A and 0x0B mean no slave. On a terminal, a line tells how far it got.",
     "scan --host 192.168.0.10 --units 1-32 --json",
     "host tcp-port units read input timeout json quiet"},
    {"poll", Verb::Poll,
     "poll --host HOST [--tcp-port N] [--unit ID] --read ADDR[:COUNT] [--input]\n"
     "        [--interval MS] [--count N | --duration S] [--json]",
     "Sends the same read again and again, one at a time, until --count, --duration, Ctrl-C or "
     "SIGTERM; on a terminal, a live line. Then a summary: requests sent, answered, time-outs, "
     "exceptions by code, and the answers' latency, median and 95th percentile.",
     "poll --host 192.168.0.10 --unit 3 --read 0:2 --interval 200 --duration 60 --json",
     "host tcp-port unit read input interval count duration timeout json quiet"},
    {"line", Verb::Line,
     "line --port PORT --mode tcp-rtu [--host HOST] [--tcp-port N] [--unit ID]...\n"
     "        [--read ADDR] [--speeds LIST] [--parities LIST] [--stop-bits LIST]\n"
     "        [--keep | --restore] [--json]",
     "Finds the RS-485 speed, parity and stop bits at which the slaves answer: writes each "
     "candidate to the converter in turn, the common ones first (a full write: backup, "
     "restart, read back), then reads a register of each --unit (without one, ids 1-10) "
     "through the converter over Modbus TCP, at the ip and TCP port it holds. Stops at the "
     "first setting where one answers. At the end the converter keeps that setting; with "
     "--restore, and when none answered, it gets its own back. Either way it is read back.",
     "line --port ttyUSB0 --mode tcp-rtu --unit 5 --speeds 9600,19200 --json",
     "port mode host tcp-port unit read input speeds parities stop-bits keep restore json "
     "timeout baud trace quiet"},
};

// "did you mean write? " for a mistyped command, or nothing.
QString meantCommand(const QString &name)
{
    QStringList names;
    for (const CommandInfo &info : commands)
        names << QLatin1String(info.name);
    const QString nearest = nearestWord(name, names);
    return nearest.isEmpty() ? QString() : QStringLiteral("did you mean %1? ").arg(nearest);
}

QString keyList()
{
    QStringList keys;
    for (const protocol::Parameter &parameter : protocol::parameters)
        keys << parameter.key;
    return keys.join(QStringLiteral(", "));
}

QList<QCommandLineOption> allOptions()
{
    return {
        {"port",
         "A device path, or a port name as \"tcprtu ports\" lists it; repeat it to "
         "work on several converters at once.",
         "PORT"},
        {"mode", "The device mode: " + modeList() + '.', "MODE"},
        {"json", "Print JSON instead of a table."},
        {"output",
         "read: save the profile to FILE (one port only); report: save the report as HTML, CSV "
         "or JSON, by FILE's ending.",
         "FILE"},
        {"csv", "Print a sheet: a header row, then one row per port."},
        {"inventory",
         "A sheet of units (CSV or a JSON array): a \"mac\" column and any keys; each unit "
         "found gets its row over the shared profile.",
         "FILE"},
        {"mac", "Only the entries of this MAC (any case, with : or - or none).", "MAC"},
        {"since", "Only what was logged from DATE on (UTC unless it says otherwise).", "DATE"},
        {"result", "Only the entries with this result word.", "WORD"},
        {"merge", "Fold the log files given into this machine's log."},
        {"title", "The report's title, e.g. the site's name.", "TEXT"},
        {"set", "Set KEY to VALUE, over the profile. Keys: " + keyList() + '.', "KEY=VALUE"},
        {"dry-run", "Read and show what would change; save and send nothing."},
        {"force", "Send every key given, also those the device already has."},
        {"backup",
         "Save the device's settings to FILE (one port only) instead of a new file "
         "under $XDG_STATE_HOME/tcprtu/backups.",
         "FILE"},
        {"no-backup", "Save no backup."},
        {"no-verify", "Do not wait for the device after its restart, nor read it back."},
        {"check",
         "After the verify, read registers from a slave through the converter over Modbus TCP, "
         "at the address and TCP port it now has (tcp-rtu mode): proves it carries data. "
         "--unit and --read say what to read."},
        {"check-host",
         "The address to check instead of the converter's own, e.g. where it sits behind NAT.",
         "HOST"},
        {"restart-timeout",
         "How long the device may take to answer after its restart, in "
         "seconds (default 15).",
         "S"},
        {"timeout", "How long to wait for each answer, in ms (default 1000).", "MS"},
        {"baud", "The line's speed (default 9600); 8 data bits, no parity, one stop bit.", "N"},
        {"trace", "Show every exchange on standard error."},
        {{"q", "quiet"}, "Print nothing on standard error but errors."},
    };
}

QString generalHelp()
{
    QString text = QStringLiteral("Usage: tcprtu COMMAND [options]\n\n"
                                  "Reads and writes the settings of TCP/RTU converters through "
                                  "their serial configuration port.\n\nCommands:\n");
    for (const CommandInfo &info : commands)
        text += QStringLiteral("  %1\n").arg(info.synopsis);
    return text +
           QStringLiteral(
               "\nCommon options: --timeout MS, --baud N, --trace, -q/--quiet. "
               "\"tcprtu COMMAND --help\" tells more.\n\n"
               "Example: copy one converter's settings to another, with its own address\n"
               "  tcprtu read --port ttyUSB0 --mode tcp-rtu --json > site.json\n"
               "  (take the \"mac\" line out of site.json, which would refuse any other "
               "device)\n"
               "  tcprtu write --port ttyUSB1 site.json --set ip=10.0.0.22\n\n") +
           exitStatusHelp();
}

QString commandHelp(const CommandInfo &info, const QCommandLineParser &parser)
{
    const QString options = parser.helpText();
    return QStringLiteral("Usage: tcprtu %1\n\n%2\n\n%3\nExample:\n  tcprtu %4\n\n%5")
        .arg(info.synopsis, info.about, options.mid(options.indexOf(QLatin1String("Options:"))),
             info.example,
             info.command == Verb::Check  ? QString(checkExitStatuses)
             : info.command == Verb::Scan ? QString(scanExitStatuses)
             : info.command == Verb::Poll ? QString(pollExitStatuses)
             : info.command == Verb::Line ? QString(lineExitStatuses)
             : info.command == Verb::Write || info.command == Verb::Reset ||
                     info.command == Verb::Audit
                 ? exitStatusHelp() + QLatin1Char('\n') + resultWordHelp()
                 : exitStatusHelp());
}

// One listing of ports, as JSON or as a table under its header row.
void printPorts(const QJsonArray &array, const QList<QStringList> &rows, bool json,
                const Console &console)
{
    if (json)
        console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
    else if (array.isEmpty())
        console.note(QStringLiteral("no serial ports found"));
    else
        console.result(table(rows));
}

int listPorts(bool json, const Console &console)
{
    const char *const fields[] = {"name",         "location",      "description",
                                  "manufacturer", "serial_number", "usb_id"};
    QList<QStringList> rows{{}};
    for (const char *field : fields)
        rows.first() << field;
    QJsonArray array;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
        const QString usbId = port.hasVendorIdentifier() && port.hasProductIdentifier()
                                  ? QStringLiteral("%1:%2")
                                        .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                        .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'))
                                  : QString();
        const QStringList row{port.portName(),     port.systemLocation(), port.description(),
                              port.manufacturer(), port.serialNumber(),   usbId};
        QJsonObject object;
        for (int i = 0; i < row.size(); ++i)
            object.insert(fields[i], row[i]);
        array << object;
        rows << row;
        std::replace(rows.last().begin(), rows.last().end(), QString(), QStringLiteral("-"));
    }
    printPorts(array, rows, json, console);
    return Done;
}

using Units = std::vector<std::unique_ptr<UnitRun>>;

int printRead(const Units &units, const protocol::Mode &mode, bool json, const QString &output,
              const Console &console)
{
    if (!output.isEmpty()) {
        const UnitRecord &record = units.front()->record;
        QString error;
        if (record.status != Done || saveProfile(output, toJson(mode, record.before), &error))
            return Done;
        console.error(QStringLiteral("profile not saved: ") + error);
        return OutputFailed;
    }
    if (json) {
        QJsonArray array;
        for (const auto &unit : units)
            array << (unit->record.status == Done ? QJsonValue(toJson(mode, unit->record.before))
                                                  : QJsonValue());
        const QJsonDocument document = units.size() > 1 ? QJsonDocument(array)
                                       : array.first().isNull()
                                           ? QJsonDocument()
                                           : QJsonDocument(array.first().toObject());
        console.result(document.isNull() ? QStringLiteral("null")
                                         : QString::fromUtf8(document.toJson()).trimmed());
        return Done;
    }
    if (std::none_of(units.begin(), units.end(),
                     [](const auto &unit) { return unit->record.status == Done; }))
        return Done;
    QList<QStringList> rows{{QStringLiteral("key")}};
    for (const auto &unit : units)
        rows.first() << unit->record.port;
    for (int i = 0; i < mode.queried; ++i) {
        const protocol::Parameter &parameter = protocol::parameters[i];
        QStringList row{parameter.key};
        for (const auto &unit : units) {
            const std::optional<QByteArray> &value = unit->record.before[size_t(i)];
            row << (unit->record.status == Done ? shown(parameter, *value) : QStringLiteral("-"));
        }
        rows << row;
    }
    console.result(table(rows));
    return Done;
}

void printWrite(const Units &units, const Console &console)
{
    QList<QStringList> rows{{"port", "key", "before", "after", "status"}};
    for (const auto &unit : units) {
        for (const Row &row : unit->record.rows) {
            const protocol::Parameter &parameter = protocol::parameters[row.index];
            rows << QStringList{unit->record.port, parameter.key, shown(parameter, row.before),
                                shown(parameter, row.after), row.status};
        }
    }
    if (rows.size() > 1)
        console.result(table(rows));
}

void printOutcomes(const Units &units, const Console &console)
{
    for (const auto &unit : units) {
        const UnitRecord &record = unit->record;
        QString line =
            record.port + QStringLiteral(": ") +
            (record.status == Done
                 ? record.outcome
                 : QStringLiteral("failed, status %1: %2").arg(record.status).arg(record.outcome));
        if (!record.backup.isEmpty())
            line += QStringLiteral("; backup in ") + record.backup;
        console.result(line);
    }
}

void printCsv(const Units &units, const protocol::Mode &mode, const Console &console)
{
    QStringList rows{csvRow(QStringList{"port"} + modeKeys(mode))};
    for (const auto &unit : units) {
        QStringList cells{unit->record.port};
        for (int i = 0; i < mode.queried; ++i)
            cells << (unit->record.status == Done
                          ? shown(protocol::parameters[i], *unit->record.before[size_t(i)])
                          : QString());
        rows << csvRow(cells);
    }
    console.result(rows.join(QLatin1Char('\n')));
}

// Rows of the sheet whose unit was on none of the ports.
QList<const Unit *> notConnected(const Inventory &inventory, const Units &units)
{
    QList<const Unit *> missing;
    for (const Unit &row : inventory.units) {
        if (std::none_of(units.begin(), units.end(),
                         [&](const auto &unit) { return unit->record.before[0] == row.mac; }))
            missing << &row;
    }
    return missing;
}

void printWriteJson(const Units &units, const QList<const Unit *> &missing, const Console &console)
{
    QJsonArray array;
    for (const auto &unit : units)
        array << unit->record.toJson();
    for (const Unit *row : missing)
        array << QJsonObject{{"port", QJsonValue()},
                             {"mac", QString::fromLatin1(row->mac)},
                             {"result", word(Result::NotConnected)},
                             {"status", Done},
                             {"row", row->row}};
    console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}

// Reads the write's wanted values from the profile and --set; every error is added. With an
// inventory the rows may bring the mode and every value.
void readWanted(const QCommandLineParser &parser, Job *job, bool inventory, QStringList *errors,
                const Console &console)
{
    Profile profile;
    if (!parser.positionalArguments().isEmpty()) {
        const std::optional<Profile> file =
            readProfile(parser.positionalArguments().first(), errors);
        if (!file)
            return;
        profile = *file;
    }
    if (parser.isSet(QStringLiteral("mode")))
        profile.mode = parser.value(QStringLiteral("mode"));
    setValues(&profile, parser.values(QStringLiteral("set")), errors);
    QStringList forced;
    job->mode = checkProfile(&profile, errors, !inventory,
                             parser.isSet(QStringLiteral("force")) ? &forced : nullptr);
    for (const QString &value : qAsConst(forced))
        console.note(QStringLiteral("warning: %1; sent as it is, as --force asks").arg(value));
    job->wanted = profile.values;
    if (!inventory && errors->isEmpty() &&
        std::none_of(job->wanted.begin() + 1, job->wanted.end(),
                     [](const auto &value) { return value.has_value(); }))
        errors->append(QStringLiteral("nothing to write: give a profile or --set KEY=VALUE"));
}

// The USB adapters the system lists, or the ports given; all asked at once.
QList<Found> findConverters(const QStringList &given, const Job &job, const Console &console)
{
    QStringList ports = given;
    QStringList skipped;
    if (ports.isEmpty()) {
        QList<ListedPort> listed;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            listed << ListedPort{info.portName(), info.hasVendorIdentifier()};
        ports = adapterPorts(listed, &skipped);
        if (!skipped.isEmpty())
            console.note(QStringLiteral("skipped, as no USB adapter: %1; give a port to ask it "
                                        "too, e.g. --port %2")
                             .arg(skipped.join(QStringLiteral(", ")), portPath(skipped.first())));
    }
    Finder finder(ports, job.baud, job.timeoutMs, console);
    QObject::connect(&finder, &Finder::finished, qApp, &QCoreApplication::quit);
    QMetaObject::invokeMethod(&finder, &Finder::start, Qt::QueuedConnection);
    if (!ports.isEmpty())
        QCoreApplication::exec();
    QList<Found> found = finder.found();
    for (const QString &port : qAsConst(skipped))
        found << Found{port, QStringLiteral("skipped"), {}, {}, {}};
    return found;
}

int printFound(const QList<Found> &found, bool json, const Console &console)
{
    QList<QStringList> rows{{"port", "found", "mac", "serial_number", "location"}};
    QJsonArray array;
    bool opened = false, converter = false;
    for (const Found &port : found) {
        const bool isConverter = port.status == QLatin1String("converter");
        converter = converter || isConverter;
        opened = opened || isConverter || port.status == QLatin1String("no-answer") ||
                 port.status == QLatin1String("not-a-converter");
        const auto orNull = [](const QString &text) {
            return text.isEmpty() ? QJsonValue() : QJsonValue(text);
        };
        array << QJsonObject{
            {"port", port.port},
            {"status", port.status},
            {"mac", isConverter ? QJsonValue(QString::fromLatin1(port.mac)) : QJsonValue()},
            {"serial_number", orNull(port.serialNumber)},
            {"location", orNull(port.location)}};
        QStringList row{port.port, QString(port.status).replace('-', ' '),
                        isConverter ? QString::fromLatin1(port.mac) : QString(), port.serialNumber,
                        port.location};
        std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
        rows << row;
    }
    printPorts(array, rows, json, console);
    return converter ? Done : opened ? NoAnswer : PortFailed;
}

int run(QCoreApplication &app)
{
    const QStringList arguments = QCoreApplication::arguments();
    Console console;
    if (arguments.size() < 2) {
        console.note(generalHelp());
        return BadInput;
    }
    const QString name = arguments.at(1);
    if (name == QLatin1String("--help") || name == QLatin1String("-h")) {
        console.result(generalHelp());
        return Done;
    }
    if (name == QLatin1String("--version")) {
        console.result(QStringLiteral("tcprtu " TCPRTU_VERSION));
        return Done;
    }
    const auto info = std::find_if(std::begin(commands), std::end(commands),
                                   [&](const CommandInfo &info) { return name == info.name; });
    if (info == std::end(commands)) {
        console.error(
            QStringLiteral("no command %1; %2see tcprtu --help").arg(name, meantCommand(name)));
        return BadInput;
    }

    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    parser.addOption(help);
    const QStringList accepted = QString(info->options).split(QLatin1Char(' '));
    for (const QCommandLineOption &option : allOptions() + checkOptions()) {
        if (accepted.contains(option.names().constLast()))
            parser.addOption(option);
    }
    if (info->command == Verb::Write || info->command == Verb::Audit)
        parser.addPositionalArgument("PROFILE", "A JSON profile, as read --json prints it.",
                                     "[PROFILE]");
    if (!parser.parse(QStringList{arguments.first()} + arguments.mid(2))) {
        console.error(parser.errorText() + QStringLiteral(" See tcprtu %1 --help.").arg(name));
        return BadInput;
    }
    if (parser.isSet(help)) {
        console.result(commandHelp(*info, parser));
        return Done;
    }
    console.quiet = parser.isSet(QStringLiteral("quiet"));
    const bool json = parser.isSet(QStringLiteral("json"));
    if (info->command == Verb::Ports)
        return listPorts(json, console);
    if (info->command == Verb::Check)
        return runCheck(parser, console);
    if (info->command == Verb::Scan || info->command == Verb::Poll)
        console.progress = standardErrorIsTerminal();
    if (info->command == Verb::Scan)
        return runScan(parser, console);
    if (info->command == Verb::Poll)
        return runPoll(parser, console);
    if (info->command == Verb::Log)
        return runLog(parser, console);
    if (info->command == Verb::Report)
        return runReport(parser, console);
    console.trace = parser.isSet(QStringLiteral("trace"));
    console.progress = standardErrorIsTerminal();
    if (info->command == Verb::Line)
        return runLine(parser, console);

    const Verb verb = info->command;
    Job job;
    job.name = name;
    job.command = verb == Verb::Write   ? Command::Write
                  : verb == Verb::Reset ? Command::Reset
                  : verb == Verb::Audit ? Command::Audit
                                        : Command::Read;
    QStringList errors;
    QStringList ports = parser.values(QStringLiteral("port"));
    const QString inventoryFile = verb == Verb::Write || verb == Verb::Audit
                                      ? parser.value(QStringLiteral("inventory"))
                                      : QString();
    if (ports.isEmpty() && inventoryFile.isEmpty() && verb != Verb::Find)
        errors << QStringLiteral("--port: give at least one port");
    errors << repeatedPorts(ports);
    const int allowedArguments = verb == Verb::Write || verb == Verb::Audit ? 1 : 0;
    for (const QString &argument : parser.positionalArguments().mid(allowedArguments))
        errors << QStringLiteral("unexpected argument %1").arg(argument);
    job.timeoutMs = number(parser, QStringLiteral("timeout"), job.timeoutMs, 1, 3'600'000, &errors);
    job.baud = number(parser, QStringLiteral("baud"), job.baud, 1, 10'000'000, &errors);
    QString output;
    bool csv = false;
    if (verb == Verb::Read) {
        csv = parser.isSet(QStringLiteral("csv"));
        output = parser.value(QStringLiteral("output"));
        job.mode = protocol::modeByKey(parser.value(QStringLiteral("mode")));
        if (!job.mode)
            errors << QStringLiteral("--mode: must be %1").arg(modeList());
        if (int(json) + int(csv) + int(!output.isEmpty()) > 1)
            errors << QStringLiteral("--json, --csv and --output: give one of them");
        if (!output.isEmpty() && ports.size() > 1)
            errors << QStringLiteral("--output: one port only");
    }
    std::optional<Inventory> inventory;
    if (verb == Verb::Audit) {
        readAuditOptions(parser, &job, &errors);
        if (!inventoryFile.isEmpty()) {
            inventory = readInventory(inventoryFile, &errors);
            job.sheetNotes = readSheetNotes(inventoryFile);
        }
        job.inventory = inventory ? &*inventory : nullptr;
        readWanted(parser, &job, true, &errors, console);
    }
    if (verb == Verb::Write) {
        if (!inventoryFile.isEmpty()) {
            inventory = readInventory(inventoryFile, &errors);
            job.inventory = inventory ? &*inventory : nullptr;
            for (const QString &warning : inventory ? inventory->warnings : QStringList())
                console.note(warning);
            job.sheetNotes = readSheetNotes(inventoryFile);
        }
        readWanted(parser, &job, !inventoryFile.isEmpty(), &errors, console);
        job.force = parser.isSet(QStringLiteral("force"));
        job.dryRun = parser.isSet(QStringLiteral("dry-run"));
        job.verify = !parser.isSet(QStringLiteral("no-verify"));
        job.backup = !parser.isSet(QStringLiteral("no-backup"));
        job.backupFile = parser.value(QStringLiteral("backup"));
        if (!job.backup && !job.backupFile.isEmpty())
            errors << QStringLiteral("--backup and --no-backup: give one of them");
        if (!job.backupFile.isEmpty() && (ports.size() != 1 || inventory))
            errors << QStringLiteral("--backup: one port only");
        const QStringList inputs = parser.positionalArguments().mid(0, 1) << inventoryFile;
        for (const QString &input : inputs) {
            if (!job.backupFile.isEmpty() && isSameFile(job.backupFile, input))
                errors << QStringLiteral("--backup %1: the file this write reads, which the "
                                         "backup would overwrite")
                              .arg(job.backupFile);
        }
        job.check = parser.isSet(QStringLiteral("check"));
        job.checkHost = parser.value(QStringLiteral("check-host"));
        readCheckOptions(parser, &job.checkRequest, &errors);
        const bool checkOption = parser.isSet(QStringLiteral("unit")) ||
                                 parser.isSet(QStringLiteral("read")) ||
                                 parser.isSet(QStringLiteral("input")) || !job.checkHost.isEmpty();
        if (!job.check && checkOption)
            errors << QStringLiteral("--unit, --read, --input and --check-host go with --check");
        if (job.check && !job.verify)
            errors << QStringLiteral("--check and --no-verify: the check needs the device back");
        if (inventory && errors.isEmpty())
            errors << rowProblems(*inventory, job.mode, parser.value(QStringLiteral("mode")),
                                  job.wanted, job.check);
        if (job.check && job.mode && job.mode != &protocol::modes[0])
            errors << QStringLiteral("--check: only in mode %1, where the converter serves "
                                     "Modbus TCP")
                          .arg(protocol::modes[0].key);
        if (parser.isSet(QStringLiteral("restart-timeout"))) {
            bool ok = false;
            const double seconds = parser.value(QStringLiteral("restart-timeout")).toDouble(&ok);
            if (ok && seconds > 0 && seconds <= 3600)
                job.restartTimeoutMs = int(seconds * 1000);
            else
                errors << QStringLiteral("--restart-timeout: must be seconds, above 0 and at "
                                         "most 3600");
        }
    }
    if (!errors.isEmpty()) {
        for (const QString &error : qAsConst(errors))
            console.error(error);
        return BadInput;
    }

    if (verb == Verb::Find)
        return printFound(findConverters(ports, job, console), json, console);
    // A batch without ports is every converter that answers.
    if (ports.isEmpty()) {
        for (const Found &found : findConverters({}, job, console)) {
            if (found.status == QLatin1String("converter"))
                ports << found.port;
        }
    }

    const bool backupExisted = QFileInfo::exists(job.backupFile);
    Run run(job, ports, console);
    Interrupts interrupts;
    QObject::connect(&interrupts, &Interrupts::interrupted, &app, [&](int status) {
        if (run.stopStatus())
            run.abandon(status);
        console.note(status == 130 ? QStringLiteral("interrupted: ending the work under way and "
                                                    "putting back what was changed; Ctrl-C "
                                                    "again ends at once and leaves accepted "
                                                    "changes staged")
                                   : QStringLiteral("interrupted: ending the work under way and "
                                                    "putting back what was changed"));
        run.stop(status);
    });
    QObject::connect(&run, &Run::allEnded, &app, &QCoreApplication::quit);
    run.start();
    app.exec();

    const Units &units = run.units();
    int status = units.empty() ? NoAnswer : Done;
    for (const auto &unit : units)
        status = std::max(status, unit->record.status);
    for (const auto &unit : units) {
        if (backupExisted && unit->record.backup == job.backupFile)
            console.note(QStringLiteral("replaced %1").arg(job.backupFile));
    }
    if (job.command == Command::Read) {
        // An interrupted read shows nothing, so that no script takes half of it for the whole.
        if (run.stopStatus())
            return status;
        if (csv)
            printCsv(units, *job.mode, console);
        else
            status = std::max(status, printRead(units, *job.mode, json, output, console));
    }
    const QList<const Unit *> missing =
        inventory ? notConnected(*inventory, units) : QList<const Unit *>();
    if (job.command == Command::Audit)
        return std::max(
            status, printAudit(units, missing, json, parser.isSet(QStringLiteral("csv")), console));
    if (job.command == Command::Write && json) {
        printWriteJson(units, missing, console);
    } else if (job.command != Command::Read) {
        if (job.command == Command::Write)
            printWrite(units, console);
        printOutcomes(units, console);
        for (const Unit *unit : missing)
            console.result(QStringLiteral("MAC %1 (row %2): not connected")
                               .arg(QString::fromLatin1(unit->mac))
                               .arg(unit->row));
    }
    return console.resultsWritten() ? status : std::max(status, int(OutputFailed));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tcprtu"));
    return run(app);
}
