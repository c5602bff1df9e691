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

constexpr int maxRegistersPerRead = 125;

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

QByteArray exceptionPdu(char function, Exception code)
{
    return QByteArray(1, char(function | 0x80)).append(char(code));
}

ModbusSlave::ModbusSlave(int unit, const SerialLine &line) : m_unit(unit), m_line(line)
{
    m_clock.start();
}

QByteArray ModbusSlave::answer(const QByteArray &pdu) const
{
    const char function = pdu.isEmpty() ? char(0) : pdu[0];
    if (function != 3 && function != 4)
        return exceptionPdu(function, IllegalFunction);
    if (pdu.size() != 5)
        return exceptionPdu(function, IllegalDataValue);
    const auto word = [&pdu](int at) { return int(quint8(pdu[at])) << 8 | quint8(pdu[at + 1]); };
    const int address = word(1);
    const int count = word(3);
    if (count < 1 || count > maxRegistersPerRead)
        return exceptionPdu(function, IllegalDataValue);
    if (address + count > registerCount)
        return exceptionPdu(function, IllegalDataAddress);
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
    return quint16((function == 4 ? 30000 : 0) + m_unit * 100 + address);
}

std::optional<ModbusSlave> parseSlave(const QString &text, QString *error)
{
    const QStringList fields = text.split(QLatin1Char(':'));
    bool ok = false;
    const int unit = fields.first().toInt(&ok);
    ok = ok && unit >= 1 && unit <= 247 && (fields.size() == 1 || fields.size() == 4);
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
        return ModbusSlave(unit, line);
    *error = QStringLiteral("--slave %1: must be ID[:SPEED:PARITY:STOPBITS], an ID of 1-247, "
                            "one of the device's speeds, none, odd or even, and 1 or 2")
                 .arg(text);
    return std::nullopt;
}

} // namespace sim
