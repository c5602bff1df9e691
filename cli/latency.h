#pragma once

#include <QVector>
#include <QtGlobal>

// The latencies of a run of any length in constant memory: each is counted in a bucket 2% wide,
// the buckets log-spaced from 1 µs to an hour, so that a percentile is read off within 1% of the
// exact one. Counts are exact, and so are the lowest and the highest latency.
class LatencySummary
{
public:
    void add(double ms);
    qint64 count() const { return m_count; }
    // The nearest-rank percentile, within 1%: the least latency that this percentage of them
    // does not exceed. 0 without any.
    double percentile(int percent) const;

private:
    QVector<qint64> m_buckets;
    qint64 m_count = 0;
    double m_lowest = 0;
    double m_highest = 0;
};
