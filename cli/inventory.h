#pragma once

// A batch's sheet: one row per unit, found by the MAC printed on its label, with the settings
// that unit alone gets. Saved from a spreadsheet as CSV (comma or semicolon, quoted cells, a
// header row) or written as a JSON array of objects.

#include "profile.h"

#include <QList>
#include <QStringList>

#include <optional>

struct Unit
{
    int row; // as a person counts it in the file, the header being row 1
    QByteArray mac;
    QString mode;  // empty: the shared profile's
    Values values; // checked, in their plain form; the MAC is not among them
};

struct Inventory
{
    QList<Unit> units;

    const Unit *find(const QByteArray &mac) const;
};

// Every error is added, with its row and column.
std::optional<Inventory> readInventory(const QString &path, QStringList *errors);

// The cells of a spreadsheet's rows, its byte order mark and line ends taken off.
QList<QStringList> parseCsv(const QByteArray &text);
// One row of cells as a spreadsheet reads it back: quoted where a cell needs it.
QString csvRow(const QStringList &cells);
