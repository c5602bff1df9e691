#pragma once

// What a command does to one unit, step by step: read it; or read it, write it and prove the
// result; or restart it. Each unit's procedure is one coroutine on the one event loop, so that a
// hub of converters is worked on at once and a signal is heard at every step.

#include "check.h"
#include "inventory.h"
#include "link.h"
#include "profile.h"
#include "status.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSerialPortInfo>
#include <QSet>

#include <memory>
#include <optional>
#include <vector>

#include <qcoro/qcorotask.h>

enum class Command
{
    Read,
    Write,
    Reset,
    Audit, // read, and compare with the plan; nothing sent
};

// What to do on every port, as the command line asked.
struct Job
{
    Command command = Command::Read;
    QString name; // as typed, for the log
    const protocol::Mode *mode = nullptr;
    Values wanted; // a write's values in their plain form; the MAC, if given, guards the write
    // Each unit's own values over the shared ones, found by its MAC; units without a row are
    // left alone.
    const Inventory *inventory = nullptr;
    bool force = false;
    // Keys sent even when the device reports the value already: a change that may be staged
    // hides behind the value the device still runs.
    QSet<int> forceKeys;
    bool dryRun = false;
    bool verify = true;
    bool backup = true;
    QString backupFile; // empty: a new file in the default place
    // The backup that puts the unit back as it was, when this write saves none of its own.
    QString restoreFrom;
    // What a read moments before found, taken as it is instead of asking again; the MAC is
    // always asked, as it tells which unit answers.
    Values assumed;
    // After the restart, only the keys sent are read back (and the MAC, which tells the unit).
    bool brief = false;
    // The device may still be restarting: it is looked for before it is read.
    bool awaitDevice = false;
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
    QByteArray sent; // the value the write sends, or empty
};

// What happened to one unit: the table, --json and the log are made from it.
struct UnitRecord
{
    QString port;
    const protocol::Mode *mode = nullptr;
    Values wanted;
    Values before;               // as first read, the MAC first
    std::optional<Values> after; // as read back after the restart
    QList<Row> rows;
    QString backup;
    QString restoreFrom; // a backup saved before this write, which restores the unit
    bool restarted = false;
    QJsonValue check;               // the Modbus check's request and result, or null
    const Unit *sheetRow = nullptr; // its row of the sheet, if any
    bool brief = false;             // only the keys sent were to be read back
    Result result = Result::Read;
    int status = Done;
    QString outcome;
    bool done = false;

    // The keys with the given statuses, and their values: as sent, or as put back.
    QJsonObject keys(std::initializer_list<const char *> statuses) const;
    // Whether every key the command was to read was read.
    bool readWhole() const;
    QJsonObject toJson() const;
};

// One port: its line, and what became of its unit.
struct UnitRun
{
    UnitRun(const QString &port, const Job &job, const Console &console);

    Link link;
    UnitRecord record;
    // A change, a put-back or the restart is on its way: a stop request waits for its answer.
    bool sending = false;
};

// A barrier decided once: every unit arrives, with its plan or having ended; the last to arrive
// judges all of them, and every unit gets the same answer. After a stop request the answer is no.
class BatchVerdict : public QObject
{
    Q_OBJECT

public:
    // The units of the command, in the order the command gave their ports: problems are named in
    // that order, whichever unit arrives first.
    BatchVerdict(const QList<const UnitRecord *> &units, bool force, const Console &console);

    // A unit that read its device and found its plan: true to go on and write it.
    QCoro::Task<bool> verdict(const UnitRecord *unit);
    // A unit that ended before it had a plan.
    void leave();
    void stop();

signals:
    void decided(bool proceed);

private:
    void arrive();
    void decide(bool proceed);

    const Console &m_console;
    const bool m_force;
    const QList<const UnitRecord *> m_units;
    int m_missing;
    QSet<const UnitRecord *> m_planned;
    std::optional<bool> m_verdict;
};

// The units of one command, what they share, and how the command ends: each unit's line is
// logged as that unit ends, and a stop request is heard by every unit.
class Run : public QObject
{
    Q_OBJECT

public:
    Run(const Job &job, const QStringList &ports, const Console &console);
    ~Run() override;

    const Job &job() const { return m_job; }
    const Console &console() const { return m_console; }
    BatchVerdict &batch() { return *m_batch; }
    const std::vector<std::unique_ptr<UnitRun>> &units() const { return m_units; }

    // Starts every unit's procedure; allEnded() follows, never from within start().
    void start();
    // 128 + the signal's number once a stop was asked, else 0.
    int stopStatus() const { return m_stopStatus; }
    // No unit starts a step that sends; changes under way are answered and put back.
    void stop(int status);
    // A second stop: says at once what may be staged in each unit still under way, and logs
    // it; the program ends next.
    void abandon(int status);
    // Called by a unit's procedure as its last act.
    void ended(UnitRun &unit);

signals:
    void allEnded();

private:
    QCoro::Task<> work(UnitRun &unit);
    void log(const UnitRecord &record);

    const Job &m_job;
    const Console &m_console;
    std::unique_ptr<BatchVerdict> m_batch;
    std::vector<std::unique_ptr<UnitRun>> m_units;
    QList<QSerialPortInfo> m_systemPorts;
    int m_running = 0;
    int m_stopStatus = 0;
};

// Appends the unit's line to the log, with the command's name and any more fields.
void logUnit(const UnitRecord &record, const QString &command,
             const QList<QSerialPortInfo> &systemPorts, const Console &console,
             const QJsonObject &more = {});

// The command that sends the keys that may be staged back as the device held them.
QString putBackCommand(const UnitRecord &record);

// A row of the sheet whose unit is on none of the ports, as --json lists it.
QJsonObject notConnectedJson(const Unit &row);

// The job on one port, to its end, on the event loop: what became of the unit. While it lasts,
// *current is its run, so that a stop request can reach it.
QCoro::Task<UnitRecord> runOnOnePort(const Job &job, const QString &port, const Console &console,
                                     Run **current);
