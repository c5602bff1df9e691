#pragma once

// The units of one command judged together: their network settings as a whole, before anything is
// sent to any of them.

#include "procedure.h"

#include <QList>
#include <QObject>
#include <QSet>

#include <optional>

// The planned units judged by batchProblems(). Every problem is reported; true when there is none.
bool judgeBatch(const QList<const UnitRecord *> &units, bool force, const Console &console);

// A barrier decided once: every unit arrives, with its plan or having ended; the last to arrive
// judges all of them, and every unit gets the same answer. After a stop request the answer is no.
class Batch : public QObject
{
    Q_OBJECT

public:
    // The units of the command, in the order the command gave their ports: problems are named in
    // that order, whichever unit arrives first.
    Batch(const QList<const UnitRecord *> &units, bool force, const Console &console);

    // A unit that read its device and found its plan: true to go on and write it.
    QCoro::Task<bool> verdict(const UnitRecord *unit);
    // A unit that ended before it had a plan.
    void leave();
    void stop();

signals:
    void decided(bool proceed);

private:
    void arrive();
    void decide(bool proceed);

    const Console &m_console;
    const bool m_force;
    const QList<const UnitRecord *> m_units;
    int m_missing;
    QSet<const UnitRecord *> m_planned;
    std::optional<bool> m_verdict;
};
