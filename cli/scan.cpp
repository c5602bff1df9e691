#include "scan.h"
#include "options.h"

#include "interrupts.h"
#include "inventory.h"
#include "log.h"
#include "modbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// Two in flight keep the converter's queue full: one on the RS-485 line, the next waiting behind
// it, so the line never idles for a network round trip. More would only wait in the queue, and
// a converter may hold no more than a few.
constexpr int inFlight = 2;

QString valueList(const QVector<quint16> &values)
{
    QStringList texts;
    for (const quint16 value : values)
        texts << QString::number(value);
    return texts.join(QLatin1Char(' '));
}

void printFound(const QList<UnitAnswer> &found, bool json, const Console &console)
{
    if (json) {
        QJsonArray array;
        for (const UnitAnswer &unit : found) {
            QJsonObject object{{"unit", unit.unit}};
            QJsonArray values;
            for (const quint16 value : unit.values)
                values << value;
            if (unit.exception)
                object.insert("exception", unit.exception);
            else
                object.insert("values", values);
            array << object;
        }
        console.result(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
        return;
    }
    if (found.isEmpty())
        return;
    QList<QStringList> rows{{"unit", "answer"}};
    for (const UnitAnswer &unit : found)
        rows << QStringList{QString::number(unit.unit), unit.exception
                                                            ? exceptionText(unit.exception)
                                                            : valueList(unit.values)};
    console.result(table(rows));
}

} // namespace

QList<int> parseUnits(const QString &text)
{
    QVector<bool> chosen(modbus::lastUnit + 1);
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool firstOk = false;
        bool lastOk = true;
        const int first = ends.first().toInt(&firstOk);
        const int last = ends.size() == 2 ? ends.last().toInt(&lastOk) : first;
        if (ends.size() > 2 || !firstOk || !lastOk || first < modbus::firstUnit ||
            last > modbus::lastUnit || first > last)
            return {};
        std::fill(chosen.begin() + first, chosen.begin() + last + 1, true);
    }
    QList<int> units;
    for (int unit = modbus::firstUnit; unit <= modbus::lastUnit; ++unit) {
        if (chosen[unit])
            units << unit;
    }
    return units;
}

UnitScan::UnitScan(const CheckRequest &request, QList<int> units, QObject *parent)
    : QObject(parent), m_request(request), m_units(std::move(units)),
      m_pdu(readRequest(request.input, request.address, request.count)),
      m_client(request.host, request.port, request.timeoutMs)
{
    connect(&m_client, &ModbusTcp::connected, this, &UnitScan::sendMore);
    connect(&m_client, &ModbusTcp::failed, this, [this](int status, const QString &why) {
        m_status = status;
        m_failure = why;
        end();
    });
    connect(&m_client, &ModbusTcp::answered, this, &UnitScan::take);
}

void UnitScan::start()
{
    QMetaObject::invokeMethod(&m_client, &ModbusTcp::open, Qt::QueuedConnection);
}

void UnitScan::stop()
{
    end();
}

void UnitScan::sendMore()
{
    while (m_client.inFlight() < inFlight && m_next < m_units.size()) {
        m_unitOf.insert(m_client.send(m_units[m_next], m_pdu), m_units[m_next]);
        ++m_next;
    }
    if (m_client.inFlight() == 0)
        end();
}

void UnitScan::take(int id, const ModbusAnswer &answer)
{
    const int unit = m_unitOf.take(id);
    ++m_settled;
    if (answer.kind == ModbusAnswer::Data)
        m_answers << UnitAnswer{unit, answer.values, 0};
    else if (answer.kind == ModbusAnswer::Exception && !modbus::fromGateway(answer.exception))
        m_answers << UnitAnswer{unit, {}, answer.exception};
    if (answer.kind == ModbusAnswer::Unusable) {
        QString message;
        modbusFault(answer, unit, where(), m_request.timeoutMs, &message);
        emit unusable(message);
    }
    emit progress();
    sendMore();
}

void UnitScan::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_client.close();
    // A converter may answer out of turn.
    std::sort(m_answers.begin(), m_answers.end(),
              [](const UnitAnswer &a, const UnitAnswer &b) { return a.unit < b.unit; });
    QMetaObject::invokeMethod(
        this, [this] { emit done(); }, Qt::QueuedConnection);
}

QJsonObject slavesJson(const CheckRequest &asked, const QList<UnitAnswer> &answers)
{
    QJsonArray units;
    for (const UnitAnswer &unit : answers) {
        QJsonObject object{{"unit", unit.unit}};
        if (unit.exception) {
            object.insert("exception", unit.exception);
        } else {
            QJsonArray values;
            for (const quint16 value : unit.values)
                values << value;
            object.insert("values", values);
        }
        units << object;
    }
    return {{"host", asked.host},   {"tcp_port", asked.port}, {"address", asked.address},
            {"count", asked.count}, {"input", asked.input},   {"units", units}};
}

namespace {

// One converter of the sheet, scanned where its row plans it, or where the log last saw it.
struct SiteUnit
{
    const Unit *row;
    CheckRequest request;
    std::unique_ptr<UnitScan> scan;
};

// The address and TCP port a converter holds, as the log last read it: after a write, or as an
// audit or a search found it.
QJsonObject loggedSettings(const QList<QJsonObject> &log, const QByteArray &mac)
{
    QJsonObject held;
    for (const QJsonObject &entry : log) {
        if (entry.value("mac").toString().toLatin1() != mac)
            continue;
        const QJsonObject read = entry.value("after").isObject() ? entry.value("after").toObject()
                                                                 : entry.value("before").toObject();
        for (auto it = read.begin(); it != read.end(); ++it)
            held.insert(it.key(), it.value());
    }
    return held;
}

// scan --inventory: every converter of the sheet at once, each logged with what answered.
int scanSite(const Arguments &args, const QList<int> &units, CheckRequest request,
             QStringList errors, const Console &console)
{
    const std::optional<Inventory> sheet =
        readInventory(args.value(option::inventory), args.value(option::encoding), &errors);
    if (args.isSet(option::host))
        errors << QStringLiteral("--host and --inventory: give one of them");
    request.timeoutMs = args.number(option::timeout, request.timeoutMs, 10, 3'600'000, &errors);
    const bool tcpPortGiven = args.isSet(option::tcpPort);
    const quint16 tcpPort = quint16(args.number(option::tcpPort, 502, 1, 65535, &errors));
    errors << args.unexpected();
    if (!console.errors(errors))
        return BadInput;
    for (const QString &warning : sheet->warnings)
        console.note(warning);

    const QList<QJsonObject> log = readLog(std::nullopt);
    const int ip = protocol::parameterIndex(QStringLiteral("ip"));
    const int port = protocol::parameterIndex(QStringLiteral("tcp_port"));
    std::vector<SiteUnit> site;
    for (const Unit &row : sheet->units) {
        const QJsonObject held = loggedSettings(log, row.mac);
        CheckRequest asked = request;
        asked.host = row.values[size_t(ip)] ? QString::fromLatin1(*row.values[size_t(ip)])
                                            : held.value("ip").toString();
        asked.port = tcpPortGiven                ? tcpPort
                     : row.values[size_t(port)]  ? quint16(row.values[size_t(port)]->toUInt())
                     : held.contains("tcp_port") ? quint16(held.value("tcp_port").toInt())
                                                 : tcpPort;
        if (asked.host.isEmpty()) {
            console.note(QStringLiteral("warning: %1: row %2: no ip planned, nor one logged for "
                                        "MAC %3; passed over")
                             .arg(sheet->path)
                             .arg(row.row)
                             .arg(QString::fromLatin1(row.mac)));
            continue;
        }
        site.push_back({&row, asked, std::make_unique<UnitScan>(asked, units)});
    }

    Interrupts interrupts;
    int interrupted = 0;
    int running = int(site.size());
    for (SiteUnit &unit : site) {
        UnitScan &scan = *unit.scan;
        QObject::connect(&scan, &UnitScan::unusable,
                         [&console](const QString &message) { console.error(message); });
        QObject::connect(&scan, &UnitScan::done, [&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
        scan.start();
    }
    QObject::connect(&interrupts, &Interrupts::interrupted, [&](int status) {
        if (interrupted == 0)
            interrupted = status;
        for (SiteUnit &unit : site)
            unit.scan->stop();
    });
    if (running > 0)
        QCoreApplication::exec();

    int status = Done;
    QJsonArray array;
    QList<QStringList> rows{{"mac", "label", "through", "unit", "answer"}};
    for (const SiteUnit &unit : site) {
        const UnitScan &scan = *unit.scan;
        const bool found = !scan.answers().isEmpty();
        const int unitStatus = interrupted             ? interrupted
                               : scan.status() != Done ? scan.status()
                               : found                 ? Done
                                                       : NoAnswer;
        status = std::max(status, unitStatus);
        const Result result = interrupted ? Result::Interrupted
                              : found     ? Result::Found
                                          : Result::NotFound;
        if (scan.status() != Done)
            console.error(scan.failure());
        const QJsonObject slaves = slavesJson(unit.request, scan.answers());
        QJsonObject object{{"mac", QString::fromLatin1(unit.row->mac)},
                           {"label", unit.row->label},
                           {"result", word(result)},
                           {"status", unitStatus},
                           {"host", unit.request.host},
                           {"tcp_port", unit.request.port},
                           {"units", slaves.value("units")}};
        array << object;
        // What was asked to its end is logged; a scan cut short says nothing of the rest.
        if (!interrupted)
            appendLog(
                QJsonObject{{"command", "scan"},
                            {"port", QJsonValue()},
                            {"serial_number", QJsonValue()},
                            {"mac", QString::fromLatin1(unit.row->mac)},
                            {"mode", protocol::modes[0].key},
                            {"result", word(result)},
                            {"status", unitStatus},
                            {"wanted", QJsonObject()},
                            {"before", QJsonValue()},
                            {"after", QJsonValue()},
                            {"sent", QJsonObject()},
                            {"staged", QJsonObject()},
                            {"put_back", QJsonObject()},
                            {"restarted", false},
                            {"check", QJsonValue()},
                            {"backup", QJsonValue()},
                            {"slaves", scan.status() == Done ? QJsonValue(slaves) : QJsonValue()},
                            {"label", unit.row->label},
                            {"notes", unit.row->notes}},
                console);
        const QString through = scan.where();
        if (!found)
            rows << QStringList{QString::fromLatin1(unit.row->mac), unit.row->label, through, "-",
                                scan.status() != Done ? QStringLiteral("no connection")
                                                      : QStringLiteral("none")};
        for (const UnitAnswer &answer : scan.answers())
            rows << QStringList{QString::fromLatin1(unit.row->mac), unit.row->label, through,
                                QString::number(answer.unit),
                                answer.exception ? exceptionText(answer.exception)
                                                 : valueList(answer.values)};
    }
    for (QStringList &row : rows)
        std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
    if (interrupted)
        console.error(QStringLiteral("interrupted; each converter's units that answered so far"));
    if (args.isSet(option::json))
        console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
    else if (!site.empty())
        console.result(table(rows));
    return console.resultsWritten() ? status : std::max(status, int(OutputFailed));
}

} // namespace

int runScan(const Arguments &args, const Console &console)
{
    CheckRequest request;
    QStringList errors;
    QList<int> units =
        parseUnits(QStringLiteral("%1-%2").arg(modbus::firstUnit).arg(modbus::lastUnit));
    if (args.isSet(option::units)) {
        units = parseUnits(args.value(option::units));
        if (units.isEmpty())
            errors << QStringLiteral("--units: must be ids of 1-247 and ranges such as 10-20, "
                                     "separated by commas, not %1")
                          .arg(args.value(option::units));
    }
    readRegisters(args, &request, &errors);
    if (args.isSet(option::inventory))
        return scanSite(args, units, request, errors, console);
    if (!readConnection(args, &request, &errors, console))
        return BadInput;

    UnitScan scan(request, units);
    Interrupts interrupts;
    int interrupted = 0; // the exit status of the signal that stopped the scan
    QElapsedTimer clock;
    QObject::connect(&scan, &UnitScan::done, &QCoreApplication::quit);
    QObject::connect(&scan, &UnitScan::unusable, [&](const QString &message) {
        console.live({});
        console.error(message);
    });
    QObject::connect(&scan, &UnitScan::progress, [&] {
        const qint64 left = clock.elapsed() * (scan.total() - scan.settled()) / scan.settled();
        console.live(QStringLiteral("scan: %1 of %2 unit ids, %3 answered, about %4 s left")
                         .arg(scan.settled())
                         .arg(scan.total())
                         .arg(scan.answers().size())
                         .arg(std::ceil(left / 1000.0)));
    });
    QObject::connect(&interrupts, &Interrupts::interrupted, [&](int status) {
        if (interrupted == 0)
            interrupted = status;
        scan.stop();
    });
    clock.start();
    scan.start();
    QCoreApplication::exec();
    console.live({});

    const QList<UnitAnswer> &found = scan.answers();
    if (scan.status() != Done) {
        console.error(scan.failure());
        if (scan.settled() == 0)
            return scan.status();
    }
    if (interrupted)
        console.error(QStringLiteral("interrupted after %1 of %2 unit ids; %3 answered")
                          .arg(scan.settled())
                          .arg(scan.total())
                          .arg(found.size()));
    printFound(found, args.isSet(option::json), console);
    if (interrupted)
        return interrupted;
    if (scan.status() != Done)
        return scan.status();
    if (found.isEmpty()) {
        console.error(QStringLiteral("none of the %1 unit ids answered through %2; compare the "
                                     "converter's RS-485 speed, parity and stop bits with the "
                                     "slaves'")
                          .arg(scan.total())
                          .arg(scan.where()));
        return NoAnswer;
    }
    console.note(QStringLiteral("%1 of %2 unit ids answered through %3 in %4 s")
                     .arg(found.size())
                     .arg(scan.total())
                     .arg(scan.where())
                     .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    return Done;
}
