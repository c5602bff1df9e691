#pragma once

#include "output.h"
#include "replyframer.h"

#include <QSerialPort>
#include <QTimer>

// The conversation with one converter behind one port: one message at a time, each awaiting what
// the device says to it. Replies are framed and read as the device means them.
class Link : public QObject
{
    Q_OBJECT

public:
    enum class Result
    {
        Value,      // the answer to the question asked; the text is its value
        Confirmed,  // "OK" to a change
        Refused,    // anything else to a change; the text is the line
        Unexpected, // a line that answers no question; the text is the line
        NoAnswer,   // nothing usable within the wait, or RESET could not leave
        Lost,       // the port failed; it is closed
        Left,       // RESET has left the adapter
    };

    Link(const QString &port, qint32 baud, const Console &console, QObject *parent = nullptr);

    QString port() const { return m_portName; }
    // On failure, what went wrong and what to do about it.
    bool open(QString *error);
    // Why the last open failed, in a word: in-use, no-access or cannot-open.
    QString openFailure() const { return m_openFailure; }
    void close();
    bool isOpen() const { return m_port.isOpen(); }

    // Each ends in one finished() within waitMs, unless close() comes first.
    void ask(int parameter, int waitMs);
    void change(int parameter, const QByteArray &value, int waitMs);
    void restart(int waitMs);

signals:
    void finished(Link::Result result, const QByteArray &text);

private:
    enum class Awaiting
    {
        Nothing,
        Answer,
        Verdict,
        Departure,
    };

    void send(const QByteArray &bytes, Awaiting awaiting, int waitMs);
    void readAvailable();
    void takeQuietReply();
    void take(const QByteArray &reply);
    void checkWritten();
    void handleError(QSerialPort::SerialPortError error);
    void end(Result result, const QByteArray &text = {});

    const QString m_portName;
    const Console &m_console;
    QSerialPort m_port;
    ReplyFramer m_framer;
    QTimer m_waitTimer;
    QTimer m_quietTimer;
    QTimer m_drainTimer;
    Awaiting m_awaiting = Awaiting::Nothing;
    int m_asked = 0;
    int m_sentBytes = 0;
    QString m_openFailure;
};
