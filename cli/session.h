#pragma once

#include "check.h"
#include "inventory.h"
#include "link.h"
#include "profile.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
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
    OutputFailed = 7,
    // 128 + the signal's number when a signal ended the run
};

enum class Command
{
    Ports,
    Read,
    Write,
    Reset,
    Check,
    Scan,
    Poll,
    Find,
    Log,
};

// What to do on every port, as the command line asked.
struct Job
{
    Command command = Command::Read;
    const protocol::Mode *mode = nullptr;
    Values wanted; // a write's values in their plain form; the MAC, if given, guards the write
    // Each unit's own values over the shared ones, found by its MAC; units without a row are
    // left alone.
    const Inventory *inventory = nullptr;
    bool force = false;
    bool dryRun = false;
    bool verify = true;
    bool backup = true;
    QString backupFile; // empty: a new file in the default place
    int timeoutMs = 1000;
    qint32 baud = 9600;
    int restartTimeoutMs = 15000;
    // After the verify, a Modbus read through the converter at the address and TCP port it now
    // has, or at checkHost.
    bool check = false;
    CheckRequest checkRequest;
    QString checkHost;
};

// One key of a write: what the device had, what it has or is to have, and how far it got.
struct Row
{
    int index; // in protocol::parameters
    QByteArray before;
    QByteArray after;
    QString status;
};

// One converter behind one port: reads it, or writes it and proves the result. Several sessions
// run side by side in one event loop.
class Session : public QObject
{
    Q_OBJECT

public:
    Session(const QString &port, const Job &job, const Console &console, QObject *parent = nullptr);

    void start();
    // After a write's read: go on with the unit's plan, or end without sending anything.
    void proceed();
    void cancel(const QString &message);
    // A signal asked the program to end: stop starting new steps, leave nothing staged, and end
    // with this status.
    void interrupt(int status);

    QString port() const { return m_link.port(); }
    // Known once the device's MAC is read: the mode, and what this unit is to hold.
    const protocol::Mode *mode() const { return m_mode; }
    const Values &wanted() const { return m_wanted; }
    bool isWaiting() const { return m_phase == Phase::Waiting && !m_done; }
    // A word for the log and for scripts: verified, unchanged, refused, ...
    QString result() const;
    // The device as read back after its restart, when it was.
    std::optional<Values> after() const;
    bool isDone() const { return m_done; }
    int status() const { return m_status; }
    QString outcome() const { return m_outcome; }
    // What the device held when it was first read.
    const Values &settings() const { return m_settings; }
    const QList<Row> &rows() const { return m_rows; }
    QString backup() const { return m_backup; }

signals:
    // A write's read is done: the batch is judged as a whole before anything is sent.
    void waiting();
    void finished();

private:
    enum class Phase
    {
        Reading,
        Waiting,
        Changing,
        Restoring,
        Resetting,
        Probing,
        ReadingBack,
        Checking,
    };

    void linkFinished(Link::Result result, const QByteArray &text);
    void askNext();
    void answered(const QByteArray &value);
    bool findUnit(const QByteArray &mac);
    void readFailed(Link::Result result, const QByteArray &text);
    void plan();
    bool saveBackup();
    void sendChange();
    void verdict(Link::Result result, const QByteArray &text);
    void restore(int status, const QString &message);
    void restoreNext();
    void reportStaged();
    void sendReset();
    void restarted();
    void probe();
    void lookAgain(const QString &detail, bool now = false);
    void probed(const QByteArray &mac);
    void compare();
    void checkModbus(const Values &now, const QString &done);
    void fail(int status, const QString &message);
    void finish(int status, const QString &outcome);

    const Job m_job;
    const Console &m_console;
    Link m_link;
    QTimer m_probeTimer;
    QElapsedTimer m_sinceProbe;
    QDeadlineTimer m_restartDeadline;

    const protocol::Mode *m_mode;
    Values m_wanted;
    Phase m_phase = Phase::Reading;
    bool m_readBackDone = false;
    bool m_notInInventory = false;
    QList<int> m_queue; // parameters still to ask, in the device's order
    int m_asked = 0;
    Values m_settings;
    Values m_readBack;
    QList<Row> m_rows;
    int m_change = -1;    // the row whose change was sent last
    QList<int> m_restore; // rows still to put back
    int m_failure = Done; // why the changes are being put back
    QString m_failureMessage;
    QString m_backup;
    int m_interrupt = 0;
    bool m_done = false;
    int m_status = Done;
    QString m_outcome;
};
