// Start-up time and peak memory of the configurator's window against a bare window of its size.
//
//   tcprtu-bench-startup --window configurator|floor|both [--runs N]
//
// Prints one line per run: window=<which> first_frame_ms=<ms from spawn to first frame>
// peak_rss_kib=<KiB>. With both, the two windows take turns, so that a machine that slows down or
// speeds up during the runs weighs on both alike.
//
// The program starts itself once per run and takes the clock just before the spawn: the kernel's
// record of a process's start time (/proc/self/stat) counts in ticks of 10 ms, too coarse for a
// start-up of a few tens of milliseconds, and timing from inside main() would miss the loading of
// the Qt libraries. The spawned process reports when its first frame is done and exits.
//
// Both windows come from this one program, so they share the compiler flags, the Qt build and the
// libraries loaded at start (QtSerialPort and the icon resource among them): the ratio is what the
// configurator's window itself adds.

#include "mainwindow.h"
#include "procstatus.h"

#include <QApplication>
#include <QMainWindow>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Widgets paint the whole window and flush it to the platform while they handle the window's
// first expose, so the filter has the window handle that event at once and takes the time when it
// returns. On a real X server the frame has then been sent to the server; offscreen it has been
// copied into the platform's image, which is all that platform ever shows.
class FirstFrame : public QObject
{
public:
    FirstFrame(const char *window, qint64 spawnedAtNs) : kind(window), spawnedAt(spawnedAtNs) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (seen || event->type() != QEvent::Expose || !watched->isWindowType() ||
            !static_cast<QWindow *>(watched)->isExposed())
            return false;
        seen = true;
        watched->event(event);
        const double ms = double(nowNs() - spawnedAt) / 1e6;
        // VmHWM belongs to this process image alone; getrusage()'s ru_maxrss would also carry the
        // peak of the image that exec replaced.
        std::printf("window=%s first_frame_ms=%.2f peak_rss_kib=%ld\n", kind, ms,
                    procStatusKib("VmHWM"));
        std::fflush(stdout);
        QCoreApplication::quit();
        return true;
    }

private:
    const char *const kind;
    const qint64 spawnedAt;
    bool seen = false;
};

int showWindow(int argc, char *argv[], const char *kind, qint64 spawnedAtNs)
{
    QApplication app(argc, argv);
    FirstFrame firstFrame(kind, spawnedAtNs);
    app.installEventFilter(&firstFrame);

    std::unique_ptr<QMainWindow> window;
    if (std::strcmp(kind, "configurator") == 0) {
        window = std::make_unique<MainWindow>();
    } else {
        window = std::make_unique<QMainWindow>();
        window->resize(550, 628);
    }
    window->show();
    return app.exec();
}

int spawnRuns(const char *which, int runs)
{
    const bool both = std::strcmp(which, "both") == 0;
    for (int i = 0; i < (both ? 2 * runs : runs); ++i) {
        const char *kind = both ? (i % 2 ? "configurator" : "floor") : which;
        std::string spawnedAt = std::to_string(nowNs());
        char *args[] = {const_cast<char *>("tcprtu-bench-startup"),
                        const_cast<char *>("--window"),
                        const_cast<char *>(kind),
                        const_cast<char *>("--spawned-at"),
                        spawnedAt.data(),
                        nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, args, environ) != 0) {
            std::perror("posix_spawn");
            return 1;
        }
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "a run of the %s window failed\n", kind);
            return 1;
        }
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: tcprtu-bench-startup --window configurator|floor|both [--runs N]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *kind = nullptr;
    int runs = 1;
    qint64 spawnedAt = -1;
    if (argc % 2 == 0)
        return usage();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--window") == 0)
            kind = argv[i + 1];
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--spawned-at") == 0)
            spawnedAt = std::atoll(argv[i + 1]);
        else
            return usage();
    }
    if (!kind || runs < 1)
        return usage();
    const bool known = std::strcmp(kind, "configurator") == 0 || std::strcmp(kind, "floor") == 0;
    if (spawnedAt < 0 && (known || std::strcmp(kind, "both") == 0))
        return spawnRuns(kind, runs);
    if (spawnedAt >= 0 && known)
        return showWindow(argc, argv, kind, spawnedAt);
    return usage();
}
