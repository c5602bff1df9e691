#pragma once

#include <QByteArray>

#include <bitset>
#include <iterator>
#include <optional>

namespace sim {

// Values are kept as the text the device answers with, already in canonical form, so a query
// is a plain lookup and a staged value compares equal to what the host will read back.
struct Settings
{
    QByteArray mac;
    QByteArray ip;
    QByteArray mask;
    QByteArray gateway;
    QByteArray tcpPort;
    QByteArray parity;
    QByteArray speed;
    QByteArray stopBits;
    QByteArray serverIp;
    QByteArray timeout;

    static Settings factory();
};

enum class ValueKind
{
    Mac,
    Address,
    Netmask,
    TcpPort,
    Parity,
    Speed,
    StopBits,
    Timeout,
};

struct Parameter
{
    const char *query;
    const char *change; // nullptr: the value cannot be changed from the host
    QByteArray Settings::*value;
    ValueKind kind;
};

inline constexpr Parameter parameters[] = {
    {"MAC", nullptr, &Settings::mac, ValueKind::Mac},
    {"ip", "CHANGE IP:", &Settings::ip, ValueKind::Address},
    {"MASK", "CHANGE MASK:", &Settings::mask, ValueKind::Netmask},
    {"GATEWAY", "CHANGE GATEWAY:", &Settings::gateway, ValueKind::Address},
    {"PORT TCP", "CHANGE PORT TCP:", &Settings::tcpPort, ValueKind::TcpPort},
    {"parity", "CHANGE PARITY:", &Settings::parity, ValueKind::Parity},
    {"SPEED RS485", "CHANGE SPEED RS485:", &Settings::speed, ValueKind::Speed},
    {"STOP BIT", "CHANGE STOP BIT:", &Settings::stopBits, ValueKind::StopBits},
    {"IP SERVER TCP", "CHANGE IP SERVER TCP:", &Settings::serverIp, ValueKind::Address},
    {"TIMEOUT TCP", "CHANGE TIMEOUT TCP:", &Settings::timeout, ValueKind::Timeout},
};

inline constexpr char changePrefix[] = "CHANGE ";
inline constexpr char resetCommand[] = "RESET";

inline constexpr char okReply[] = "OK\r\n";
inline constexpr char refusedReply[] = "ERR refused\r\n";
inline constexpr char emptyValueReply[] = "ERR empty value\r\n";
inline constexpr char badValueReply[] = "ERR bad value\r\n";
inline constexpr char unknownReply[] = "ERR unknown command\r\n";

// Modbus TCP keeps its registered port; any other port must lie above the ones common services
// use, so the converter never shadows one of them on the network.
inline constexpr int modbusTcpPort = 502;
inline constexpr int firstUserTcpPort = 10000;
inline constexpr int lastTcpPort = 65535;

inline constexpr int maxParity = 2; // 0 none, 1 odd, 2 even
inline constexpr int speeds[] = {1200,  2400,  4800,   9600,   19200,
                                 38400, 57600, 115200, 128000, 256000};
inline constexpr int minStopBits = 1;
inline constexpr int maxStopBits = 2;

// Milliseconds, held in a 16-bit register. Zero is refused: a bridge that never gives up on a
// silent slave would stall every later request.
inline constexpr int minTimeoutMs = 1;
inline constexpr int maxTimeoutMs = 65535;

// A /0 mask puts the whole internet on-link and a /32 leaves no room for the gateway, so both
// are refused; every contiguous mask between them is accepted.
inline constexpr int minPrefixLength = 1;
inline constexpr int maxPrefixLength = 31;

// Decimal digits only; leading zeros are fine, signs and blanks are not.
std::optional<int> parseDecimal(const QByteArray &text);
std::optional<quint32> parseIpv4(const QByteArray &text);

// The value as the device stores it, or nothing when the device refuses it.
std::optional<QByteArray> canonicalValue(ValueKind kind, const QByteArray &text);

struct Reply
{
    QByteArray bytes; // empty: the device stays quiet
    bool restart = false;
};

class SimDevice
{
public:
    const Settings &settings() const { return m_settings; }
    const Settings &staged() const { return m_staged; }

    // Makes the device refuse one change command whatever its value. Accepts "CHANGE MASK:",
    // "CHANGE MASK" or "MASK" in any case; false when no change command has that name.
    bool refuse(const QByteArray &name);

    Reply handle(const QByteArray &message);

private:
    QByteArray change(std::size_t index, const QByteArray &value);

    Settings m_settings = Settings::factory();
    Settings m_staged = m_settings;
    std::bitset<std::size(parameters)> m_refused;
};

} // namespace sim
