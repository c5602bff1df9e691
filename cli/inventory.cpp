#include "inventory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

namespace {

// A sheet for a few hundred units; anything much larger is not one.
constexpr qint64 maxInventoryBytes = 1024 * 1024;

// A spreadsheet saves with the separator of its locale, a semicolon where the comma is the
// decimal mark, or with tabs as "Unicode text".
QChar separator(const QString &firstLine)
{
    QChar best = QLatin1Char(',');
    for (const QChar candidate : {QLatin1Char(';'), QLatin1Char('\t')}) {
        if (firstLine.count(candidate) > firstLine.count(best))
            best = candidate;
    }
    return best;
}

QString firstLine(const QString &text)
{
    return text.left(int(text.indexOf(QLatin1Char('\n'))));
}

// A spreadsheet runs a cell that starts so as a formula: such text is written after an apostrophe,
// which the spreadsheet shows as text and the reader takes off again. A lone dash is no formula.
bool formulaLike(const QString &cell)
{
    static const QString starts = QStringLiteral("=+-@\t\r");
    return !cell.isEmpty() && starts.contains(cell.front()) && cell != QLatin1String("-");
}

// A spreadsheet's rows, blank ones left out, cells split at `split`.
QList<CsvRow> csvRows(const QString &text, QChar split, QStringList *errors)
{
    const QChar quote = QLatin1Char('"');
    QList<CsvRow> rows{{1, {}}};
    QString cell;
    int line = 1, quoteLine = 0;
    bool quoted = false, started = false;
    const auto endCell = [&] {
        cell = cell.trimmed();
        if (cell.startsWith(QLatin1Char('\'')) && formulaLike(cell.mid(1)))
            cell.remove(0, 1);
        rows.last().cells << cell;
        cell.clear();
        started = false;
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n'))
            ++line;
        if (quoted) {
            if (c == quote && i + 1 < text.size() && text[i + 1] == quote)
                cell += text[++i];
            else if (c == quote)
                quoted = false;
            else
                cell += c;
        } else if (c == quote && !started) {
            quoted = true;
            started = true;
            quoteLine = line;
        } else if (c == split) {
            endCell();
        } else if (c == QLatin1Char('\n')) {
            endCell();
            rows << CsvRow{line, {}};
        } else if (c != QLatin1Char('\r')) {
            cell += c;
            started = true;
        }
    }
    endCell();
    if (quoted)
        errors->append(
            QStringLiteral("row %1: a quoted cell opens here and is never closed").arg(quoteLine));
    // Blank lines, as a sheet's end often has, are no rows.
    QList<CsvRow> filled;
    for (const CsvRow &row : qAsConst(rows)) {
        if (!row.cells.join(QString()).isEmpty())
            filled << row;
    }
    return filled;
}

bool isUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Where the first byte that is no UTF-8 lies: its offset, or -1 when every byte is. Decoded and
// encoded again, UTF-8 comes back as it was up to there, a byte that is none having become
// U+FFFD; a sequence cut short there began a byte or three before.
int firstNonUtf8(const QByteArray &bytes)
{
    const QByteArray again = QString::fromUtf8(bytes).toUtf8();
    if (again == bytes)
        return -1;
    int i = 0;
    while (i < bytes.size() && i < again.size() && bytes[i] == again[i])
        ++i;
    while (i > 0 && !isUtf8(bytes.left(i)))
        --i;
    return i;
}

QString decoded(const QByteArray &bytes, const QString &encoding)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder decoder(encoding.toLatin1().constData());
    return decoder(bytes);
#else
    return QTextCodec::codecForName(encoding.toLatin1())->toUnicode(bytes);
#endif
}

// The header's names, as people write them: "MAC address", "Mode".
QString columnName(const QString &header)
{
    const QString name = header.simplified().toLower();
    return name == QLatin1String("mac address") ? QStringLiteral("mac") : name;
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

bool knownEncoding(const QString &name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QStringDecoder(name.toLatin1().constData()).isValid();
#else
    return QTextCodec::codecForName(name.toLatin1()) != nullptr;
#endif
}

std::optional<QString> sheetText(const QByteArray &bytes, const QString &encoding, QString *error)
{
    const bool littleEndian = bytes.startsWith("\xff\xfe");
    if (littleEndian || bytes.startsWith("\xfe\xff")) {
        QString text;
        for (int i = 2; i + 1 < bytes.size(); i += 2) {
            const auto first = uchar(bytes[i]), second = uchar(bytes[i + 1]);
            text += QChar(littleEndian ? ushort(first | second << 8) : ushort(first << 8 | second));
        }
        return text;
    }
    const QByteArray mark("\xef\xbb\xbf");
    const bool marked = bytes.startsWith(mark);
    if (!marked && !encoding.isEmpty())
        return decoded(bytes, encoding);
    const QByteArray utf8 = marked ? bytes.mid(mark.size()) : bytes;
    const int bad = firstNonUtf8(utf8);
    if (bad < 0)
        return QString::fromUtf8(utf8);
    // The row and column of the byte: the rows up to it, with a character of the cell it is in.
    QStringList ignored;
    const QList<CsvRow> rows = csvRows(QString::fromUtf8(utf8.left(bad)) + QLatin1Char('x'),
                                       separator(firstLine(QString::fromUtf8(utf8))), &ignored);
    *error = QStringLiteral("row %1, column %2: not UTF-8 (byte 0x%3); save the sheet as \"CSV "
                            "UTF-8\", or give its encoding, e.g. --encoding cp1252 or "
                            "--encoding cp1251")
                 .arg(rows.last().line)
                 .arg(rows.last().cells.size())
                 .arg(uchar(utf8[bad]), 2, 16, QLatin1Char('0'));
    return std::nullopt;
}

QList<CsvRow> parseCsv(const QString &text, QStringList *errors)
{
    return csvRows(text, separator(firstLine(text)), errors);
}

QString csvRow(const QStringList &cells)
{
    QStringList quoted;
    for (QString cell : cells) {
        if (formulaLike(cell))
            cell.prepend(QLatin1Char('\''));
        if (cell.contains(QLatin1Char(',')) || cell.contains(QLatin1Char('"')) ||
            cell.contains(QLatin1Char(';')) || cell.contains(QLatin1Char('\n')) ||
            cell.contains(QLatin1Char('\r')) || cell.contains(QLatin1Char('\t')))
            cell = QLatin1Char('"') + cell.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
                   QLatin1Char('"');
        quoted << cell;
    }
    return quoted.join(QLatin1Char(','));
}

std::optional<Inventory> readInventory(const QString &path, const QString &encoding,
                                       QStringList *errors)
{
    if (!encoding.isEmpty() && !knownEncoding(encoding)) {
        errors->append(
            QStringLiteral("--encoding %1: not an encoding tcprtu knows, e.g. cp1252, cp1251 or "
                           "latin1")
                .arg(encoding));
        return std::nullopt;
    }
    const std::optional<QByteArray> file = readSmallFile(path, maxInventoryBytes, errors);
    if (!file)
        return std::nullopt;
    const QByteArray &bytes = *file;
    // Both forms become a header and rows of text, judged alike.
    QStringList header;
    QList<CsvRow> rows;
    if (path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
        if (!encoding.isEmpty()) {
            errors->append(QStringLiteral("--encoding: %1 is JSON, which is UTF-8").arg(path));
            return std::nullopt;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (document.isNull()) {
            errors->append(
                QStringLiteral("%1: %2: not JSON: %3")
                    .arg(path, textPosition(bytes, parseError.offset), parseError.errorString()));
            return std::nullopt;
        }
        if (!document.isArray()) {
            errors->append(QStringLiteral("%1: not a JSON array of objects").arg(path));
            return std::nullopt;
        }
        for (const QJsonValue &value : document.array()) {
            for (const QString &key : value.toObject().keys()) {
                if (!header.contains(key))
                    header << key;
            }
        }
        // An object is counted as a row under a header, as a sheet's would be.
        for (const QJsonValue &value : document.array()) {
            QStringList cells;
            for (const QString &key : qAsConst(header))
                cells << cellText(value.toObject().value(key));
            rows << CsvRow{int(rows.size()) + 2, cells};
        }
    } else {
        QString encodingError;
        const std::optional<QString> text = sheetText(bytes, encoding, &encodingError);
        if (!text) {
            errors->append(path + QStringLiteral(": ") + encodingError);
            return std::nullopt;
        }
        QStringList csvErrors;
        rows = parseCsv(*text, &csvErrors);
        for (const QString &error : qAsConst(csvErrors))
            errors->append(path + QStringLiteral(": ") + error);
        if (!rows.isEmpty())
            header = rows.takeFirst().cells;
    }
    for (QString &name : header)
        name = columnName(name);
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
        const int first = int(header.indexOf(header[c]));
        if (first < c && !header[c].isEmpty())
            errors->append(QStringLiteral("%1: column %2 \"%3\": given twice, also column %4")
                               .arg(path)
                               .arg(c + 1)
                               .arg(header[c])
                               .arg(first + 1));
    }
    Inventory inventory;
    inventory.path = path;
    for (const CsvRow &row : qAsConst(rows)) {
        const QStringList &cells = row.cells;
        const QString where = QStringLiteral("%1: row %2").arg(path).arg(row.line);
        if (cells.size() > header.size())
            errors->append(QStringLiteral("%1: %2 cells, more than the header's %3")
                               .arg(where)
                               .arg(cells.size())
                               .arg(header.size()));
        // What read --csv writes for a port that failed, or a note between units.
        if (cells.value(macColumn).isEmpty()) {
            inventory.warnings << QStringLiteral("warning: %1: no MAC, passed over").arg(where);
            continue;
        }
        Unit unit;
        unit.row = row.line;
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
            if (columns[c] == -2 && header[c] == QLatin1String("label"))
                unit.label = cell;
            else if (columns[c] == -2 && !cell.isEmpty() && !header[c].isEmpty() &&
                     header[c] != QLatin1String("port") && !reportColumns.contains(header[c]))
                unit.notes.insert(header[c], cell);
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

QStringList rowsOverShared(const Inventory &inventory, const Values &sharedValues)
{
    QStringList warnings;
    for (const Unit &unit : inventory.units) {
        for (int i = 0; i < protocol::parameterCount; ++i) {
            const std::optional<QByteArray> &cell = unit.values[size_t(i)];
            const std::optional<QByteArray> &shared = sharedValues[size_t(i)];
            if (cell && shared && *cell != *shared)
                warnings << QStringLiteral("warning: %1: row %2: %3=%4 goes over the shared %3=%5; "
                                           "empty the cell to write the shared value")
                                .arg(inventory.path)
                                .arg(unit.row)
                                .arg(protocol::parameters[i].key, QString::fromLatin1(*cell),
                                     QString::fromLatin1(*shared));
        }
    }
    return warnings;
}

QStringList rowProblems(const Inventory &inventory, const protocol::Mode *shared,
                        const QString &modeOption, const Values &sharedValues, bool check)
{
    QStringList problems;
    for (const Unit &unit : inventory.units) {
        const QString where = QStringLiteral("%1: row %2").arg(inventory.path).arg(unit.row);
        const protocol::Mode *mode = unit.mode.isEmpty() ? shared : protocol::modeByKey(unit.mode);
        if (!unit.mode.isEmpty() && !mode)
            continue; // a mode no device has, reported as the sheet was read
        if (!unit.mode.isEmpty() && !modeOption.isEmpty() && unit.mode != modeOption) {
            problems
                << QStringLiteral("%1: mode %2, but --mode %3").arg(where, unit.mode, modeOption);
            continue;
        }
        if (!mode) {
            problems << QStringLiteral("%1: no mode: give --mode, \"mode\" in the profile or a "
                                       "mode column")
                            .arg(where);
            continue;
        }
        for (int i = mode->queried; i < protocol::parameterCount; ++i) {
            if (unit.values[size_t(i)] || sharedValues[size_t(i)])
                problems << QStringLiteral("%1: %2: not a setting in mode %3%4")
                                .arg(where, protocol::parameters[i].key, mode->key,
                                     unit.values[size_t(i)] ? QString()
                                                            : QStringLiteral(" (shared value)"));
        }
        if (check && mode != &protocol::modes[0])
            problems << QStringLiteral("%1: --check: only in mode %2, not %3")
                            .arg(where, protocol::modes[0].key, mode->key);
    }
    return problems;
}
