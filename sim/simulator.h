#pragma once

#include "ptyport.h"
#include "simdevice.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <optional>

struct SimOptions
{
    QString link;
    int gapMs = 20;
    int restartMs = 1000;
    int slowMs = 0;
    int lineRate = 0; // baud; 0 delivers answers at once
    std::optional<int> splitMs;
    bool dropOnRestart = false;
    bool silent = false;
    bool garbage = false;
    bool forgetChanges = false;
    bool hangUpAfterRestart = false;
    QByteArray macAfterRestart;
    // A line the device prints on its own, bannerMs after it is back from each restart.
    QByteArray banner;
    int bannerMs = 0;
    // A message that starts with the first text is answered with the second, once carried out.
    QList<QPair<QByteArray, QByteArray>> replies;
    bool quiet = false;
};

// Puts a simulated device behind a pseudo-terminal: frames the host's bytes by silence, hands
// each message to the device and sends the answer back, bent by whatever faults were asked for.
class Simulator : public QObject
{
    Q_OBJECT

public:
    Simulator(const SimOptions &options, const sim::SimDevice &device, QObject *parent = nullptr);
    ~Simulator() override;

    bool start(QString *error);

signals:
    // The device is up with these settings: at start and after each restart.
    void running(const sim::Settings &settings);
    void restarting();

private:
    bool openPort(QString *error);
    void collect(const QByteArray &bytes);
    void noteHostClosed();
    void processMessage();
    void answer(QByteArray bytes);
    void send(const QByteArray &bytes, quint64 generation);
    void deliver(const QByteArray &bytes, quint64 generation);
    int lineMs(int bytes) const;
    void restart();
    void finishRestart();
    bool pointLink(const QString &target, QString *error);
    void removeLink();
    void log(const QString &text) const;

    SimOptions m_options;
    sim::SimDevice m_device;
    const sim::SimDevice m_firstDevice;
    PtyPort m_port;
    QTimer m_gapTimer;
    QByteArray m_message;
    bool m_restarting = false;
    // Bumped on every restart so replies still pending from before it are lost, as they would
    // be on a device that reboots.
    quint64 m_generation = 0;
    QString m_linkTarget;
    qint64 m_lineFreeAt = 0; // ms on QDeadlineTimer's clock
    bool m_hangingUp = false;
    qint64 m_lastReadAt = 0;
    int m_lastReadBytes = 0;
    int m_lastReadBaud = 0;
};

// Bytes as a quoted C-style string, so CR, LF and binary junk stay visible in the log.
QString readable(const QByteArray &bytes);
