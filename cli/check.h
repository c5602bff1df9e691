#pragma once

#include "output.h"

#include <QCommandLineOption>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>

class QCommandLineParser;
class QModbusPdu;
class QModbusReply;
class QModbusTcpClient;

// One Modbus read through a converter: proves the whole path from the network to a slave.
struct CheckRequest
{
    QString host;
    quint16 port = 502;
    int unit = 1;
    int address = 0;
    int count = 1;
    bool input = false;   // input registers instead of holding registers
    int timeoutMs = 1000; // for the connection, then for the answer
};

struct CheckResult
{
    // Done: the slave answered; PortFailed: no TCP connection to the converter; NoAnswer: the
    // converter answered but the slave did not; Refused: the slave answered with an exception.
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
    void noConnection(QString why);
    void send();
    void handle(QModbusReply *reply);
    void finish(int status, const QString &message);
    static int exceptionOf(const QModbusPdu &pdu);
    QString where() const;

    CheckRequest m_request;
    QModbusTcpClient *m_client = nullptr;
    QTimer m_connectTimer;
    QElapsedTimer m_clock;
    CheckResult m_result;
    bool m_sent = false;
    bool m_done = false;
};

// A whole-number option from min to max; the fallback when it is not given, and an error added
// when it is out of range.
int number(const QCommandLineParser &parser, const QString &name, int fallback, int min, int max,
           QStringList *errors);

// --host, --tcp-port, --unit, --read and --input.
QList<QCommandLineOption> checkOptions();
// Takes --unit, --read ADDR[:COUNT] and --input into the request; every error is added.
void readCheckOptions(const QCommandLineParser &parser, CheckRequest *request, QStringList *errors);
// The check command: its exit status.
int runCheck(const QCommandLineParser &parser, const Console &console);

extern const char checkExitStatuses[];

// An awaited check's result reaches its coroutine through the event loop.
Q_DECLARE_METATYPE(CheckResult)
