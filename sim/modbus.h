#pragma once

#include "simdevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <optional>

namespace sim {

// The RS-485 side's framing, as wire codes of the device's settings: speed "9600", parity
// "0"-"2", stop bits "1"-"2".
struct SerialLine
{
    QByteArray speed = "9600";
    QByteArray parity = "0";
    QByteArray stopBits = "1";

    bool operator==(const SerialLine &other) const
    {
        return speed == other.speed && parity == other.parity && stopBits == other.stopBits;
    }
    bool operator!=(const SerialLine &other) const { return !(*this == other); }
};

SerialLine serialLine(const Settings &settings);
QString describe(const SerialLine &line); // "9600 none 1"

// How long an RTU frame of `bytes` (unit, PDU and CRC) occupies the line, with the 3.5
// characters of silence that end it.
double frameMs(const SerialLine &line, int bytes);

// Modbus exception codes.
enum Exception : char
{
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    TargetFailedToRespond = 0x0B,
};

QByteArray exceptionPdu(char function, Exception code);

// An RTU slave with a block of holding and of input registers. Register 0 of each block counts
// the seconds since the slave started, so that repeated reads show live data; the others hold
// fixed values that name the slave and the address: holding unit * 100 + address, input
// 30000 + unit * 100 + address.
class ModbusSlave
{
public:
    static constexpr int registerCount = 100;

    ModbusSlave(int unit, const SerialLine &line);

    int unit() const { return m_unit; }
    const SerialLine &line() const { return m_line; }

    // The response PDU to a request PDU: registers, or an exception.
    QByteArray answer(const QByteArray &pdu) const;

private:
    quint16 value(char function, int address) const;

    int m_unit;
    SerialLine m_line;
    QElapsedTimer m_clock;
};

// "ID[:SPEED:PARITY:STOPBITS]", parity as none, odd or even; the line defaults to 9600 none 1.
std::optional<ModbusSlave> parseSlave(const QString &text, QString *error);

} // namespace sim
