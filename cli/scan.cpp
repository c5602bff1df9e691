#include "scan.h"
#include "options.h"

#include "check.h"
#include "modbus.h"
#include "modbustcp.h"
#include "status.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// Two in flight keep the converter's queue full: one on the RS-485 line, the next waiting behind
// it, so the line never idles for a network round trip. More would only wait in the queue, and
// a converter may hold no more than a few.
constexpr int inFlight = 2;

struct Answered
{
    int unit;
    ModbusAnswer answer;
};


QString valueList(const QVector<quint16> &values)
{
    QStringList texts;
    for (const quint16 value : values)
        texts << QString::number(value);
    return texts.join(QLatin1Char(' '));
}

void printFound(const QList<Answered> &found, bool json, const Console &console)
{
    if (json) {
        QJsonArray array;
        for (const Answered &unit : found) {
            QJsonObject object{{"unit", unit.unit}};
            QJsonArray values;
            for (const quint16 value : unit.answer.values)
                values << value;
            if (unit.answer.kind == ModbusAnswer::Data)
                object.insert("values", values);
            else
                object.insert("exception", unit.answer.exception);
            array << object;
        }
        console.result(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
        return;
    }
    if (found.isEmpty())
        return;
    QList<QStringList> rows{{"unit", "answer"}};
    for (const Answered &unit : found)
        rows << QStringList{QString::number(unit.unit), unit.answer.kind == ModbusAnswer::Data
                                                            ? valueList(unit.answer.values)
                                                            : exceptionText(unit.answer.exception)};
    console.result(table(rows));
}

} // namespace

QList<int> parseUnits(const QString &text)
{
    QVector<bool> chosen(modbus::lastUnit + 1);
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool firstOk = false;
        bool lastOk = true;
        const int first = ends.first().toInt(&firstOk);
        const int last = ends.size() == 2 ? ends.last().toInt(&lastOk) : first;
        if (ends.size() > 2 || !firstOk || !lastOk || first < modbus::firstUnit ||
            last > modbus::lastUnit || first > last)
            return {};
        std::fill(chosen.begin() + first, chosen.begin() + last + 1, true);
    }
    QList<int> units;
    for (int unit = modbus::firstUnit; unit <= modbus::lastUnit; ++unit) {
        if (chosen[unit])
            units << unit;
    }
    return units;
}

const char scanExitStatuses[] =
    "Exit status:\n"
    "  0  at least one unit id answered, with registers or an exception\n"
    "  2  bad command line\n"
    "  3  no TCP connection to the converter, or it was lost\n"
    "  4  no unit id answered\n";

int runScan(const Arguments &args, const Console &console)
{
    CheckRequest request;
    QStringList errors;
    QList<int> units =
        parseUnits(QStringLiteral("%1-%2").arg(modbus::firstUnit).arg(modbus::lastUnit));
    if (args.isSet(option::units)) {
        units = parseUnits(args.value(option::units));
        if (units.isEmpty())
            errors << QStringLiteral("--units: must be ids of 1-247 and ranges such as 10-20, "
                                     "separated by commas, not %1")
                          .arg(args.value(option::units));
    }
    readRegisters(args, &request, &errors);
    if (!readConnection(args, &request, &errors, console))
        return BadInput;

    const QByteArray pdu = readRequest(request.input, request.address, request.count);
    ModbusTcp client(request.host, request.port, request.timeoutMs);
    QHash<int, int> unitOf; // by the request's id
    QList<Answered> found;
    int next = 0;
    int done = 0;
    int status = Done;
    QString failure;
    QElapsedTimer clock;
    const auto sendMore = [&] {
        while (client.inFlight() < inFlight && next < units.size()) {
            unitOf.insert(client.send(units[next], pdu), units[next]);
            ++next;
        }
        if (done == units.size())
            QCoreApplication::quit();
    };
    QObject::connect(&client, &ModbusTcp::connected, [&] {
        clock.start();
        sendMore();
    });
    QObject::connect(&client, &ModbusTcp::failed, [&](int why, const QString &message) {
        status = why;
        failure = message;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &ModbusTcp::answered, [&](int id, const ModbusAnswer &answer) {
        const int unit = unitOf.take(id);
        ++done;
        if (answer.kind == ModbusAnswer::Data ||
            (answer.kind == ModbusAnswer::Exception && !modbus::fromGateway(answer.exception)))
            found << Answered{unit, answer};
        if (answer.kind == ModbusAnswer::Unusable) {
            QString message;
            modbusFault(answer, unit, client.where(), request.timeoutMs, &message);
            console.live({});
            console.error(message);
        }
        const qint64 left = clock.elapsed() * (units.size() - done) / done;
        console.live(QStringLiteral("scan: %1 of %2 unit ids, %3 answered, about %4 s left")
                         .arg(done)
                         .arg(units.size())
                         .arg(found.size())
                         .arg(std::ceil(left / 1000.0)));
        sendMore();
    });
    QMetaObject::invokeMethod(&client, &ModbusTcp::open, Qt::QueuedConnection);
    QCoreApplication::exec();
    console.live({});

    if (status != Done) {
        console.error(failure);
        if (done == 0)
            return status;
    }
    printFound(found, args.isSet(option::json), console);
    if (status != Done)
        return status;
    if (found.isEmpty()) {
        console.error(QStringLiteral("none of the %1 unit ids answered through %2; compare the "
                                     "converter's RS-485 speed, parity and stop bits with the "
                                     "slaves'")
                          .arg(units.size())
                          .arg(client.where()));
        return NoAnswer;
    }
    console.note(QStringLiteral("%1 of %2 unit ids answered through %3 in %4 s")
                     .arg(found.size())
                     .arg(units.size())
                     .arg(client.where())
                     .arg(clock.elapsed() / 1000.0, 0, 'f', 1));
    return Done;
}
