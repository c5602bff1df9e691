#pragma once

// The units of one command judged together: their network settings as a whole, before anything is
// sent to any of them.

#include "procedure.h"

#include <QList>
#include <QObject>

#include <optional>

// Every planned unit's network settings as it will hold them (its wanted keys over what it holds),
// and no two units with one address. Every problem is reported; true when there is none.
bool judgeBatch(const QList<const UnitRecord *> &units, const Console &console);

// A barrier decided once: every unit arrives, with its plan or having ended; the last to arrive
// judges all of them, and every unit gets the same answer. After a stop request the answer is no.
class Batch : public QObject
{
    Q_OBJECT

public:
    Batch(int units, const Console &console);

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
    int m_missing;
    QList<const UnitRecord *> m_planned;
    std::optional<bool> m_verdict;
};
