#include "report.h"
#include "options.h"

#include "check.h"
#include "inventory.h"
#include "log.h"
#include "profile.h"
#include "status.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <algorithm>

namespace {

QLatin1String wordOf(Result result)
{
    return QLatin1String(word(result));
}

// Results that prove what the unit holds: read back after a write, read and found as planned, or
// the setting a search of the line left it with, read back whole.
bool verifies(const QJsonObject &entry)
{
    const QString result = entry.value("result").toString();
    return result == wordOf(Result::Verified) || result == wordOf(Result::Unchanged) ||
           result == wordOf(Result::Matches) ||
           (result == wordOf(Result::Found) && entry.value("after").isObject());
}

// Worst first: these stand out at the top of the report.
enum class State
{
    Staged,
    Failed,
    Unverified,
    NotLogged,
    Verified,
};

const char *const stateWords[] = {"staged", "failed", "not verified", "not logged", "verified"};
const char *const stateMeanings[] = {
    "the device accepted changes it runs only after its next restart; the keys are named",
    "the last run on the unit failed: what it was read back holding and what was refused are shown",
    "the last run on the unit ended without reading it back",
    "the sheet names the unit; nothing was logged of it",
    "read back holding what was planned",
};

// The keys a change of which leaves the slaves found behind a converter unproven.
const char *const pathKeys[] = {"ip", "tcp_port", "speed", "parity", "stop_bits"};

struct UnitState
{
    QByteArray mac;
    QString label;
    QJsonObject notes;
    QJsonObject last;     // the latest entry of a command that reads the unit's settings
    QJsonObject settings; // as last verified, without the MAC
    QString verifiedAt;
    QJsonObject check; // the latest Modbus check
    QString checkAt;
    QJsonObject commissioned; // the latest entry that sent changes
    QJsonObject staged;       // keys the device may run after its next restart
    bool restartedSinceStaged = false;
    QJsonObject slaves; // the ids that answered behind it, from line or scan
    QString slavesAt;
    QString slavesBy;        // the command that found them
    QStringList slavesStale; // keys changed since they answered
    bool lastProofSlaves = false;
    int writes = 0;
    State state = State::NotLogged;

    bool modbusProven() const
    {
        if (lastProofSlaves)
            return slavesStale.isEmpty() && !slaves.value("units").toArray().isEmpty();
        return !check.isEmpty() && check.value("status").toInt() == Done;
    }
};

QString offsetText(int seconds)
{
    const int minutes = std::abs(seconds) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// Local time with its offset, for people on site; the JSON keeps UTC. The page names its own
// offset once and a time only where it differs (a time from the other side of a change of
// daylight saving time).
QString timeText(const QString &iso, std::optional<int> pageOffset = std::nullopt)
{
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!time.isValid())
        return iso;
    const QDateTime local = time.toLocalTime();
    const QString text = local.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return pageOffset == local.offsetFromUtc()
               ? text
               : text + QLatin1Char(' ') + offsetText(local.offsetFromUtc());
}

QString text(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() ? QString() : value.toVariant().toString();
}

QString keysText(const QJsonObject &keys, const QString &separator = QStringLiteral(", "))
{
    QStringList parts;
    for (auto it = keys.begin(); it != keys.end(); ++it)
        parts << QStringLiteral("%1=%2").arg(it.key(), text(it.value()));
    return parts.join(separator);
}

QString checkRequest(const QJsonObject &check)
{
    return QStringLiteral("slave %1 via %2:%3, %4 %5:%6")
        .arg(text(check.value("unit")), text(check.value("host")), text(check.value("tcp_port")),
             check.value("input").toBool() ? QStringLiteral("input") : QStringLiteral("holding"),
             text(check.value("address")), text(check.value("count")));
}

QString checkValues(const QJsonObject &check)
{
    QStringList values;
    for (const QJsonValue &value : check.value("values").toArray())
        values << text(value);
    return values.join(QLatin1Char(' '));
}

QString checkText(const QJsonObject &check)
{
    if (check.isEmpty())
        return QString();
    if (check.value("status").toInt() != Done)
        return checkRequest(check) + QStringLiteral(": failed: ") + text(check.value("message"));
    return QStringLiteral("%1: %2 in %3 ms")
        .arg(checkRequest(check), checkValues(check), text(check.value("ms")));
}

// The first values as a person reads a register: "unit 1, register 0: 12, register 1: 101"; two
// keep a row of the page short, the CSV and JSON have them all.
QString readableCells(int unit, const QJsonObject &request, const QJsonArray &values)
{
    const QString kind = request.value("input").toBool() ? QStringLiteral("input register ")
                                                         : QStringLiteral("register ");
    const int address = request.value("address").toInt();
    QStringList cells;
    const int shown = std::min(int(values.size()), 2);
    for (int i = 0; i < shown; ++i)
        cells << kind + QStringLiteral("%1: %2").arg(address + i).arg(text(values[i]));
    if (values.size() > shown)
        cells << QStringLiteral("%1 more").arg(values.size() - shown);
    return QStringLiteral("unit %1, ").arg(unit) + cells.join(QStringLiteral(", "));
}

QString slavesText(const QJsonObject &slaves)
{
    QStringList ids;
    for (const QJsonValue &unit : slaves.value("units").toArray()) {
        const QJsonObject object = unit.toObject();
        ids << (object.contains("exception")
                    ? QStringLiteral("%1 (exception %2)")
                          .arg(text(object.value("unit")), text(object.value("exception")))
                    : text(object.value("unit")));
    }
    return ids.isEmpty() ? QStringLiteral("none answered") : ids.join(QStringLiteral(", "));
}

// As RS-485 lines are written on site: "19200 Bd 8E1". Modbus RTU characters have 8 data bits.
QString serialText(const QJsonObject &settings)
{
    if (!settings.contains("speed"))
        return QString();
    const QString parity = text(settings.value("parity"));
    return QStringLiteral("%1 Bd 8%2%3")
        .arg(text(settings.value("speed")), parity.left(1).toUpper(),
             text(settings.value("stop_bits")));
}

QString whoText(const QJsonObject &entry)
{
    return text(entry.value("user")) + QLatin1Char('@') + text(entry.value("host"));
}

void take(UnitState &unit, const QJsonObject &entry)
{
    const QString command = entry.value("command").toString();
    const QString time = entry.value("time").toString();
    if (entry.value("slaves").isObject()) {
        unit.slaves = entry.value("slaves").toObject();
        unit.slavesAt = time;
        unit.slavesBy = command;
        unit.slavesStale.clear();
        unit.lastProofSlaves = true;
    }
    if (entry.value("check").isObject()) {
        unit.check = entry.value("check").toObject();
        unit.checkAt = time;
        unit.lastProofSlaves = false;
    }
    // A scan reads no setting: it only says who answers.
    if (command == QLatin1String("scan"))
        return;
    unit.last = entry;
    const QJsonObject sent = entry.value("sent").toObject();
    const QJsonObject staged = entry.value("staged").toObject();
    // A change refused was sent too.
    const bool changed = !sent.isEmpty() || !staged.isEmpty() ||
                         !entry.value("put_back").toObject().isEmpty() ||
                         !entry.value("refused").toObject().isEmpty();
    unit.writes += changed;
    if (!sent.isEmpty())
        unit.commissioned = entry;
    for (const char *key : pathKeys) {
        const QJsonValue now = sent.value(key);
        const QJsonValue then =
            unit.slaves.value(QLatin1String(key) == QLatin1String("ip") ? QStringLiteral("host")
                                                                        : QLatin1String(key));
        if (!unit.slaves.isEmpty() && !now.isUndefined() && text(now) != text(then) &&
            !unit.slavesStale.contains(QLatin1String(key)))
            unit.slavesStale << QLatin1String(key);
    }
    if (entry.value("restarted").toBool())
        unit.restartedSinceStaged = true;
    if (!staged.isEmpty()) {
        unit.staged = staged;
        unit.restartedSinceStaged = false;
    } else if (entry.value("result").toString() == wordOf(Result::Verified) ||
               (command == QLatin1String("audit") && unit.restartedSinceStaged)) {
        // What the device runs was read after it restarted with whatever waited.
        unit.staged = {};
    }
    if (verifies(entry)) {
        const bool readBack = entry.value("after").isObject();
        QJsonObject read = entry.value(readBack ? "after" : "before").toObject();
        read.remove("mac");
        // A try of line reads back only the keys it wrote: what else was verified stands.
        if (read.value("mode") == unit.settings.value("mode")) {
            for (auto it = read.begin(); it != read.end(); ++it)
                unit.settings.insert(it.key(), it.value());
        } else {
            unit.settings = read;
        }
        unit.verifiedAt = time;
    }
}

QList<UnitState> collect(const QList<QJsonObject> &entries, const QList<Unit> &sheet,
                         const QList<QByteArray> &macs)
{
    QMap<QByteArray, UnitState> units;
    const auto wanted = [&](const QByteArray &mac) { return macs.isEmpty() || macs.contains(mac); };
    for (const QJsonObject &entry : entries) {
        const QByteArray mac = entry.value("mac").toString().toLatin1();
        if (mac.isEmpty() || !wanted(mac))
            continue;
        UnitState &unit = units[mac];
        unit.mac = mac;
        take(unit, entry);
        if (entry.contains("label") || entry.contains("notes")) {
            unit.label = entry.value("label").toString();
            unit.notes = entry.value("notes").toObject();
        }
    }
    // The sheet is the newer word on labels, and names units never logged.
    for (const Unit &row : sheet) {
        if (!wanted(row.mac))
            continue;
        UnitState &unit = units[row.mac];
        unit.mac = row.mac;
        unit.label = row.label;
        unit.notes = row.notes;
    }
    QList<UnitState> list = units.values();
    for (UnitState &unit : list) {
        unit.state = !unit.staged.isEmpty()                      ? State::Staged
                     : unit.last.isEmpty()                       ? State::NotLogged
                     : unit.last.value("status").toInt() != Done ? State::Failed
                     : verifies(unit.last)                       ? State::Verified
                                                                 : State::Unverified;
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const UnitState &a, const UnitState &b) { return a.state < b.state; });
    return list;
}

// What a unit that failed was last read holding: read back, or as first read.
QJsonObject readBack(const UnitState &unit)
{
    if (unit.state != State::Failed && unit.state != State::Staged)
        return {};
    QJsonObject values =
        unit.last.value(unit.last.value("after").isObject() ? "after" : "before").toObject();
    values.remove("mac");
    return values;
}

QString summary(const QList<UnitState> &units)
{
    int counts[std::size(stateWords)] = {};
    for (const UnitState &unit : units)
        ++counts[int(unit.state)];
    QString line = QStringLiteral("%1 %2, %3 verified, %4 failed")
                       .arg(units.size())
                       .arg(units.size() == 1 ? "unit" : "units")
                       .arg(counts[int(State::Verified)])
                       .arg(counts[int(State::Failed)]);
    for (const State state : {State::Staged, State::Unverified, State::NotLogged}) {
        if (counts[int(state)])
            line += QStringLiteral(", %1 %2").arg(counts[int(state)]).arg(stateWords[int(state)]);
    }
    return line;
}

QStringList noteColumns(const QList<UnitState> &units)
{
    QStringList columns;
    for (const UnitState &unit : units) {
        for (const QString &key : unit.notes.keys()) {
            if (!columns.contains(key))
                columns << key;
        }
    }
    return columns;
}

QStringList keyColumns(const QList<UnitState> &units)
{
    QStringList columns;
    for (int i = 1; i < protocol::parameterCount; ++i) {
        const QString key = QLatin1String(protocol::parameters[i].key);
        if (std::any_of(units.begin(), units.end(),
                        [&](const UnitState &unit) { return unit.settings.contains(key); }))
            columns << key;
    }
    return columns;
}

QString slavesCell(const UnitState &unit)
{
    if (unit.slaves.isEmpty())
        return QString();
    QString cell = slavesText(unit.slaves);
    if (!unit.slavesStale.isEmpty())
        cell +=
            QStringLiteral(" (before %1 changed)").arg(unit.slavesStale.join(QStringLiteral(", ")));
    return cell;
}

// The rows of the CSV, which JSON and the table share.
QList<QStringList> csvRows(const QList<UnitState> &units)
{
    const QStringList notes = noteColumns(units), keys = keyColumns(units);
    QList<QStringList> rows{QStringList{"state", "mac", "label"} + notes + QStringList{"mode"} +
                            keys + reportColumns.mid(1)};
    for (const UnitState &unit : units) {
        QStringList row{stateWords[int(unit.state)], QString::fromLatin1(unit.mac), unit.label};
        for (const QString &column : notes)
            row << text(unit.notes.value(column));
        row << text(unit.settings.value("mode"));
        for (const QString &key : keys)
            row << text(unit.settings.value(key));
        row << text(unit.last.value("result")) << text(unit.last.value("status")) << unit.verifiedAt
            << checkText(unit.check) << (unit.check.isEmpty() ? QString() : checkValues(unit.check))
            << text(unit.check.value("ms")) << text(unit.last.value("time"))
            << text(unit.last.value("user")) << text(unit.last.value("host"))
            << text(unit.last.value("version"))
            << (unit.last.isEmpty() ? QString() : QString::number(unit.writes))
            << keysText(unit.staged) << keysText(unit.last.value("refused").toObject())
            << text(unit.last.value("message")) << slavesCell(unit) << unit.slavesAt
            << (unit.last.isEmpty() && unit.slaves.isEmpty()
                    ? QString()
                    : QLatin1String(unit.modbusProven() ? "proven" : "not proven"))
            << text(unit.commissioned.value("time"))
            << (unit.commissioned.isEmpty() ? QString() : whoText(unit.commissioned));
        rows << row;
    }
    return rows;
}

QByteArray json(const QList<UnitState> &units)
{
    QJsonArray array;
    const auto orNull = [](const QJsonValue &value) {
        return value.isUndefined() ? QJsonValue() : value;
    };
    const auto objectOrNull = [](const QJsonObject &object) {
        return object.isEmpty() ? QJsonValue() : QJsonValue(object);
    };
    for (const UnitState &unit : units) {
        QJsonObject settings = unit.settings;
        settings.remove("mode");
        QJsonObject slaves = unit.slaves;
        if (!slaves.isEmpty()) {
            slaves.insert("time", unit.slavesAt);
            slaves.insert("command", unit.slavesBy);
            slaves.insert("stale", QJsonArray::fromStringList(unit.slavesStale));
        }
        const QJsonObject commissioned =
            unit.commissioned.isEmpty()
                ? QJsonObject()
                : QJsonObject{{"time", unit.commissioned.value("time")},
                              {"command", unit.commissioned.value("command")},
                              {"user", unit.commissioned.value("user")},
                              {"host", unit.commissioned.value("host")}};
        array << QJsonObject{
            {"state", stateWords[int(unit.state)]},
            {"mac", QString::fromLatin1(unit.mac)},
            {"label", unit.label},
            {"notes", unit.notes},
            {"mode", orNull(unit.settings.value("mode"))},
            {"settings", unit.settings.isEmpty() ? QJsonValue() : QJsonValue(settings)},
            {"result", orNull(unit.last.value("result"))},
            {"status", orNull(unit.last.value("status"))},
            {"message", orNull(unit.last.value("message"))},
            {"staged", objectOrNull(unit.staged)},
            {"refused", objectOrNull(unit.last.value("refused").toObject())},
            {"read_back", objectOrNull(readBack(unit))},
            {"verified_at", unit.verifiedAt.isEmpty() ? QJsonValue() : unit.verifiedAt},
            {"check", objectOrNull(unit.check)},
            {"slaves", objectOrNull(slaves)},
            {"modbus_proven", unit.modbusProven()},
            {"commissioned", objectOrNull(commissioned)},
            {"time", orNull(unit.last.value("time"))},
            {"user", orNull(unit.last.value("user"))},
            {"host", orNull(unit.last.value("host"))},
            {"version", orNull(unit.last.value("version"))},
            {"writes", unit.writes},
        };
    }
    return QJsonDocument(array).toJson();
}

// One file that needs nothing else: readable on a phone, one table on A4 with its header on each
// page, and a block to sign at its end.
const char style[] = R"(
body { font-family: sans-serif; margin: 1em; color: #000; }
h1 { font-size: 1.4em; margin: 0 0 .2em; }
p { margin: .2em 0; }
.summary { font-weight: bold; font-size: 1.1em; }
/* A collapsed border lies half outside its table: the outer one needs room inside the page. */
table { border-collapse: collapse; width: calc(100% - 2px); margin-top: .6em; table-layout: fixed; }
th, td { border: 1px solid #999; padding: .2em .3em; text-align: left; vertical-align: top; }
th { background: #eee; }
td { overflow-wrap: anywhere; }
tr.failed td, tr.staged td { background: #fde2e1; }
tr.unverified td, tr.unlogged td { background: #fff4d6; }
.mark { font-weight: bold; }
.small { color: #444; font-size: .9em; }
dl.legend { margin: .4em 0; font-size: .9em; columns: 2; column-gap: 2em; }
dl.legend div { break-inside: avoid; page-break-inside: avoid; }
dl.legend dt { font-weight: bold; display: inline; }
dl.legend dd { display: inline; margin: 0; }
table.sign { margin-top: 1.2em; break-inside: avoid; page-break-inside: avoid; }
table.sign th { width: 12%; }
table.sign td { height: 2.2em; }
@media screen and (max-width: 640px) {
  table.units, table.units tbody, table.units tr, table.units td { display: block; width: auto; }
  table.units thead { display: none; }
  table.units tr { border: 1px solid #999; margin-bottom: .8em; }
  table.units td { border: none; border-bottom: 1px solid #ddd; }
  table.units td::before { content: attr(data-label) ": "; font-weight: bold; }
  dl.legend { columns: 1; }
}
@page { size: A4; margin: 12mm; }
@media print {
  body { margin: 0; font-size: 7.5pt; line-height: 1.2; }
  h1 { font-size: 13pt; }
  .summary { font-size: 9pt; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  th, tr.failed td, tr.staged td, tr.unverified td, tr.unlogged td {
    -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QString line(const QString &html)
{
    return html.isEmpty() ? QString() : html + QStringLiteral("<br>");
}

QString small(const QString &html)
{
    return QStringLiteral("<span class=\"small\">%1</span>").arg(html);
}

// A message for the customer: without the hint that sends an engineer to the wiring.
QString customerText(QString message, bool engineer)
{
    if (!engineer)
        message.remove(QLatin1String(modbusHint));
    return message;
}

QString networkCell(const QJsonObject &values)
{
    if (values.isEmpty())
        return QString();
    QString cell =
        line(esc(text(values.value("mode")) + QLatin1Char(' ') + text(values.value("ip")) +
                 QLatin1Char(':') + text(values.value("tcp_port"))));
    cell += line(esc(QStringLiteral("mask ") + text(values.value("mask"))));
    cell += esc(QStringLiteral("gateway ") + text(values.value("gateway")));
    if (values.contains("server_ip"))
        cell += QStringLiteral("<br>") +
                esc(QStringLiteral("server %1, time-out %2")
                        .arg(text(values.value("server_ip")), text(values.value("timeout"))));
    return cell;
}

// Whether the Modbus path was proven, and the reading that proved it or the failure: the last of
// a check and the slaves found.
QString modbusCell(const UnitState &unit, bool engineer)
{
    if (unit.last.isEmpty() && unit.slaves.isEmpty())
        return QString();
    QString cell = QStringLiteral("<span class=\"mark\">%1</span>")
                       .arg(unit.modbusProven() ? "proven" : "not proven");
    if (unit.lastProofSlaves) {
        for (const QJsonValue &answer : unit.slaves.value("units").toArray()) {
            const QJsonObject object = answer.toObject();
            if (object.value("values").isArray() && unit.slavesStale.isEmpty()) {
                cell += QStringLiteral("<br>") +
                        esc(readableCells(object.value("unit").toInt(), unit.slaves,
                                          object.value("values").toArray()));
                break;
            }
        }
    } else if (unit.check.value("status").toInt() == Done) {
        cell +=
            QStringLiteral("<br>") + esc(readableCells(unit.check.value("unit").toInt(), unit.check,
                                                       unit.check.value("values").toArray()));
    } else if (!unit.check.isEmpty()) {
        cell += QStringLiteral("<br>") +
                small(esc(QStringLiteral("unit %1: ").arg(text(unit.check.value("unit"))) +
                          customerText(text(unit.check.value("message")), engineer)));
    }
    return cell;
}

QByteArray html(const QList<UnitState> &units, const QString &title, const QString &engineerName,
                bool engineer)
{
    const char *const rowClasses[] = {"staged", "failed", "unverified", "unlogged", "verified"};
    const char *const marks[] = {"STAGED", "FAILED", "NOT VERIFIED", "NOT LOGGED", "verified"};
    const QStringList headers{"State",       "Converter",    "Network",     "RS-485 and slaves",
                              "Modbus path", "Commissioned", "Last checked"};
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int offset = now.toLocalTime().offsetFromUtc();
    const auto when = [&](const QJsonValue &time) { return esc(timeText(text(time), offset)); };
    QString page = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
                                  "charset=\"utf-8\">\n<meta name=\"viewport\" "
                                  "content=\"width=device-width, initial-scale=1\">\n<title>%1"
                                  "</title>\n<style>%2</style>\n</head>\n<body>\n<h1>%1</h1>\n")
                       .arg(esc(title), QLatin1String(style));
    page += QStringLiteral("<p class=\"summary\">%1</p>\n").arg(esc(summary(units)));
    page += QStringLiteral("<p class=\"small\">Made %1 on %2 by tcprtu %3 from the log of what "
                           "tcprtu did to each unit. Times are local, UTC%4 where no other offset "
                           "is given.</p>\n")
                .arg(when(now.toString(Qt::ISODateWithMs)), esc(QSysInfo::machineHostName()),
                     QStringLiteral(TCPRTU_VERSION), offsetText(offset));
    // The words this page uses, and only those.
    page += QStringLiteral("<dl class=\"legend\">\n");
    for (int state = 0; state < int(std::size(stateWords)); ++state) {
        if (std::any_of(units.begin(), units.end(),
                        [&](const UnitState &unit) { return int(unit.state) == state; }))
            page += QStringLiteral("<div><dt>%1</dt> <dd>%2</dd></div>\n")
                        .arg(marks[state], esc(QLatin1String(stateMeanings[state])));
    }
    for (const ResultWord &result : resultWords) {
        if (std::any_of(units.begin(), units.end(), [&](const UnitState &unit) {
                return unit.last.value("result").toString() == QLatin1String(result.word);
            }))
            page += QStringLiteral("<div><dt>%1</dt> <dd>%2</dd></div>\n")
                        .arg(result.word, esc(QLatin1String(result.meaning)));
    }
    page += QStringLiteral("</dl>\n");
    // Widths that fit A4 and a desktop alike; a phone shows each unit as a card instead.
    page += QStringLiteral("<table class=\"units\">\n<colgroup>");
    for (const int width : {11, 16, 18, 14, 15, 12, 14})
        page += QStringLiteral("<col style=\"width: %1%\">").arg(width);
    page += QStringLiteral("</colgroup>\n<thead><tr>");
    for (const QString &header : headers)
        page += QStringLiteral("<th>%1</th>").arg(header);
    page += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const UnitState &unit : units) {
        const auto cell = [&](int column, const QString &content) {
            return QStringLiteral("<td data-label=\"%1\">%2</td>").arg(headers[column], content);
        };
        QString state =
            QStringLiteral("<span class=\"mark\">%1</span>").arg(marks[int(unit.state)]);
        if (!unit.staged.isEmpty())
            state += QStringLiteral("<br>") + small(esc(keysText(unit.staged)));
        const QJsonObject refused = unit.last.value("refused").toObject();
        if (!refused.isEmpty())
            state +=
                QStringLiteral("<br>") + small(esc(QStringLiteral("refused ") + keysText(refused)));
        if (engineer && !unit.last.value("message").toString().isEmpty())
            state += QStringLiteral("<br>") + small(esc(text(unit.last.value("message"))));

        QString converter = line(esc(unit.label)) + small(esc(QString::fromLatin1(unit.mac)));
        QStringList notes;
        for (auto it = unit.notes.begin(); it != unit.notes.end(); ++it)
            notes << QStringLiteral("%1: %2").arg(it.key(), text(it.value()));
        if (!notes.isEmpty())
            converter += QStringLiteral("<br>") + small(esc(notes.join(QStringLiteral("; "))));

        const QJsonObject held = readBack(unit);
        const QString network = held.isEmpty() ? networkCell(unit.settings)
                                               : small(QStringLiteral("read back")) +
                                                     QLatin1Char(' ') + networkCell(held);

        const QJsonObject &serialFrom = held.isEmpty() ? unit.settings : held;
        QString serial = esc(serialText(serialFrom));
        if (!unit.slaves.isEmpty())
            serial += QStringLiteral("<br>") + esc(QStringLiteral("slaves ") + slavesCell(unit));

        const QString commissioned = unit.commissioned.isEmpty()
                                         ? QString()
                                         : when(unit.commissioned.value("time")) +
                                               QStringLiteral("<br>") +
                                               esc(whoText(unit.commissioned));
        QString last;
        if (!unit.last.isEmpty()) {
            last = when(unit.last.value("time")) + QStringLiteral("<br>") +
                   esc(QStringLiteral("%1: %2").arg(text(unit.last.value("command")),
                                                    text(unit.last.value("result"))));
            if (unit.last.value("status").toInt() != Done)
                last += QStringLiteral(" (status %1)").arg(unit.last.value("status").toInt());
            last += QStringLiteral("<br>") + esc(whoText(unit.last));
        }
        page += QStringLiteral("<tr class=\"%1\">").arg(rowClasses[int(unit.state)]);
        page += cell(0, state) + cell(1, converter) + cell(2, network) + cell(3, serial) +
                cell(4, modbusCell(unit, engineer)) + cell(5, commissioned) + cell(6, last);
        page += QStringLiteral("</tr>\n");
    }
    page += QStringLiteral("</tbody>\n</table>\n");
    page += QStringLiteral("<table class=\"sign\">\n"
                           "<tr><th>Site</th><td>%1</td><th>Date</th><td>%2</td></tr>\n"
                           "<tr><th>Engineer</th><td>%3</td><th>Signature</th><td></td></tr>\n"
                           "<tr><th>Customer</th><td></td><th>Signature</th><td></td></tr>\n"
                           "</table>\n</body>\n</html>\n")
                .arg(esc(title), esc(now.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"))),
                     esc(engineerName));
    return page.toUtf8();
}

} // namespace

int runReport(const Arguments &args, const Console &console)
{
    QStringList errors;
    QList<QByteArray> macs;
    for (const QString &given : args.values(option::mac)) {
        const protocol::Checked mac = protocol::check(protocol::parameters[0], given.toLatin1());
        if (mac.ok())
            macs << mac.value;
        else
            errors << QStringLiteral("--mac %1: must be %2").arg(given, mac.rule);
    }
    const std::optional<QDateTime> since = readSince(args, &errors);
    const QString sheetFile = args.value(option::inventory);
    std::optional<Inventory> sheet;
    if (!sheetFile.isEmpty())
        sheet = readInventory(sheetFile, args.value(option::encoding), &errors);
    const QString output = args.value(option::output);
    const QString form = output.section(QLatin1Char('.'), -1).toLower();
    const bool page = form == QLatin1String("html") || form == QLatin1String("htm");
    if (!output.isEmpty() && !page && form != QLatin1String("csv") && form != QLatin1String("json"))
        errors << QStringLiteral("--output %1: must end in .html, .csv or .json").arg(output);
    const bool printJson = args.isSet(option::json);
    if (printJson && !output.isEmpty())
        errors << QStringLiteral("--json and --output: give one of them");
    if (!page && (args.isSet(option::engineer) || args.isSet(option::engineerNotes)))
        errors << QStringLiteral("--engineer and --engineer-notes: only for an --output FILE.html");
    errors << args.unexpected();
    if (!console.errors(errors))
        return BadInput;
    const QList<UnitState> units =
        collect(readLog(since), sheet ? sheet->units : QList<Unit>(), macs);
    if (units.isEmpty())
        console.note(
            QStringLiteral("no unit logged%1 (%2)")
                .arg(since ? QStringLiteral(" since ") + args.value(option::since) : QString(),
                     logPath()));
    if (printJson) {
        console.result(QString::fromUtf8(json(units)).trimmed());
        return console.resultsWritten() ? Done : OutputFailed;
    }
    if (output.isEmpty()) {
        QList<QStringList> rows{{"state", "mac", "label", "mode", "ip", "rs-485", "slaves",
                                 "result", "check", "time", "by", "writes"}};
        for (const UnitState &unit : units) {
            QString state = stateWords[int(unit.state)];
            if (!unit.staged.isEmpty())
                state += QLatin1Char(' ') + keysText(unit.staged, QStringLiteral(" "));
            QStringList row{state,
                            QString::fromLatin1(unit.mac),
                            unit.label,
                            text(unit.settings.value("mode")),
                            text(unit.settings.value("ip")),
                            QStringList{text(unit.settings.value("speed")),
                                        text(unit.settings.value("parity")),
                                        text(unit.settings.value("stop_bits"))}
                                .join(QLatin1Char(' '))
                                .trimmed(),
                            unit.slaves.isEmpty() ? QString() : slavesCell(unit),
                            text(unit.last.value("result")),
                            unit.check.isEmpty()                         ? QString()
                            : unit.check.value("status").toInt() == Done ? checkValues(unit.check)
                                                                         : QStringLiteral("failed"),
                            timeText(text(unit.last.value("time"))),
                            whoText(unit.last),
                            QString::number(unit.writes)};
            if (unit.last.isEmpty())
                row[10] = row[11] = QString();
            std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
            rows << row;
        }
        console.result(summary(units) + QLatin1Char('\n') + table(rows));
        return console.resultsWritten() ? Done : OutputFailed;
    }
    const QString title =
        args.isSet(option::title) ? args.value(option::title) : QStringLiteral("Converters");
    const QString engineerName =
        args.isSet(option::engineer) ? args.value(option::engineer) : userName();
    QByteArray bytes;
    if (form == QLatin1String("csv")) {
        QStringList lines;
        for (const QStringList &row : csvRows(units))
            lines << csvRow(row);
        // A spreadsheet on Windows reads a file without the mark in its own code page.
        bytes = "\xEF\xBB\xBF" + lines.join('\n').toUtf8() + '\n';
    } else {
        bytes = form == QLatin1String("json")
                    ? json(units)
                    : html(units, title, engineerName, args.isSet(option::engineerNotes));
    }
    QString error;
    if (!writeFile(output, bytes, &error)) {
        console.error(QStringLiteral("report not saved: ") + error);
        return OutputFailed;
    }
    console.note(QStringLiteral("%1: %2").arg(output, summary(units)));
    return Done;
}
