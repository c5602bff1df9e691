#include "line.h"
#include "options.h"

#include "check.h"
#include "interrupts.h"
#include "link.h"
#include "modbus.h"
#include "modbustcp.h"
#include "procedure.h"
#include "status.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

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

// As scan keeps it: one request on the RS-485 line and the next waiting in the converter's queue.
constexpr int inFlight = 2;

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
    QString port;
    Job job; // what each write shares
    QList<Setting> candidates;
    QList<int> ids;
    CheckRequest request; // the converter's own address and TCP port unless given
    bool hostGiven = false;
    bool tcpPortGiven = false;
    bool restore = false;
    bool json = false;
};

// Asks each unit id for the same registers through the converter, two requests queued at once,
// and gathers the ids that answer: with registers, or with an exception of their own. done()
// comes once, after the last answer, a failed connection or stop(), never from within start().
class UnitQuery : public QObject
{
    Q_OBJECT

public:
    UnitQuery(const CheckRequest &request, const QList<int> &ids, const Console &console)
        : m_request(request), m_ids(ids), m_console(console),
          m_client(request.host, request.port, request.timeoutMs)
    {
        connect(&m_client, &ModbusTcp::connected, this, &UnitQuery::sendMore);
        connect(&m_client, &ModbusTcp::failed, this, [this](int status, const QString &why) {
            this->status = status;
            failure = why;
            end();
        });
        connect(&m_client, &ModbusTcp::answered, this, &UnitQuery::take);
    }

    void start() { QMetaObject::invokeMethod(&m_client, &ModbusTcp::open, Qt::QueuedConnection); }
    void stop() { end(); }

    QString where() const { return m_client.where(); }

    QList<int> answered;
    int status = Done; // of the connection: PortFailed or NoAnswer when it failed
    QString failure;

signals:
    void done();

private:
    void sendMore()
    {
        while (m_client.inFlight() < inFlight && m_next < m_ids.size()) {
            m_idOf.insert(m_client.send(m_ids[m_next], m_pdu), m_ids[m_next]);
            ++m_next;
        }
        if (m_client.inFlight() == 0)
            end();
    }

    void take(int request, const ModbusAnswer &answer)
    {
        const int id = m_idOf.take(request);
        if (answer.kind == ModbusAnswer::Data ||
            (answer.kind == ModbusAnswer::Exception && !modbus::fromGateway(answer.exception)))
            answered << id;
        if (answer.kind == ModbusAnswer::Unusable) {
            QString message;
            modbusFault(answer, id, where(), m_request.timeoutMs, &message);
            m_console.error(message);
        }
        sendMore();
    }

    void end()
    {
        if (m_ended)
            return;
        m_ended = true;
        m_client.close();
        std::sort(answered.begin(), answered.end());
        emit done();
    }

    const CheckRequest m_request;
    const QList<int> m_ids;
    const Console &m_console;
    const QByteArray m_pdu = readRequest(m_request.input, m_request.address, m_request.count);
    ModbusTcp m_client;
    QHash<int, int> m_idOf; // by the request's transaction id
    int m_next = 0;
    bool m_ended = false;
};

struct Try
{
    Setting setting;
    Result write;
    std::optional<bool> answered; // none when no question was asked to its end
};

// The search as it goes, and what a signal reaches.
struct Search
{
    Search(const Options &options, const Console &console) : options(options), console(console) {}

    const Options &options;
    const Console &console;
    Run *run = nullptr;         // a write or read under way
    UnitQuery *query = nullptr; // the units being asked
    int stopStatus = 0;         // 128 + the signal's number
    bool ending = false;        // the converter is being put in its final state
    int status = Done;
    QList<Try> tries;
    std::optional<Setting> found;
    QList<int> units;
    std::optional<Values> original; // the converter's settings before the first write, all keys
    QString backup;                 // where the first write saved them
    bool restored = false;
    std::optional<Values> converter; // what it holds at the end, as read
    QString unknown;                 // why that is not known
    QStringList staged;              // keys that may still be staged in it at the end
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

QCoro::Task<> ask(Search &search, const Values &address, const Setting &setting)
{
    const Options &options = search.options;
    CheckRequest request = options.request;
    if (!options.hostGiven)
        request.host = valueOf(address, "ip");
    if (!options.tcpPortGiven)
        request.port = valueOf(address, "tcp_port").toUShort();
    UnitQuery query(request, options.ids, search.console);
    search.query = &query;
    query.start();
    co_await qCoro(&query, &UnitQuery::done);
    search.query = nullptr;
    if (query.status != Done) {
        search.status = query.status;
        co_return search.console.error(query.failure);
    }
    if (search.stopStatus)
        co_return;
    Try &tried = search.tries.last();
    tried.answered = !query.answered.isEmpty();
    QStringList ids;
    for (const int id : qAsConst(query.answered))
        ids << QString::number(id);
    search.console.note(QStringLiteral("%1: %2 through %3")
                            .arg(shown(setting),
                                 ids.isEmpty()
                                     ? QStringLiteral("no unit answered")
                                     : QStringLiteral("unit %1 answered").arg(ids.join(", ")),
                                 query.where()));
    if (*tried.answered) {
        search.found = setting;
        search.units = query.answered;
    }
}

// A write of the converter on the search's port: guarded by its MAC once that is known, and
// restoring from the first backup when it saves none of its own.
Job writeJob(const Search &search, const Values &wanted)
{
    Job job = search.options.job;
    job.wanted = wanted;
    if (search.original)
        job.wanted[0] = (*search.original)[0];
    job.backup = search.backup.isEmpty();
    job.restoreFrom = search.backup;
    return job;
}

// Each candidate in turn, each a whole write, until a unit answers, a write fails or a signal
// comes; then the converter is left in a state that was read back: the setting found, or its
// own when nothing answered, a signal came first, or --restore asks for it.
QCoro::Task<> searchLine(Search &search)
{
    const Options &options = search.options;
    UnitRecord last;
    for (const Setting &setting : options.candidates) {
        if (search.stopStatus || search.status != Done || search.found)
            break;
        search.console.step(QStringLiteral("trying %1 (%2 of %3)")
                                .arg(shown(setting))
                                .arg(search.tries.size() + 1)
                                .arg(options.candidates.size()));
        // After the first, a try reads and reads back only the MAC and the keys it writes; the
        // whole converter is read before the search and after it.
        Job job = writeJob(search, valuesOf(setting));
        job.brief = search.original.has_value();
        job.awaitDevice = mayBeRestarting(last);
        last = co_await runOnOnePort(job, options.port, search.console, &search.run);
        if (!search.original && last.readWhole())
            search.original = last.before;
        if (search.backup.isEmpty())
            search.backup = last.backup;
        search.tries << Try{setting, last.result, {}};
        if (last.status != Done) {
            search.status = last.status;
            break;
        }
        const std::optional<Values> now = running(last);
        if (now && !search.stopStatus)
            co_await ask(search, *search.original, settingOf(*now));
    }

    search.ending = true;
    if (!search.found && !search.stopStatus && search.status == Done) {
        search.status = NoAnswer;
        search.console.error(
            QStringLiteral("no unit answered at any of the %1 settings tried; check the unit "
                           "ids, the wiring (A, B and ground) and the termination")
                .arg(search.tries.size()));
    }
    // Nothing found leaves nothing to keep. The converter's own setting goes back with every
    // key the last try may have left staged, sent although the device reports it already: a
    // staged change hides behind the value the device still runs.
    const bool another = last.result == Result::AnotherUnit;
    if (search.original && !another && (options.restore || !search.found)) {
        Job job = writeJob(search, valuesOf(settingOf(*search.original)));
        job.forceKeys = stagedKeys(last);
        job.awaitDevice = mayBeRestarting(last);
        search.console.step(
            QStringLiteral("putting back %1").arg(shown(settingOf(*search.original))));
        last = co_await runOnOnePort(job, options.port, search.console, &search.run);
        search.restored = last.status == Done && stagedKeys(last).isEmpty();
        if (last.status != Done && search.status < 128)
            search.status = search.status == Done || search.status == NoAnswer
                                ? last.status
                                : std::max(search.status, last.status);
    }
    search.staged = last.keys({"may be staged"}).keys();
    // The whole converter, as it now is: the same unit, or nothing said of the one that answers.
    search.converter = last.brief ? std::nullopt : running(last);
    if (!search.converter && last.before[0] && !another) {
        Job job = search.options.job;
        job.command = Command::Read;
        job.awaitDevice = mayBeRestarting(last);
        const UnitRecord read =
            co_await runOnOnePort(job, options.port, search.console, &search.run);
        if (read.readWhole() && read.before[0] == last.before[0])
            search.converter = read.before;
        else if (read.readWhole())
            last.outcome = QStringLiteral("another unit answers: MAC %1")
                               .arg(QString::fromLatin1(*read.before[0]));
        else
            last.outcome = read.outcome;
    }
    if (!search.converter)
        search.unknown = last.outcome.isEmpty() ? QStringLiteral("it was not read") : last.outcome;
}

QCoro::Task<> searchAndQuit(Search &search)
{
    co_await searchLine(search);
    QCoreApplication::quit();
}

QString restoreCommand(const Search &search)
{
    return QStringLiteral("tcprtu write --port %1 --force %2")
        .arg(search.options.port, search.backup);
}

void print(const Search &search, const protocol::Mode &mode, const Console &console)
{
    QStringList ids;
    for (const int id : search.units)
        ids << QString::number(id);
    if (search.options.json) {
        QJsonArray tries;
        for (const Try &tried : search.tries) {
            QJsonObject object = toJson(tried.setting);
            object.insert("write", word(tried.write));
            object.insert("answered", tried.answered ? QJsonValue(*tried.answered) : QJsonValue());
            tries << object;
        }
        QJsonArray units;
        for (const int id : search.units)
            units << id;
        const QJsonObject object{
            {"found", search.found ? QJsonValue(toJson(*search.found)) : QJsonValue()},
            {"units", units},
            {"tries", tries},
            {"converter",
             search.converter ? QJsonValue(toJson(mode, *search.converter)) : QJsonValue()},
        };
        return console.result(QString::fromUtf8(QJsonDocument(object).toJson()).trimmed());
    }
    if (!search.tries.isEmpty()) {
        QList<QStringList> rows{{"speed", "parity", "stop_bits", "write", "answered"}};
        for (const Try &tried : search.tries) {
            QStringList row = shown(tried.setting).split(QLatin1Char(' '));
            row << word(tried.write)
                << (!tried.answered                                    ? QStringLiteral("-")
                    : *tried.answered && tried.setting == search.found ? ids.join(QLatin1Char(' '))
                                                                       : QStringLiteral("none"));
            rows << row;
        }
        console.result(table(rows));
    }
    console.result(search.found ? QStringLiteral("found: %1; unit %2 answered")
                                      .arg(shown(*search.found), ids.join(QStringLiteral(", ")))
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
                           .arg(search.staged.join(QStringLiteral(", "))));
    if (!search.restored && !search.backup.isEmpty())
        console.result(QStringLiteral("its settings before the search: %1; to put them back: "
                                      "%2")
                           .arg(search.backup, restoreCommand(search)));
}

} // namespace

const char lineExitStatuses[] =
    "Exit status:\n"
    "  0  a unit answered at one of the settings\n"
    "  2  bad command line: nothing was sent\n"
    "  3  the port failed or was lost, or no TCP connection to the converter\n"
    "  4  no unit answered at any setting tried; or the device did not answer, or did\n"
    "     not come back after a restart\n"
    "  5  the device refused a setting; what it had accepted was put back\n"
    "  6  read back after a restart, the device differs from what it was sent\n"
    "  7  the results could not be written to standard output\n"
    "  129, 130, 143  ended by SIGHUP, Ctrl-C or SIGTERM; the converter was read\n"
    "     back, and with --restore given its own settings again\n";

int runLine(const Arguments &args, const Console &console)
{
    Options options;
    QStringList errors;
    const QStringList ports = args.values(option::port);
    if (ports.size() != 1)
        errors << QStringLiteral("--port: give one port");
    else
        options.port = ports.first();
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
    readRegisters(args, &options.request, &errors);
    options.hostGiven = args.isSet(option::host);
    options.request.host = args.value(option::host);
    options.tcpPortGiven = args.isSet(option::tcpPort);
    options.request.port =
        quint16(args.number(option::tcpPort, options.request.port, 1, 65535, &errors));
    options.request.timeoutMs = job.timeoutMs;
    options.restore = args.isSet(option::restore);
    if (options.restore && args.isSet(option::keep))
        errors << QStringLiteral("--keep and --restore: give one of them");
    options.json = args.isSet(option::json);
    errors << args.unexpected();
    if (!console.errors(errors))
        return BadInput;

    Search search(options, console);
    Interrupts interrupts;
    QObject::connect(&interrupts, &Interrupts::interrupted, [&](int status) {
        if (search.stopStatus) {
            console.error(
                search.backup.isEmpty() || search.restored
                    ? QStringLiteral("interrupted again, at once")
                    : QStringLiteral("interrupted again, at once: the converter may hold a "
                                     "setting of the search; to put its own settings back: %1")
                          .arg(restoreCommand(search)));
            if (search.run)
                search.run->abandon(status);
            std::_Exit(status);
        }
        search.stopStatus = status;
        if (search.ending)
            return console.note(QStringLiteral("interrupted: the converter is put in its final "
                                               "state first; again ends at once"));
        console.note(options.restore || !search.found
                         ? QStringLiteral("interrupted: ending the try under way, then putting "
                                          "back the converter's settings; again ends at once")
                         : QStringLiteral("interrupted: ending the try under way; again ends "
                                          "at once"));
        if (search.run)
            search.run->stop(status);
        if (search.query)
            search.query->stop();
    });
    QMetaObject::invokeMethod(
        qApp, [&search] { searchAndQuit(search); }, Qt::QueuedConnection);
    QCoreApplication::exec();

    print(search, *job.mode, console);
    const int status = search.stopStatus ? search.stopStatus : search.status;
    return console.resultsWritten() ? status : std::max(status, int(OutputFailed));
}

#include "line.moc"
