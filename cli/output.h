#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Where the program's text goes: results to standard output, everything else to standard error,
// and of that only errors under --quiet.
class Console
{
public:
    bool quiet = false;
    bool trace = false;
    bool progress = false; // standard error is a terminal

    void result(const QString &text) const;
    // Whether every result reached standard output: a full disk or a closed pipe loses them.
    bool resultsWritten() const { return !m_resultLost; }
    void error(const QString &text) const;
    // Each of them; whether there was none.
    bool errors(const QStringList &texts) const;
    // Diagnostics that are not errors.
    void note(const QString &text) const;
    // How a run gets on; only for a person watching a terminal.
    void step(const QString &text) const;
    // The one line that tells how a long run gets on, rewritten in place; only for a person
    // watching a terminal. An empty text takes it away, as is due before anything else is shown.
    void live(const QString &text) const;
    void traffic(const QString &port, char direction, const QByteArray &bytes) const;

private:
    mutable bool m_resultLost = false;
};

bool standardErrorIsTerminal();

// Rows of cells laid out as columns, each as wide as its widest cell.
QString table(const QList<QStringList> &rows);
