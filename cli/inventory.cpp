#include "inventory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A sheet for a few hundred units; anything much larger is not one.
constexpr qint64 maxInventoryBytes = 1024 * 1024;

// A spreadsheet saves with the separator of its locale: a semicolon where the comma is the
// decimal mark.
char separator(const QByteArray &firstLine)
{
    return firstLine.count(';') > firstLine.count(',') ? ';' : ',';
}

// A cell's text, whatever kind of JSON value carried it.
QString cellText(const QJsonValue &value)
{
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 15);
    return value.toVariant().toString();
}

} // namespace

const Unit *Inventory::find(const QByteArray &mac) const
{
    for (const Unit &unit : units) {
        if (unit.mac == mac)
            return &unit;
    }
    return nullptr;
}

QList<QStringList> parseCsv(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    const char split = separator(bytes.left(bytes.indexOf('\n')));
    QList<QStringList> rows{{}};
    QString cell;
    bool quoted = false;
    const auto endCell = [&] {
        rows.last() << cell.trimmed();
        cell.clear();
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"'))
                cell += text[++i];
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                cell += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(split)) {
            endCell();
        } else if (c == QLatin1Char('\n')) {
            endCell();
            rows << QStringList();
        } else if (c != QLatin1Char('\r')) {
            cell += c;
        }
    }
    endCell();
    // Blank lines, as a sheet's end often has, are no rows.
    QList<QStringList> filled;
    for (const QStringList &row : qAsConst(rows)) {
        if (!row.join(QString()).isEmpty())
            filled << row;
    }
    return filled;
}

QString csvRow(const QStringList &cells)
{
    QStringList quoted;
    for (QString cell : cells) {
        if (cell.contains(QLatin1Char(',')) || cell.contains(QLatin1Char('"')) ||
            cell.contains(QLatin1Char(';')) || cell.contains(QLatin1Char('\n')))
            cell = QLatin1Char('"') + cell.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
                   QLatin1Char('"');
        quoted << cell;
    }
    return quoted.join(QLatin1Char(','));
}

std::optional<Inventory> readInventory(const QString &path, QStringList *errors)
{
    const std::optional<QByteArray> file = readSmallFile(path, maxInventoryBytes, errors);
    if (!file)
        return std::nullopt;
    const QByteArray &bytes = *file;
    // Both forms become a header and rows of text, judged alike.
    QStringList header;
    QList<QStringList> rows;
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (!document.isArray()) {
            errors->append(QStringLiteral("%1: not a JSON array of objects (%2)")
                               .arg(path, parseError.errorString()));
            return std::nullopt;
        }
        for (const QJsonValue &value : document.array()) {
            for (const QString &key : value.toObject().keys()) {
                if (!header.contains(key))
                    header << key;
            }
        }
        for (const QJsonValue &value : document.array()) {
            QStringList row;
            for (const QString &key : qAsConst(header))
                row << cellText(value.toObject().value(key));
            rows << row;
        }
    } else {
        rows = parseCsv(bytes);
        if (!rows.isEmpty())
            header = rows.takeFirst();
    }
    for (QString &name : header)
        name = name.simplified().toLower();
    const int macColumn = int(header.indexOf(QStringLiteral("mac")));
    if (macColumn < 0) {
        errors->append(QStringLiteral("%1: no \"mac\" column").arg(path));
        return std::nullopt;
    }
    // Each column: the parameter it sets, -1 for the mode, -2 for one to pass over.
    QList<int> columns;
    for (int c = 0; c < header.size(); ++c) {
        const int index = protocol::parameterIndex(header[c]);
        columns << (header[c] == QLatin1String("mode") ? -1 : index >= 0 ? index : -2);
        const QString nearest = nearestKey(header[c]);
        if (index < 0 && header[c] != QLatin1String("mode") && !nearest.isEmpty())
            errors->append(QStringLiteral("%1: column %2 \"%3\": unknown key; did you mean %4?")
                               .arg(path)
                               .arg(c + 1)
                               .arg(header[c], nearest));
    }
    Inventory inventory;
    for (int r = 0; r < rows.size(); ++r) {
        const QStringList &cells = rows[r];
        const QString where = QStringLiteral("%1: row %2").arg(path).arg(r + 2);
        Unit unit{r + 2, {}, {}, {}};
        const protocol::Checked mac =
            protocol::check(protocol::parameters[0], cells.value(macColumn).toLatin1());
        if (!mac.ok()) {
            errors->append(QStringLiteral("%1, column %2 \"mac\": %3 must be %4")
                               .arg(where)
                               .arg(macColumn + 1)
                               .arg(cells.value(macColumn), mac.rule));
            continue;
        }
        unit.mac = mac.value;
        if (const Unit *first = inventory.find(unit.mac))
            errors->append(QStringLiteral("%1: MAC %2 is on row %3 too")
                               .arg(where, QString::fromLatin1(unit.mac))
                               .arg(first->row));
        for (int c = 0; c < columns.size(); ++c) {
            const QString cell = cells.value(c);
            if (columns[c] == -1)
                unit.mode = cell;
            if (columns[c] < 1 || cell.isEmpty())
                continue;
            const protocol::Parameter &parameter = protocol::parameters[columns[c]];
            const protocol::Checked checked =
                protocol::check(parameter, wireSpelling(parameter, cell));
            if (checked.ok())
                unit.values[size_t(columns[c])] = checked.value;
            else
                errors->append(QStringLiteral("%1, column %2 \"%3\": %4 must be %5")
                                   .arg(where)
                                   .arg(c + 1)
                                   .arg(parameter.key, cell, checked.rule));
        }
        if (!unit.mode.isEmpty() && !protocol::modeByKey(unit.mode))
            errors->append(
                QStringLiteral("%1: mode must be %2, not %3").arg(where, modeList(), unit.mode));
        inventory.units << unit;
    }
    const int ip = protocol::parameterIndex(QStringLiteral("ip"));
    for (int i = 0; i < inventory.units.size(); ++i) {
        for (int j = 0; j < i; ++j) {
            const Unit &a = inventory.units[j];
            const Unit &b = inventory.units[i];
            if (b.values[size_t(ip)] && b.values[size_t(ip)] == a.values[size_t(ip)])
                errors->append(QStringLiteral("%1: row %2: ip %3 is on row %4 too")
                                   .arg(path)
                                   .arg(b.row)
                                   .arg(QString::fromLatin1(*b.values[size_t(ip)]))
                                   .arg(a.row));
        }
    }
    return inventory;
}
