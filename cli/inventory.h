#pragma once

// A batch's sheet: one row per unit, found by the MAC printed on its label, with the settings
// that unit alone gets. Saved from a spreadsheet as CSV (comma, semicolon or tab, quoted cells, a
// header row; UTF-8, UTF-16 with its byte order mark, or a code page named) or written as a JSON
// array of objects.

#include "profile.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

#include <optional>

struct Unit
{
    int row = 0; // the line of the file it starts on, as an editor counts it
    QByteArray mac;
    QString mode;  // empty: the shared profile's
    Values values; // checked, in their plain form; the MAC is not among them
    // What else the row says of the unit, carried into the log and the report: its label, and
    // each other column that is no setting.
    QString label;
    QJsonObject notes;
};

// The columns tcprtu's report adds to a sheet's: a sheet made from a report brings them back, and
// they are no notes.
inline const QStringList reportColumns{
    "state",           "result",         "status",  "verified_at", "check",     "check_values",
    "check_ms",        "time",           "user",    "host",        "version",   "writes",
    "staged",          "refused",        "message", "slaves",      "slaves_at", "modbus",
    "commissioned_at", "commissioned_by"};

struct Inventory
{
    QString path;
    QList<Unit> units;
    QStringList warnings; // rows passed over

    const Unit *find(const QByteArray &mac) const;
};

// Every error is added, with its row and column. A CSV sheet without a byte order mark is read in
// the encoding named, else as UTF-8; an encoding tcprtu does not know is an error before the
// sheet is read.
std::optional<Inventory> readInventory(const QString &path, const QString &encoding,
                                       QStringList *errors);

// What each row asks of its mode, judged before any port opens: a mode for every row, one that
// agrees with --mode where both are given (modeOption), every key of the row and of the shared
// values a setting of the row's mode, and --check only in the mode that serves Modbus TCP.
QStringList rowProblems(const Inventory &inventory, const protocol::Mode *shared,
                        const QString &modeOption, const Values &sharedValues, bool check);

// Each cell that goes over a different shared value (a profile's or --set's): a sheet read with
// read --csv has every cell filled, and would quietly keep what --set was meant to change.
QStringList rowsOverShared(const Inventory &inventory, const Values &sharedValues);

// Whether tcprtu's Qt reads text in the encoding of that name (cp1252, cp1251, ...).
bool knownEncoding(const QString &name);
// A sheet's text: UTF-16 or UTF-8 by its byte order mark, the mark taken off; else in the
// encoding named, one knownEncoding(); else UTF-8. Nothing, with the reason, for a byte that is
// no UTF-8 (a spreadsheet's plain "CSV" is in the computer's code page): named by row and column,
// with what to do.
std::optional<QString> sheetText(const QByteArray &bytes, const QString &encoding, QString *error);

struct CsvRow
{
    int line; // where the row starts, counted from 1
    QStringList cells;
};

// A spreadsheet's rows, blank ones left out, read as spreadsheets write them: a quote is special
// only at the start of a cell. A quoted cell still open at the end is added to errors.
QList<CsvRow> parseCsv(const QString &text, QStringList *errors);
// One row of cells as a spreadsheet reads it back: quoted where a cell needs it.
QString csvRow(const QStringList &cells);
