#pragma once

// Facts of Modbus that the tool and the simulated converter share: what a request may carry and
// what the exception codes mean.

#include <QtGlobal>

namespace modbus {

// 0 is the broadcast address, which no slave answers; 248-255 are reserved.
constexpr int firstUnit = 1;
constexpr int lastUnit = 247;
constexpr int addressCount = 65536;
// What fits in the 253 bytes of a PDU: a read's answer carries a byte count and 2 bytes a
// register; a write of several registers carries the address, the count and a byte count.
constexpr int maxReadRegisters = 125;
constexpr int maxWriteRegisters = 123;

enum Function : quint8
{
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleRegister = 0x06,
    WriteMultipleRegisters = 0x10,
};

// Set in the function code of an exception answer.
constexpr quint8 exceptionBit = 0x80;

enum Exception : quint8
{
    IllegalFunction = 0x01,
    IllegalDataAddress = 0x02,
    IllegalDataValue = 0x03,
    ServerDeviceFailure = 0x04,
    Acknowledge = 0x05,
    ServerDeviceBusy = 0x06,
    MemoryParityError = 0x08,
    // A gateway's own: it has no path to the unit, or the unit did not answer on the line.
    GatewayPathUnavailable = 0x0A,
    GatewayTargetFailedToRespond = 0x0B,
};

struct ExceptionName
{
    Exception code;
    const char *name;
};

inline constexpr ExceptionName exceptionNames[] = {
    {IllegalFunction, "illegal function"},
    {IllegalDataAddress, "illegal data address"},
    {IllegalDataValue, "illegal data value"},
    {ServerDeviceFailure, "server device failure"},
    {Acknowledge, "acknowledge"},
    {ServerDeviceBusy, "server device busy"},
    {MemoryParityError, "memory parity error"},
    {GatewayPathUnavailable, "gateway path unavailable"},
    {GatewayTargetFailedToRespond, "gateway target device failed to respond"},
};

inline const char *exceptionName(int code)
{
    for (const ExceptionName &known : exceptionNames) {
        if (known.code == code)
            return known.name;
    }
    return "unknown exception";
}

// The converter answered, but no slave did.
inline bool fromGateway(int code)
{
    return code == GatewayPathUnavailable || code == GatewayTargetFailedToRespond;
}

} // namespace modbus
