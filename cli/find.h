#pragma once

#include "link.h"

#include <QList>
#include <QSerialPortInfo>

#include <memory>
#include <vector>

// What one port holds: a converter and its MAC, or why there is none.
struct Found
{
    QString port;
    QString
        status; // converter, not-a-converter, no-answer, in-use, no-access, cannot-open, skipped
    QByteArray mac;
    QString serialNumber; // the adapter's, where the system knows it
    QString location;
};

// Asks every port for a MAC at the same time, so that a hub of adapters takes one time-out.
class Finder : public QObject
{
    Q_OBJECT

public:
    Finder(const QStringList &ports, qint32 baud, int timeoutMs, const Console &console,
           QObject *parent = nullptr);

    void start();
    const QList<Found> &found() const { return m_found; }

signals:
    void finished();

private:
    void done(int i, const QString &status, const QByteArray &mac = {});

    const Console &m_console;
    const int m_timeoutMs;
    QList<Found> m_found;
    std::vector<std::unique_ptr<Link>> m_links;
    int m_running = 0;
};

// The adapter's serial number and location for a port given by name or path, among the ports the
// system lists; empty where unknown.
Found describePort(const QString &port, const QList<QSerialPortInfo> &ports);

// The USB adapters the system lists, or the ports given; all asked at once, each with what
// answers there. Runs the event loop until every port has answered or given up.
QList<Found> findConverters(const QStringList &given, qint32 baud, int timeoutMs,
                            const Console &console);
// The ports where a converter answered.
QStringList converterPorts(const QList<Found> &found);
