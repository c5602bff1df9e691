#pragma once

#include "output.h"

#include <QObject>
#include <QStringList>
#include <QVector>

class Arguments;
class ModbusTcp;
struct ModbusAnswer;

// One Modbus read through a converter: proves the whole path from the network to a slave.
struct CheckRequest
{
    QString host;
    quint16 port = 502;
    int unit = 1;
    int address = 0;
    int count = 1;
    bool input = false;     // input registers instead of holding registers
    QVector<quint16> write; // written from the address on first, then read back
    int timeoutMs = 1000;   // for the connection, then for each answer
};

struct CheckResult
{
    // Done: the slave answered; PortFailed: no TCP connection to the converter; NoAnswer: the
    // converter answered but the slave did not, or answered unusably; Refused: the slave
    // answered with an exception; Differs: a write reads back otherwise.
    int status = 0;
    QVector<quint16> values;
    double ms = 0;   // the request's round trip
    QString message; // the likely fault; empty when the slave answered
};

// Connects, reads, disconnects; finished() comes exactly once, never from within start().
class ModbusCheck : public QObject
{
    Q_OBJECT

public:
    explicit ModbusCheck(CheckRequest request, QObject *parent = nullptr);

    const CheckRequest &request() const { return m_request; }
    void start();

signals:
    void finished(const CheckResult &result);

private:
    void handle(const ModbusAnswer &answer);
    void finish(int status, const QString &message);

    CheckRequest m_request;
    ModbusTcp *m_client = nullptr;
    bool m_writing = false; // the write is in flight, the read-back is not
    CheckResult m_result;
    bool m_done = false;
};

// What a failed request's message ends with: for the engineer, not for the customer's page.
inline constexpr char modbusHint[] = "; compare the converter's RS-485 speed, parity and stop bits "
                                     "with the slave's, and the unit id";

// What an answer that brings no data means, in the check's words: its exit status and message;
// Done for data.
int modbusFault(const ModbusAnswer &answer, int unit, const QString &where, int timeoutMs,
                QString *message);

// Takes --unit, --read ADDR[:COUNT] and --input into the request; every error is added.
void readCheckOptions(const Arguments &args, CheckRequest *request, QStringList *errors);
// --read and --input alone.
void readRegisters(const Arguments &args, CheckRequest *request, QStringList *errors);
// Takes --host, --tcp-port and --timeout into the request, refuses positional arguments, and
// shows every error, these and those found before: whether there was none.
bool readConnection(const Arguments &args, CheckRequest *request, QStringList *errors,
                    const Console &console);
// The check command: its exit status.
int runCheck(const Arguments &args, const Console &console);

inline constexpr char checkExitStatuses[] =
    "Exit status:\n"
    "  0  the slave answered\n"
    "  2  bad command line\n"
    "  3  no TCP connection to the converter, or it was lost\n"
    "  4  the converter answered but the slave did not (exception 0x0A, 0x0B or no answer),\n"
    "     or the converter answered unusably\n"
    "  5  the slave answered with another Modbus exception\n"
    "  6  the registers written read back otherwise\n";

// An awaited check's result reaches its coroutine through the event loop.
Q_DECLARE_METATYPE(CheckResult)
