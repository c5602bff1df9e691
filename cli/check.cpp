#include "check.h"

#include "status.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDataStream>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QModbusTcpClient>

#include <cmath>

namespace {

constexpr int maxRegistersPerRead = 125;

QString exceptionName(int code)
{
    switch (code) {
    case 0x01:
        return QStringLiteral("illegal function");
    case 0x02:
        return QStringLiteral("illegal data address");
    case 0x03:
        return QStringLiteral("illegal data value");
    case 0x04:
        return QStringLiteral("server device failure");
    case 0x05:
        return QStringLiteral("acknowledge");
    case 0x06:
        return QStringLiteral("server device busy");
    case 0x08:
        return QStringLiteral("memory parity error");
    case 0x0A:
        return QStringLiteral("gateway path unavailable");
    case 0x0B:
        return QStringLiteral("gateway target device failed to respond");
    }
    return QStringLiteral("unknown exception");
}

} // namespace

int number(const QCommandLineParser &parser, const QString &name, int fallback, int min, int max,
           QStringList *errors)
{
    if (!parser.isSet(name))
        return fallback;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (ok && value >= min && value <= max)
        return value;
    errors->append(QStringLiteral("--%1: must be a whole number from %2 to %3, not %4")
                       .arg(name)
                       .arg(min)
                       .arg(max)
                       .arg(parser.value(name)));
    return fallback;
}

const char checkExitStatuses[] =
    "Exit status:\n"
    "  0  the slave answered\n"
    "  2  bad command line\n"
    "  3  no TCP connection to the converter\n"
    "  4  the converter answered but the slave did not (exception 0x0A, 0x0B or no answer)\n"
    "  5  the slave answered with another Modbus exception\n";

ModbusCheck::ModbusCheck(CheckRequest request, QObject *parent)
    : QObject(parent), m_request(std::move(request))
{
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        noConnection(QStringLiteral("no answer within %1 ms").arg(m_request.timeoutMs));
    });
}

QString ModbusCheck::where() const
{
    return QStringLiteral("%1:%2").arg(m_request.host).arg(m_request.port);
}

void ModbusCheck::start()
{
    m_client = new QModbusTcpClient(this);
    m_client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, m_request.host);
    m_client->setConnectionParameter(QModbusDevice::NetworkPortParameter, m_request.port);
    m_client->setTimeout(m_request.timeoutMs);
    m_client->setNumberOfRetries(0);
    connect(m_client, &QModbusDevice::stateChanged, this, [this](QModbusDevice::State state) {
        if (state == QModbusDevice::ConnectedState && !m_sent)
            send();
    });
    connect(m_client, &QModbusDevice::errorOccurred, this, [this](QModbusDevice::Error error) {
        if (error == QModbusDevice::ConnectionError && !m_sent)
            noConnection(m_client->errorString());
    });
    m_connectTimer.start(m_request.timeoutMs);
    // Whatever happens at once is reported from the event loop, as everything later is.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_done && !m_client->connectDevice())
                noConnection(m_client->errorString());
        },
        Qt::QueuedConnection);
}

void ModbusCheck::noConnection(QString why)
{
    // Qt's reasons end in a full stop; ours goes on.
    if (why.endsWith(QLatin1Char('.')))
        why.chop(1);
    finish(PortFailed, QStringLiteral("no TCP connection to %1: %2; check the converter's ip and "
                                      "TCP port, the network, and that it is in TCP-RTU mode")
                           .arg(where(), why));
}

void ModbusCheck::send()
{
    m_sent = true;
    m_connectTimer.stop();
    const QModbusDataUnit unit(m_request.input ? QModbusDataUnit::InputRegisters
                                               : QModbusDataUnit::HoldingRegisters,
                               m_request.address, quint16(m_request.count));
    m_clock.start();
    QModbusReply *reply = m_client->sendReadRequest(unit, m_request.unit);
    if (!reply)
        return finish(PortFailed, QStringLiteral("the connection to %1 failed: %2")
                                      .arg(where(), m_client->errorString()));
    connect(reply, &QModbusReply::finished, this, [this, reply] {
        reply->deleteLater();
        handle(reply);
    });
}

void ModbusCheck::handle(QModbusReply *reply)
{
    m_result.ms = std::round(m_clock.nsecsElapsed() / 1e5) / 10;
    const QString slave = QStringLiteral("slave %1 through %2").arg(m_request.unit).arg(where());
    const QString hint = QStringLiteral("; compare the converter's RS-485 speed, parity and stop "
                                        "bits with the slave's, and the unit id");
    switch (reply->error()) {
    case QModbusDevice::NoError:
        m_result.values = reply->result().values();
        return finish(Done, {});
    case QModbusDevice::TimeoutError:
        return finish(
            NoAnswer,
            QStringLiteral("no answer from %1 within %2 ms").arg(slave).arg(m_request.timeoutMs) +
                hint);
    case QModbusDevice::ProtocolError: {
        const int code = exceptionOf(reply->rawResult());
        if (code < 0)
            return finish(
                NoAnswer,
                QStringLiteral("unusable answer from %1: %2").arg(slave, reply->errorString()));
        const QString exception =
            QStringLiteral("exception 0x%1 %2")
                .arg(QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')),
                     exceptionName(code));
        if (code == 0x0A || code == 0x0B)
            return finish(NoAnswer,
                          QStringLiteral("the converter at %1 answered, but slave %2 did not (%3)")
                                  .arg(where())
                                  .arg(m_request.unit)
                                  .arg(exception) +
                              hint);
        return finish(Refused, QStringLiteral("%1 answered with %2").arg(slave, exception));
    }
    default:
        return finish(
            PortFailed,
            QStringLiteral("the connection to %1 was lost: %2").arg(where(), reply->errorString()));
    }
}

// The exception code of an exception response, or -1. Read from the answer as it went on the
// wire: the serial library keeps the function code in an enum that cannot hold the exception bit,
// and reading it through that enum is undefined.
int ModbusCheck::exceptionOf(const QModbusPdu &pdu)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << pdu;
    if (bytes.size() < 2 || (quint8(bytes[0]) & QModbusPdu::ExceptionByte) == 0)
        return -1;
    return quint8(bytes[1]);
}

void ModbusCheck::finish(int status, const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_connectTimer.stop();
    m_result.status = status;
    m_result.message = message;
    m_client->disconnectDevice();
    emit finished(m_result);
}

QList<QCommandLineOption> checkOptions()
{
    return {
        {"host", "The converter's address.", "HOST"},
        {"tcp-port", "The converter's Modbus TCP port (default 502).", "N"},
        {"unit", "The slave's unit id, 1-247 (default 1).", "ID"},
        {"read",
         QStringLiteral("Read COUNT registers (default 1, at most %1) from address ADDR "
                        "(default 0).")
             .arg(maxRegistersPerRead),
         "ADDR[:COUNT]"},
        {"input", "Read input registers instead of holding registers."},
    };
}

void readCheckOptions(const QCommandLineParser &parser, CheckRequest *request, QStringList *errors)
{
    request->unit = number(parser, "unit", request->unit, 1, 247, errors);
    request->input = parser.isSet("input");
    if (!parser.isSet("read"))
        return;
    const QStringList fields = parser.value("read").split(':');
    bool addressOk = false;
    bool countOk = true;
    const int address = fields.first().toInt(&addressOk);
    const int count = fields.size() == 2 ? fields.last().toInt(&countOk) : 1;
    if (addressOk && countOk && fields.size() <= 2 && address >= 0 && count >= 1 &&
        count <= maxRegistersPerRead && address + count <= 65536) {
        request->address = address;
        request->count = count;
        return;
    }
    errors->append(QStringLiteral("--read: must be ADDR[:COUNT], an address of 0-65535 and 1-%1 "
                                  "registers within it, not %2")
                       .arg(maxRegistersPerRead)
                       .arg(parser.value("read")));
}

int runCheck(const QCommandLineParser &parser, const Console &console)
{
    CheckRequest request;
    QStringList errors;
    request.host = parser.value("host");
    if (request.host.isEmpty())
        errors << QStringLiteral("--host: give the converter's address");
    request.port = quint16(number(parser, "tcp-port", request.port, 1, 65535, &errors));
    request.timeoutMs = number(parser, "timeout", request.timeoutMs, 10, 3'600'000, &errors);
    readCheckOptions(parser, &request, &errors);
    for (const QString &argument : parser.positionalArguments())
        errors << QStringLiteral("unexpected argument %1").arg(argument);
    if (!errors.isEmpty()) {
        for (const QString &error : qAsConst(errors))
            console.error(error);
        return BadInput;
    }

    ModbusCheck check(request);
    CheckResult result;
    QObject::connect(&check, &ModbusCheck::finished, [&result](const CheckResult &finished) {
        result = finished;
        QCoreApplication::quit();
    });
    check.start();
    QCoreApplication::exec();

    if (result.status != Done) {
        console.error(result.message);
        return result.status;
    }
    if (parser.isSet("json")) {
        QJsonArray values;
        for (const quint16 value : qAsConst(result.values))
            values << value;
        const QJsonObject object{{"host", request.host}, {"tcp_port", request.port},
                                 {"unit", request.unit}, {"address", request.address},
                                 {"values", values},     {"ms", result.ms}};
        console.result(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        return Done;
    }
    QList<QStringList> rows{{request.input ? "input register" : "holding register", "value"}};
    for (int i = 0; i < result.values.size(); ++i)
        rows << QStringList{QString::number(request.address + i),
                            QString::number(result.values[i])};
    console.result(table(rows));
    console.result(QStringLiteral("slave %1 through %2:%3 answered in %4 ms")
                       .arg(request.unit)
                       .arg(request.host)
                       .arg(request.port)
                       .arg(result.ms));
    return Done;
}
