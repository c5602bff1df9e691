#include "link.h"

#include "ports.h"
#include "protocol.h"

#include <QFileInfo>

#include <qcoro/qcorosignal.h>

namespace {

// The port as given, not as the serial library names it: it drops /dev/ from /dev/pts/3, which
// would leave a relative path to judge.
QString openError(const QSerialPort &port, const QString &given, QString *failure)
{
    const QString path = portPath(given);
    *failure = QStringLiteral("cannot-open");
    switch (port.error()) {
    case QSerialPort::DeviceNotFoundError:
        return missingPort(given);
    case QSerialPort::PermissionError:
#ifndef Q_OS_WIN
        // The serial library reports a port another program holds the same way.
        if (!QFileInfo(path).isWritable()) {
            *failure = QStringLiteral("no-access");
            return QStringLiteral("no permission to open %1: add your user to the dialout group "
                                  "(sudo usermod -aG dialout $USER), then log out and in again")
                .arg(path);
        }
#endif
        *failure = QStringLiteral("in-use");
        return QStringLiteral("%1 is in use by another program: close it, or pick another port")
            .arg(path);
    default:
        return QStringLiteral("cannot open %1: %2").arg(path, port.errorString());
    }
}

} // namespace

Link::Link(const QString &port, qint32 baud, const Console &console, QObject *parent)
    : QObject(parent), m_portName(port), m_console(console)
{
    qRegisterMetaType<Link::Result>();
    m_port.setBaudRate(baud);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    for (QTimer *timer : {&m_waitTimer, &m_quietTimer, &m_drainTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_port, &QSerialPort::readyRead, this, &Link::readAvailable);
    connect(&m_port, &QSerialPort::bytesWritten, this, &Link::checkWritten);
    connect(&m_port, &QSerialPort::errorOccurred, this, &Link::handleError);
    connect(&m_waitTimer, &QTimer::timeout, this, &Link::giveUp);
    connect(&m_quietTimer, &QTimer::timeout, this, &Link::takeQuietReply);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] { end(Result::Left); });
}

bool Link::open(QString *error)
{
    m_framer.clear();
    // Looked up at each open: a device that re-enumerates while it restarts comes back elsewhere.
    m_port.setPortName(devicePath(m_portName));
    if (m_port.open(QIODevice::ReadWrite))
        return true;
    *error = openError(m_port, m_portName, &m_openFailure);
    return false;
}

void Link::close()
{
    m_awaiting = Awaiting::Nothing;
    for (QTimer *timer : {&m_waitTimer, &m_quietTimer, &m_drainTimer})
        timer->stop();
    m_framer.clear();
    if (m_port.isOpen())
        m_port.close();
}

void Link::ask(int parameter, int waitMs)
{
    m_asked = parameter;
    send(protocol::parameters[parameter].query, Awaiting::Answer, waitMs);
}

void Link::change(int parameter, const QByteArray &value, int waitMs)
{
    send(protocol::parameters[parameter].change + value, Awaiting::Verdict, waitMs);
}

void Link::restart(int waitMs)
{
    send(protocol::resetCommand, Awaiting::Departure, waitMs);
}

QCoro::Task<Link::Reply> Link::query(int parameter, int waitMs)
{
    ask(parameter, waitMs);
    const auto [result, text] = co_await qCoro(this, &Link::finished);
    co_return Reply{result, text};
}

QCoro::Task<Link::Reply> Link::sendChange(int parameter, const QByteArray &value, int waitMs)
{
    change(parameter, value, waitMs);
    const auto [result, text] = co_await qCoro(this, &Link::finished);
    co_return Reply{result, text};
}

QCoro::Task<Link::Reply> Link::sendRestart(int waitMs)
{
    restart(waitMs);
    const auto [result, text] = co_await qCoro(this, &Link::finished);
    co_return Reply{result, text};
}

void Link::cancel()
{
    m_quietTimer.stop();
    m_framer.clear();
    end(Result::Stopped);
}

void Link::send(const QByteArray &bytes, Awaiting awaiting, int waitMs)
{
    m_awaiting = awaiting;
    m_sentBytes = int(bytes.size());
    m_passedOver.clear();
    m_restartMayHaveLeft = false;
    if (!m_port.isOpen()) {
        QTimer::singleShot(0, this, [this] { end(Result::Lost); });
        return;
    }
    m_console.traffic(m_portName, '>', bytes);
    m_waitTimer.start(waitMs);
    m_port.write(bytes);
}

void Link::readAvailable()
{
    if (const std::optional<QByteArray> reply = m_framer.feed(m_port.readAll()))
        take(*reply);
    const int quietIn = m_framer.msUntilQuiet();
    if (quietIn >= 0)
        m_quietTimer.start(quietIn);
    else
        m_quietTimer.stop();
}

void Link::takeQuietReply()
{
    if (const std::optional<QByteArray> reply = m_framer.takeIfQuiet())
        take(*reply);
    else if (m_framer.msUntilQuiet() >= 0)
        m_quietTimer.start(m_framer.msUntilQuiet());
}

// A restart command that has not left in time must not stay queued: whatever is sent next (the
// values put back) would otherwise follow it onto the line.
void Link::giveUp()
{
    if (m_awaiting == Awaiting::Departure && m_port.isOpen()) {
        m_restartMayHaveLeft = m_port.bytesToWrite() < m_sentBytes;
        m_port.clear(QSerialPort::Output);
    }
    end(Result::NoAnswer, m_passedOver);
}

// The answer is the line that begins with the asked keyword. A late answer to another question,
// a boot banner or line noise is passed over; only an error reply ends the wait at once. For a
// change, a late answer is passed over and the first other line is the verdict.
void Link::take(const QByteArray &reply)
{
    m_console.traffic(m_portName, '<', reply);
    for (const QByteArray &line : protocol::replyLines(reply)) {
        switch (m_awaiting) {
        case Awaiting::Nothing:
        case Awaiting::Departure:
            return;
        case Awaiting::Answer: {
            const protocol::Answer answer =
                protocol::readAnswer(protocol::parameters[m_asked], line);
            if (answer.kind == protocol::Answer::Value)
                return end(Result::Value, answer.value);
            // An answer without a value, or an error reply, says that no value will come.
            if (protocol::isAnswerTo(protocol::parameters[m_asked], line) || line.startsWith("ERR"))
                return end(Result::Unexpected, line);
            m_passedOver = line;
            continue;
        }
        case Awaiting::Verdict:
            if (protocol::answeredParameter(line) >= 0)
                continue;
            return end(line.trimmed() == protocol::confirmation ? Result::Confirmed
                                                                : Result::Refused,
                       line);
        }
    }
}

// Bytes handed to the system are not yet on the line: closing the port now would put its earlier
// settings back and send the rest at another speed, or drop it.
void Link::checkWritten()
{
    if (m_awaiting != Awaiting::Departure || m_port.bytesToWrite() > 0 || m_drainTimer.isActive())
        return;
    m_waitTimer.stop();
    m_drainTimer.start(protocol::drainMs(m_sentBytes, m_port.baudRate()));
}

void Link::handleError(QSerialPort::SerialPortError error)
{
    // A line whose far end went away reports one resource error, or read errors without end,
    // with the text of whatever errno was left over.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!m_port.isOpen())
        return;
    // A device may drop its line as soon as it takes the restart command.
    const bool left = m_awaiting == Awaiting::Departure && m_port.bytesToWrite() == 0;
    m_quietTimer.stop();
    m_framer.clear();
    m_port.close();
    end(left ? Result::Left : Result::Lost);
}

void Link::end(Result result, const QByteArray &text)
{
    if (m_awaiting == Awaiting::Nothing)
        return;
    m_awaiting = Awaiting::Nothing;
    m_waitTimer.stop();
    m_drainTimer.stop();
    emit finished(result, text);
}
