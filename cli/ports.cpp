#include "ports.h"

#include <QFileInfo>

QString portPath(const QString &port)
{
#ifdef Q_OS_WIN
    return port;
#else
    // The serial library's own rule.
    if (port.startsWith(QLatin1Char('/')) || port.startsWith(QLatin1String("./")) ||
        port.startsWith(QLatin1String("../")))
        return port;
    return QStringLiteral("/dev/") + port;
#endif
}

QString devicePath(const QString &port)
{
    const QString canonical = QFileInfo(portPath(port)).canonicalFilePath();
    return canonical.isEmpty() ? port : canonical;
}

QString missingPort(const QString &port)
{
    const QString path = portPath(port);
    if (path == port)
        return QStringLiteral("no such port: %1; \"tcprtu ports\" lists the serial ports")
            .arg(port);
    const QString here = QStringLiteral("./") + port;
    if (QFileInfo::exists(here))
        return QStringLiteral("no such port %1 (tried %2); %3 is in this directory: give --port %3")
            .arg(port, path, here);
    return QStringLiteral("no such port %1 (tried %2); \"tcprtu ports\" lists the serial ports")
        .arg(port, path);
}

QStringList repeatedPorts(const QStringList &ports)
{
    QStringList errors, seen;
    for (const QString &port : ports) {
        const QFileInfo info(portPath(port));
        const QString canonical = info.canonicalFilePath();
        const QString line = canonical.isEmpty() ? info.absoluteFilePath() : canonical;
        if (seen.contains(line))
            errors << QStringLiteral("--port %1: given twice (%2)").arg(port, line);
        seen << line;
    }
    return errors;
}

QStringList adapterPorts(const QList<ListedPort> &listed, QStringList *skipped)
{
    QStringList ports;
    for (const ListedPort &port : listed)
        (port.usb ? ports : *skipped) << port.name;
    return ports;
}
