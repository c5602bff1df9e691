#pragma once

#include <QFile>

// A memory figure of this process from /proc/self/status, in KiB ("VmRSS", "VmHWM"); -1 when
// the system has none.
inline long procStatusKib(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
    }
    return -1;
}
