#include "check.h"
#include "options.h"

#include "modbus.h"
#include "modbustcp.h"
#include "status.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

ModbusCheck::ModbusCheck(CheckRequest request, QObject *parent)
    : QObject(parent), m_request(std::move(request))
{
    qRegisterMetaType<CheckResult>();
}

void ModbusCheck::start()
{
    m_client = new ModbusTcp(m_request.host, m_request.port, m_request.timeoutMs, this);
    connect(m_client, &ModbusTcp::failed, this, &ModbusCheck::finish);
    connect(m_client, &ModbusTcp::connected, this, [this] {
        m_writing = !m_request.write.isEmpty();
        m_client->send(m_request.unit, m_writing ? writeRequest(m_request.address, m_request.write)
                                                 : readRequest(m_request.input, m_request.address,
                                                               m_request.count));
    });
    connect(m_client, &ModbusTcp::answered, this,
            [this](int, const ModbusAnswer &answer) { handle(answer); });
    // Whatever happens at once is reported from the event loop, as everything later is.
    QMetaObject::invokeMethod(m_client, &ModbusTcp::open, Qt::QueuedConnection);
}

int modbusFault(const ModbusAnswer &answer, int unit, const QString &where, int timeoutMs,
                QString *message)
{
    const QString slave = QStringLiteral("slave %1 through %2").arg(unit).arg(where);
    const QLatin1String hint(modbusHint);
    switch (answer.kind) {
    case ModbusAnswer::Data:
        break;
    case ModbusAnswer::TimedOut:
        *message =
            QStringLiteral("no answer from %1 within %2 ms").arg(slave).arg(timeoutMs) + hint;
        return NoAnswer;
    case ModbusAnswer::Unusable:
        *message = QStringLiteral("the converter at %1 answered %2 unusably (%3): %4")
                       .arg(where, QStringLiteral("slave %1").arg(unit), answer.fault,
                            QString::fromLatin1(answer.frame.toHex(' ')));
        return NoAnswer;
    case ModbusAnswer::Exception:
        if (modbus::fromGateway(answer.exception)) {
            *message = QStringLiteral("the converter at %1 answered, but %2 did not (%3)")
                           .arg(where, QStringLiteral("slave %1").arg(unit),
                                exceptionText(answer.exception)) +
                       hint;
            return NoAnswer;
        }
        *message =
            QStringLiteral("%1 answered with %2").arg(slave, exceptionText(answer.exception));
        return Refused;
    }
    return Done;
}

void ModbusCheck::handle(const ModbusAnswer &answer)
{
    m_result.ms = std::round(answer.ms * 10) / 10;
    QString message;
    const int status =
        modbusFault(answer, m_request.unit, m_client->where(), m_request.timeoutMs, &message);
    if (status != Done)
        return finish(status, message);
    if (m_writing) {
        m_writing = false;
        m_client->send(m_request.unit, readRequest(false, m_request.address, m_request.count));
        return;
    }
    m_result.values = answer.values;
    if (!m_request.write.isEmpty() && answer.values != m_request.write) {
        QStringList written, read;
        for (int i = 0; i < answer.values.size(); ++i) {
            written << QString::number(m_request.write[i]);
            read << QString::number(answer.values[i]);
        }
        return finish(Differs, QStringLiteral("slave %1 took the write of %2 from register %3 "
                                              "on, but reads back %4")
                                   .arg(m_request.unit)
                                   .arg(written.join(' '))
                                   .arg(m_request.address)
                                   .arg(read.join(' ')));
    }
    finish(Done, {});
}

void ModbusCheck::finish(int status, const QString &message)
{
    if (m_done)
        return;
    m_done = true;
    m_result.status = status;
    m_result.message = message;
    m_client->close();
    emit finished(m_result);
}

namespace {

// Whether COUNT registers from ADDRESS fit in the address space; neither sum may overflow.
bool fits(qint64 address, qint64 count, int maxCount)
{
    return address >= 0 && count >= 1 && count <= maxCount &&
           address + count <= modbus::addressCount;
}

} // namespace

void readCheckOptions(const Arguments &args, CheckRequest *request, QStringList *errors)
{
    request->unit =
        args.number(option::unit, request->unit, modbus::firstUnit, modbus::lastUnit, errors);
    readRegisters(args, request, errors);
}

void readRegisters(const Arguments &args, CheckRequest *request, QStringList *errors)
{
    request->input = args.isSet(option::input);
    if (!args.isSet(option::read))
        return;
    const QStringList fields = args.value(option::read).split(':');
    bool addressOk = false;
    bool countOk = true;
    const qint64 address = fields.first().toLongLong(&addressOk);
    const qint64 count = fields.size() == 2 ? fields.last().toLongLong(&countOk) : 1;
    if (addressOk && countOk && fields.size() <= 2 &&
        fits(address, count, modbus::maxReadRegisters)) {
        request->address = int(address);
        request->count = int(count);
        return;
    }
    errors->append(QStringLiteral("--read: must be ADDR[:COUNT], an address of 0-65535 and 1-%1 "
                                  "registers within it, not %2")
                       .arg(modbus::maxReadRegisters)
                       .arg(args.value(option::read)));
}

bool readConnection(const Arguments &args, CheckRequest *request, QStringList *errors,
                    const Console &console)
{
    request->host = args.value(option::host);
    if (request->host.isEmpty())
        errors->append(QStringLiteral("--host: give the converter's address"));
    request->port = quint16(args.number(option::tcpPort, request->port, 1, 65535, errors));
    request->timeoutMs = args.number(option::timeout, request->timeoutMs, 10, 3'600'000, errors);
    *errors << args.unexpected();
    return console.errors(*errors);
}

namespace {

// --write ADDR=VALUE[,VALUE...] into the request, which reads the same registers back.
void readWrite(const Arguments &args, CheckRequest *request, QStringList *errors)
{
    const QString text = args.value(option::write);
    const int equals = int(text.indexOf(QLatin1Char('=')));
    bool addressOk = false;
    const qint64 address = text.left(equals).toLongLong(&addressOk);
    bool ok = equals > 0 && addressOk;
    const QStringList values = text.mid(equals + 1).split(QLatin1Char(','));
    for (const QString &value : values) {
        bool valueOk = false;
        const uint number = value.toUInt(&valueOk);
        ok = ok && valueOk && number <= 0xFFFF;
        request->write << quint16(number);
    }
    if (ok && fits(address, values.size(), modbus::maxWriteRegisters)) {
        request->address = int(address);
        request->count = int(values.size());
        return;
    }
    errors->append(QStringLiteral("--write: must be ADDR=VALUE[,VALUE...], an address of 0-65535 "
                                  "and 1-%1 values of 0-65535 within it, not %2")
                       .arg(modbus::maxWriteRegisters)
                       .arg(text));
}

} // namespace

int runCheck(const Arguments &args, const Console &console)
{
    CheckRequest request;
    QStringList errors;
    if (args.isSet(option::write)) {
        readWrite(args, &request, &errors);
        if (args.isSet(option::read) || args.isSet(option::input))
            errors << QStringLiteral("--write: reads back what it wrote; no --read or --input");
    }
    readCheckOptions(args, &request, &errors);
    if (!readConnection(args, &request, &errors, console))
        return BadInput;

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
    if (args.isSet(option::json)) {
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
    console.result(QStringLiteral("slave %1 through %2:%3 %4 in %5 ms")
                       .arg(request.unit)
                       .arg(request.host)
                       .arg(request.port)
                       .arg(request.write.isEmpty() ? "answered" : "took the write; read back")
                       .arg(result.ms));
    return Done;
}
