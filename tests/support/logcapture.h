#pragma once

#include <QStringList>

// Collects the debug log while it lives; one entry per message.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    int count(const QString &line) const { return lines().count(line); }
};
