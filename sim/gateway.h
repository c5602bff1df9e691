#pragma once

#include "rtu.h"
#include "simdevice.h"

#include <QCommandLineOption>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <vector>

class QCommandLineParser;
class QTcpSocket;

struct GatewayOptions
{
    bool enabled = true; // the device is in TCP-RTU mode
    std::vector<sim::ModbusSlave> slaves;
    int answerTimeoutMs = 200; // how long the converter waits for a slave
    // Where each answer is cut into pieces sent apart, so that a client sees them arrive one by
    // one; from the end when negative. None: an answer goes in one write.
    QList<int> tcpSplit;
    bool quiet = false;
};

QList<QCommandLineOption> gatewayOptions();
// Reads the options into the gateway's and into the device's factory settings.
bool readGatewayOptions(const QCommandLineParser &parser, GatewayOptions *options,
                        sim::Settings *factory, QString *error);

// The converter's network side in TCP-RTU mode: serves Modbus TCP on the device's ip and TCP
// port and relays each request to the slaves on its RS-485 line. Only a loopback address is
// ever bound. The line carries one request at a time; a slave whose framing differs from the
// converter's does not answer, and the client gets exception 0x0B once the converter gives up.
class Gateway : public QObject
{
    Q_OBJECT

public:
    explicit Gateway(GatewayOptions options, QObject *parent = nullptr);

    // The device came up with these settings.
    void serve(const sim::Settings &settings);
    // The device restarts: the listener and every connection go.
    void stop();

private:
    void accept();
    void collect(QTcpSocket *socket);
    void relay(QTcpSocket *socket, const QByteArray &header, const QByteArray &pdu);
    void send(QTcpSocket *socket, const QByteArray &frame);
    void sendPiece(QTcpSocket *socket);
    void log(const QString &text) const;

    GatewayOptions m_options;
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending; // bytes of requests still incomplete
    // With --tcp-split: the pieces not sent yet, in order, of the connections that have any.
    QHash<QTcpSocket *, QList<QByteArray>> m_unsent;
    sim::SerialLine m_line;
    double m_lineFreeAt = 0; // ms on QDeadlineTimer's clock
};
