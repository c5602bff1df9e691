#include "protocol.h"

#include <QList>
#include <QStringList>

#include <algorithm>
#include <bitset>
#include <cctype>
#include <optional>

namespace protocol {

namespace {

// Modbus TCP keeps its registered port; any other port must lie above the ones common services
// use, so the converter never shadows one of them on the network.
constexpr int modbusTcpPort = 502;
constexpr int firstUserTcpPort = 10000;
constexpr int lastTcpPort = 65535;

// Milliseconds, held in a 16-bit register. Zero is refused: a bridge that never gives up on a
// silent slave would stall every later request.
constexpr int minTimeoutMs = 1;
constexpr int maxTimeoutMs = 65535;

// A /0 mask puts the whole internet on-link and a /32 leaves no room for the gateway.
constexpr int minPrefixLength = 1;
constexpr int maxPrefixLength = 31;

// Decimal digits only; leading zeros are fine, signs and blanks are not.
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

QByteArray formatIpv4(quint32 address)
{
    return QByteArray::number(address >> 24) + '.' + QByteArray::number((address >> 16) & 0xff) +
           '.' + QByteArray::number((address >> 8) & 0xff) + '.' +
           QByteArray::number(address & 0xff);
}

constexpr quint32 block(int a, int prefix)
{
    return quint32(a) << 24 | quint32(prefix);
}

// Address blocks by their first address and prefix length, as a unit must not hold them.
constexpr quint32 multicastBlock = block(224, 4);
constexpr quint32 reservedBlocks[] = {block(0, 8), block(240, 4)};

bool inBlock(quint32 address, quint32 blockAndPrefix)
{
    const int prefix = int(blockAndPrefix & 0xff);
    const quint32 mask = ~quint32(0) << (32 - prefix);
    return (address & mask) == (blockAndPrefix & mask);
}

bool isContiguousMask(quint32 mask)
{
    const quint32 hostBits = ~mask;
    const auto prefix = int(std::bitset<32>(mask).count());
    return (hostBits & (hostBits + 1)) == 0 && prefix >= minPrefixLength &&
           prefix <= maxPrefixLength;
}

Checked inRange(const QByteArray &text, int min, int max, const QString &rule)
{
    const std::optional<int> number = parseDecimal(text);
    if (!number || *number < min || *number > max)
        return {{}, rule};
    return {QByteArray::number(*number), {}};
}

// The codes a choice takes on the wire, and the names a file may give them where they differ.
QString choiceRule(const Choices &choices)
{
    QStringList codes, names;
    for (int i = 0; i < choices.count; ++i) {
        codes << choices.codes[i];
        names << choices.names[i];
    }
    const QString rule = "one of " + codes.join(", ");
    return codes == names ? rule : rule + " (" + names.join(", ") + ')';
}

Checked checkMac(const QByteArray &text)
{
    const QByteArray mac = normalizedMac(text);
    if (mac.isEmpty())
        return {{}, "six hexadecimal bytes, e.g. 02:00:00:00:00:01"};
    return {mac, {}};
}

QByteArray beforeZero(const QByteArray &reply)
{
    const int zero = reply.indexOf('\0');
    return zero < 0 ? reply : reply.left(zero);
}

} // namespace

QByteArray answeredMac(const QByteArray &answer)
{
    const QByteArray mac = normalizedMac(answer);
    return mac.isEmpty() ? answer : mac;
}

QByteArray normalizedMac(const QByteArray &text)
{
    constexpr int bytes = 6;
    QByteArray hex = text;
    // Pairs with one separator between each, the same throughout.
    if (text.size() == bytes * 3 - 1) {
        const char separator = text[2];
        if (separator != ':' && separator != '-')
            return {};
        for (int i = 2; i < text.size(); i += 3) {
            if (text[i] != separator)
                return {};
        }
        hex.replace(separator, "");
    }
    if (hex.size() != bytes * 2 ||
        !std::all_of(hex.begin(), hex.end(), [](char c) { return isxdigit(uchar(c)); }))
        return {};
    return QByteArray::fromHex(hex).toHex(':').toUpper();
}

int parameterIndex(const QString &key)
{
    for (int i = 0; i < parameterCount; ++i) {
        if (key == QLatin1String(parameters[i].key))
            return i;
    }
    return -1;
}

const Mode *modeByKey(const QString &key)
{
    for (const Mode &mode : modes) {
        if (key == QLatin1String(mode.key))
            return &mode;
    }
    return nullptr;
}

QByteArray replyText(const QByteArray &reply)
{
    return beforeZero(reply).replace('\r', "").replace('\n', "");
}

QByteArrayList replyLines(const QByteArray &reply)
{
    QByteArrayList lines = beforeZero(reply).replace('\r', '\n').split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

QString answerValue(const Parameter &parameter, const QString &answer)
{
    return answer.mid(prefixLength(parameter));
}

int choiceIndex(const Parameter &parameter, const QString &value)
{
    for (int i = 0; i < parameter.choices.count; ++i) {
        if (value == QLatin1String(parameter.choices.codes[i]))
            return i;
    }
    return -1;
}

bool isAnswerTo(const Parameter &parameter, const QByteArray &reply)
{
    const int keyword = prefixLength(parameter) - 1;
    if (reply.size() <= keyword ||
        qstrnicmp(reply.constData(), parameter.query, uint(keyword)) != 0)
        return false;
    const QChar next = QChar::fromLatin1(reply[keyword]);
    return !next.isLetterOrNumber() && !next.isSpace();
}

Answer readAnswer(const Parameter &asked, const QByteArray &line)
{
    if (isAnswerTo(asked, line)) {
        const QByteArray value = line.mid(prefixLength(asked)).trimmed();
        return {value.isEmpty() ? Answer::Other : Answer::Value, value};
    }
    return {answeredParameter(line) < 0 ? Answer::Other : Answer::Late, {}};
}

int answeredParameter(const QByteArray &line)
{
    for (int i = 0; i < parameterCount; ++i) {
        if (isAnswerTo(parameters[i], line))
            return i;
    }
    return -1;
}

bool carries(const QByteArray &value)
{
    return !value.isEmpty() &&
           std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

Checked check(const Parameter &parameter, const QByteArray &text)
{
    switch (parameter.kind) {
    case Kind::Mac:
        return checkMac(text);
    case Kind::Address:
        if (const std::optional<quint32> address = parseIpv4(text))
            return {formatIpv4(*address), {}};
        return {{}, "a dotted IPv4 address: four decimal octets 0-255"};
    case Kind::Netmask:
        if (const std::optional<quint32> mask = parseIpv4(text); mask && isContiguousMask(*mask))
            return {formatIpv4(*mask), {}};
        return {{},
                QString("a contiguous subnet mask from /%1 to /%2, e.g. 255.255.255.0")
                    .arg(minPrefixLength)
                    .arg(maxPrefixLength)};
    case Kind::TcpPort:
        if (parseDecimal(text) == modbusTcpPort)
            return {QByteArray::number(modbusTcpPort), {}};
        return inRange(
            text, firstUserTcpPort, lastTcpPort,
            QString("%1 or %2-%3").arg(modbusTcpPort).arg(firstUserTcpPort).arg(lastTcpPort));
    case Kind::Parity:
    case Kind::Speed:
    case Kind::StopBits: {
        const std::optional<int> number = parseDecimal(text);
        const int index = number ? choiceIndex(parameter, QString::number(*number)) : -1;
        if (index < 0)
            return {{}, choiceRule(parameter.choices)};
        return {parameter.choices.codes[index], {}};
    }
    case Kind::Timeout:
        return inRange(text, minTimeoutMs, maxTimeoutMs,
                       QString("%1-%2 ms").arg(minTimeoutMs).arg(maxTimeoutMs));
    }
    return {{}, "unknown"};
}

QList<NetworkProblem> networkProblems(const QByteArray &ip, const QByteArray &mask,
                                      const QByteArray &gateway, const QByteArray &serverIp)
{
    const std::optional<quint32> address = parseIpv4(ip);
    const std::optional<quint32> netmask = parseIpv4(mask);
    const std::optional<quint32> router = parseIpv4(gateway);
    const std::optional<quint32> server = parseIpv4(serverIp);
    const QString ipText = QString::fromLatin1(ip), gatewayText = QString::fromLatin1(gateway);
    const QString unicast = QStringLiteral("; give it a unicast address");
    QList<NetworkProblem> problems;
    if (address && inBlock(*address, multicastBlock))
        problems << NetworkProblem{
            QStringLiteral("ip %1 is a multicast address (224.0.0.0/4)").arg(ipText) + unicast,
            {"ip"}};
    if (address && std::any_of(std::begin(reservedBlocks), std::end(reservedBlocks),
                               [&](quint32 b) { return inBlock(*address, b); }))
        problems << NetworkProblem{
            QStringLiteral("ip %1 is reserved (0.0.0.0/8, 240.0.0.0/4)").arg(ipText) + unicast,
            {"ip"}};
    if (server && inBlock(*server, multicastBlock))
        problems << NetworkProblem{QStringLiteral("server_ip %1 is a multicast address "
                                                  "(224.0.0.0/4); give the TCP server's own "
                                                  "address")
                                       .arg(QString::fromLatin1(serverIp)),
                                   {"server_ip"}};
    if (address && server && *server == *address)
        problems << NetworkProblem{QStringLiteral("server_ip and ip are both %1; server_ip is the "
                                                  "TCP server the converter connects to")
                                       .arg(ipText),
                                   {"ip", "server_ip"}};
    if (!address || !netmask || !router || !isContiguousMask(*netmask))
        return problems;
    const quint32 network = *address & *netmask;
    const quint32 broadcast = network | ~*netmask;
    // A /31 is a point-to-point link: both of its addresses are hosts.
    const bool hasEnds = ~*netmask != 1;
    const auto end = [&](quint32 a) {
        return a == network ? QStringLiteral("network") : QStringLiteral("broadcast");
    };
    if (hasEnds && (*address == network || *address == broadcast))
        problems << NetworkProblem{QStringLiteral("ip %1 is the %2 address of its subnet (ip and "
                                                  "mask); give another ip, or another mask")
                                       .arg(ipText, end(*address)),
                                   {"ip", "mask"}};
    const QString together =
        QStringLiteral("; set ip and gateway in one write, or gateway 0.0.0.0");
    // 0.0.0.0 is no gateway at all.
    if (*router == 0)
        return problems;
    if ((*router & *netmask) != network)
        problems << NetworkProblem{QStringLiteral("gateway %1 lies outside the subnet of ip %2 and "
                                                  "mask %3")
                                           .arg(gatewayText, ipText, QString::fromLatin1(mask)) +
                                       together,
                                   {"ip", "mask", "gateway"}};
    else if (hasEnds && (*router == network || *router == broadcast))
        problems << NetworkProblem{
            QStringLiteral("gateway %1 is the %2 address of the subnet of ip "
                           "%3 and mask %4")
                    .arg(gatewayText, end(*router), ipText, QString::fromLatin1(mask)) +
                together,
            {"ip", "mask", "gateway"}};
    if (*router == *address)
        problems << NetworkProblem{
            QStringLiteral("ip and gateway are both %1").arg(ipText) + together, {"ip", "gateway"}};
    return problems;
}

QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto byte = uchar(c);
        if (c == '\r')
            text += QLatin1String("\\r");
        else if (c == '\n')
            text += QLatin1String("\\n");
        else if (c == '\\')
            text += QLatin1String("\\\\");
        else if (byte >= 0x20 && byte < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace protocol
