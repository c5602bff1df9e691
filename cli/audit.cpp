#include "audit.h"
#include "options.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

struct Line
{
    QString port;
    QString mac;
    QString result;
    QJsonObject differences; // key: planned, held
    QJsonValue check;
    QString details;
};

Line lineOf(const UnitRecord &record)
{
    Line line{record.port,         QString::fromLatin1(record.before[0].value_or(QByteArray())),
              word(record.result), {},
              record.check,        record.outcome};
    QStringList shownDifferences;
    for (const Row &row : record.rows) {
        if (row.before == row.after)
            continue;
        const protocol::Parameter &parameter = protocol::parameters[row.index];
        line.differences.insert(parameter.key,
                                QJsonObject{{"planned", valueJson(parameter, row.after)},
                                            {"held", valueJson(parameter, row.before)}});
        shownDifferences << QStringLiteral("%1: %2 -> %3")
                                .arg(parameter.key, shown(parameter, row.after),
                                     shown(parameter, row.before));
    }
    if (record.result == Result::Differs)
        line.details = QStringLiteral("planned -> held: ") + shownDifferences.join(", ");
    return line;
}

} // namespace

void readAuditOptions(const Arguments &args, Job *job, QStringList *errors)
{
    if (!args.isSet(option::inventory))
        errors->append(QStringLiteral("--inventory: give the sheet the units are audited against"));
    if (args.isSet(option::json) && args.isSet(option::csv))
        errors->append(QStringLiteral("--json and --csv: give one of them"));
    job->check = args.isSet(option::check);
    job->checkHost = args.value(option::checkHost);
    readCheckOptions(args, &job->checkRequest, errors);
    const bool checkOption = args.isSet(option::unit) || args.isSet(option::read) ||
                             args.isSet(option::input) || !job->checkHost.isEmpty();
    if (!job->check && checkOption)
        errors->append(QStringLiteral("--unit, --read, --input and --check-host go with --check"));
    if (job->check && args.value(option::mode) == QLatin1String(protocol::modes[1].key))
        errors->append(QStringLiteral("--check: only in mode %1, where the converter serves "
                                      "Modbus TCP")
                           .arg(protocol::modes[0].key));
}

int printAudit(const std::vector<std::unique_ptr<UnitRun>> &units,
               const QList<const Unit *> &missing, bool json, bool csv, const Console &console)
{
    QList<Line> lines;
    for (const auto &unit : units)
        lines << lineOf(unit->record);
    for (const Unit *row : missing)
        lines << Line{{},
                      QString::fromLatin1(row->mac),
                      word(Result::NotConnected),
                      {},
                      {},
                      QStringLiteral("row %1 of the sheet").arg(row->row)};
    if (json) {
        QJsonArray array;
        for (const Line &line : qAsConst(lines))
            array << QJsonObject{
                {"port", line.port.isEmpty() ? QJsonValue() : QJsonValue(line.port)},
                {"mac", line.mac.isEmpty() ? QJsonValue() : QJsonValue(line.mac)},
                {"result", line.result},
                {"differences", line.differences},
                {"check", line.check}};
        console.result(QString::fromUtf8(QJsonDocument(array).toJson()).trimmed());
    } else {
        QList<QStringList> rows{{"port", "mac", "result", "details"}};
        for (const Line &line : qAsConst(lines))
            rows << QStringList{line.port, line.mac, line.result, line.details};
        if (csv) {
            QStringList text;
            for (const QStringList &row : qAsConst(rows))
                text << csvRow(row);
            console.result(text.join(QLatin1Char('\n')));
        } else {
            for (QStringList &row : rows)
                std::replace(row.begin(), row.end(), QString(), QStringLiteral("-"));
            console.result(table(rows));
        }
    }
    return console.resultsWritten() ? Done : OutputFailed;
}
