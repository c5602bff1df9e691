#include "replyframer.h"

#include <QDeadlineTimer>

#include <algorithm>

ReplyFramer::ReplyFramer(Clock clock) : m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return QDeadlineTimer::current().deadline(); };
}

std::optional<QByteArray> ReplyFramer::feed(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return std::nullopt;
    m_held += bytes;
    m_lastByteAt = m_clock();
    if (m_held.endsWith('\r') || m_held.endsWith('\n') || m_held.size() >= maxBytes)
        return take();
    return std::nullopt;
}

std::optional<QByteArray> ReplyFramer::takeIfQuiet()
{
    if (m_held.isEmpty() || msUntilQuiet() > 0)
        return std::nullopt;
    return take();
}

int ReplyFramer::msUntilQuiet() const
{
    if (m_held.isEmpty())
        return -1;
    return int(std::max<qint64>(0, m_lastByteAt + quietMs - m_clock()));
}

QByteArray ReplyFramer::take()
{
    const QByteArray reply = m_held;
    m_held.clear();
    return reply;
}
