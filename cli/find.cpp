#include "find.h"

#include "protocol.h"

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
