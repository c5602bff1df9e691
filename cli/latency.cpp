#include "latency.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double smallestMs = 1e-3;
constexpr double largestMs = 3.6e6; // the longest time-out
// A latency is told by its bucket's middle, sqrt(growth) - 1 = 0.995% off at most.
constexpr double growth = 1.02;

int bucketCount()
{
    return int(std::ceil(std::log(largestMs / smallestMs) / std::log(growth))) + 1;
}

int bucketOf(double ms)
{
    if (ms < smallestMs)
        return 0;
    return std::min(int(std::log(ms / smallestMs) / std::log(growth)), bucketCount() - 1);
}

} // namespace

void LatencySummary::add(double ms)
{
    if (m_buckets.isEmpty())
        m_buckets.resize(bucketCount());
    ++m_buckets[bucketOf(ms)];
    m_lowest = m_count == 0 ? ms : std::min(m_lowest, ms);
    m_highest = m_count == 0 ? ms : std::max(m_highest, ms);
    ++m_count;
}

double LatencySummary::percentile(int percent) const
{
    if (m_count == 0)
        return 0;
    const qint64 rank = std::max<qint64>(1, (percent * m_count + 99) / 100);
    qint64 below = 0;
    int bucket = 0;
    while (below + m_buckets[bucket] < rank)
        below += m_buckets[bucket++];
    const double middle = smallestMs * std::pow(growth, bucket + 0.5);
    return std::clamp(middle, m_lowest, m_highest);
}
