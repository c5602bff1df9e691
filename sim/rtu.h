#pragma once

#include "simdevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QVector>

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

QByteArray exceptionPdu(char function, quint8 code);

// How a slave misbehaves, so that a client's handling of it can be seen.
struct Quirks
{
    enum class Malformed
    {
        None,
        ByteCount,        // a read's byte count two more than the data
        Bare,             // the function code alone
        ForeignException, // an exception to another function code
    };
    int dropEvery = 0; // no answer to every Nth request
    int exception = 0; // answer every request with this exception code
    Malformed malformed = Malformed::None;
    QVector<int> delaysMs; // each answer later by the next of these, in turn, in ms
};

// An RTU slave with a block of holding and of input registers. Register 0 of each block counts
// the seconds since the slave started, so that repeated reads show live data, and a write to it
// is lost; the others start with values that name the slave and the address: holding
// unit * 100 + address, input 30000 + unit * 100 + address. Holding registers take writes.
class ModbusSlave
{
public:
    static constexpr int registerCount = 100;

    ModbusSlave(int unit, const SerialLine &line, const Quirks &quirks = {});

    int unit() const { return m_unit; }
    const SerialLine &line() const { return m_line; }

    // The response PDU to a request PDU: registers, an exception, or nothing when it is dropped.
    QByteArray answer(const QByteArray &pdu);
    // How much later than the line allows the slave sends the answer just given, in ms.
    int delayMs() const;

private:
    QByteArray serve(const QByteArray &pdu);
    quint16 value(char function, int address) const;

    int m_unit;
    SerialLine m_line;
    Quirks m_quirks;
    QElapsedTimer m_clock;
    QVector<quint16> m_holding;
    int m_requests = 0;
};

// "ID[:SPEED:PARITY:STOPBITS][:drop=N][:exception=CODE][:malformed=count|bare|foreign]
// [:delay=MS,MS...]", parity as none, odd or even; the line defaults to 9600 none 1.
std::optional<ModbusSlave> parseSlave(const QString &text, QString *error);

} // namespace sim
