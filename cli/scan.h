#pragma once

#include "check.h"
#include "modbustcp.h"
#include "output.h"
#include "status.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>

class Arguments;

// "1-247" or "1,5,10-20": the ids in order, each once; none when the text is not such a list.
QList<int> parseUnits(const QString &text);

// A unit id that answered: with the registers asked for, or with an exception of its own.
struct UnitAnswer
{
    int unit = 0;
    QVector<quint16> values; // when there is no exception
    int exception = 0;       // the slave's own exception code, or 0
};

// Asks unit ids, in turn, for the same registers through one converter, and gathers those that
// answer. The converter's own exceptions 0x0A and 0x0B, time-outs and unusable answers mean no
// slave is there. Two requests wait in the converter's queue at any time, so that its RS-485 line
// never waits for the network. Each scan has its own connection; several may run side by side.
//
//     UnitScan scan(request, {1, 2, 3});  // request: host, port, timeoutMs and the registers
//     connect(&scan, &UnitScan::done, ...);
//     scan.start();
//
// done() comes exactly once, from the event loop, never from within start() or stop(): after
// the last id is settled, when the connection fails or is lost, or after stop(). Then
// answers(), status() and failure() hold the outcome, also of a scan stopped or failed half-way.
class UnitScan : public QObject
{
    Q_OBJECT

public:
    UnitScan(const CheckRequest &request, QList<int> units, QObject *parent = nullptr);

    // Connects from the event loop, then asks.
    void start();
    // Asks no more and drops the connection, with what is in flight.
    void stop();

    QString where() const { return m_client.where(); }
    int total() const { return int(m_units.size()); }
    // Ids asked whose answer, or its absence, is known.
    int settled() const { return m_settled; }
    // In the order of the ids.
    const QList<UnitAnswer> &answers() const { return m_answers; }
    // Done, or the connection's failure: PortFailed (none, or lost) or NoAnswer (not Modbus TCP),
    // told as a whole sentence.
    int status() const { return m_status; }
    QString failure() const { return m_failure; }

signals:
    // Another id is settled.
    void progress();
    // An answer that is not Modbus for its request, told as a whole sentence; the id is not
    // counted as answering.
    void unusable(const QString &message);
    void done();

private:
    void sendMore();
    void take(int id, const ModbusAnswer &answer);
    void end();

    const CheckRequest m_request;
    const QList<int> m_units;
    const QByteArray m_pdu;
    ModbusTcp m_client;
    QHash<int, int> m_unitOf; // by the request's transaction id
    QList<UnitAnswer> m_answers;
    int m_next = 0;
    int m_settled = 0;
    int m_status = Done;
    QString m_failure;
    bool m_ended = false;
};

// The answers as the log keeps them: where they were asked, the registers, and each unit that
// answered with its values or its exception.
QJsonObject slavesJson(const CheckRequest &asked, const QList<UnitAnswer> &answers);

// The scan command: which unit ids answer behind the converter, or behind each converter of a
// sheet. Its exit status.
int runScan(const Arguments &args, const Console &console);

inline constexpr char scanExitStatuses[] =
    "Exit status:\n"
    "  0  at least one unit id answered, with registers or an exception\n"
    "  2  bad command line\n"
    "  3  no TCP connection to the converter, or it was lost\n"
    "  4  no unit id answered\n"
    "  129, 130, 143  ended by SIGHUP, Ctrl-C or SIGTERM; the unit ids that answered so far\n"
    "     are printed\n";
