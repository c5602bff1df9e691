#include "rtu.h"

#include "modbus.h"
#include "protocol.h"

#include <QStringList>

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

const QByteArray &setting(const Settings &settings, const char *key)
{
    return settings[std::size_t(protocol::parameterIndex(QLatin1String(key)))];
}

const protocol::Parameter &parameter(const char *key)
{
    return protocol::parameters[protocol::parameterIndex(QLatin1String(key))];
}

int word(const QByteArray &bytes, int at)
{
    return int(quint8(bytes[at])) << 8 | quint8(bytes[at + 1]);
}

constexpr std::pair<const char *, Quirks::Malformed> malformedNames[] = {
    {"count", Quirks::Malformed::ByteCount},
    {"bare", Quirks::Malformed::Bare},
    {"foreign", Quirks::Malformed::ForeignException},
};

// "drop=N", "exception=CODE" or "malformed=KIND" into the quirks; false when it is none of them.
bool readQuirk(const QString &field, Quirks *quirks)
{
    const QString key = field.section(QLatin1Char('='), 0, 0);
    const QString value = field.section(QLatin1Char('='), 1);
    bool ok = false;
    if (key == QLatin1String("drop")) {
        quirks->dropEvery = value.toInt(&ok);
        return ok && quirks->dropEvery >= 1;
    }
    if (key == QLatin1String("delay")) {
        for (const QString &text : value.split(QLatin1Char(','))) {
            quirks->delaysMs << text.toInt(&ok);
            if (!ok || quirks->delaysMs.last() < 0 || quirks->delaysMs.last() > 60'000)
                return false;
        }
        return true;
    }
    if (key == QLatin1String("exception")) {
        quirks->exception = value.toInt(&ok, 0); // 0x0B as well as 11
        return ok && quirks->exception >= 1 && quirks->exception <= 0xFF;
    }
    for (const auto &[name, kind] : malformedNames) {
        if (key == QLatin1String("malformed") && value == QLatin1String(name)) {
            quirks->malformed = kind;
            return true;
        }
    }
    return false;
}

} // namespace

SerialLine serialLine(const Settings &settings)
{
    return {setting(settings, "speed"), setting(settings, "parity"),
            setting(settings, "stop_bits")};
}

QString describe(const SerialLine &line)
{
    const int parity = protocol::choiceIndex(parameter("parity"), QString(line.parity));
    return QStringLiteral("%1 %2 %3")
        .arg(QString(line.speed), QLatin1String(protocol::parityNames[parity]),
             QString(line.stopBits));
}

double frameMs(const SerialLine &line, int bytes)
{
    const int bits = 1 + 8 + (line.parity == "0" ? 0 : 1) + line.stopBits.toInt();
    return (bytes + 3.5) * bits * 1000.0 / line.speed.toInt();
}

QByteArray exceptionPdu(char function, quint8 code)
{
    return QByteArray(1, char(function | modbus::exceptionBit)).append(char(code));
}

ModbusSlave::ModbusSlave(int unit, const SerialLine &line, const Quirks &quirks)
    : m_unit(unit), m_line(line), m_quirks(quirks), m_holding(registerCount)
{
    m_clock.start();
    for (int address = 0; address < registerCount; ++address)
        m_holding[address] = quint16(unit * 100 + address);
}

QByteArray ModbusSlave::answer(const QByteArray &pdu)
{
    const char function = pdu.isEmpty() ? char(0) : pdu[0];
    ++m_requests;
    if (m_quirks.dropEvery && m_requests % m_quirks.dropEvery == 0)
        return {};
    if (m_quirks.exception)
        return exceptionPdu(function, quint8(m_quirks.exception));
    QByteArray response = serve(pdu);
    const bool read =
        function == modbus::ReadHoldingRegisters || function == modbus::ReadInputRegisters;
    switch (m_quirks.malformed) {
    case Quirks::Malformed::None:
        break;
    case Quirks::Malformed::ByteCount:
        if (read && response[0] == function)
            response[1] = char(response[1] + 2);
        break;
    case Quirks::Malformed::Bare:
        response.truncate(1);
        break;
    case Quirks::Malformed::ForeignException:
        response = exceptionPdu(char(function + 1), modbus::IllegalDataAddress);
        break;
    }
    return response;
}

int ModbusSlave::delayMs() const
{
    const QVector<int> &delays = m_quirks.delaysMs;
    return delays.isEmpty() || m_requests == 0 ? 0 : delays[(m_requests - 1) % delays.size()];
}

QByteArray ModbusSlave::serve(const QByteArray &pdu)
{
    const char function = pdu.isEmpty() ? char(0) : pdu[0];
    const bool read =
        function == modbus::ReadHoldingRegisters || function == modbus::ReadInputRegisters;
    const bool writeOne = function == modbus::WriteSingleRegister;
    const bool writeMany = function == modbus::WriteMultipleRegisters;
    if (!read && !writeOne && !writeMany)
        return exceptionPdu(function, modbus::IllegalFunction);
    if (pdu.size() < 5 || (!writeMany && pdu.size() != 5))
        return exceptionPdu(function, modbus::IllegalDataValue);
    const int address = word(pdu, 1);
    const int count = writeOne ? 1 : word(pdu, 3);
    const int maxCount = read ? modbus::maxReadRegisters : modbus::maxWriteRegisters;
    if (count < 1 || count > maxCount ||
        (writeMany && (pdu.size() != 6 + 2 * count || quint8(pdu[5]) != 2 * count)))
        return exceptionPdu(function, modbus::IllegalDataValue);
    if (address + count > registerCount)
        return exceptionPdu(function, modbus::IllegalDataAddress);
    if (writeOne || writeMany) {
        const int first = writeOne ? 3 : 6;
        for (int i = 0; i < count; ++i)
            m_holding[address + i] = quint16(word(pdu, first + 2 * i));
        return pdu.left(5);
    }
    QByteArray response = QByteArray(1, function).append(char(2 * count));
    for (int i = address; i < address + count; ++i) {
        const quint16 v = value(function, i);
        response.append(char(v >> 8)).append(char(v & 0xff));
    }
    return response;
}

quint16 ModbusSlave::value(char function, int address) const
{
    if (address == 0)
        return quint16(m_clock.elapsed() / 1000);
    if (function == modbus::ReadInputRegisters)
        return quint16(30000 + m_unit * 100 + address);
    return m_holding[address];
}

std::optional<ModbusSlave> parseSlave(const QString &text, QString *error)
{
    QStringList fields = text.split(QLatin1Char(':'));
    bool ok = true;
    Quirks quirks;
    while (ok && fields.size() > 1 && fields.last().contains(QLatin1Char('=')))
        ok = readQuirk(fields.takeLast(), &quirks);
    bool unitOk = false;
    const int unit = fields.first().toInt(&unitOk);
    ok = ok && unitOk && unit >= modbus::firstUnit && unit <= modbus::lastUnit &&
         (fields.size() == 1 || fields.size() == 4);
    SerialLine line;
    if (ok && fields.size() == 4) {
        const auto names = std::begin(protocol::parityNames);
        const int parity =
            int(std::find(names, std::end(protocol::parityNames), fields[2]) - names);
        const protocol::Checked speed = protocol::check(parameter("speed"), fields[1].toLatin1());
        const protocol::Checked stop =
            protocol::check(parameter("stop_bits"), fields[3].toLatin1());
        ok = parity < int(std::size(protocol::parityNames)) && speed.ok() && stop.ok();
        if (ok)
            line = {speed.value, protocol::parityCodes[parity], stop.value};
    }
    if (ok)
        return ModbusSlave(unit, line, quirks);
    *error = QStringLiteral("--slave %1: must be ID[:SPEED:PARITY:STOPBITS], an ID of 1-247, "
                            "one of the device's speeds, none, odd or even, and 1 or 2; then "
                            "any of :drop=N, :exception=CODE, :malformed=count|bare|foreign, "
                            ":delay=MS[,MS...]")
                 .arg(text);
    return std::nullopt;
}

} // namespace sim
