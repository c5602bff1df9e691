#include "line.h"
#include "options.h"

#include "check.h"
#include "find.h"
#include "interrupts.h"
#include "inventory.h"
#include "link.h"
#include "modbus.h"
#include "ports.h"
#include "procedure.h"
#include "scan.h"
#include "status.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPortInfo>

#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// A line setting is these keys, in the order a person says it: 19200 even 1.
const char *const lineKeys[] = {"speed", "parity", "stop_bits"};
using Setting = std::array<QByteArray, std::size(lineKeys)>; // as the device takes them

// The settings the field has most, in this order, as a person says them.
constexpr const char *commonSettings[][3] = {
    {"9600", "none", "1"},   {"19200", "even", "1"},  {"9600", "even", "1"},
    {"19200", "none", "1"},  {"38400", "none", "1"},  {"38400", "even", "1"},
    {"115200", "none", "1"}, {"115200", "even", "1"}, {"57600", "none", "1"},
    {"57600", "even", "1"},  {"9600", "none", "2"},   {"19200", "none", "2"},
    {"4800", "none", "1"},   {"4800", "even", "1"},
};
// Then the rest: each speed by how common it is, and within it parity and stop bits by how common
// they are.
constexpr const char *speedsByUse[] = {"9600", "19200", "38400", "115200", "57600",
                                       "4800", "2400",  "1200",  "128000", "256000"};
constexpr const char *framesByUse[][2] = {{"none", "1"}, {"even", "1"}, {"none", "2"},
                                          {"odd", "1"},  {"even", "2"}, {"odd", "2"}};

// Slaves are numbered from 1 on most lines: without --unit, the first ten ids are asked.
constexpr int firstIds = 10;

const protocol::Parameter &lineParameter(size_t key)
{
    return protocol::parameters[protocol::parameterIndex(QLatin1String(lineKeys[key]))];
}

Setting spelt(const char *const (&words)[3])
{
    Setting setting;
    for (size_t key = 0; key < setting.size(); ++key)
        setting[key] = wireSpelling(lineParameter(key), QLatin1String(words[key]));
    return setting;
}

QList<Setting> allByUse()
{
    QList<Setting> settings;
    for (const auto &common : commonSettings)
        settings << spelt(common);
    for (const char *speed : speedsByUse) {
        for (const auto &frame : framesByUse) {
            const Setting setting = spelt({speed, frame[0], frame[1]});
            if (!settings.contains(setting))
                settings << setting;
        }
    }
    return settings;
}

Setting settingOf(const Values &values)
{
    Setting setting;
    for (size_t key = 0; key < setting.size(); ++key)
        setting[key] = *values[size_t(protocol::parameterIndex(QLatin1String(lineKeys[key])))];
    return setting;
}

Values valuesOf(const Setting &setting)
{
    Values values;
    for (size_t key = 0; key < setting.size(); ++key)
        values[size_t(protocol::parameterIndex(QLatin1String(lineKeys[key])))] = setting[key];
    return values;
}

// "19200 even 1"
QString shown(const Setting &setting)
{
    QStringList words;
    for (size_t key = 0; key < setting.size(); ++key)
        words << shown(lineParameter(key), setting[key]);
    return words.join(QLatin1Char(' '));
}

QJsonObject toJson(const Setting &setting)
{
    QJsonObject object;
    for (size_t key = 0; key < setting.size(); ++key)
        object.insert(lineKeys[key], valueJson(lineParameter(key), setting[key]));
    return object;
}

// The values of one key a list option allows, as the device takes them; every one when the
// option is not given.
QList<QByteArray> allowed(const Arguments &args, const QCommandLineOption &option, size_t key,
                          QStringList *errors)
{
    const protocol::Parameter &parameter = lineParameter(key);
    QList<QByteArray> values;
    if (!args.isSet(option)) {
        for (int i = 0; i < parameter.choices.count; ++i)
            values << parameter.choices.codes[i];
        return values;
    }
    for (const QString &word : args.value(option).split(QLatin1Char(','))) {
        const protocol::Checked checked =
            protocol::check(parameter, wireSpelling(parameter, word.trimmed()));
        if (checked.ok())
            values << checked.value;
        else
            errors->append(QStringLiteral("--%1: must be %2, not %3")
                               .arg(option.names().constLast(), checked.rule, word));
    }
    return values;
}

// The ids each --unit gives, in order and each once; the first ten without any.
QList<int> unitIds(const Arguments &args, QStringList *errors)
{
    QList<int> ids;
    for (const QString &text : args.values(option::unit)) {
        bool ok = false;
        const int id = text.toInt(&ok);
        if (!ok || id < modbus::firstUnit || id > modbus::lastUnit)
            errors->append(QStringLiteral("--unit: must be a whole number from %1 to %2, not %3")
                               .arg(modbus::firstUnit)
                               .arg(modbus::lastUnit)
                               .arg(text));
        else if (!ids.contains(id))
            ids << id;
    }
    if (ids.isEmpty())
        for (int id = modbus::firstUnit; id < modbus::firstUnit + firstIds; ++id)
            ids << id;
    std::sort(ids.begin(), ids.end());
    return ids;
}

struct Options
{
    QStringList ports;
    const Inventory *inventory = nullptr;
    Job job; // what each write shares
    QList<Setting> candidates;
    QList<int> ids;     // asked at each setting tried
    QList<int> scanIds; // asked once at the setting found, with --scan
    bool scan = false;
    CheckRequest request; // the converter's own address and TCP port unless given
    bool hostGiven = false;
    bool tcpPortGiven = false;
    bool restore = false;
    bool json = false;
    QList<QSerialPortInfo> systemPorts;
};

struct Try
{
    Setting setting;
    Result write;
    std::optional<bool> answered; // none when no question was asked to its end
};

// One converter's search as it goes, and what a signal reaches.
struct Search
{
    Search(const Options &options, const QString &port, const Console &console,
           const int &stopStatus)
        : options(options), port(port), console(console), stopStatus(stopStatus)
    {
    }

    const Options &options;
    const QString port;
    const Console &console;
    const int &stopStatus;     // 128 + the signal's number, once one came
    Run *run = nullptr;        // a write or read under way
    UnitScan *query = nullptr; // the units being asked
    bool ending = false;       // the converter is being put in its final state
    int status = Done;
    bool noConnection = false; // the converter took no Modbus TCP connection
    const Unit *row = nullptr; // its row of the sheet
    bool outside = false;      // no row of the sheet has its MAC: left alone
    QList<Setting> candidates;
    QList<Try> tries;
    std::optional<Setting> found;
    QList<UnitAnswer> slaves;       // what answered at the setting found, or in the scan of it
    CheckRequest asked;             // how they were asked
    std::optional<Values> original; // the converter's settings before the search, all keys
    Values known;                   // what it runs, as last read
    QString backup;                 // where the first write saved its settings
    bool restored = false;
    std::optional<Values> converter; // what it holds at the end, as read
    QString unknown;                 // why that is not known
    QJsonObject staged;              // keys that may still be staged in it at the end
};

// What the converter runs, from a read after the last restart that reached it; nothing when no
// read followed one, or the restart may have gone unseen.
std::optional<Values> running(const UnitRecord &record)
{
    if (record.after)
        return record.after;
    if (record.restarted || record.result == Result::Lost ||
        record.result == Result::RestartUnconfirmed || !record.readWhole())
        return std::nullopt;
    return record.before;
}

// After a write that ended without a read after its restart, or on a line that went away, the
// device may still be restarting.
bool mayBeRestarting(const UnitRecord &record)
{
    return (record.restarted && !record.after) || record.result == Result::Lost ||
           record.result == Result::RestartUnconfirmed;
}

// The parameter indices of the keys a write left staged.
QSet<int> stagedKeys(const UnitRecord &record)
{
    QSet<int> keys;
    for (const QString &key : record.keys({"may be staged"}).keys())
        keys << protocol::parameterIndex(key);
    return keys;
}

QString valueOf(const Values &values, const char *key)
{
    return QString::fromLatin1(*values[size_t(protocol::parameterIndex(QLatin1String(key)))]);
}

// The units asked through the converter at the address it holds, or the one given. What
// answered, or nothing when the question was cut short.
QCoro::Task<std::optional<QList<UnitAnswer>>> askUnits(Search &search, const QList<int> &ids)
{
    const Options &options = search.options;
    CheckRequest request = options.request;
    if (!options.hostGiven)
        request.host = valueOf(search.known, "ip");
    if (!options.tcpPortGiven)
        request.port = valueOf(search.known, "tcp_port").toUShort();
    search.asked = request;
    UnitScan query(request, ids);
    QObject::connect(&query, &UnitScan::unusable, [&](const QString &message) {
        search.console.error(search.port + QStringLiteral(": ") + message);
    });
    search.query = &query;
    query.start();
    co_await qCoro(&query, &UnitScan::done);
    search.query = nullptr;
    if (query.status() != Done) {
        search.status = query.status();
        search.noConnection = true;
        search.console.error(search.port + QStringLiteral(": ") + query.failure());
        co_return std::nullopt;
    }
    if (search.stopStatus)
        co_return std::nullopt;
    QStringList answered;
    for (const UnitAnswer &unit : query.answers())
        answered << QString::number(unit.unit);
    search.console.note(QStringLiteral("%1: %2: %3 through %4")
                            .arg(search.port, shown(settingOf(search.known)),
                                 answered.isEmpty()
                                     ? QStringLiteral("no unit answered")
                                     : QStringLiteral("unit %1 answered").arg(answered.join(", ")),
                                 query.where()));
    co_return query.answers();
}

// A write of the converter on the search's port: guarded by its MAC, and restoring from the
// first backup when it saves none of its own.
Job writeJob(const Search &search, const Values &wanted)
{
    Job job = search.options.job;
    job.wanted = wanted;
    job.wanted[0] = (*search.original)[0];
    job.backup = search.backup.isEmpty();
    job.restoreFrom = search.backup;
    return job;
}

// What a write showed the converter runs now, over what was known.
void learn(Search &search, const UnitRecord &record)
{
    const std::optional<Values> now = running(record);
    for (size_t i = 0; now && i < now->size(); ++i) {
        if ((*now)[i])
            search.known[i] = (*now)[i];
    }
}

// Each candidate in turn, each a write, until a unit answers, a write fails or a signal comes.
// A try reads the MAC, which guards it, and takes the rest from what the search read last; after
// the restart it reads back only what it changed.
QCoro::Task<UnitRecord> tryEach(Search &search, UnitRecord last)
{
    for (const Setting &setting : qAsConst(search.candidates)) {
        if (search.stopStatus || search.status != Done || search.found)
            break;
        search.console.step(QStringLiteral("%1: trying %2 (%3 of %4)")
                                .arg(search.port, shown(setting))
                                .arg(search.tries.size() + 1)
                                .arg(search.candidates.size()));
        Job job = writeJob(search, valuesOf(setting));
        job.assumed = search.known;
        job.assumed[0].reset();
        job.brief = true;
        job.awaitDevice = mayBeRestarting(last);
        last = co_await runOnOnePort(job, search.port, search.console, &search.run);
        if (search.backup.isEmpty())
            search.backup = last.backup;
        search.tries << Try{setting, last.result, {}};
        if (last.status != Done) {
            search.status = last.status;
            break;
        }
        learn(search, last);
        const std::optional<QList<UnitAnswer>> answered =
            co_await askUnits(search, search.options.ids);
        if (!answered)
            continue;
        search.tries.last().answered = !answered->isEmpty();
        if (!answered->isEmpty()) {
            search.found = settingOf(search.known);
            search.slaves = *answered;
        }
    }
    co_return last;
}

// The converter left in a state that was read back whole: the setting found, or its own when
// nothing answered, a signal came first, or --restore asks for it.
QCoro::Task<> endSearch(Search &search, UnitRecord last)
{
    const Options &options = search.options;
    search.ending = true;
    if (!search.found && !search.stopStatus && search.status == Done) {
        search.status = NoAnswer;
        search.console.error(
            QStringLiteral("%1: no unit answered at any of the %2 settings tried; check the unit "
                           "ids, the wiring (A, B and ground) and the termination")
                .arg(search.port)
                .arg(search.tries.size()));
    }
    // The converter's own setting goes back with every key the last try may have left staged,
    // sent although the device reports it already: a staged change hides behind the value the
    // device still runs. Another unit on the port is never written.
    const bool another = last.result == Result::AnotherUnit;
    std::optional<Values> whole;
    if (!another && (options.restore || !search.found)) {
        Job job = writeJob(search, valuesOf(settingOf(*search.original)));
        job.forceKeys = stagedKeys(last);
        job.awaitDevice = mayBeRestarting(last);
        search.console.step(QStringLiteral("%1: putting back %2")
                                .arg(search.port, shown(settingOf(*search.original))));
        last = co_await runOnOnePort(job, search.port, search.console, &search.run);
        search.restored = last.status == Done && stagedKeys(last).isEmpty();
        if (last.status != Done && search.status < 128)
            search.status = search.status == Done || search.status == NoAnswer
                                ? last.status
                                : std::max(search.status, last.status);
        whole = running(last);
    }
    search.staged = last.keys({"may be staged"});
    // The whole converter, as it now is: the same unit, or nothing said of the one that answers.
    if (!whole && !another) {
        Job job = options.job;
        job.command = Command::Read;
        job.awaitDevice = mayBeRestarting(last);
        const UnitRecord read =
            co_await runOnOnePort(job, search.port, search.console, &search.run);
        if (read.readWhole() && read.before[0] == search.original->at(0))
            whole = read.before;
        else if (read.readWhole())
            last.outcome = QStringLiteral("another unit answers: MAC %1")
                               .arg(QString::fromLatin1(*read.before[0]));
        else
            last.outcome = read.outcome;
    }
    search.converter = whole;
    if (!whole)
        search.unknown = last.outcome.isEmpty() ? QStringLiteral("it was not read") : last.outcome;
    // With --scan, every id of the line found, at the setting the converter now holds.
    if (options.scan && search.found && whole && settingOf(*whole) == *search.found &&
        !search.stopStatus) {
        search.known = *whole;
        search.console.step(QStringLiteral("%1: scanning the line").arg(search.port));
        const std::optional<QList<UnitAnswer>> answered =
            co_await askUnits(search, options.scanIds);
        if (answered)
            search.slaves = *answered;
    }
}

QJsonObject slavesJson(const Search &search)
{
    QJsonObject object = slavesJson(search.asked, search.slaves);
    const QJsonObject setting = toJson(*search.found);
    for (auto it = setting.begin(); it != setting.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// The search's own line in the log, once it read the converter whole: the setting found and the
// slaves that answered at it, or that none did.
void logSearch(const Search &search)
{
    if (!search.original || search.outside)
        return;
    const bool failed = search.status != Done && search.status != NoAnswer && !search.noConnection;
    if (failed && !search.stopStatus)
        return; // the write that failed is logged
    UnitRecord record;
    record.port = search.port;
    record.mode = search.options.job.mode;
    record.before = *search.original;
    record.after = search.converter;
    record.backup = search.backup;
    record.sheetRow = search.row;
    record.result = search.stopStatus ? Result::Interrupted
                    : search.found    ? Result::Found
                                      : Result::NotFound;
    record.status = search.stopStatus ? search.stopStatus : search.status;
    logUnit(record, search.options.job.name, search.options.systemPorts, search.console,
            {{"staged", search.staged},
             {"tries", int(search.tries.size())},
             {"slaves", search.found ? QJsonValue(slavesJson(search)) : QJsonValue()}});
}

QCoro::Task<> searchConverter(Search &search)
{
    const Options &options = search.options;
    // The converter as it is, whole; its MAC finds its row of the sheet.
    Job read = options.job;
    read.command = Command::Read;
    const UnitRecord first = co_await runOnOnePort(read, search.port, search.console, &search.run);
    if (!first.readWhole()) {
        search.status = first.status;
        search.unknown = first.outcome;
        co_return;
    }
    search.original = first.before;
    search.known = first.before;
    search.candidates = options.candidates;
    if (options.inventory) {
        search.row = options.inventory->find(*first.before[0]);
        if (!search.row) {
            search.outside = true;
            co_return;
        }
        // A row that names the setting has it tried first.
        const std::optional<Values> planned = search.row->values;
        if (std::all_of(std::begin(lineKeys), std::end(lineKeys), [&](const char *key) {
                return planned->at(size_t(protocol::parameterIndex(QLatin1String(key))));
            })) {
            const Setting setting = settingOf(*planned);
            search.candidates.removeAll(setting);
            search.candidates.prepend(setting);
        }
    }
    const UnitRecord last = co_await tryEach(search, first);
    co_await endSearch(search, last);
    logSearch(search);
}

QString restoreCommand(const Search &search)
{
    return QStringLiteral("tcprtu write --port %1 --force %2").arg(search.port, search.backup);
}

QString answeredText(const Search &search)
{
    QStringList ids;
    for (const UnitAnswer &unit : search.slaves)
        ids << QString::number(unit.unit);
    return ids.join(QStringLiteral(", "));
}

QJsonObject searchJson(const Search &search, const protocol::Mode &mode)
{
    QJsonArray tries;
    for (const Try &tried : search.tries) {
        QJsonObject object = toJson(tried.setting);
        object.insert("write", word(tried.write));
        object.insert("answered", tried.answered ? QJsonValue(*tried.answered) : QJsonValue());
        tries << object;
    }
    QJsonArray units;
    for (const UnitAnswer &unit : search.slaves)
        units << unit.unit;
    return {
        {"found", search.found ? QJsonValue(toJson(*search.found)) : QJsonValue()},
        {"units", units},
        {"tries", tries},
        {"converter",
         search.converter ? QJsonValue(toJson(mode, *search.converter)) : QJsonValue()},
    };
}

// One converter's search, as the tries it made and how it left the converter.
void printOne(const Search &search, const protocol::Mode &mode, const Console &console)
{
    if (search.options.json)
        return console.result(
            QString::fromUtf8(QJsonDocument(searchJson(search, mode)).toJson()).trimmed());
    if (!search.tries.isEmpty()) {
        QList<QStringList> rows{{"speed", "parity", "stop_bits", "write", "answered"}};
        for (const Try &tried : search.tries) {
            QStringList row = shown(tried.setting).split(QLatin1Char(' '));
            row << word(tried.write)
                << (!tried.answered                                    ? QStringLiteral("-")
                    : *tried.answered && tried.setting == search.found ? answeredText(search)
                                                                       : QStringLiteral("none"));
            rows << row;
        }
        console.result(table(rows));
    }
    console.result(search.found ? QStringLiteral("found: %1; unit %2 answered")
                                      .arg(shown(*search.found), answeredText(search))
                                : QStringLiteral("found: none"));
    if (!search.converter)
        console.result(
            QStringLiteral("converter: what it holds is not known: %1").arg(search.unknown));
    else
        console.result(QStringLiteral("converter: holds %1, as read back%2")
                           .arg(shown(settingOf(*search.converter)),
                                search.restored
                                    ? QStringLiteral(" (its settings before the search)")
                                    : QString()));
    if (!search.staged.isEmpty())
        console.result(QStringLiteral("converter: %1 may be staged and take effect at its next "
                                      "restart")
                           .arg(search.staged.keys().join(QStringLiteral(", "))));
    if (!search.restored && !search.backup.isEmpty())
        console.result(QStringLiteral("its settings before the search: %1; to put them back: "
                                      "%2")
                           .arg(search.backup, restoreCommand(search)));
}

// Several converters: one line each, and the rows of the sheet on no port.
void printAll(const std::vector<std::unique_ptr<Search>> &searches,
              const QList<const Unit *> &missing, const protocol::Mode &mode,
              const Console &console)
{
    if (searches.front()->options.json) {
        QJsonArray array;
        for (const auto &search : searches) {
            QJsonObject object = searchJson(*search, mode);
            object.insert("port", search->port);
            object.insert("mac", search->original
                                     ? QJsonValue(QString::fromLatin1(*search->original->at(0)))
                                     : QJsonValue());
            object.insert("result", search->outside ? word(Result::NotInInventory)
                                    : search->found ? word(Result::Found)
                                                    : word(Result::NotFound));
            object.insert("status", search->status);
            array << object;
        }
        for (const Unit *row : missing)
            array << notConnectedJson(*row);
        return console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
    }
    QList<QStringList> rows{{"port", "mac", "label", "tries", "found", "units", "converter"}};
    for (const auto &search : searches) {
        const QString held = search->outside ? QStringLiteral("not in inventory, left alone")
                             : search->converter
                                 ? shown(settingOf(*search->converter)) +
                                       (search->restored ? QStringLiteral(" (its own)") : QString())
                                 : QStringLiteral("not known");
        QStringList row{search->port,
                        search->original ? QString::fromLatin1(*search->original->at(0))
                                         : QString(),
                        search->row ? search->row->label : QString(),
                        QString::number(search->tries.size()),
                        search->found ? shown(*search->found) : QStringLiteral("none"),
                        answeredText(*search),
                        held};
        std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
        rows << row;
    }
    for (const Unit *row : missing)
        rows << QStringList{"-",
                            QString::fromLatin1(row->mac),
                            row->label.isEmpty() ? QStringLiteral("-") : row->label,
                            "-",
                            "-",
                            "-",
                            QStringLiteral("not connected (row %1)").arg(row->row)};
    console.result(table(rows));
    for (const auto &search : searches) {
        if (!search->staged.isEmpty())
            console.result(
                QStringLiteral("%1: %2 may be staged and take effect at its next "
                               "restart")
                    .arg(search->port, search->staged.keys().join(QStringLiteral(", "))));
        if (!search->restored && !search->backup.isEmpty())
            console.result(QStringLiteral("%1: its settings before the search: %2; to put them "
                                          "back: %3")
                               .arg(search->port, search->backup, restoreCommand(*search)));
    }
}

} // namespace

int runLine(const Arguments &args, const Console &console)
{
    Options options;
    QStringList errors;
    options.ports = args.values(option::port);
    errors << repeatedPorts(options.ports);
    const QString inventoryFile = args.value(option::inventory);
    if (options.ports.isEmpty() && inventoryFile.isEmpty())
        errors << QStringLiteral("--port: give a port, or --inventory");
    Job &job = options.job;
    job.command = Command::Write;
    job.name = QStringLiteral("line");
    job.mode = protocol::modeByKey(args.value(option::mode));
    if (job.mode != &protocol::modes[0])
        errors << QStringLiteral("--mode: must be %1, where the converter serves Modbus TCP")
                      .arg(protocol::modes[0].key);
    job.timeoutMs = args.number(option::timeout, job.timeoutMs, 1, 3'600'000, &errors);
    job.baud = args.number(option::baud, job.baud, 1, 10'000'000, &errors);

    const QCommandLineOption *const listOptions[] = {&option::speeds, &option::parities,
                                                     &option::stopBits};
    QList<QByteArray> allowedValues[std::size(lineKeys)];
    for (size_t key = 0; key < std::size(lineKeys); ++key)
        allowedValues[key] = allowed(args, *listOptions[key], key, &errors);
    for (const Setting &setting : allByUse()) {
        bool chosen = true;
        for (size_t key = 0; key < setting.size(); ++key)
            chosen = chosen && allowedValues[key].contains(setting[key]);
        if (chosen)
            options.candidates << setting;
    }

    options.ids = unitIds(args, &errors);
    options.scan = args.isSet(option::scan);
    options.scanIds =
        parseUnits(args.isSet(option::units)
                       ? args.value(option::units)
                       : QStringLiteral("%1-%2").arg(modbus::firstUnit).arg(modbus::lastUnit));
    if (options.scanIds.isEmpty())
        errors << QStringLiteral("--units: must be ids of 1-247 and ranges such as 10-20, "
                                 "separated by commas, not %1")
                      .arg(args.value(option::units));
    if (args.isSet(option::units) && !options.scan)
        errors << QStringLiteral("--units goes with --scan");
    readRegisters(args, &options.request, &errors);
    options.hostGiven = args.isSet(option::host);
    options.request.host = args.value(option::host);
    if (options.hostGiven && (options.ports.size() != 1 || !inventoryFile.isEmpty()))
        errors << QStringLiteral("--host: one converter only; without it, each is reached at the "
                                 "address it holds");
    options.tcpPortGiven = args.isSet(option::tcpPort);
    options.request.port =
        quint16(args.number(option::tcpPort, options.request.port, 1, 65535, &errors));
    options.request.timeoutMs = job.timeoutMs;
    options.restore = args.isSet(option::restore);
    if (options.restore && args.isSet(option::keep))
        errors << QStringLiteral("--keep and --restore: give one of them");
    options.json = args.isSet(option::json);
    errors << args.unexpected();
    std::optional<Inventory> inventory;
    if (!inventoryFile.isEmpty()) {
        inventory = readInventory(inventoryFile, args.value(option::encoding), &errors);
        for (const QString &warning : inventory ? inventory->warnings : QStringList())
            console.note(warning);
        // Every row in the mode that serves Modbus TCP.
        if (inventory && errors.isEmpty())
            errors << rowProblems(*inventory, job.mode, args.value(option::mode), {}, true);
        options.inventory = inventory ? &*inventory : nullptr;
    }
    if (!console.errors(errors))
        return BadInput;

    if (options.ports.isEmpty())
        options.ports = converterPorts(findConverters({}, job.baud, job.timeoutMs, console));
    options.systemPorts = QSerialPortInfo::availablePorts();
    int stopStatus = 0;
    std::vector<std::unique_ptr<Search>> searches;
    for (const QString &port : qAsConst(options.ports))
        searches.push_back(std::make_unique<Search>(options, port, console, stopStatus));
    Interrupts interrupts;
    QObject::connect(&interrupts, &Interrupts::interrupted, [&](int status) {
        if (stopStatus) {
            console.error(QStringLiteral("interrupted again, at once"));
            for (const auto &search : searches) {
                if (!search->backup.isEmpty() && !search->restored)
                    console.error(QStringLiteral("%1: the converter may hold a setting of the "
                                                 "search; to put its own settings back: %2")
                                      .arg(search->port, restoreCommand(*search)));
                if (search->run)
                    search->run->abandon(status);
            }
            std::_Exit(status);
        }
        stopStatus = status;
        console.note(QStringLiteral("interrupted: ending the tries under way, then putting back "
                                    "the converters' own settings where none was found yet%1; "
                                    "again ends at once")
                         .arg(options.restore ? QStringLiteral(" (with --restore, everywhere)")
                                              : QString()));
        for (const auto &search : searches) {
            if (search->ending)
                continue;
            if (search->run)
                search->run->stop(status);
            if (search->query)
                search->query->stop();
        }
    });
    int running = int(searches.size());
    const auto searchAndCount = [&](Search &search) -> QCoro::Task<> {
        co_await searchConverter(search);
        if (--running == 0)
            QCoreApplication::quit();
    };
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            for (const auto &search : searches)
                searchAndCount(*search);
        },
        Qt::QueuedConnection);
    if (running > 0)
        QCoreApplication::exec();

    QList<const Unit *> missing;
    for (int i = 0; inventory && i < inventory->units.size(); ++i) {
        const Unit &row = inventory->units.at(i);
        if (std::none_of(searches.begin(), searches.end(), [&](const auto &search) {
                return search->original && search->original->at(0) == row.mac;
            }))
            missing << &row;
    }
    int status = searches.empty() ? NoAnswer : Done;
    for (const auto &search : searches) {
        status = std::max(status, search->status);
        if (!search->original && !search->unknown.isEmpty() && searches.size() > 1)
            console.error(search->port + QStringLiteral(": ") + search->unknown);
    }
    if (searches.size() == 1 && !inventory)
        printOne(*searches.front(), *job.mode, console);
    else if (!searches.empty() || !missing.isEmpty())
        printAll(searches, missing, *job.mode, console);
    if (stopStatus)
        status = stopStatus;
    return console.resultsWritten() ? status : std::max(status, int(OutputFailed));
}
