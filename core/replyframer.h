#pragma once

#include <QByteArray>

#include <functional>
#include <optional>

// Joins the pieces a serial line delivers into whole replies. USB-serial adapters hand one answer
// over in several reads; a reply is complete when the bytes so far end in CR or LF, or when the
// line has been quiet for a while. A device that never ends a line is cut off at maxBytes.
class ReplyFramer
{
public:
    static constexpr int quietMs = 50;
    static constexpr int maxBytes = 4096;

    // Milliseconds on any monotonic scale; tests pass their own.
    using Clock = std::function<qint64()>;

    explicit ReplyFramer(Clock clock = {});

    // Takes the bytes of one read; returns the reply they complete, if any.
    std::optional<QByteArray> feed(const QByteArray &bytes);

    // The bytes held, as a reply, once the line has been quiet for quietMs.
    std::optional<QByteArray> takeIfQuiet();

    // Milliseconds until the bytes held count as a reply; -1 when nothing is held.
    int msUntilQuiet() const;

    void clear() { m_held.clear(); }

private:
    QByteArray take();

    Clock m_clock;
    QByteArray m_held;
    qint64 m_lastByteAt = 0;
};
