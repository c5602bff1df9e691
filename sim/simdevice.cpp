#include "simdevice.h"

#include <QList>

#include <algorithm>

namespace sim {

namespace {

QByteArray formatIpv4(quint32 address)
{
    return QByteArray::number(address >> 24) + '.' + QByteArray::number((address >> 16) & 0xff) +
           '.' + QByteArray::number((address >> 8) & 0xff) + '.' +
           QByteArray::number(address & 0xff);
}

bool isContiguousMask(quint32 mask)
{
    const quint32 hostBits = ~mask;
    return (hostBits & (hostBits + 1)) == 0;
}

std::optional<QByteArray> inRange(const QByteArray &text, int min, int max)
{
    const std::optional<int> number = parseDecimal(text);
    if (!number || *number < min || *number > max)
        return std::nullopt;
    return QByteArray::number(*number);
}

// "CHANGE IP SERVER TCP:" is called "IP SERVER TCP" on the command line.
QByteArray changeName(const char *change)
{
    return QByteArray(change).mid(qstrlen(changePrefix)).chopped(1);
}

} // namespace

Settings Settings::factory()
{
    // Locally administered unicast MAC, so a simulator never poses as a real adapter.
    return {"02:00:00:00:00:01",
            "192.168.0.10",
            "255.255.255.0",
            "192.168.0.1",
            "502",
            "0",
            "9600",
            "1",
            "192.168.0.100",
            "1000"};
}

std::optional<int> parseDecimal(const QByteArray &text)
{
    // Stop well before int overflows; anything that long is out of every range anyway.
    constexpr int ceiling = 100'000'000;
    if (text.isEmpty())
        return std::nullopt;
    int number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || number >= ceiling)
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::optional<quint32> parseIpv4(const QByteArray &text)
{
    const QList<QByteArray> octets = text.split('.');
    if (octets.size() != 4)
        return std::nullopt;
    quint32 address = 0;
    for (const QByteArray &octet : octets) {
        const std::optional<int> number = parseDecimal(octet);
        if (!number || octet.size() > 3 || *number > 255)
            return std::nullopt;
        address = (address << 8) | quint32(*number);
    }
    return address;
}

std::optional<QByteArray> canonicalValue(ValueKind kind, const QByteArray &text)
{
    switch (kind) {
    case ValueKind::Mac:
        return std::nullopt;
    case ValueKind::Address:
        if (const std::optional<quint32> address = parseIpv4(text))
            return formatIpv4(*address);
        return std::nullopt;
    case ValueKind::Netmask:
        if (const std::optional<quint32> mask = parseIpv4(text)) {
            const auto prefix = int(std::bitset<32>(*mask).count());
            if (isContiguousMask(*mask) && prefix >= minPrefixLength && prefix <= maxPrefixLength)
                return formatIpv4(*mask);
        }
        return std::nullopt;
    case ValueKind::TcpPort:
        if (parseDecimal(text) == modbusTcpPort)
            return QByteArray::number(modbusTcpPort);
        return inRange(text, firstUserTcpPort, lastTcpPort);
    case ValueKind::Parity:
        return inRange(text, 0, maxParity);
    case ValueKind::Speed: {
        const std::optional<int> speed = parseDecimal(text);
        if (speed && std::find(std::begin(speeds), std::end(speeds), *speed) != std::end(speeds))
            return QByteArray::number(*speed);
        return std::nullopt;
    }
    case ValueKind::StopBits:
        return inRange(text, minStopBits, maxStopBits);
    case ValueKind::Timeout:
        return inRange(text, minTimeoutMs, maxTimeoutMs);
    }
    return std::nullopt;
}

bool SimDevice::refuse(const QByteArray &name)
{
    QByteArray wanted = name.simplified().toUpper();
    if (wanted.endsWith(':'))
        wanted.chop(1);
    if (wanted.startsWith(changePrefix))
        wanted.remove(0, int(qstrlen(changePrefix)));
    for (std::size_t i = 0; i < std::size(parameters); ++i) {
        if (parameters[i].change && changeName(parameters[i].change) == wanted) {
            m_refused.set(i);
            return true;
        }
    }
    return false;
}

Reply SimDevice::handle(const QByteArray &message)
{
    if (message == resetCommand) {
        m_settings = m_staged;
        return {{}, true};
    }
    for (std::size_t i = 0; i < std::size(parameters); ++i) {
        const Parameter &parameter = parameters[i];
        if (message == parameter.query)
            return {message + ':' + m_settings.*parameter.value + "\r\n"};
        if (parameter.change && message.startsWith(parameter.change))
            return {change(i, message.mid(qstrlen(parameter.change)))};
    }
    return {unknownReply};
}

QByteArray SimDevice::change(std::size_t index, const QByteArray &value)
{
    if (m_refused.test(index))
        return refusedReply;
    if (value.isEmpty())
        return emptyValueReply;
    const Parameter &parameter = parameters[index];
    const std::optional<QByteArray> canonical = canonicalValue(parameter.kind, value);
    if (!canonical)
        return badValueReply;
    m_staged.*parameter.value = *canonical;
    return okReply;
}

} // namespace sim
