#include "batch.h"

#include "plan.h"

#include <qcoro/qcorosignal.h>

bool judgeBatch(const QList<const UnitRecord *> &units, bool force, const Console &console)
{
    QList<PlannedUnit> planned;
    for (const UnitRecord *unit : units)
        planned << PlannedUnit{unit->port, *unit->before[0], unit->mode, unit->before,
                               unit->wanted};
    const QStringList problems = batchProblems(planned, force);
    for (const QString &problem : problems)
        console.error(problem);
    return problems.isEmpty();
}

Batch::Batch(const QList<const UnitRecord *> &units, bool force, const Console &console)
    : m_console(console), m_force(force), m_units(units), m_missing(int(units.size()))
{
}

QCoro::Task<bool> Batch::verdict(const UnitRecord *unit)
{
    if (!m_verdict) {
        m_planned << unit;
        arrive();
    }
    if (m_verdict)
        co_return *m_verdict;
    co_return co_await qCoro(this, &Batch::decided);
}

void Batch::leave()
{
    if (!m_verdict)
        arrive();
}

void Batch::stop()
{
    if (!m_verdict)
        decide(false);
}

void Batch::arrive()
{
    if (--m_missing > 0)
        return;
    QList<const UnitRecord *> planned;
    for (const UnitRecord *unit : m_units) {
        if (m_planned.contains(unit))
            planned << unit;
    }
    decide(judgeBatch(planned, m_force, m_console));
}

void Batch::decide(bool proceed)
{
    m_verdict = proceed;
    emit decided(proceed);
}
