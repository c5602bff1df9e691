// tcprtu: reads and writes converters' settings from the command line, several ports at once.

#include "audit.h"
#include "check.h"
#include "find.h"
#include "interrupts.h"
#include "inventory.h"
#include "line.h"
#include "log.h"
#include "options.h"
#include "output.h"
#include "poll.h"
#include "ports.h"
#include "procedure.h"
#include "profile.h"
#include "report.h"
#include "scan.h"
#include "status.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// "did you mean write? " for a mistyped command, or nothing.
QString meantCommand(const QString &name)
{
    QStringList names;
    for (const CommandInfo &info : commands)
        names << QLatin1String(info.name);
    const QString nearest = nearestWord(name, names);
    return nearest.isEmpty() ? QString() : QStringLiteral("did you mean %1? ").arg(nearest);
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
               "\nEvery command takes -q/--quiet; those that talk to a converter take --timeout "
               "MS, and through its configuration port also --baud N and --trace. \"tcprtu "
               "COMMAND --help\" tells more.\n\n"
               "Example: copy one converter's settings to another, with its own address\n"
               "  tcprtu read --port ttyUSB0 --mode tcp-rtu --json > site.json\n"
               "  (take the \"mac\" line out of site.json, which would refuse any other "
               "device)\n"
               "  tcprtu write --port ttyUSB1 site.json --set ip=10.0.0.22 \\\n"
               "      --set gateway=10.0.0.1\n\n") +
           exitStatusHelp();
}

QString commandHelp(const Arguments &args)
{
    const CommandInfo &info = args.command();
    const Verb verb = info.command;
    return QStringLiteral("Usage: tcprtu %1\n\n%2\n\n%3\nExample:\n  tcprtu %4\n\n%5")
        .arg(info.synopsis, info.about, args.optionsHelp(), info.example,
             info.exitStatuses ? QString(info.exitStatuses)
             : verb == Verb::Write || verb == Verb::Reset || verb == Verb::Audit
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
        array << notConnectedJson(*row);
    console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
}

// Reads the write's wanted values from the profile and --set; every error is added. With an
// inventory the rows may bring the mode and every value.
void readWanted(const Arguments &args, Job *job, bool inventory, QStringList *errors,
                const Console &console)
{
    Profile profile;
    if (!args.positional().isEmpty()) {
        const std::optional<Profile> file = readProfile(args.positional().first(), errors);
        if (!file)
            return;
        profile = *file;
    }
    if (args.isSet(option::mode))
        profile.mode = args.value(option::mode);
    setValues(&profile, args.values(option::set), errors);
    QStringList forced;
    job->mode =
        checkProfile(&profile, errors, !inventory, args.isSet(option::force) ? &forced : nullptr);
    for (const QString &value : qAsConst(forced))
        console.note(QStringLiteral("warning: %1; sent as it is, as --force asks").arg(value));
    job->wanted = profile.values;
    if (!inventory && errors->isEmpty() &&
        std::none_of(job->wanted.begin() + 1, job->wanted.end(),
                     [](const auto &value) { return value.has_value(); }))
        errors->append(QStringLiteral("nothing to write: give a profile or --set KEY=VALUE"));
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
    const CommandInfo *info = commandNamed(name);
    if (!info) {
        console.error(
            QStringLiteral("no command %1; %2see tcprtu --help").arg(name, meantCommand(name)));
        return BadInput;
    }

    Arguments args(*info);
    QString error;
    if (!args.parse(QStringList{arguments.first()} + arguments.mid(2), &error)) {
        console.error(error + QStringLiteral(" See tcprtu %1 --help.").arg(name));
        return BadInput;
    }
    if (args.helpAsked()) {
        console.result(commandHelp(args));
        return Done;
    }
    console.quiet = args.isSet(option::quiet);
    if (args.isSet(option::encoding) && !args.isSet(option::inventory)) {
        console.error(QStringLiteral("--encoding: the sheet's, with --inventory"));
        return BadInput;
    }
    const bool json = args.isSet(option::json);
    if (info->command == Verb::Ports)
        return listPorts(json, console);
    if (info->command == Verb::Check)
        return runCheck(args, console);
    if (info->command == Verb::Scan || info->command == Verb::Poll)
        console.progress = standardErrorIsTerminal();
    if (info->command == Verb::Scan)
        return runScan(args, console);
    if (info->command == Verb::Poll)
        return runPoll(args, console);
    if (info->command == Verb::Log)
        return runLog(args, console);
    if (info->command == Verb::Report)
        return runReport(args, console);
    console.trace = args.isSet(option::trace);
    console.progress = standardErrorIsTerminal();
    if (info->command == Verb::Line)
        return runLine(args, console);

    const Verb verb = info->command;
    Job job;
    job.name = name;
    job.command = verb == Verb::Write   ? Command::Write
                  : verb == Verb::Reset ? Command::Reset
                  : verb == Verb::Audit ? Command::Audit
                                        : Command::Read;
    QStringList errors;
    QStringList ports = args.values(option::port);
    const QString inventoryFile =
        verb == Verb::Write || verb == Verb::Audit ? args.value(option::inventory) : QString();
    if (ports.isEmpty() && inventoryFile.isEmpty() && verb != Verb::Find)
        errors << QStringLiteral("--port: give at least one port");
    errors << repeatedPorts(ports);
    errors << args.unexpected(verb == Verb::Write || verb == Verb::Audit ? 1 : 0);
    job.timeoutMs = args.number(option::timeout, job.timeoutMs, 1, 3'600'000, &errors);
    job.baud = args.number(option::baud, job.baud, 1, 10'000'000, &errors);
    QString output;
    bool csv = false;
    if (verb == Verb::Read) {
        csv = args.isSet(option::csv);
        output = args.value(option::output);
        job.mode = protocol::modeByKey(args.value(option::mode));
        if (!job.mode)
            errors << QStringLiteral("--mode: must be %1").arg(modeList());
        if (int(json) + int(csv) + int(!output.isEmpty()) > 1)
            errors << QStringLiteral("--json, --csv and --output: give one of them");
        if (!output.isEmpty() && ports.size() > 1)
            errors << QStringLiteral("--output: one port only");
    }
    std::optional<Inventory> inventory;
    if ((verb == Verb::Write || verb == Verb::Audit) && !inventoryFile.isEmpty()) {
        inventory = readInventory(inventoryFile, args.value(option::encoding), &errors);
        job.inventory = inventory ? &*inventory : nullptr;
        for (const QString &warning : inventory ? inventory->warnings : QStringList())
            console.note(warning);
    }
    if (verb == Verb::Audit) {
        readAuditOptions(args, &job, &errors);
        readWanted(args, &job, true, &errors, console);
    }
    if (verb == Verb::Write) {
        readWanted(args, &job, !inventoryFile.isEmpty(), &errors, console);
        job.force = args.isSet(option::force);
        job.dryRun = args.isSet(option::dryRun);
        job.verify = !args.isSet(option::noVerify);
        job.backup = !args.isSet(option::noBackup);
        job.backupFile = args.value(option::backup);
        if (!job.backup && !job.backupFile.isEmpty())
            errors << QStringLiteral("--backup and --no-backup: give one of them");
        if (!job.backupFile.isEmpty() && (ports.size() != 1 || inventory))
            errors << QStringLiteral("--backup: one port only");
        const QStringList inputs = args.positional().mid(0, 1) << inventoryFile;
        for (const QString &input : inputs) {
            if (!job.backupFile.isEmpty() && isSameFile(job.backupFile, input))
                errors << QStringLiteral("--backup %1: the file this write reads, which the "
                                         "backup would overwrite")
                              .arg(job.backupFile);
        }
        job.check = args.isSet(option::check);
        job.checkHost = args.value(option::checkHost);
        readCheckOptions(args, &job.checkRequest, &errors);
        const bool checkOption = args.isSet(option::unit) || args.isSet(option::read) ||
                                 args.isSet(option::input) || !job.checkHost.isEmpty();
        if (!job.check && checkOption)
            errors << QStringLiteral("--unit, --read, --input and --check-host go with --check");
        if (job.check && !job.verify)
            errors << QStringLiteral("--check and --no-verify: the check needs the device back");
        if (job.check && job.mode && job.mode != &protocol::modes[0])
            errors << QStringLiteral("--check: only in mode %1, where the converter serves "
                                     "Modbus TCP")
                          .arg(protocol::modes[0].key);
        if (args.isSet(option::restartTimeout)) {
            bool ok = false;
            const double seconds = args.value(option::restartTimeout).toDouble(&ok);
            if (ok && seconds > 0 && seconds <= 3600)
                job.restartTimeoutMs = int(seconds * 1000);
            else
                errors << QStringLiteral("--restart-timeout: must be seconds, above 0 and at "
                                         "most 3600");
        }
    }
    // Each row against its mode, and each cell that goes over a shared value, before any port
    // opens: an audit judges by the same plan a write would send.
    if (inventory && errors.isEmpty()) {
        errors << rowProblems(*inventory, job.mode, args.value(option::mode), job.wanted,
                              job.check);
        for (const QString &warning : rowsOverShared(*inventory, job.wanted))
            console.note(warning);
    }
    if (!console.errors(errors))
        return BadInput;

    if (verb == Verb::Find)
        return printFound(findConverters(ports, job.baud, job.timeoutMs, console), json, console);
    // A batch without ports is every converter that answers.
    if (ports.isEmpty())
        ports = converterPorts(findConverters({}, job.baud, job.timeoutMs, console));

    const bool backupExisted = QFileInfo::exists(job.backupFile);
    Run run(job, ports, console);
    Interrupts interrupts;
    QObject::connect(&interrupts, &Interrupts::interrupted, &app, [&](int status) {
        if (run.stopStatus()) {
            run.abandon(status);
            std::_Exit(status);
        }
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
        return std::max(status, printAudit(units, missing, json, args.isSet(option::csv), console));
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
