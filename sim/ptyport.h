#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

// The master side of a pseudo-terminal; the host opens the slave as if it were a serial port.
class PtyPort : public QObject
{
    Q_OBJECT

public:
    enum class WriteResult
    {
        Written,
        NobodyListening,
        Overflow,
    };

    explicit PtyPort(QObject *parent = nullptr);
    ~PtyPort() override;

    bool open(QString *error);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString slavePath() const { return m_slavePath; }
    // The speed the host set on the line, 0 when unknown.
    int baud() const;

    WriteResult write(const QByteArray &bytes);

signals:
    void received(const QByteArray &bytes);
    void hostOpened();
    void hostClosed();

private:
    void readAvailable();
    bool readPending();
    void checkHostBack();
    bool hostHungUp() const;

    int m_fd = -1;
    QString m_slavePath;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_hostPoll;
};
