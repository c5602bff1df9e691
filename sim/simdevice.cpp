#include "simdevice.h"

namespace sim {

namespace {

// "CHANGE IP SERVER TCP:" is called "IP SERVER TCP" on the command line.
QByteArray changeName(const char *change)
{
    return QByteArray(change).mid(qstrlen(changePrefix)).chopped(1);
}

} // namespace

Settings factorySettings()
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

QString lineRule(int index, const QByteArray &value)
{
    const protocol::Parameter &parameter = protocol::parameters[index];
    const protocol::Kind kind = parameter.kind;
    if (kind != protocol::Kind::Speed && kind != protocol::Kind::Parity &&
        kind != protocol::Kind::StopBits)
        return {};
    return protocol::check(parameter, value).rule;
}

bool SimDevice::refuse(const QByteArray &name)
{
    QByteArray wanted = name.simplified().toUpper();
    if (wanted.endsWith(':'))
        wanted.chop(1);
    if (wanted.startsWith(changePrefix))
        wanted.remove(0, int(qstrlen(changePrefix)));
    for (int i = 0; i < protocol::parameterCount; ++i) {
        const char *change = protocol::parameters[i].change;
        if (change && changeName(change) == wanted) {
            m_refused.set(std::size_t(i));
            return true;
        }
    }
    return false;
}

void SimDevice::hold(int index, const QByteArray &value)
{
    m_settings[std::size_t(index)] = value;
    m_staged[std::size_t(index)] = value;
}

void SimDevice::stage(int index, const QByteArray &value)
{
    m_staged[std::size_t(index)] = value;
}

Reply SimDevice::handle(const QByteArray &message)
{
    if (message == protocol::resetCommand) {
        m_settings = m_staged;
        return {{}, true};
    }
    for (int i = 0; i < protocol::parameterCount; ++i) {
        const protocol::Parameter &parameter = protocol::parameters[i];
        if (message == parameter.query)
            return {message + ':' + m_settings[std::size_t(i)] + "\r\n"};
        if (parameter.change && message.startsWith(parameter.change))
            return {change(i, message.mid(qstrlen(parameter.change)))};
    }
    return {unknownReply};
}

QByteArray SimDevice::change(int index, const QByteArray &value)
{
    if (m_refused.test(std::size_t(index)))
        return refusedReply;
    if (value.isEmpty())
        return emptyValueReply;
    const protocol::Checked checked = protocol::check(protocol::parameters[index], value);
    if (!checked.ok() && !(m_lenient && protocol::carries(value)))
        return badValueReply;
    m_staged[std::size_t(index)] = checked.ok() ? checked.value : value;
    return okReply;
}

} // namespace sim
