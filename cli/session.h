#pragma once

#include "output.h"
#include "profile.h"
#include "replyframer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QSerialPort>
#include <QTimer>

// The exit statuses scripts rely on; with several ports the highest wins.
enum Status
{
    Done = 0,
    BadInput = 2,
    PortFailed = 3,
    NoAnswer = 4,
    Refused = 5,
    Differs = 6,
};

enum class Command
{
    Ports,
    Read,
    Write,
    Reset,
    Check,
};

// What to do on every port, as the command line asked.
struct Job
{
    Command command = Command::Read;
    const protocol::Mode *mode = nullptr;
    Values wanted; // a write's values in their plain form; the MAC, if given, guards the write
    bool force = false;
    bool dryRun = false;
    bool verify = true;
    bool backup = true;
    QString backupFile; // empty: a new file in the default place
    int timeoutMs = 1000;
    qint32 baud = 9600;
    int restartTimeoutMs = 15000;
};

// One key of a write: what the device had, what it has or is to have, and how far it got.
struct Row
{
    int index; // in protocol::parameters
    QByteArray before;
    QByteArray after;
    QString status;
};

// One converter behind one port. Asks one question at a time and goes on as soon as the answer is
// complete; several sessions run side by side in one event loop.
class Session : public QObject
{
    Q_OBJECT

public:
    Session(const QString &port, const Job &job, const Console &console, QObject *parent = nullptr);

    void start();

    QString port() const { return m_portName; }
    int status() const { return m_status; }
    QString outcome() const { return m_outcome; }
    // What the device held when it was first read.
    const Values &settings() const { return m_settings; }
    const QList<Row> &rows() const { return m_rows; }
    QString backup() const { return m_backup; }

signals:
    void finished();

private:
    enum class Phase
    {
        Reading,
        Changing,
        Resetting,
        Probing,
        ReadingBack,
    };

    bool openPort(QString *error);
    void send(const QByteArray &bytes, int waitMs);
    void ask(int index, int waitMs);
    void askNext();
    void readAvailable();
    void takeQuietReply();
    void take(const QByteArray &reply);
    bool judge(const QByteArray &line);
    void answered(const QByteArray &value);
    void giveUpWaiting();
    void handleError(QSerialPort::SerialPortError error);
    void readDone();
    void plan();
    bool saveBackup();
    void sendChange();
    void confirmed();
    void stopChanging(const QString &what);
    void sendReset();
    void checkResetLeft();
    void restarted();
    void reopen();
    void notBack(const QString &detail);
    void compare();
    void fail(Status status, const QString &message);
    void finish(Status status, const QString &outcome);

    const QString m_portName;
    const Job m_job;
    const Console &m_console;
    QSerialPort m_port;
    ReplyFramer m_framer;
    QTimer m_answerTimer;
    QTimer m_quietTimer;
    QTimer m_reopenTimer;
    QElapsedTimer m_sinceSent;
    QDeadlineTimer m_restartDeadline;

    Phase m_phase = Phase::Reading;
    QList<int> m_queue; // parameters still to ask, in the device's order
    int m_asked = 0;
    QByteArray m_unusable; // the last reply that looked like the answer but was not usable
    Values m_settings;
    Values m_readBack;
    QList<Row> m_rows;
    int m_change = -1; // the row whose change was sent last
    QString m_backup;
    bool m_done = false;
    int m_status = Done;
    QString m_outcome;
};
