#include "report.h"
#include "options.h"

#include "inventory.h"
#include "log.h"
#include "profile.h"
#include "status.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSysInfo>

#include <algorithm>

namespace {

// Results that prove what the unit holds: read back after a write, or read and found as planned.
bool verifies(const QString &result)
{
    return result == QLatin1String(word(Result::Verified)) ||
           result == QLatin1String(word(Result::Unchanged)) ||
           result == QLatin1String(word(Result::Matches));
}

// Worst first: these stand out at the top of the report.
enum class State
{
    Failed,
    Unverified,
    NotLogged,
    Verified,
};

const char *const stateWords[] = {"failed", "not verified", "not logged", "verified"};

struct UnitState
{
    QByteArray mac;
    QString label;
    QJsonObject notes;
    QJsonObject last;     // the latest entry
    QJsonObject settings; // as last verified, without the MAC
    QString verifiedAt;
    QJsonObject check; // the latest Modbus check
    int writes = 0;
    State state = State::NotLogged;
};

QString timeText(const QString &iso)
{
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
    return time.isValid()
               ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral(" UTC")
               : iso;
}

QString text(const QJsonValue &value)
{
    return value.isNull() || value.isUndefined() ? QString() : value.toVariant().toString();
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
        unit.last = entry;
        // Each try of line is a write too.
        const QString command = entry.value("command").toString();
        unit.writes += command == QLatin1String("write") || command == QLatin1String("line");
        const QString result = entry.value("result").toString();
        if (verifies(result)) {
            unit.settings =
                entry.value(result == QLatin1String(word(Result::Verified)) ? "after" : "before")
                    .toObject();
            unit.settings.remove("mac");
            unit.verifiedAt = entry.value("time").toString();
        }
        if (entry.value("check").isObject())
            unit.check = entry.value("check").toObject();
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
        unit.state = unit.last.isEmpty()                              ? State::NotLogged
                     : unit.last.value("status").toInt() != Done      ? State::Failed
                     : verifies(unit.last.value("result").toString()) ? State::Verified
                                                                      : State::Unverified;
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const UnitState &a, const UnitState &b) { return a.state < b.state; });
    return list;
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
    for (const State state : {State::Unverified, State::NotLogged}) {
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
            << (unit.last.isEmpty() ? QString() : QString::number(unit.writes));
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
    for (const UnitState &unit : units) {
        QJsonObject settings = unit.settings;
        settings.remove("mode");
        array << QJsonObject{
            {"state", stateWords[int(unit.state)]},
            {"mac", QString::fromLatin1(unit.mac)},
            {"label", unit.label},
            {"notes", unit.notes},
            {"mode", orNull(unit.settings.value("mode"))},
            {"settings", unit.settings.isEmpty() ? QJsonValue() : QJsonValue(settings)},
            {"result", orNull(unit.last.value("result"))},
            {"status", orNull(unit.last.value("status"))},
            {"verified_at", unit.verifiedAt.isEmpty() ? QJsonValue() : unit.verifiedAt},
            {"check", unit.check.isEmpty() ? QJsonValue() : QJsonValue(unit.check)},
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
// page.
const char style[] = R"(
body { font-family: sans-serif; margin: 1em; color: #000; }
h1 { font-size: 1.4em; margin: 0 0 .2em; }
p { margin: .2em 0; }
.summary { font-weight: bold; font-size: 1.1em; }
table { border-collapse: collapse; width: 100%; margin-top: .6em; table-layout: fixed; }
th, td { border: 1px solid #999; padding: .25em .4em; text-align: left; vertical-align: top; }
th { background: #eee; }
tr.failed td { background: #fde2e1; }
tr.unverified td, tr.unlogged td { background: #fff4d6; }
.mark { font-weight: bold; }
.mac { white-space: nowrap; }
.kv { white-space: nowrap; margin-right: .5em; }
td { overflow-wrap: break-word; }
.small { color: #444; font-size: .9em; }
@media screen and (max-width: 640px) {
  table, tbody, tr, td { display: block; width: auto; }
  thead { display: none; }
  tr { border: 1px solid #999; margin-bottom: .8em; }
  td { border: none; border-bottom: 1px solid #ddd; }
  td::before { content: attr(data-label) ": "; font-weight: bold; }
}
@page { size: A4; margin: 12mm; }
@media print {
  body { margin: 0; font-size: 8pt; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; page-break-inside: avoid; }
  th { background: #eee; -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  tr.failed td, tr.unverified td, tr.unlogged td { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
)";

QString esc(const QString &text)
{
    return text.toHtmlEscaped();
}

QByteArray html(const QList<UnitState> &units, const QString &title)
{
    const char *const rowClasses[] = {"failed", "unverified", "unlogged", "verified"};
    const char *const marks[] = {"FAILED", "NOT VERIFIED", "NOT LOGGED", "verified"};
    const QStringList headers{"State",  "MAC",          "Label", "Settings as verified",
                              "Result", "Modbus check", "Last",  "Writes"};
    QString page = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
                                  "charset=\"utf-8\">\n<meta name=\"viewport\" "
                                  "content=\"width=device-width, initial-scale=1\">\n<title>%1"
                                  "</title>\n<style>%2</style>\n</head>\n<body>\n<h1>%1</h1>\n")
                       .arg(esc(title), QLatin1String(style));
    page += QStringLiteral("<p class=\"summary\">%1</p>\n").arg(esc(summary(units)));
    page += QStringLiteral("<p class=\"small\">Made %1 on %2 by tcprtu %3 from the log of what "
                           "tcprtu did to each unit.</p>\n")
                .arg(esc(QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd HH:mm 'UTC'")),
                     esc(QSysInfo::machineHostName()), QStringLiteral(TCPRTU_VERSION));
    // Widths that fit A4 and a desktop alike; a phone shows each unit as a card instead.
    page += QStringLiteral("<table>\n<colgroup>");
    for (const int width : {9, 14, 13, 22, 9, 14, 12, 7})
        page += QStringLiteral("<col style=\"width: %1%\">").arg(width);
    page += QStringLiteral("</colgroup>\n<thead><tr>");
    for (const QString &header : headers)
        page += QStringLiteral("<th>%1</th>").arg(header);
    page += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const UnitState &unit : units) {
        const auto cell = [&](int column, const QString &content) {
            return QStringLiteral("<td data-label=\"%1\">%2</td>").arg(headers[column], content);
        };
        QString label = esc(unit.label);
        for (auto it = unit.notes.begin(); it != unit.notes.end(); ++it)
            label += QStringLiteral("<br><span class=\"small\">%1: %2</span>")
                         .arg(esc(it.key()), esc(text(it.value())));
        QString settings;
        // In the order the device lists them, the mode first.
        for (const QString &key :
             unit.settings.isEmpty() ? QStringList() : QStringList{"mode"} + keyColumns({unit}))
            settings += QStringLiteral("<span class=\"kv\">%1&nbsp;%2</span> ")
                            .arg(esc(key), esc(text(unit.settings.value(key))));
        if (!unit.verifiedAt.isEmpty())
            settings += QStringLiteral("<br><span class=\"small\">verified %1</span>")
                            .arg(esc(timeText(unit.verifiedAt)));
        QString result = esc(text(unit.last.value("result")));
        if (unit.last.value("status").toInt() != Done)
            result += QStringLiteral(" (status %1)").arg(unit.last.value("status").toInt());
        const QString last =
            unit.last.isEmpty()
                ? QString()
                : QStringLiteral("%1<br>%2 %3@%4<br><span "
                                 "class=\"small\">tcprtu %5</span>")
                      .arg(esc(timeText(text(unit.last.value("time")))),
                           esc(text(unit.last.value("command"))),
                           esc(text(unit.last.value("user"))), esc(text(unit.last.value("host"))),
                           esc(text(unit.last.value("version"))));
        page += QStringLiteral("<tr class=\"%1\">").arg(rowClasses[int(unit.state)]);
        page +=
            cell(0, QStringLiteral("<span class=\"mark\">%1</span>").arg(marks[int(unit.state)]));
        page += cell(1, QStringLiteral("<span class=\"mac\">%1</span>")
                            .arg(esc(QString::fromLatin1(unit.mac))));
        page += cell(2, label) + cell(3, settings) + cell(4, result) +
                cell(5, esc(checkText(unit.check))) + cell(6, last) +
                cell(7, unit.last.isEmpty() ? QString() : QString::number(unit.writes));
        page += QStringLiteral("</tr>\n");
    }
    page += QStringLiteral("</tbody>\n</table>\n</body>\n</html>\n");
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
    if (!output.isEmpty() && form != QLatin1String("html") && form != QLatin1String("htm") &&
        form != QLatin1String("csv") && form != QLatin1String("json"))
        errors << QStringLiteral("--output %1: must end in .html, .csv or .json").arg(output);
    const bool printJson = args.isSet(option::json);
    if (printJson && !output.isEmpty())
        errors << QStringLiteral("--json and --output: give one of them");
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
    QStringList lines;
    for (const QStringList &row : csvRows(units))
        lines << csvRow(row);
    if (printJson) {
        console.result(QString::fromUtf8(json(units)).trimmed());
        return console.resultsWritten() ? Done : OutputFailed;
    }
    if (output.isEmpty()) {
        QList<QStringList> rows{
            {"state", "mac", "label", "mode", "ip", "result", "check", "time", "by", "writes"}};
        for (const UnitState &unit : units) {
            QStringList row{stateWords[int(unit.state)],
                            QString::fromLatin1(unit.mac),
                            unit.label,
                            text(unit.settings.value("mode")),
                            text(unit.settings.value("ip")),
                            text(unit.last.value("result")),
                            unit.check.isEmpty()                         ? QString()
                            : unit.check.value("status").toInt() == Done ? checkValues(unit.check)
                                                                         : QStringLiteral("failed"),
                            timeText(text(unit.last.value("time"))),
                            text(unit.last.value("user")) + QLatin1Char('@') +
                                text(unit.last.value("host")),
                            QString::number(unit.writes)};
            if (unit.last.isEmpty())
                row[8] = row[9] = QString();
            std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
            rows << row;
        }
        console.result(summary(units) + QLatin1Char('\n') + table(rows));
        return console.resultsWritten() ? Done : OutputFailed;
    }
    const QString title =
        args.isSet(option::title) ? args.value(option::title) : QStringLiteral("Converters");
    const QByteArray bytes = form == QLatin1String("csv")    ? lines.join('\n').toUtf8() + '\n'
                             : form == QLatin1String("json") ? json(units)
                                                             : html(units, title);
    QString error;
    if (!writeFile(output, bytes, &error)) {
        console.error(QStringLiteral("report not saved: ") + error);
        return OutputFailed;
    }
    console.note(QStringLiteral("%1: %2").arg(output, summary(units)));
    return Done;
}
