// tcprtu against simulated converters, each in its own process on a pseudo-terminal. A row starts
// its devices, runs tcprtu one or more times, and looks for fragments in the last run's output
// and in the devices' traffic logs ("<- ..." is what a device received).

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

const QString nothingSent = "!<- ";
const QString noChange = "!<- \"CHANGE";
const QString noRestart = "!<- \"RESET";

// The devices of one row, the row's own directory, and the runs of tcprtu against them. @0, @1
// in a text name the devices' ports, @d the directory.
class Bench
{
public:
    explicit Bench(const QStringList &devices) : m_devices(devices)
    {
        m_environment.insert("XDG_STATE_HOME", m_dir.filePath("state"));
        // As under sudo, cron or a service: the log still names the user.
        m_environment.remove("USER");
        m_environment.remove("USERNAME");
        for (int i = 0; i < devices.size(); ++i) {
            m_simulators.push_back(std::make_unique<QProcess>());
            QProcess &simulator = *m_simulators.back();
            simulator.setReadChannel(QProcess::StandardError);
            // One argument may hold blanks where a row writes them as '~'.
            QStringList options = devices[i].split(' ', Qt::SkipEmptyParts);
            options.replaceInStrings("~", " ");
            simulator.start(TCPRTU_SIM_BINARY, QStringList{"--link", expand(QString("@%1").arg(i)),
                                                           "--restart-ms", "100"} +
                                                   options);
            // The device announces its port once the link is in place.
            m_started = m_started && simulator.waitForStarted() && simulator.waitForReadyRead(5000);
        }
    }

    ~Bench()
    {
        for (const auto &process : m_background) {
            process->kill();
            process->waitForFinished(3000);
        }
    }

    bool started() const { return m_started; }

    // @t0 is the device's own port, the target of its link.
    QString expand(QString text) const
    {
        for (int i = 0; i < m_devices.size(); ++i)
            text.replace(QString("@t%1").arg(i),
                         QFileInfo(m_dir.filePath(QString("dev%1").arg(i))).canonicalFilePath());
        for (int i = 0; i < m_devices.size(); ++i)
            text.replace(QString("@%1").arg(i), m_dir.filePath(QString("dev%1").arg(i)));
        return text.replace("@d", m_dir.path());
    }

    std::unique_ptr<QProcess> start(const QString &arguments, const QString &outputFile = {},
                                    QProcess *outputReader = nullptr, const QString &errorFile = {})
    {
        auto tcprtu = std::make_unique<QProcess>();
        tcprtu->setProcessEnvironment(m_environment);
        tcprtu->setWorkingDirectory(m_dir.path());
        if (!outputFile.isEmpty())
            tcprtu->setStandardOutputFile(outputFile);
        if (!errorFile.isEmpty())
            tcprtu->setStandardErrorFile(errorFile);
        if (outputReader)
            tcprtu->setStandardOutputProcess(outputReader);
        tcprtu->start(TCPRTU_BINARY, expand(arguments).split(' ', Qt::SkipEmptyParts));
        return tcprtu;
    }

    // A run in the background, holding its port until the row ends; it traces, so that its
    // first line tells that the port is open.
    bool startInBackground(const QString &arguments)
    {
        m_background.push_back(start(arguments));
        m_background.back()->setReadChannel(QProcess::StandardError);
        return m_background.back()->waitForReadyRead(5000);
    }

    void stopDevice(int i) { m_simulators[size_t(i)]->kill(); }

    void setStateHome(const QString &path) { m_environment.insert("XDG_STATE_HOME", path); }

    // The log of the row's own state directory, as the runs left it.
    QString log() const
    {
        QFile file(m_environment.value("XDG_STATE_HOME") + "/tcprtu/log.jsonl");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // A device takes a message once the line has been quiet for a while.
    QString deviceLogs()
    {
        QString logs;
        for (const auto &simulator : m_simulators) {
            if (simulator->state() == QProcess::Running) {
                while (simulator->waitForReadyRead(100))
                    ;
                simulator->terminate();
                simulator->waitForFinished(3000);
            }
            logs += simulator->readAllStandardError();
        }
        return logs;
    }

    QTemporaryDir m_dir;

private:
    const QStringList m_devices;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> m_simulators;
    std::vector<std::unique_ptr<QProcess>> m_background;
    bool m_started = true;
};

// Standard error as a terminal gives it: a pipe that the test reads, and that it can fill, as a
// terminal paused with Ctrl-S, so that the program blocks on its next line.
class Terminal
{
public:
    explicit Terminal(const QString &path) : path(path)
    {
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
        m_reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        m_writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    }
    ~Terminal()
    {
        ::close(m_reader);
        ::close(m_writer);
    }

    // What came within waitMs; false when nothing did.
    bool read(int waitMs)
    {
        pollfd ready{m_reader, POLLIN, 0};
        if (::poll(&ready, 1, waitMs) <= 0)
            return false;
        char buffer[4096];
        ssize_t size = 0;
        while ((size = ::read(m_reader, buffer, sizeof buffer)) > 0)
            text += QByteArray(buffer, int(size)).replace(filler, "");
        return true;
    }
    void pause()
    {
        const QByteArray block(4096, filler);
        while (::write(m_writer, block.constData(), size_t(block.size())) > 0)
            ;
    }

    const QString path;
    QByteArray text;

private:
    static constexpr char filler = '\x01';
    int m_reader = -1;
    int m_writer = -1;
};

void verifyFragments(const Bench &bench, const QString &output, const QStringList &fragments)
{
    for (const QString &fragment : fragments) {
        const bool absent = fragment.startsWith('!');
        QVERIFY2(output.contains(bench.expand(fragment.mid(absent))) != absent,
                 qPrintable(fragment + " in:\n" + output));
    }
}

QString finished(QProcess &tcprtu, int status)
{
    // Every run here takes a second or two; one that takes longer is stuck.
    if (tcprtu.state() != QProcess::NotRunning && !tcprtu.waitForFinished(8000))
        return "still running";
    const QString output = tcprtu.readAllStandardOutput() + tcprtu.readAllStandardError();
    if (tcprtu.exitStatus() != QProcess::NormalExit || tcprtu.exitCode() != status)
        return QString("status %1, not %2:\n%3").arg(tcprtu.exitCode()).arg(status).arg(output);
    return output;
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void interrupted_data();
    void interrupted();
    void outputs_data();
    void outputs();
};

void CliTest::run_data()
{
    // Per device: its simulator options. Per step: the exit status expected, then tcprtu's
    // arguments; "& ARGS" runs tcprtu in the background, "> FILE TEXT" writes a file first. A
    // fragment with a leading ! must not appear.
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("fragments");
    const QString write = "write --port @0 --mode tcp-rtu --timeout 300 ";
    const QString read = "0 read --port @0 --mode rtu-tcp --json";

    // The command line and profiles: every error at once, nothing sent.
    QTest::newRow("bare: usage, status 2")
        << QStringList{} << QStringList{"2"} << QStringList{"Usage: tcprtu COMMAND"};
    QTest::newRow("a mistyped command") << QStringList{} << QStringList{"2 writ"}
                                        << QStringList{"no command writ; did you mean write?"};
    QTest::newRow("every bad value reported, nothing sent")
        << QStringList{""}
        << QStringList{"2 " + write +
                       "--set ip=300.1.1.1 --set tcp_port=80 --set server_ip=192.168.0.20 --set "
                       "gatway=1 --set speed=9600 --set speed=19200"}
        << QStringList{"ip=300.1.1.1: must be",
                       "tcp_port=80: must be 502 or",
                       "server_ip: not a setting in mode tcp-rtu",
                       "unknown key gatway; did you mean gateway? Keys in mode tcp-rtu: mac, ip",
                       "--set speed: given twice",
                       "!nothing to write",
                       nothingSent};
    QTest::newRow("a key given twice") << QStringList{""}
                                       << QStringList{"> @d/c.json {\"mode\": \"tcp-rtu\", \"ip\": "
                                                      "\"1.2.3.4\", \"ip\": \"1.2.3.5\"}",
                                                      "2 write --port @0 @d/c.json"}
                                       << QStringList{"c.json: ip is given twice", nothingSent};
    QTest::newRow("JSON syntax by line and column")
        << QStringList{""}
        << QStringList{"> @d/a.json {\"mode\": \"tcp-rtu\",\\n \"ip\": }",
                       "2 write --port @0 @d/a.json"}
        << QStringList{"a.json: line 2, column "};
    QTest::newRow("an empty profile")
        << QStringList{""} << QStringList{"> @d/b.json ", "2 write --port @0 @d/b.json"}
        << QStringList{"b.json: empty"};
    QTest::newRow("value forms a person writes")
        << QStringList{""}
        << QStringList{"> @d/p.json {\"mode\": \"tcp-rtu\", \"speed\": \"19200\", \"parity\": "
                       "\"ODD\", \"mask\": \"/16\", \"tcp_port\": 10000}",
                       "0 write --port @0 --no-verify @d/p.json"}
        << QStringList{"<- \"CHANGE SPEED RS485:19200\"", "<- \"CHANGE PARITY:1\"",
                       "<- \"CHANGE MASK:255.255.0.0\"", "<- \"CHANGE PORT TCP:10000\""};
    QTest::newRow("a mistyped key alone is not \"nothing to write\"")
        << QStringList{""} << QStringList{"2 " + write + "--set gatway=192.168.0.254"}
        << QStringList{"did you mean gateway?", "!nothing to write", nothingSent};
    QTest::newRow("a profile that never ends")
        << QStringList{""} << QStringList{"2 write --port @0 /dev/zero"}
        << QStringList{"/dev/zero: larger than", nothingSent};
    QTest::newRow("no key to write")
        << QStringList{""} << QStringList{"2 " + write + "--set mac=02:00:00:00:00:01"}
        << QStringList{"nothing to write", nothingSent};
    QTest::newRow("the same port twice")
        << QStringList{""} << QStringList{"2 read --port @0 --port @0 --mode tcp-rtu"}
        << QStringList{"given twice", nothingSent};
    QTest::newRow("MAC guard refuses another device")
        << QStringList{""}
        << QStringList{"2 " + write + "--set mac=02:00:00:00:00:02 --set ip=192.168.0.20"}
        << QStringList{"MAC is 02:00:00:00:00:01", noChange};
    QTest::newRow("a MAC however spelt: the guard, the backup's name, the log")
        << QStringList{"--set mac=02:00:00:00:00:AB"}
        << QStringList{"0 " + write + "--set mac=02-00-00-00-00-ab --set ip=192.168.0.20",
                       "0 log --mac 0200000000ab"}
        << QStringList{"02:00:00:00:00:AB  verified  ip"};
    QTest::newRow("MAC guard takes its device however spelt")
        << QStringList{""}
        << QStringList{"0 " + write + "--set mac=020000000001 --set ip=192.168.0.20"}
        << QStringList{"<- \"CHANGE IP:192.168.0.20\""};

    // Ports and answers.
    QTest::newRow("no such port, and a command reads only its own options")
        << QStringList{}
        << QStringList{"3 read --port @d/none --mode tcp-rtu", "3 reset --port @d/none"}
        << QStringList{"no such port: @d/none; \"tcprtu ports\"", "!QCommandLineParser"};
    QTest::newRow("a port in use")
        << QStringList{"--silent"}
        << QStringList{"& read --port @0 --mode tcp-rtu --timeout 5000 --trace",
                       "3 read --port @0 --mode tcp-rtu"}
        << QStringList{"in use by another program"};
    QTest::newRow("a port in use, given by the path the link leads to")
        << QStringList{"--silent"}
        << QStringList{"& read --port @0 --mode tcp-rtu --timeout 5000 --trace",
                       "3 read --port @t0 --mode tcp-rtu"}
        << QStringList{"in use by another program"};
    QTest::newRow("find: a bare name found here, an answer from no converter")
        << QStringList{"--reply MAC=ERR~unknown~command\\r\\n"}
        << QStringList{"4 find --port @0 --port dev0"}
        << QStringList{"no such port dev0 (tried /dev/dev0); ./dev0 is in this directory: give "
                       "--port ./dev0",
                       "@0  not a converter", "cannot open"};
    QTest::newRow("silent device")
        << QStringList{"--silent"} << QStringList{"4 read --port @0 --mode tcp-rtu --timeout 200"}
        << QStringList{"no answer to mac within 200 ms: check the cable"};
    QTest::newRow("an error reply ends the wait at once")
        << QStringList{"--reply MAC=ERR~unknown~command\\r\\n"}
        << QStringList{"4 read --port @0 --mode tcp-rtu --timeout 20000"}
        << QStringList{"answered \"ERR unknown command\" when asked for mac"};
    QTest::newRow("noise before an answer is passed over")
        << QStringList{"--reply MASK=+++~noise\\r\\nMASK:255.255.255.0\\r\\n"}
        << QStringList{"0 read --port @0 --mode tcp-rtu --json"}
        << QStringList{"\"mask\": \"255.255.255.0\""};
    QTest::newRow("no answer within the time: the last line passed over quoted")
        << QStringList{"--reply MASK=booting...\\r\\n"}
        << QStringList{"4 read --port @0 --mode tcp-rtu --timeout 300"}
        << QStringList{"no answer to mask within 300 ms (the last line passed over: "
                       "\"booting...\")"};
    QTest::newRow("read: every exchange traced")
        << QStringList{""} << QStringList{"0 read --port @0 --mode rtu-tcp --trace"}
        << QStringList{"> MAC\n", "< MAC:02:00:00:00:00:01\\r\\n", "192.168.0.100"};
    QTest::newRow("whole values, blanks trimmed, a late line passed over")
        << QStringList{"--reply GATEWAY=ip:10.9.9.9\\r\\nGATEWAY:~192.168.100.254\\r\\n "
                       "--reply TIMEOUT~TCP=TIMEOUT~TCP:~65535\\r\\n"}
        << QStringList{read}
        << QStringList{"\"gateway\": \"192.168.100.254\"", "\"timeout\": 65535"};
    QTest::newRow("zero bytes end a reply")
        << QStringList{"--reply MAC=MAC:02:00:00:00:00:01\\0\\r\\n --reply CHANGE=OK\\0\\0\\r\\n"}
        << QStringList{"0 " + write + "--set ip=192.168.0.20"}
        << QStringList{"written and verified"};
    QTest::newRow("a device's own values read as they are")
        << QStringList{"--set tcp_port=8080 --set timeout=0"} << QStringList{read}
        << QStringList{"\"tcp_port\": 8080", "warning: the device holds timeout=0"};
    QTest::newRow("a device's own values kept by a write, refused from a profile")
        << QStringList{"--set tcp_port=8080 --set timeout=0"}
        << QStringList{"0 write --port @0 --mode rtu-tcp --set gateway=192.168.0.254 --backup "
                       "@d/b.json",
                       "2 write --port @0 @d/b.json"}
        << QStringList{"tcp_port=8080: must be 502 or", "timeout=0: must be"};

    // Writes: only what differs, every key of the mode, then the whole device proven.
    QTest::newRow("read to a file, write it back: nothing to change, no restart, no backup")
        << QStringList{""}
        << QStringList{"0 read --port @0 --mode rtu-tcp --output @d/p.json",
                       "0 write --port @0 @d/p.json"}
        << QStringList{"nothing to change", noChange, noRestart, "!backup in"};
    QTest::newRow("values compared, not their spelling")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=192.168.000.010 --set speed=09600"}
        << QStringList{"nothing to change", noChange};
    QTest::newRow("each mode's last key sent, in plain form, backup in the state directory")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=192.168.000.9 --set stop_bits=2",
                       "0 write --port @0 --mode rtu-tcp --set timeout=02000 --no-verify"}
        << QStringList{"<- \"CHANGE IP:192.168.0.9\"",
                       "<- \"CHANGE STOP BIT:2\"",
                       "<- \"CHANGE TIMEOUT TCP:2000\"",
                       "<- \"RESET\"",
                       "backup in @d/state/tcprtu/backups/02-00-00-00-00-01-20",
                       "\"result\":\"written-unverified\",\"sent\":{\"timeout\":2000}"};
    QTest::newRow("the backup restores the device")
        << QStringList{""}
        << QStringList{"0 " + write + "--set ip=192.168.0.9 --set parity=odd --backup @d/b.json",
                       "0 write --port @0 @d/b.json", "0 read --port @0 --mode tcp-rtu --json"}
        << QStringList{"\"ip\": \"192.168.0.10\"", "\"parity\": \"none\""};
    QTest::newRow("a backup over the profile it restores, refused")
        << QStringList{""}
        << QStringList{"0 read --port @0 --mode tcp-rtu --output @d/p.json",
                       "2 write --port @0 @d/p.json --set ip=192.168.0.9 --backup ./p.json"}
        << QStringList{"--backup ./p.json: the file this write reads", noChange};
    QTest::newRow("a backup over another file, said so")
        << QStringList{""}
        << QStringList{"> @d/b.json old", "0 " + write + "--set ip=192.168.0.9 --backup @d/b.json"}
        << QStringList{"replaced @d/b.json"};
    QTest::newRow("force sends what the device has")
        << QStringList{""} << QStringList{"0 " + write + "--force --set ip=192.168.0.10"}
        << QStringList{"<- \"CHANGE IP:192.168.0.10\"", "verified"};
    QTest::newRow("dry run sends and saves nothing")
        << QStringList{""} << QStringList{"0 " + write + "--dry-run --set ip=192.168.0.9"}
        << QStringList{"would write", noChange, noRestart, "!backup in"};
    QTest::newRow("refused: what was accepted put back, no restart; the next write is clean")
        << QStringList{"--refuse mask"}
        << QStringList{"5 " + write +
                           "--set ip=192.168.0.20 --set mask=255.255.0.0 --set "
                           "gateway=192.168.0.254",
                       "0 " + write + "--set gateway=192.168.0.254"}
        << QStringList{"<- \"CHANGE IP:192.168.0.10\"", "written and verified"};
    QTest::newRow("refused: its message and what was put back")
        << QStringList{"--refuse mask"}
        << QStringList{"5 " + write + "--set ip=192.168.0.20 --set mask=255.255.0.0"}
        << QStringList{"answered \"ERR refused\" to mask=255.255.0.0",
                       "ip put back to 192.168.0.10", noRestart, "\"result\":\"refused\""};
    QTest::newRow("a change left unanswered is put back too")
        << QStringList{"--reply CHANGE~MASK:255.255.0.0="}
        << QStringList{"5 " + write + "--set ip=192.168.0.20 --set mask=255.255.0.0"}
        << QStringList{"did not answer mask=255.255.0.0",
                       "<- \"CHANGE MASK:255.255.255.0\"",
                       "<- \"CHANGE IP:192.168.0.10\"",
                       noRestart,
                       "\"result\":\"unanswered\"",
                       "\"put_back\":{\"ip\":\"192.168.0.10\",\"mask\":\"255.255.255.0\"}",
                       "\"staged\":{}"};
    QTest::newRow("a change that cannot be put back: status 8, named with its put-back command")
        << QStringList{"--reply CHANGE~MASK:= --reply CHANGE~IP:192.168.0.10=ERR\\r\\n"}
        << QStringList{"8 " + write +
                       "--set ip=192.168.0.20 --set mask=255.255.0.0 --backup @d/b.json"}
        << QStringList{"ip, mask may be staged in the device and take effect at its next restart; "
                       "to put them back: tcprtu write --port @0 --force @d/b.json",
                       "\"staged\":{\"ip\":\"192.168.0.20\",\"mask\":\"255.255.0.0\"}",
                       "\"status\":8", noRestart};
    QTest::newRow("a device's own values restored from its backup with --force")
        << QStringList{"--set tcp_port=8080 --lenient --reply CHANGE~GATEWAY:192.168.0.254="}
        << QStringList{"5 " + write +
                           "--set ip=192.168.0.20 --set gateway=192.168.0.254 --backup @d/b.json",
                       "0 write --port @0 --force @d/b.json"}
        << QStringList{"tcp_port=8080: must be 502 or 10000-65535; sent as it is",
                       "<- \"CHANGE PORT TCP:8080\"", "written and verified"};
    QTest::newRow("changes another left staged are caught by the whole-device check")
        << QStringList{"--staged ip=10.9.9.9"}
        << QStringList{"6 " + write + "--set gateway=192.168.0.254"}
        << QStringList{"ip is 10.9.9.9, expected 192.168.0.10"};
    QTest::newRow("read back differs")
        << QStringList{"--forget-changes"} << QStringList{"6 " + write + "--set ip=192.168.0.20"}
        << QStringList{"ip is 192.168.0.10, expected 192.168.0.20",
                       "\"result\":\"differs\",\"sent\":{\"ip\":\"192.168.0.20\"}"};
    QTest::newRow("another unit after the restart")
        << QStringList{"--mac-after-restart 02:00:00:00:00:09"}
        << QStringList{"6 " + write + "--set ip=192.168.0.20"}
        << QStringList{"another unit answered after the restart: MAC 02:00:00:00:00:09",
                       "\"result\":\"another-unit\""};
    QTest::newRow("a device that prints its MAC in lower case, after the restart too")
        << QStringList{"--set mac=02:ab:cd:00:00:01"}
        << QStringList{"0 " + write + "--set ip=192.168.0.20"}
        << QStringList{"written and verified"};

    // The restart.
    QTest::newRow("verified after the line dropped")
        << QStringList{"--drop-on-restart"} << QStringList{"0 " + write + "--set ip=192.168.0.20"}
        << QStringList{"written and verified"};
    QTest::newRow("not back after the restart")
        << QStringList{"--drop-on-restart --restart-ms 3000"}
        << QStringList{"4 " + write + "--set ip=192.168.0.20 --restart-timeout 0.5"}
        << QStringList{"did not come back", "read it back: tcprtu read --port @0 --mode tcp-rtu",
                       "\"result\":\"not-back\""};
    QTest::newRow("a boot banner amid the read-back is passed over")
        << QStringList{"--slow 100 --banner BOOT~v2~ready --banner-ms 300"}
        << QStringList{"0 " + write + "--set ip=192.168.0.20"}
        << QStringList{"-> \"BOOT v2 ready\\r\\n\"", "written and verified"};
    QTest::newRow("the restart wait ends on a port that keeps failing")
        << QStringList{"--hang-up-after-restart"}
        << QStringList{"4 " + write + "--set ip=192.168.0.20 --restart-timeout 1"}
        << QStringList{"did not come back", "hanging up on the host"};
    QTest::newRow("late answers to the restart probe skipped")
        << QStringList{"--slow 250"}
        << QStringList{"0 write --port @0 --mode tcp-rtu --timeout 400 --set ip=192.168.0.20"}
        << QStringList{"written and verified"};
    QTest::newRow("RESET leaves at the line's speed before the port closes")
        << QStringList{""} << QStringList{"0 reset --port @0 --baud 1200"}
        << QStringList{"<- \"RESET\"", "restarting", "!ms after its last",
                       "\"restarted\":true,\"result\":\"restarted\""};
    // A long gap, so that the next host's first message would come before it ends.
    QTest::newRow("a RESET sent while the device looked away is taken alone")
        << QStringList{"--restart-ms 0 --gap 100"}
        << QStringList{"0 read --port @0 --mode tcp-rtu", "0 reset --port @0",
                       "0 read --port @0 --mode tcp-rtu", "0 reset --port @0",
                       "0 read --port @0 --mode tcp-rtu"}
        << QStringList{"<- \"RESET\"", "!RESETMAC", "!RESETRESET"};

    // Batches: find, a sheet read and written back, a unit for each row, the log.
    const QString unit1 = "--set mac=02:00:00:00:00:01", unit2 = "--set mac=02:00:00:00:00:02",
                  unit3 = "--set mac=02:00:00:00:00:03";
    QTest::newRow("find: every port at once, each with what is there")
        << QStringList{unit1, "--silent", "--silent"}
        << QStringList{"& read --port @2 --mode tcp-rtu --timeout 5000 --trace",
                       "0 find --port @0 --port @1 --port @2 --port @d/none --json --timeout 300"}
        << QStringList{"\"mac\": \"02:00:00:00:00:01\",\n        \"port\": \"@0\",\n        "
                       "\"serial_number\": null,\n        \"status\": \"converter\"",
                       "\"port\": \"@1\",\n        \"serial_number\": null,\n        \"status\": "
                       "\"no-answer\"",
                       "\"status\": \"in-use\"", "\"status\": \"cannot-open\""};
    QTest::newRow("find: ports that open but none answers, and none that opens")
        << QStringList{"--silent"}
        << QStringList{"3 find --port @d/none", "4 find --port @0 --timeout 200"}
        << QStringList{"@0  no answer"};
    QTest::newRow("a sheet read, edited and written back, a row for each unit")
        << QStringList{unit1, unit2 + " --set ip=192.168.0.11", unit3}
        << QStringList{"0 read --port @0 --port @1 --mode tcp-rtu --csv >> @d/read.csv",
                       "0 write --port @0 --port @1 --mode tcp-rtu --inventory @d/read.csv",
                       "> @d/units.csv "
                       "\\ufeffMAC;ip;label;mode\\r\\n02-00-00-00-00-01;192.168.0.21;"
                       "\"left; top\";tcp-rtu\\r\\n02:00:00:00:00:02;192.168.0.22;;\\r\\n"
                       "02:00:00:00:00:09;192.168.0.29;;\\r\\n",
                       "0 write --port @0 --port @1 --port @2 --mode tcp-rtu --inventory "
                       "@d/units.csv"}
        << QStringList{
               "!<- \"CHANGE GATEWAY",          "<- \"CHANGE IP:192.168.0.21\"",
               "<- \"CHANGE IP:192.168.0.22\"", "@0: written and verified",
               "@2: not in inventory",          "MAC 02:00:00:00:00:09 (row 4): not connected"};
    QTest::newRow("a sheet as JSON, results as JSON")
        << QStringList{unit1, unit3}
        << QStringList{"> @d/units.json [{\"mac\": \"02:00:00:00:00:01\", \"speed\": 19200}, "
                       "{\"mac\": \"02:00:00:00:00:07\", \"speed\": \"4800\"}]",
                       "0 write --port @0 --port @1 --mode tcp-rtu --inventory @d/units.json "
                       "--json"}
        << QStringList{"<- \"CHANGE SPEED RS485:19200\"", "\"result\": \"verified\"",
                       "\"result\": \"not-in-inventory\"", "\"result\": \"not-connected\""};
    QTest::newRow("every mistake in a sheet, by row and column, nothing sent")
        << QStringList{unit1}
        << QStringList{"> @d/units.csv mac,ip,gatway,port\\n02:00:00:00:00:01,192.168.0.21,,\\n"
                       "02:00:00:00:00:01,192.168.0.300,,\\n02:00:00:00:00:05,192.168.0.21,,\\n",
                       "2 write --port @0 --mode tcp-rtu --inventory @d/units.csv"}
        << QStringList{"column 3 \"gatway\": unknown key; did you mean gateway?",
                       "row 3: MAC 02:00:00:00:00:01 is on row 2 too",
                       "row 3, column 2 \"ip\": 192.168.0.300 must be",
                       "row 4: ip 192.168.0.21 is on row 2 too",
                       "!\"port\"",
                       nothingSent};
    QTest::newRow("a read with a dead port fed back as it is")
        << QStringList{unit1, "--silent"}
        << QStringList{"4 read --port @0 --port @1 --mode tcp-rtu --csv --timeout 200 >> @d/r.csv",
                       "0 write --port @0 --mode tcp-rtu --inventory @d/r.csv"}
        << QStringList{"r.csv: row 3: no MAC, passed over", "nothing to change"};
    QTest::newRow("a row's value over the shared one, said so")
        << QStringList{unit1}
        << QStringList{"> @d/units.csv mac,ip\\n02:00:00:00:00:01,192.168.0.21\\n",
                       "0 write --port @0 --mode tcp-rtu --set ip=192.168.0.30 --inventory "
                       "@d/units.csv"}
        << QStringList{"<- \"CHANGE IP:192.168.0.21\"", "!CHANGE IP:192.168.0.30",
                       "row 2: ip=192.168.0.21 goes over the shared ip=192.168.0.30"};
    QTest::newRow("a sheet in a code page: refused, then read in the encoding given")
        << QStringList{unit1}
        << QStringList{"> @d/units.csv mac,ip,label\\n02:00:00:00:00:01,192.168.0.21,K\\xfcche\\n",
                       "2 write --port @0 --mode tcp-rtu --inventory @d/units.csv",
                       "0 write --port @0 --mode tcp-rtu --inventory @d/units.csv --encoding "
                       "cp1252",
                       "0 log --json"}
        << QStringList{"\"label\":\"K\u00fcche\""};
    QTest::newRow("each row against its mode before any port opens")
        << QStringList{unit1}
        << QStringList{"> @d/units.csv mac,server_ip\\n02:00:00:00:00:01,192.168.0.5\\n",
                       "2 write --port @0 --mode tcp-rtu --inventory @d/units.csv"}
        << QStringList{"row 2: server_ip: not a setting in mode tcp-rtu", nothingSent};
    QTest::newRow("network mistakes: nothing sent to any unit")
        << QStringList{unit1, unit2, unit3}
        << QStringList{"2 write --port @0 --port @1 --port @2 --mode tcp-rtu --set "
                       "ip=192.168.0.30",
                       "2 write --port @0 --mode tcp-rtu --set gateway=10.0.0.1"}
        << QStringList{"gateway 10.0.0.1 lies outside the subnet of ip 192.168.0.10", noChange,
                       "\"result\":\"cancelled\""};
    QTest::newRow("cloned units: one MAC on two ports, nothing sent")
        << QStringList{unit1, unit1}
        << QStringList{"2 write --port @0 --port @1 --mode tcp-rtu --set gateway=192.168.0.254"}
        << QStringList{"MAC 02:00:00:00:00:01 answers on @0 and @1", noChange};
    // The first port's unit answers last: the ports are still named in the command's order.
    QTest::newRow("one address for three units")
        << QStringList{unit1 + " --slow 60", unit2, unit3}
        << QStringList{"2 write --port @0 --port @1 --port @2 --mode tcp-rtu --set "
                       "ip=192.168.0.30"}
        << QStringList{"ip 192.168.0.30 would be held by 3 units: @0, @1, @2", noChange};
    QTest::newRow("the log: every write and restart, lines never mixed")
        << QStringList{unit1, unit2, unit3}
        << QStringList{"0 write --port @0 --mode tcp-rtu --set gateway=192.168.0.254",
                       "0 write --port @0 --mode tcp-rtu --set gateway=192.168.0.254",
                       "0 write --port @1 --mode tcp-rtu --dry-run --set gateway=192.168.0.254",
                       "* reset --port @0 | reset --port @1 | reset --port @2",
                       "* reset --port @0 | reset --port @1 | reset --port @2",
                       "0 log"}
        << QStringList{"02:00:00:00:00:01  verified   gateway: 192.168.0.1 -> 192.168.0.254\n",
                       "02:00:00:00:00:01  unchanged  -\n",
                       "\"mac\":\"02:00:00:00:00:03\",\"mode\":null", "!dry-run", "!\"user\":null"};

    // Audits: each unit against its row, nothing sent; the worst status wins.
    const QString sheet = "> @d/units.csv mac,ip,label\\n02:00:00:00:00:01,127.0.83.1,Pump 1\\n"
                          "02:00:00:00:00:02,192.168.0.22,\\n02:00:00:00:00:09,192.168.0.29,\\n";
    QTest::newRow("audit: matches, differs, not in the sheet, not connected")
        << QStringList{unit1 + " --ip 127.0.83.1 --tcp-port 15083", unit2, unit3}
        << QStringList{sheet,
                       "6 audit --port @0 --port @1 --port @2 --mode tcp-rtu --inventory "
                       "@d/units.csv",
                       "0 log"}
        << QStringList{"audit    @0  02:00:00:00:00:01  matches",
                       "audit    @1  02:00:00:00:00:02  differs",
                       "!@2",
                       noChange,
                       noRestart,
                       "\"label\":\"Pump 1\""};
    QTest::newRow("audit: each unit's result and the check")
        << QStringList{unit1 + " --ip 127.0.83.2 --tcp-port 15084", unit2, unit3}
        << QStringList{QString(sheet).replace("83.1", "83.2"),
                       "6 audit --port @0 --port @1 --port @2 --mode tcp-rtu --inventory "
                       "@d/units.csv --csv --check --read 1:2"}
        << QStringList{"@0,02:00:00:00:00:01,matches,\"as planned; slave 1 answered through "
                       "127.0.83.2:15084",
                       "@1,02:00:00:00:00:02,differs,planned -> held: ip: 192.168.0.22 -> "
                       "192.168.0.10",
                       "@2,02:00:00:00:00:03,not-in-inventory",
                       ",02:00:00:00:00:09,not-connected,row 4 of the sheet"};
    QTest::newRow("audit: a cell that goes over a shared value is named before any port opens")
        << QStringList{unit1}
        << QStringList{"> @d/units.csv mac,mask\\n02:00:00:00:00:01,255.255.255.0\\n",
                       "0 audit --port @0 --mode tcp-rtu --inventory @d/units.csv --set "
                       "mask=255.255.0.0"}
        << QStringList{"row 2: mask=255.255.255.0 goes over the shared mask=255.255.0.0",
                       "matches"};
    QTest::newRow("audit: each mode's last key planned otherwise differs")
        << QStringList{unit1, unit2 + " --mode rtu-tcp"}
        << QStringList{"> @d/units.csv mac,mode,stop_bits,timeout\\n"
                       "02:00:00:00:00:01,tcp-rtu,2,\\n02:00:00:00:00:02,rtu-tcp,,2000\\n",
                       "6 audit --port @0 --port @1 --inventory @d/units.csv"}
        << QStringList{"02:00:00:00:00:01  differs  planned -> held: stop_bits: 2 -> 1",
                       "02:00:00:00:00:02  differs  planned -> held: timeout: 2000 -> 1000"};
    QTest::newRow("audit: exit statuses")
        << QStringList{unit1, "--silent"}
        << QStringList{"> @d/units.csv mac,ip\\n02:00:00:00:00:01,192.168.0.10\\n"
                       "02:00:00:00:00:09,192.168.0.29\\n",
                       "0 audit --port @0 --mode tcp-rtu --inventory @d/units.csv",
                       "3 audit --port @0 --port @d/none --mode tcp-rtu --inventory @d/units.csv",
                       "4 audit --port @0 --port @1 --mode tcp-rtu --inventory @d/units.csv "
                       "--timeout 200",
                       "6 audit --port @0 --port @1 --mode tcp-rtu --inventory @d/units.csv "
                       "--timeout 200 --set gateway=192.168.0.2",
                       "2 audit --port @0 --mode tcp-rtu --inventory @d/units.csv --set ip=1",
                       "2 audit --port @0 --mode tcp-rtu"}
        << QStringList{"--inventory: give the sheet", noChange};
    QTest::newRow("a report's CSV is a sheet that writes its units as they are")
        << QStringList{unit1, unit2}
        << QStringList{"> @d/units.csv mac,ip,label,room\\n02:00:00:00:00:01,192.168.0.21,"
                       "Pump 1,\"cellar, left\"\\n02:00:00:00:00:02,192.168.0.22,Pump 2,roof\\n",
                       "0 write --port @0 --port @1 --mode tcp-rtu --inventory @d/units.csv",
                       "0 report --output @d/report.csv",
                       "0 write --port @0 --port @1 --inventory @d/report.csv",
                       "0 audit --port @0 --port @1 --inventory @d/report.csv --csv",
                       "0 log --json --result unchanged"}
        << QStringList{"\"label\":\"Pump 1\"", "\"label\":\"Pump 2\"",
                       "\"notes\":{\"room\":\"cellar, left\"}", "!\"state\""};

    // line over a sheet: every converter's own bus searched at once.
    const QString gateway = " --tcp-port 15089 --rtu-timeout-ms 20 --ip 127.0.89.";
    QTest::newRow("line over a sheet: each converter its own bus, at once, into the log")
        << QStringList{unit1 + gateway + "1 --slave 1",
                       unit2 + gateway + "2 --slave 1:57600:even:1",
                       unit3 + gateway + "3 --slave 1:1200:odd:2",
                       "--set mac=02:00:00:00:00:04" + gateway + "4 --slave 1:4800:odd:2",
                       "--set mac=02:00:00:00:00:05" + gateway + "5"}
        << QStringList{"> @d/units.csv mac,label,speed,parity,stop_bits\\n"
                       "02:00:00:00:00:01,P1,,,\\n02:00:00:00:00:02,P2,,,\\n"
                       "02:00:00:00:00:03,P3,1200,odd,2\\n02:00:00:00:00:04,P4,,,\\n"
                       "02:00:00:00:00:09,Spare,,,\\n",
                       "4 line --inventory @d/units.csv --port @0 --port @1 --port @2 --port @3 "
                       "--port @4 --mode tcp-rtu --unit 1 --timeout 300 --speeds "
                       "9600,19200,38400,115200,57600 --parities none,even --stop-bits 1"}
        << QStringList{"@0  02:00:00:00:00:01  P1     1      9600 none 1   1      9600 none 1\n",
                       "@1  02:00:00:00:00:02  P2     10     57600 even 1  1      57600 even 1\n",
                       "@2  02:00:00:00:00:03  P3     1      1200 odd 2    1      1200 odd 2\n",
                       "@3  02:00:00:00:00:04  P4     10     none          -      9600 none 1 "
                       "(its own)\n",
                       "@4  02:00:00:00:00:05  -      0      none          -      not in "
                       "inventory, left alone\n",
                       "02:00:00:00:00:09  Spare  -      -             -      not connected (row "
                       "6)",
                       "@1: its settings before the search: @d/state/tcprtu/backups/02-00-00-00-"
                       "00-02-",
                       "\"result\":\"found\",\"sent\":{},\"serial_number\":null,\"slaves\":{"
                       "\"address\":0,\"count\":1,\"host\":\"127.0.89.2\",\"input\":false,"
                       "\"parity\":\"even\",\"speed\":57600,\"stop_bits\":1,\"tcp_port\":15089,"
                       "\"units\":[{\"unit\":1,\"values\":[",
                       "\"result\":\"not-found\",\"sent\":{},\"serial_number\":null,"
                       "\"slaves\":null"};
    QTest::newRow("line --scan: every id of the line found, into the log")
        << QStringList{unit1 + gateway + "6 --slave 2 --slave 3:9600:none:1:exception=2"}
        << QStringList{"0 line --port @0 --mode tcp-rtu --unit 2 --read 1 --timeout 300 --scan "
                       "--units "
                       "1-5 --json"}
        << QStringList{"\"units\": [\n        2,\n        3\n    ]",
                       "\"address\":1,\"count\":1,\"host\":\"127.0.89.6\",\"input\":false,"
                       "\"parity\":\"none\",\"speed\":9600,\"stop_bits\":1,\"tcp_port\":15089,"
                       "\"units\":[{\"unit\":2,\"values\":[201]},{\"exception\":2,\"unit\":3}]"};

    QTest::newRow("scan over a sheet: each converter where its row plans it or the log saw it")
        << QStringList{unit1 + " --tcp-port 15089 --rtu-timeout-ms 20 --ip 127.0.89.7 --slave 1 "
                               "--slave 2",
                       unit2 + " --tcp-port 15090 --rtu-timeout-ms 20 --ip 127.0.89.8 --slave 3"}
        << QStringList{"> @d/units.csv mac,ip,tcp_port\\n02:00:00:00:00:01,127.0.89.7,15089\\n"
                       "02:00:00:00:00:02,,\\n02:00:00:00:00:03,,\\n",
                       "0 write --port @1 --mode tcp-rtu --set gateway=0.0.0.0",
                       "0 scan --inventory @d/units.csv --units 1-4 --read 1 --json"}
        << QStringList{"\"host\": \"127.0.89.7\",\n        \"label\": \"\",\n        \"mac\": "
                       "\"02:00:00:00:00:01\",\n        \"result\": \"found\"",
                       "\"tcp_port\": 15090,\n        \"units\": [\n            {\n"
                       "                \"unit\": 3,\n                \"values\": [\n"
                       "                    301",
                       "row 4: no ip planned, nor one logged for MAC 02:00:00:00:00:03",
                       "\"command\":\"scan\""};

    // Several ports.
    QTest::newRow("several ports: each its own result, the highest status")
        << QStringList{"", "--refuse gateway --set mac=02:00:00:00:00:02"}
        << QStringList{"5 " + write + "--port @1 --set gateway=192.168.0.254"}
        << QStringList{"@0: written and verified", "@1: failed, status 5"};
    QTest::newRow("several ports read as JSON, null for a failed one")
        << QStringList{"--silent", ""}
        << QStringList{"4 read --port @0 --port @1 --mode tcp-rtu --json --timeout 200"}
        << QStringList{"[\n    null,\n    {", "\"ip\": \"192.168.0.10\""};
}

void CliTest::run()
{
    QFETCH(QStringList, devices);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, fragments);
    Bench bench(devices);
    QVERIFY(bench.started());
    QString output;
    for (const QString &step : steps) {
        if (step.startsWith("> ")) {
            QFile file(bench.expand(step.section(' ', 1, 1)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QString text = step.section(' ', 2);
            QByteArray bytes = text.replace("\\n", "\n")
                                   .replace("\\r", "\r")
                                   .replace("\\ufeff", QChar(0xfeff))
                                   .toUtf8();
            // "\xNN": one byte, as a code page saves a letter.
            for (int at; (at = bytes.indexOf("\\x")) >= 0;)
                bytes.replace(at, 4, QByteArray::fromHex(bytes.mid(at + 2, 2)));
            file.write(bytes);
            continue;
        }
        if (step.startsWith("& ")) {
            QVERIFY(bench.startInBackground(step.mid(2)));
            continue;
        }
        // "* A | B": runs side by side, each to end well.
        if (step.startsWith("* ")) {
            std::vector<std::unique_ptr<QProcess>> runs;
            for (const QString &arguments : step.mid(2).split(" | "))
                runs.push_back(bench.start(arguments));
            for (const auto &run : runs)
                QVERIFY(run->waitForFinished(8000) && run->exitCode() == 0);
            continue;
        }
        // "... >> FILE": standard output kept in FILE.
        const QString arguments = step.section(' ', 1).section(" >> ", 0, 0);
        const auto tcprtu = bench.start(arguments, bench.expand(step.section(" >> ", 1)));
        output = finished(*tcprtu, step.section(' ', 0, 0).toInt());
        QVERIFY2(!output.startsWith("status") && output != "still running",
                 qPrintable(step + ": " + output));
    }
    verifyFragments(bench, output + bench.deviceLogs() + bench.log(), fragments);
}

void CliTest::interrupted_data()
{
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("arguments"); // traced, so that the trigger shows
    // A text of the trace to wait for, or "log:TEXT" to wait for a text in the log.
    QTest::addColumn<QString>("trigger");
    // Signals to send tcprtu (INT, TERM, HUP, KILL), or "unplugN" to take device N away.
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("status"); // -1: killed
    QTest::addColumn<QStringList>("fragments");
    const QString write = "write --port @0 --mode tcp-rtu --trace --set ip=192.168.0.20 --set "
                          "mask=255.255.0.0 --set gateway=192.168.0.254";
    const QString two = "write --port @0 --port @1 --mode tcp-rtu --trace --set speed=19200";
    const QString second = "--set mac=02:00:00:00:00:02";
    QTest::newRow("Ctrl-C in a write: the change under way answered, all put back, table shown")
        << QStringList{"--slow 150"} << write << "> CHANGE MASK"
        << "INT" << 130
        << QStringList{"<- \"CHANGE MASK:255.255.0.0\"",
                       "<- \"CHANGE MASK:255.255.255.0\"",
                       "<- \"CHANGE IP:192.168.0.10\"",
                       "!<- \"CHANGE GATEWAY",
                       noRestart,
                       "put back",
                       "backup in",
                       "\"result\":\"interrupted\""};
    QTest::newRow("Ctrl-C while another unit reads: the unit waiting for the batch is sent nothing")
        << QStringList{"--slow 700", second} << two << "@1 < STOP BIT"
        << "INT" << 130 << QStringList{noChange, "!backup in", "Ctrl-C again ends at once"};
    QTest::newRow("a second Ctrl-C: what may be staged said at once, and logged")
        << QStringList{"--slow 400"} << write << "> CHANGE MASK"
        << "INT INT" << 130
        << QStringList{"interrupted again; ip, mask may be staged in the device",
                       "to put them back: tcprtu write --port @0 --force @d/state/tcprtu/backups/",
                       "\"staged\":{\"ip\":\"192.168.0.20\",\"mask\":\"255.255.0.0\"}",
                       "!<- \"CHANGE MASK:255.255.255.0\""};
    QTest::newRow("Ctrl-C while a change awaits its answer: interrupted, what is unanswered staged")
        << QStringList{"--reply CHANGE~MASK:="} << write << "> CHANGE MASK"
        << "INT" << 130
        << QStringList{"<- \"CHANGE IP:192.168.0.10\"",
                       "!<- \"CHANGE GATEWAY",
                       noRestart,
                       "\"result\":\"interrupted\"",
                       "\"staged\":{\"mask\":\"255.255.0.0\"}",
                       "\"put_back\":{\"ip\":\"192.168.0.10\"}"};
    QTest::newRow("Ctrl-C as the device first answers after its restart: interrupted")
        << QStringList{""} << write << "< MAC#2"
        << "INT" << 130
        << QStringList{"!written and verified", "\"result\":\"interrupted\",\"sent\":{"};
    QTest::newRow("Ctrl-C during the Modbus check: interrupted, not the check's failure")
        << QStringList{"--ip 127.0.84.2 --tcp-port 15085 --rtu-timeout-ms 3000"}
        << "write --port @0 --mode tcp-rtu --trace --set gateway=127.0.84.1 --check --unit 9"
        << "< STOP BIT#2"
        << "INT" << 130 << QStringList{"\"result\":\"interrupted\"", "\"check\":{\"address\":0"};
    QTest::newRow("standard error blocked while a unit waits for its restart, then Ctrl-C")
        << QStringList{"--drop-on-restart --restart-ms 3000", "--restart-ms 3000 " + second} << two
        << "@1 > RESET"
        << "pause INT" << 130
        << QStringList{"@0: failed, status 130: restarted; interrupted before it was verified",
                       "@1: failed, status 130: restarted; interrupted before it was verified",
                       "\"mac\":\"02:00:00:00:00:01\"", "\"mac\":\"02:00:00:00:00:02\""};
    QTest::newRow("a second Ctrl-C as line puts the converter back names its first backup")
        << QStringList{"--ip 127.0.85.2 --tcp-port 15086 --slave 5:19200:even:1 --rtu-timeout-ms "
                       "20 --slow 100"}
        << "line --port @0 --mode tcp-rtu --unit 5 --restore --trace --timeout 500"
        << "> CHANGE SPEED RS485:9600"
        << "INT INT" << 130
        << QStringList{"to put its own settings back: tcprtu write --port @0 --force "
                       "@d/state/tcprtu/backups/02-00-00-00-00-01-",
                       "!--set speed=19200"};
    QTest::newRow("SIGTERM in a read: nothing on standard output")
        << QStringList{"--slow 100"} << "read --port @0 --mode tcp-rtu --trace"
        << "> MASK"
        << "TERM" << 143 << QStringList{"!02:00:00:00:00:01 ", "!press Ctrl-C"};
    QTest::newRow("SIGHUP while the device restarts")
        << QStringList{"--restart-ms 1000"} << write << "> RESET"
        << "HUP" << 129
        << QStringList{"interrupted before it was verified", "written",
                       "\"restarted\":true,\"result\":\"interrupted\",\"sent\":{\"gateway\""};
    QTest::newRow("the log keeps each unit that ended before the program was killed")
        << QStringList{"", "--restart-ms 5000 " + second} << two << "log:02:00:00:00:00:01"
        << "KILL" << -1
        << QStringList{"\"mac\":\"02:00:00:00:00:01\"", "!\"mac\":\"02:00:00:00:00:02\""};
    QTest::newRow("the line lost in a write: what may be staged, and how to put it back")
        << QStringList{"--slow 150"} << write << "> CHANGE MASK"
        << "unplug0" << 3
        << QStringList{"ip, mask may be staged in the device and take effect at its next restart; "
                       "to put them back: tcprtu write --port @0 --force "
                       "@d/state/tcprtu/backups/02-00-00-00-00-01-",
                       "\"result\":\"lost\""};
    QTest::newRow("a line lost while the batch is judged: nothing sent, nothing staged")
        << QStringList{"--slow 250", second} << two << "@1 < STOP BIT"
        << "unplug1" << 3
        << QStringList{"@1: failed, status 3: the line was lost", "!may be staged",
                       "!02-00-00-00-00-02-20", "@0: written and verified"};
}

void CliTest::interrupted()
{
    QFETCH(QStringList, devices);
    QFETCH(QString, arguments);
    QFETCH(QString, trigger);
    QFETCH(QString, action);
    QFETCH(int, status);
    QFETCH(QStringList, fragments);
    Bench bench(devices);
    QVERIFY(bench.started());
    Terminal terminal(bench.m_dir.filePath("terminal"));
    const auto tcprtu = bench.start(arguments, {}, nullptr, terminal.path);
    // "TEXT#N": the Nth time the text shows.
    const QByteArray awaited =
        bench.expand(trigger.section("log:", -1).section('#', 0, 0)).toLatin1();
    const int times = std::max(trigger.section('#', 1).toInt(), 1);
    const auto seen = [&] {
        return trigger.startsWith("log:") ? bench.log().contains(awaited)
                                          : terminal.text.count(awaited) >= times;
    };
    while (!seen() && terminal.read(5000))
        ;
    QVERIFY2(seen(), terminal.text.constData());
    const int numbers[][2] = {{'I', SIGINT}, {'T', SIGTERM}, {'H', SIGHUP}, {'K', SIGKILL}};
    const QStringList actions = action.split(' ');
    for (int i = 0; i < actions.size(); ++i) {
        const QString &name = actions[i];
        // Signals of one kind sent together arrive as one: the next waits for the first's word.
        while (i > 0 && actions[i - 1] == name && !terminal.text.contains("interrupted:") &&
               terminal.read(5000))
            ;
        if (name.startsWith("unplug"))
            bench.stopDevice(name.back().digitValue());
        // Standard error blocked for longer than the program looks for a restarting device.
        if (name == "pause") {
            terminal.pause();
            QTest::qWait(500);
        }
        // A run that has ended has no process to signal; kill(0) would signal the test itself.
        for (const auto &[letter, number] : numbers) {
            if (name[0] == QChar(letter) && tcprtu->processId() > 0)
                ::kill(pid_t(tcprtu->processId()), number);
        }
    }
    QDeadlineTimer deadline(8000);
    while (!tcprtu->waitForFinished(10) && !deadline.hasExpired())
        terminal.read(0);
    terminal.read(0);
    QString output;
    if (status < 0)
        QVERIFY(tcprtu->exitStatus() == QProcess::CrashExit);
    else
        output = finished(*tcprtu, status);
    QVERIFY2(!output.startsWith("status") && output != "still running",
             qPrintable(output + terminal.text));
    verifyFragments(bench, terminal.text + output + bench.deviceLogs() + bench.log(), fragments);
}

void CliTest::outputs_data()
{
    // @f is a full device like /dev/full, @g a file on a full disk, both the test's own.
    QTest::addColumn<QString>("arguments");
    // "full", "closed" or "" for a pipe; "state": the state directory on the full disk.
    QTest::addColumn<QString>("standardOutput");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("fragments");
    QTest::newRow("backup on a full disk: nothing sent")
        << "write --port @0 --mode tcp-rtu --set ip=192.168.0.20 --backup @g"
        << "" << 2 << QStringList{"backup not saved", noChange};
    QTest::newRow("backup to a device: nothing sent")
        << "write --port @0 --mode tcp-rtu --set ip=192.168.0.20 --backup @f"
        << "" << 2 << QStringList{"backup not saved", noChange};
    QTest::newRow("backup on a disk that loses it")
        << "write --port @0 --mode tcp-rtu --set ip=192.168.0.20 --backup /dev/null"
        << "" << 2 << QStringList{"backup not saved", noChange};
    QTest::newRow("--output on a full disk") << "read --port @0 --mode tcp-rtu --output @g"
                                             << "" << 7 << QStringList{"profile not saved"};
    QTest::newRow("--output to a full device") << "read --port @0 --mode tcp-rtu --output @f"
                                               << "" << 7 << QStringList{"profile not saved"};
    QTest::newRow("the log on a full disk: a warning even under -q, no half line")
        << "reset --port @0 -q"
        << "state" << 0 << QStringList{"warning: @0 not logged"};
    QTest::newRow("standard output on a full disk")
        << "read --port @0 --mode tcp-rtu --json"
        << "full" << 7 << QStringList{"could not be written to standard output"};
    QTest::newRow("standard output a closed pipe")
        << "read --port @0 --mode tcp-rtu --json"
        << "closed" << 7 << QStringList{"could not be written to standard output"};
}

// A full disk of the test's own, mounted in the row's directory and filled, and a device node like
// the machine's /dev/full beside it. The machine's own is never written to.
struct FullDisk
{
    explicit FullDisk(const QString &path) : path(path)
    {
        QDir().mkpath(path);
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16k", "tmpfs", path}) == 0;
        QFile filler(path + "/filler");
        if (mounted && filler.open(QIODevice::WriteOnly))
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush())
                ;
    }
    ~FullDisk()
    {
        if (mounted)
            QProcess::execute("umount", {path});
    }
    const QString path;
    bool mounted = false;
};

void CliTest::outputs()
{
    QFETCH(QString, arguments);
    QFETCH(QString, standardOutput);
    QFETCH(int, status);
    QFETCH(QStringList, fragments);
    Bench bench({""});
    QVERIFY(bench.started());
    const QString full = bench.m_dir.filePath("full");
    const FullDisk disk(bench.m_dir.filePath("disk"));
    if (!disk.mounted ||
        ::mknod(QFile::encodeName(full).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
        QSKIP("mounting a disk and making a device node need root");
    if (standardOutput == "state")
        bench.setStateHome(disk.path);
    // A reader that is gone before anything is written.
    QProcess sink;
    const auto tcprtu = bench.start(
        QString(arguments).replace("@f", full).replace("@g", disk.path + "/saved.json"),
        standardOutput == "full" ? full : "", standardOutput == "closed" ? &sink : nullptr);
    sink.start("true", QStringList{});
    const QString output = finished(*tcprtu, status);
    QVERIFY2(!output.startsWith("status") && output != "still running", qPrintable(output));
    verifyFragments(bench, output + bench.deviceLogs(), fragments);
    QVERIFY2(bench.log().isEmpty() || bench.log().endsWith('\n'), "a line of the log cut short");
    QVERIFY2(!QFileInfo(full).isFile() && QFileInfo::exists(full), "the device node was replaced");
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
