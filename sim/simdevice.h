#pragma once

#include "protocol.h"

#include <QByteArray>

#include <array>
#include <bitset>

namespace sim {

// Values are kept as the text the device answers with, already in plain form, so a query is a
// plain lookup and a staged value compares equal to what the host will read back. Indexed like
// protocol::parameters.
using Settings = std::array<QByteArray, protocol::parameterCount>;

Settings factorySettings();

// The rule a value held or staged unchecked breaks when the simulated RS-485 line runs with it
// (speed, parity and stop bits), or nothing: the line needs a real one of each.
QString lineRule(int index, const QByteArray &value);

inline constexpr char changePrefix[] = "CHANGE ";

inline constexpr char okReply[] = "OK\r\n";
inline constexpr char refusedReply[] = "ERR refused\r\n";
inline constexpr char emptyValueReply[] = "ERR empty value\r\n";
inline constexpr char badValueReply[] = "ERR bad value\r\n";
inline constexpr char unknownReply[] = "ERR unknown command\r\n";

struct Reply
{
    QByteArray bytes; // empty: the device stays quiet
    bool restart = false;
};

// Takes values as the protocol's check does, as they are spelt on the wire: parity only as its
// code 0-2.
class SimDevice
{
public:
    SimDevice() = default;
    explicit SimDevice(const Settings &factory) : m_settings(factory), m_staged(factory) {}

    const Settings &settings() const { return m_settings; }
    const Settings &staged() const { return m_staged; }

    // Makes the device refuse one change command whatever its value. Accepts "CHANGE MASK:",
    // "CHANGE MASK" or "MASK" in any case; false when no change command has that name.
    bool refuse(const QByteArray &name);

    // Values as another tool may have left them, taken as they are, unchecked: one the device
    // holds and answers with, or one staged for its next restart.
    void hold(int index, const QByteArray &value);
    // Takes any value the protocol carries, also one outside the rules, as a device that another
    // tool set up did.
    void setLenient(bool lenient) { m_lenient = lenient; }
    void stage(int index, const QByteArray &value);

    Reply handle(const QByteArray &message);

private:
    QByteArray change(int index, const QByteArray &value);

    Settings m_settings = factorySettings();
    Settings m_staged = m_settings;
    std::bitset<protocol::parameterCount> m_refused;
    bool m_lenient = false;
};

} // namespace sim
