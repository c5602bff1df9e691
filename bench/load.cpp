// CPU, event-loop lateness and memory of the configurator's window: idle with its port open, then
// while a query run is on and the device babbles random bytes (CR, LF and zero bytes among them).
//
//   tcprtu-bench-load [--idle-seconds N] [--babble-seconds N] [--rate BYTES_PER_SECOND]
//
// The babbling lasts a whole query run by default: the tick that asks nothing yet, then the eight
// questions of the default mode a second apart, so every field that shows an answer is exercised.
//
// Prints one line: platform qt idle_cpu_pct babble_cpu_pct max_lateness_ms rss_growth_kib
// babble_kib_per_s. CPU is in percent of one core.
//
// The device is a separate process on the master side of a pseudo-terminal, forked before Qt
// starts any thread, so getrusage(RUSAGE_SELF) counts the window's process alone: the GUI thread
// and whatever threads Qt runs for it, but not the babbling.

#include "mainwindow.h"
#include "procstatus.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// Start-up work (fonts, the first paint, opening the port) must not count as idle time.
constexpr int settleMs = 1000;
constexpr int probeMs = 10;

struct Sample
{
    qint64 wallNs;
    double cpuSeconds;
    long rssKib;
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double cpuPercent(const Sample &from, const Sample &to)
{
    return 100.0 * (to.cpuSeconds - from.cpuSeconds) / (double(to.wallNs - from.wallNs) / 1e9);
}

void addMs(timespec &t, long ms)
{
    t.tv_nsec += ms * 1000000;
    t.tv_sec += t.tv_nsec / 1000000000;
    t.tv_nsec %= 1000000000;
}

bool before(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A chunk each millisecond, as a USB adapter hands bytes over. A device does not wait for a slow
// host: what does not fit into the terminal's buffer is lost, so the delivered rate is reported.
long long babble(int master, int seconds, int rate)
{
    std::mt19937 random(20240601);
    std::vector<char> noise(1 << 16);
    for (char &byte : noise)
        byte = char(random());
    const size_t chunk = size_t(rate) / 1000;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    timespec next{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    end = next;
    addMs(end, seconds * 1000L);
    size_t at = 0;
    long long sent = 0;
    while (before(next, end)) {
        const ssize_t n = ::write(master, noise.data() + at, chunk);
        if (n > 0)
            sent += n;
        at = (at + chunk) % (noise.size() - chunk);
        addMs(next, 1);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
    return sent;
}

struct Babbler
{
    pid_t pid = -1;
    int go = -1;   // one byte written here starts the babbling
    int done = -1; // the count of bytes sent arrives here when it ends
};

Babbler forkBabbler(int master, int seconds, int rate)
{
    int goPipe[2], donePipe[2];
    if (pipe(goPipe) != 0 || pipe(donePipe) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(goPipe[1]);
        ::close(donePipe[0]);
        char start = 0;
        if (::read(goPipe[0], &start, 1) != 1)
            _exit(1);
        const long long sent = babble(master, seconds, rate);
        _exit(::write(donePipe[1], &sent, sizeof sent) == sizeof sent ? 0 : 1);
    }
    ::close(goPipe[0]);
    ::close(donePipe[1]);
    return {pid, goPipe[1], donePipe[0]};
}

int openMaster(QString &slavePath)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    slavePath = QString::fromLocal8Bit(ptsname(master));
    return master;
}

class Measurement : public QObject
{
public:
    Measurement(MainWindow &measured, const Babbler &device, int idleFor)
        : window(measured), babbler(device), idleSeconds(idleFor),
          doneNotifier(device.done, QSocketNotifier::Read)
    {
        clock.start();
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(probeMs);
        connect(&probe, &QTimer::timeout, this, &Measurement::probeTick);
        doneNotifier.setEnabled(false);
        connect(&doneNotifier, &QSocketNotifier::activated, this, &Measurement::finish);
        QTimer::singleShot(settleMs, this, [this] {
            idleStart = sample();
            QTimer::singleShot(idleSeconds * 1000, this, &Measurement::startBabbling);
        });
    }

private:
    Sample sample() const { return {clock.nsecsElapsed(), cpuSeconds(), procStatusKib("VmRSS")}; }

    // The probe runs only while the device babbles: at a hundred wake-ups a second it would be
    // the only thing the idle figure measured.
    void startBabbling()
    {
        idleEnd = sample();
        window.findChild<QPushButton *>("scan_parameters")->click();
        doneNotifier.setEnabled(true);
        babbleStart = sample();
        lastTick.start();
        probe.start();
        const char start = 1;
        if (::write(babbler.go, &start, 1) != 1)
            QCoreApplication::exit(1);
    }

    void probeTick()
    {
        const double late = double(lastTick.nsecsElapsed()) / 1e6 - probeMs;
        lastTick.restart();
        maxLatenessMs = qMax(maxLatenessMs, late);
    }

    void finish()
    {
        const Sample babbleEnd = sample();
        probe.stop();
        doneNotifier.setEnabled(false);
        long long sent = 0;
        const bool reported = ::read(babbler.done, &sent, sizeof sent) == sizeof sent;
        waitpid(babbler.pid, nullptr, 0);
        if (!reported) {
            std::fprintf(stderr, "the babbling device failed\n");
            QCoreApplication::exit(1);
            return;
        }
        std::printf("platform=%s qt=%s idle_cpu_pct=%.2f babble_cpu_pct=%.2f "
                    "max_lateness_ms=%.1f rss_growth_kib=%ld babble_kib_per_s=%.0f\n",
                    qPrintable(QGuiApplication::platformName()), qVersion(),
                    cpuPercent(idleStart, idleEnd), cpuPercent(babbleStart, babbleEnd),
                    maxLatenessMs, babbleEnd.rssKib - babbleStart.rssKib,
                    double(sent) / 1024 / (double(babbleEnd.wallNs - babbleStart.wallNs) / 1e9));
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    MainWindow &window;
    const Babbler babbler;
    const int idleSeconds;
    QElapsedTimer clock;
    QTimer probe;
    QElapsedTimer lastTick;
    double maxLatenessMs = 0;
    QSocketNotifier doneNotifier;
    Sample idleStart{}, idleEnd{}, babbleStart{};
};

int usage()
{
    std::fprintf(stderr, "usage: tcprtu-bench-load [--idle-seconds N] [--babble-seconds N] "
                         "[--rate BYTES_PER_SECOND]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    int idleSeconds = 5;
    int babbleSeconds = 9;
    int rate = 1000000;
    if (argc % 2 == 0)
        return usage();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--idle-seconds") == 0)
            idleSeconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--babble-seconds") == 0)
            babbleSeconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rate") == 0)
            rate = std::atoi(argv[i + 1]);
        else
            return usage();
    }
    if (idleSeconds < 1 || babbleSeconds < 1 || rate < 1000)
        return usage();

    QString slavePath;
    const int master = openMaster(slavePath);
    if (master < 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const Babbler babbler = forkBabbler(master, babbleSeconds, rate);
    if (babbler.pid < 0) {
        std::perror("fork");
        return 1;
    }

    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    auto *ports = window.findChild<QComboBox *>("serialPortInfoListBox");
    ports->insertItem(0, slavePath);
    ports->setCurrentIndex(0);
    window.findChild<QPushButton *>("connect")->click();
    if (!window.findChild<QPushButton *>("closeport")->isEnabled()) {
        std::fprintf(stderr, "the window could not open %s\n", qPrintable(slavePath));
        return 1;
    }

    Measurement measurement(window, babbler, idleSeconds);
    return app.exec();
}
