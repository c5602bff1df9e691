#include "gateway.h"

#include "modbus.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int headerBytes = 7; // transaction, protocol, length, unit
constexpr int maxPduBytes = 253;
constexpr int rtuOverhead = 3; // unit and CRC around the PDU on the line
// Long enough for a client to read one piece before the next arrives.
constexpr int piecePauseMs = 10;

int word(const QByteArray &bytes, int at)
{
    return int(quint8(bytes[at])) << 8 | quint8(bytes[at + 1]);
}

QString setting(const sim::Settings &settings, const char *key)
{
    return QString(settings[std::size_t(protocol::parameterIndex(QLatin1String(key)))]);
}

} // namespace

QList<QCommandLineOption> gatewayOptions()
{
    return {
        {QStringLiteral("mode"),
         QStringLiteral("The device mode: tcp-rtu (default), a Modbus TCP to RTU gateway on the "
                        "device's ip and TCP port, loopback addresses only; or rtu-tcp, "
                        "without a network side."),
         QStringLiteral("mode")},
        {QStringLiteral("slave"),
         QStringLiteral("An RTU slave on the RS-485 side, ID[:SPEED:PARITY:STOPBITS] (default "
                        "1:9600:none:1), with %1 holding and %1 input registers; it takes "
                        "writes to holding registers. It answers only when the device's speed, "
                        "parity and stop bits are its own. Then any of :drop=N, no answer to "
                        "every Nth request; :exception=CODE, that exception to every request; "
                        ":malformed=count, bare or foreign, a read's byte count off by two, "
                        "the function code alone, or an exception to another function; "
                        ":delay=MS[,MS...], each answer that much later, the next in turn. "
                        "Repeatable.")
             .arg(sim::ModbusSlave::registerCount),
         QStringLiteral("slave")},
        {QStringLiteral("rtu-timeout-ms"),
         QStringLiteral("How long the device waits for a slave's answer before it answers "
                        "exception 0x0B, in ms (default %1).")
             .arg(GatewayOptions().answerTimeoutMs),
         QStringLiteral("ms")},
        {QStringLiteral("ip"),
         QStringLiteral("The factory ip (192.168.0.10 without it); the network side opens only "
                        "on a loopback address, e.g. 127.0.0.2."),
         QStringLiteral("address")},
        {QStringLiteral("tcp-port"),
         QStringLiteral("The factory TCP port (502 without it), e.g. 15020."),
         QStringLiteral("port")},
        {QStringLiteral("tcp-split"),
         QStringLiteral("Send each Modbus TCP answer in pieces, cut at these byte offsets, a "
                        "negative one counted from the end; each piece is a write of its own, "
                        "%1 ms after the one before. E.g. 3,7,-1: inside the header, between "
                        "the header and the PDU, and before the last byte.")
             .arg(piecePauseMs),
         QStringLiteral("offsets")},
    };
}

bool readGatewayOptions(const QCommandLineParser &parser, GatewayOptions *options,
                        sim::Settings *factory, QString *error)
{
    const QString mode = parser.isSet(QStringLiteral("mode")) ? parser.value(QStringLiteral("mode"))
                                                              : QStringLiteral("tcp-rtu");
    if (!protocol::modeByKey(mode)) {
        *error = QStringLiteral("--mode must be tcp-rtu or rtu-tcp");
        return false;
    }
    options->enabled = mode == QLatin1String("tcp-rtu");
    if (parser.isSet(QStringLiteral("rtu-timeout-ms"))) {
        bool ok = false;
        options->answerTimeoutMs = parser.value(QStringLiteral("rtu-timeout-ms")).toInt(&ok);
        if (!ok || options->answerTimeoutMs < 1) {
            *error = QStringLiteral("--rtu-timeout-ms needs at least 1 ms");
            return false;
        }
    }
    if (parser.isSet(QStringLiteral("tcp-split"))) {
        for (const QString &text : parser.value(QStringLiteral("tcp-split")).split(',')) {
            bool ok = false;
            const int at = text.toInt(&ok);
            if (!ok || at == 0 || std::abs(at) >= headerBytes + maxPduBytes) {
                *error = QStringLiteral("--tcp-split needs byte offsets within an answer, such as "
                                        "3,7,-1; a negative one counts from the end");
                return false;
            }
            options->tcpSplit << at;
        }
    }
    for (const QString &text : parser.values(QStringLiteral("slave"))) {
        const std::optional<sim::ModbusSlave> slave = sim::parseSlave(text, error);
        if (!slave)
            return false;
        const auto same = [&slave](const sim::ModbusSlave &s) { return s.unit() == slave->unit(); };
        if (std::any_of(options->slaves.begin(), options->slaves.end(), same)) {
            *error = QStringLiteral("--slave %1: unit %2 is taken").arg(text).arg(slave->unit());
            return false;
        }
        options->slaves.push_back(*slave);
    }
    if (options->slaves.empty())
        options->slaves.emplace_back(1, sim::SerialLine{});
    for (const char *key : {"ip", "tcp_port"}) {
        const QString name = QString(QLatin1String(key)).replace('_', '-');
        if (!parser.isSet(name))
            continue;
        const int index = protocol::parameterIndex(QLatin1String(key));
        const protocol::Checked checked =
            protocol::check(protocol::parameters[index], parser.value(name).toLatin1());
        if (!checked.ok()) {
            *error = QStringLiteral("--%1: %2").arg(name, checked.rule);
            return false;
        }
        (*factory)[std::size_t(index)] = checked.value;
    }
    return true;
}

Gateway::Gateway(GatewayOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
    connect(&m_server, &QTcpServer::newConnection, this, &Gateway::accept);
}

void Gateway::serve(const sim::Settings &settings)
{
    if (!m_options.enabled)
        return;
    stop();
    m_line = sim::serialLine(settings);
    const QString ip = setting(settings, "ip");
    const QString port = setting(settings, "tcp_port");
    const QHostAddress address(ip);
    // A simulator must never pose as a device on a real network. Loopback is enough, and Linux
    // answers on every 127.x address, so each simulator may have its own.
    if (!address.isInSubnet(QHostAddress::LocalHost, 8)) {
        log(QStringLiteral("network side closed: %1 is not a loopback address").arg(ip));
        return;
    }
    if (!m_server.listen(address, quint16(port.toUInt()))) {
        log(QStringLiteral("network side closed: cannot serve %1:%2: %3")
                .arg(ip, port, m_server.errorString()));
        return;
    }
    log(QStringLiteral("serving Modbus TCP on %1:%2, RS-485 at %3")
            .arg(ip, port, sim::describe(m_line)));
}

void Gateway::stop()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_pending.keys();
    m_pending.clear();
    m_unsent.clear();
    for (QTcpSocket *socket : sockets) {
        socket->abort();
        socket->deleteLater();
    }
}

void Gateway::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_pending.insert(socket, {});
        // Nagle's algorithm would hold a piece back until the one before is acknowledged.
        if (!m_options.tcpSplit.isEmpty())
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { collect(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_unsent.remove(socket);
            if (m_pending.remove(socket))
                socket->deleteLater();
        });
    }
}

void Gateway::collect(QTcpSocket *socket)
{
    QByteArray &bytes = m_pending[socket];
    bytes += socket->readAll();
    while (bytes.size() >= headerBytes) {
        const int length = word(bytes, 4); // the unit and the PDU
        if (word(bytes, 2) != 0 || length < 2 || length > maxPduBytes + 1) {
            log(QStringLiteral("not Modbus TCP, connection closed: %1")
                    .arg(QString(bytes.left(headerBytes).toHex(' '))));
            m_pending.remove(socket);
            m_unsent.remove(socket);
            socket->abort();
            socket->deleteLater();
            return;
        }
        if (bytes.size() < 6 + length)
            return;
        const QByteArray header = bytes.left(headerBytes);
        const QByteArray pdu = bytes.mid(headerBytes, length - 1);
        bytes.remove(0, 6 + length);
        relay(socket, header, pdu);
    }
}

void Gateway::relay(QTcpSocket *socket, const QByteArray &header, const QByteArray &pdu)
{
    const int unit = quint8(header[6]);
    const auto slave = std::find_if(m_options.slaves.begin(), m_options.slaves.end(),
                                    [unit](const sim::ModbusSlave &s) { return s.unit() == unit; });
    // What a slave sends is decided as the request arrives; the line's queue only delays it.
    QByteArray response;
    QString outcome;
    double busyMs = sim::frameMs(m_line, pdu.size() + rtuOverhead);
    if (slave == m_options.slaves.end()) {
        outcome = QStringLiteral("no slave %1 on the line").arg(unit);
    } else if (slave->line() != m_line) {
        outcome = QStringLiteral("slave %1 listens at %2, the line runs at %3")
                      .arg(unit)
                      .arg(sim::describe(slave->line()), sim::describe(m_line));
    } else {
        response = slave->answer(pdu);
        if (response.isEmpty())
            outcome = QStringLiteral("slave %1 dropped its answer").arg(unit);
        else
            busyMs += slave->delayMs() + sim::frameMs(m_line, response.size() + rtuOverhead);
    }
    if (response.isEmpty()) {
        response = sim::exceptionPdu(pdu[0], modbus::GatewayTargetFailedToRespond);
        busyMs += m_options.answerTimeoutMs;
    }
    // The line carries one request at a time; later ones wait their turn.
    const double now = double(QDeadlineTimer::current(Qt::PreciseTimer).deadline());
    m_lineFreeAt = std::max(m_lineFreeAt, now) + busyMs;
    QByteArray frame = header.left(4);
    frame.append(char((response.size() + 1) >> 8)).append(char(response.size() + 1));
    frame.append(char(unit)).append(response);
    log(QStringLiteral("modbus unit %1 <- %2 -> %3%4")
            .arg(unit)
            .arg(QString(pdu.toHex(' ')), QString(response.toHex(' ')),
                 outcome.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(outcome)));
    // The socket as context: a connection closed meanwhile, or a restart, loses the answer.
    QTimer::singleShot(int(std::ceil(m_lineFreeAt - now)), Qt::PreciseTimer, socket,
                       [this, socket, frame] { send(socket, frame); });
}

void Gateway::send(QTcpSocket *socket, const QByteArray &frame)
{
    if (m_options.tcpSplit.isEmpty()) {
        socket->write(frame);
        return;
    }
    QList<int> cuts;
    for (const int at : qAsConst(m_options.tcpSplit))
        cuts << (at < 0 ? int(frame.size()) + at : at);
    std::sort(cuts.begin(), cuts.end());
    // The pieces of an earlier answer still going out go first: an answer never overtakes one.
    QList<QByteArray> &unsent = m_unsent[socket];
    const bool idle = unsent.isEmpty();
    int from = 0;
    for (const int at : qAsConst(cuts)) {
        if (at > from && at < frame.size()) {
            unsent << frame.mid(from, at - from);
            from = at;
        }
    }
    unsent << frame.mid(from);
    if (idle)
        sendPiece(socket);
}

void Gateway::sendPiece(QTcpSocket *socket)
{
    const auto unsent = m_unsent.find(socket);
    if (unsent == m_unsent.end())
        return;
    socket->write(unsent->takeFirst());
    socket->flush();
    if (unsent->isEmpty()) {
        m_unsent.erase(unsent);
        return;
    }
    QTimer::singleShot(piecePauseMs, Qt::PreciseTimer, socket,
                       [this, socket] { sendPiece(socket); });
}

void Gateway::log(const QString &text) const
{
    if (m_options.quiet)
        return;
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    std::fprintf(stderr, "%s %s\n", qPrintable(time), text.toLocal8Bit().constData());
}
