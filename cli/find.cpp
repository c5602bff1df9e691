#include "find.h"

#include "ports.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QSerialPortInfo>

Found describePort(const QString &port, const QList<QSerialPortInfo> &ports)
{
    Found found{port, {}, {}, {}, {}};
    for (const QSerialPortInfo &info : ports) {
        if (info.portName() == port || info.systemLocation() == port) {
            found.serialNumber = info.serialNumber();
            found.location = info.systemLocation();
        }
    }
    return found;
}

Finder::Finder(const QStringList &ports, qint32 baud, int timeoutMs, const Console &console,
               QObject *parent)
    : QObject(parent), m_console(console), m_timeoutMs(timeoutMs)
{
    // Listing the ports walks the system's device tree: once is enough.
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    for (const QString &port : ports) {
        m_found << describePort(port, known);
        m_links.push_back(std::make_unique<Link>(port, baud, console));
    }
}

void Finder::start()
{
    m_running = int(m_links.size());
    if (m_running == 0)
        return emit finished();
    for (int i = 0; i < int(m_links.size()); ++i) {
        Link &link = *m_links[size_t(i)];
        QString error;
        if (!link.open(&error)) {
            m_console.note(error);
            done(i, link.openFailure());
            continue;
        }
        connect(&link, &Link::finished, this,
                [this, i](Link::Result result, const QByteArray &text) {
                    if (result == Link::Result::Value)
                        done(i, QStringLiteral("converter"), text);
                    else if (result == Link::Result::Unexpected)
                        done(i, QStringLiteral("not-a-converter"));
                    else
                        done(i, QStringLiteral("no-answer"));
                });
        link.ask(0, m_timeoutMs);
    }
}

void Finder::done(int i, const QString &status, const QByteArray &mac)
{
    m_links[size_t(i)]->close();
    m_found[i].status = status;
    m_found[i].mac = protocol::answeredMac(mac);
    if (--m_running == 0)
        emit finished();
}

QList<Found> findConverters(const QStringList &given, qint32 baud, int timeoutMs,
                            const Console &console)
{
    QStringList ports = given;
    QStringList skipped;
    if (ports.isEmpty()) {
        QList<ListedPort> listed;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            listed << ListedPort{info.portName(), info.hasVendorIdentifier()};
        ports = adapterPorts(listed, &skipped);
        if (!skipped.isEmpty())
            console.note(QStringLiteral("skipped, as no USB adapter: %1; give a port to ask it "
                                        "too, e.g. --port %2")
                             .arg(skipped.join(QStringLiteral(", ")), portPath(skipped.first())));
    }
    Finder finder(ports, baud, timeoutMs, console);
    QObject::connect(&finder, &Finder::finished, qApp, &QCoreApplication::quit);
    QMetaObject::invokeMethod(&finder, &Finder::start, Qt::QueuedConnection);
    if (!ports.isEmpty())
        QCoreApplication::exec();
    QList<Found> found = finder.found();
    for (const QString &port : qAsConst(skipped))
        found << Found{port, QStringLiteral("skipped"), {}, {}, {}};
    return found;
}

QStringList converterPorts(const QList<Found> &found)
{
    QStringList ports;
    for (const Found &port : found) {
        if (port.status == QLatin1String("converter"))
            ports << port.port;
    }
    return ports;
}
