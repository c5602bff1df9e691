#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <QVector>

// What became of one request.
struct ModbusAnswer
{
    enum Kind
    {
        Data,      // the answer the request asks for
        Exception, // an exception to this request's function
        Unusable,  // an answer, but not one to this request
        TimedOut,
    };
    Kind kind = TimedOut;
    int exception = 0;
    QVector<quint16> values; // of a read
    QByteArray frame;        // as received, header and all
    QString fault;           // what makes it unusable
    double ms = 0;           // from the request to its answer
};

// A Modbus TCP connection that keeps several requests in flight, matched to their answers by
// transaction id. A converter queues them for its RS-485 line, so the next request is there when
// the line frees and none waits for a network round trip. It serves the queue in turn: a
// request's time-out runs from when every earlier one was done with, not from when it was sent.
class ModbusTcp : public QObject
{
    Q_OBJECT

public:
    ModbusTcp(QString host, quint16 port, int timeoutMs, QObject *parent = nullptr);

    QString where() const;
    // connected() or failed(), from the event loop.
    void open();
    // Sends a request PDU to the unit; answered() gives the same id.
    int send(int unit, const QByteArray &pdu);
    int inFlight() const { return int(m_queue.size()); }
    void close();

signals:
    void connected();
    void answered(int id, const ModbusAnswer &answer);
    // No connection (PortFailed), it was lost (PortFailed), or the converter sent what is not
    // Modbus TCP (NoAnswer); what was in flight is forgotten. The reason is a whole sentence.
    void failed(int status, const QString &why);

private:
    struct Pending
    {
        int id;
        int unit;
        QByteArray pdu;
        QElapsedTimer clock;
    };

    void collect();
    void noConnection(QString why);
    void fail(int status, const QString &why);
    void startHeadTimer();

    QString m_host;
    quint16 m_port;
    int m_timeoutMs;
    QTcpSocket m_socket;
    QTimer m_connectTimer;
    QTimer m_headTimer;
    QList<Pending> m_queue; // in the order sent
    QByteArray m_received;
    quint16 m_nextId = 1;
    bool m_failed = false;
};

// Request PDUs.
QByteArray readRequest(bool input, int address, int count);
QByteArray writeRequest(int address, const QVector<quint16> &values);
// What an answer PDU is to the request PDU.
ModbusAnswer judgeAnswer(const QByteArray &request, const QByteArray &pdu);
// "0x02"
QString exceptionCode(int code);
// "exception 0x02 illegal data address"
QString exceptionText(int code);
