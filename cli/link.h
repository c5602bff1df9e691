#pragma once

#include "output.h"
#include "replyframer.h"

#include <QSerialPort>
#include <QTimer>

#include <qcoro/qcorotask.h>

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
        Unexpected, // an error reply ("ERR ..."); the text is the line
        NoAnswer,   // nothing usable within the wait, or RESET could not leave; the text is the
                    // last line passed over, if any
        Lost,       // the port failed; it is closed
        Left,       // RESET has left the adapter
        Stopped,    // cancel() ended the wait
    };
    struct Reply
    {
        Result result;
        QByteArray text;
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
    // The same, awaited.
    QCoro::Task<Reply> query(int parameter, int waitMs);
    QCoro::Task<Reply> sendChange(int parameter, const QByteArray &value, int waitMs);
    QCoro::Task<Reply> sendRestart(int waitMs);
    // Ends the wait under way with Stopped; the port stays as it is.
    void cancel();
    // Whether any of the restart command's bytes were handed to the system before it was given
    // up: then the device may have taken it.
    bool restartMayHaveLeft() const { return m_restartMayHaveLeft; }

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
    void giveUp();
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
    QByteArray m_passedOver; // the last line that was not the answer
    bool m_restartMayHaveLeft = false;
    QString m_openFailure;
};

// Awaited replies reach their coroutine through the event loop.
Q_DECLARE_METATYPE(Link::Result)
