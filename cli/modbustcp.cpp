#include "modbustcp.h"

#include "modbus.h"
#include "status.h"

#include <algorithm>

namespace {

constexpr int headerBytes = 7; // transaction, protocol, length, unit
constexpr int maxPduBytes = 253;

int word(const QByteArray &bytes, int at)
{
    return int(quint8(bytes[at])) << 8 | quint8(bytes[at + 1]);
}

void appendWord(QByteArray *bytes, int value)
{
    bytes->append(char(value >> 8)).append(char(value & 0xff));
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

QByteArray readRequest(bool input, int address, int count)
{
    QByteArray pdu(1, char(input ? modbus::ReadInputRegisters : modbus::ReadHoldingRegisters));
    appendWord(&pdu, address);
    appendWord(&pdu, count);
    return pdu;
}

QByteArray writeRequest(int address, const QVector<quint16> &values)
{
    const bool one = values.size() == 1;
    QByteArray pdu(1, char(one ? modbus::WriteSingleRegister : modbus::WriteMultipleRegisters));
    appendWord(&pdu, address);
    if (!one) {
        appendWord(&pdu, values.size());
        pdu.append(char(2 * values.size()));
    }
    for (const quint16 value : values)
        appendWord(&pdu, value);
    return pdu;
}

ModbusAnswer judgeAnswer(const QByteArray &request, const QByteArray &pdu)
{
    ModbusAnswer answer;
    const quint8 function = quint8(request[0]);
    const quint8 answered = pdu.isEmpty() ? 0 : quint8(pdu[0]);
    if (answered == (function | modbus::exceptionBit) && pdu.size() == 2) {
        answer.kind = ModbusAnswer::Exception;
        answer.exception = quint8(pdu[1]);
        return answer;
    }
    answer.kind = ModbusAnswer::Unusable;
    if (pdu.isEmpty()) {
        answer.fault = QStringLiteral("no PDU");
    } else if (answered & modbus::exceptionBit) {
        answer.fault = pdu.size() == 2 ? QStringLiteral("an exception to function %1, not %2")
                                             .arg(answered & ~modbus::exceptionBit)
                                             .arg(function)
                                       : QStringLiteral("an exception of %1 bytes").arg(pdu.size());
    } else if (answered != function) {
        answer.fault = QStringLiteral("function %1, not %2").arg(answered).arg(function);
    } else if (function == modbus::WriteSingleRegister ||
               function == modbus::WriteMultipleRegisters) {
        // A write is answered with the request's own address, and its value or count.
        if (pdu == request.left(5))
            answer.kind = ModbusAnswer::Data;
        else
            answer.fault = QStringLiteral("not the write's address and %1")
                               .arg(function == modbus::WriteSingleRegister ? "value" : "count");
    } else if (pdu.size() == 1) {
        answer.fault = QStringLiteral("the function code alone");
    } else {
        const int count = word(request, 3);
        const int byteCount = quint8(pdu[1]);
        if (byteCount == 2 * count && pdu.size() == 2 + byteCount) {
            answer.kind = ModbusAnswer::Data;
            for (int i = 0; i < count; ++i)
                answer.values << quint16(word(pdu, 2 + 2 * i));
        } else {
            answer.fault = QStringLiteral("a byte count of %1 and %2 bytes of data, for %3 "
                                          "register%4")
                               .arg(byteCount)
                               .arg(pdu.size() - 2)
                               .arg(count)
                               .arg(count == 1 ? "" : "s");
        }
    }
    return answer;
}

QString exceptionCode(int code)
{
    return QStringLiteral("0x") +
           QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

QString exceptionText(int code)
{
    return QStringLiteral("exception %1 %2")
        .arg(exceptionCode(code), QLatin1String(modbus::exceptionName(code)));
}

ModbusTcp::ModbusTcp(QString host, quint16 port, int timeoutMs, QObject *parent)
    : QObject(parent), m_host(std::move(host)), m_port(port), m_timeoutMs(timeoutMs)
{
    m_connectTimer.setSingleShot(true);
    m_headTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { noConnection(QStringLiteral("no answer within %1 ms").arg(m_timeoutMs)); });
    connect(&m_headTimer, &QTimer::timeout, this, [this] {
        const Pending head = m_queue.takeFirst();
        startHeadTimer();
        ModbusAnswer answer;
        answer.ms = head.clock.nsecsElapsed() / 1e6;
        emit answered(head.id, answer);
    });
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        m_connectTimer.stop();
        emit connected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, &ModbusTcp::collect);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_connectTimer.isActive())
            return noConnection(m_socket.errorString());
        fail(PortFailed, QStringLiteral("the connection to %1 was lost: %2")
                             .arg(where(), m_socket.errorString()));
    });
}

QString ModbusTcp::where() const
{
    return QStringLiteral("%1:%2").arg(m_host).arg(m_port);
}

void ModbusTcp::open()
{
    m_connectTimer.start(m_timeoutMs);
    m_socket.connectToHost(m_host, m_port);
}

int ModbusTcp::send(int unit, const QByteArray &pdu)
{
    const quint16 id = m_nextId++;
    QByteArray frame;
    appendWord(&frame, id);
    appendWord(&frame, 0);
    appendWord(&frame, pdu.size() + 1);
    frame.append(char(unit)).append(pdu);
    m_socket.write(frame);
    m_queue.append({id, unit, pdu, {}});
    m_queue.last().clock.start();
    if (m_queue.size() == 1)
        startHeadTimer();
    return id;
}

void ModbusTcp::close()
{
    m_connectTimer.stop();
    m_headTimer.stop();
    m_queue.clear();
    m_received.clear();
    m_socket.abort();
}

void ModbusTcp::startHeadTimer()
{
    if (m_queue.isEmpty())
        m_headTimer.stop();
    else
        m_headTimer.start(m_timeoutMs);
}

void ModbusTcp::collect()
{
    m_received += m_socket.readAll();
    while (m_received.size() >= headerBytes && !m_failed) {
        const int length = word(m_received, 4); // the unit and the PDU
        if (word(m_received, 2) != 0 || length < 1 || length > maxPduBytes + 1)
            return fail(NoAnswer,
                        QStringLiteral("the converter at %1 answered what is not Modbus TCP: %2")
                            .arg(where(), hex(m_received.left(64))));
        if (m_received.size() < 6 + length)
            return;
        const QByteArray frame = m_received.left(6 + length);
        m_received.remove(0, 6 + length);
        const int id = word(frame, 0);
        const auto pending = std::find_if(m_queue.begin(), m_queue.end(),
                                          [id](const Pending &p) { return p.id == id; });
        // What has no request is a late answer to one that timed out.
        if (pending == m_queue.end())
            continue;
        const bool head = pending == m_queue.begin();
        ModbusAnswer answer = judgeAnswer(pending->pdu, frame.mid(headerBytes));
        if (answer.kind != ModbusAnswer::Unusable && quint8(frame[6]) != pending->unit) {
            answer.kind = ModbusAnswer::Unusable;
            answer.fault = QStringLiteral("the answer of unit %1").arg(quint8(frame[6]));
        }
        answer.frame = frame;
        answer.ms = pending->clock.nsecsElapsed() / 1e6;
        m_queue.erase(pending);
        if (head)
            startHeadTimer();
        emit answered(id, answer);
    }
}

void ModbusTcp::noConnection(QString why)
{
    // Qt's reasons end in a full stop; ours goes on.
    if (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    fail(PortFailed, QStringLiteral("no TCP connection to %1: %2; check the converter's ip and "
                                    "TCP port, the network, and that it is in TCP-RTU mode")
                         .arg(where(), why));
}

void ModbusTcp::fail(int status, const QString &why)
{
    if (m_failed)
        return;
    m_failed = true;
    close();
    emit failed(status, why);
}
