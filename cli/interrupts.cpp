#include "interrupts.h"

#include <QSocketNotifier>

#ifdef Q_OS_WIN
#include <QMetaObject>
#include <cstdlib>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN

Interrupts *instance = nullptr;
volatile LONG received = 0;

// Runs on a thread of its own that the system starts.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int status = event == CTRL_CLOSE_EVENT ? 128 + 1 : 128 + 2;
    if (InterlockedIncrement(&received) > 2)
        std::_Exit(status);
    QMetaObject::invokeMethod(
        instance, [status] { emit instance->interrupted(status); }, Qt::QueuedConnection);
    return TRUE;
}

#else

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t received = 0;

// Only async-signal-safe calls here. The first two signals are the event loop's to handle; a
// third ends the program even if the loop no longer turns.
void onSignal(int number)
{
    if (received >= 2)
        ::_exit(128 + number);
    received = received + 1;
    const char byte = char(number);
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(ignored);
}

#endif

} // namespace

Interrupts::Interrupts(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_WIN
    instance = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe(signalPipe) != 0)
        return;
    for (const int fd : signalPipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char number = 0;
        if (::read(signalPipe[0], &number, 1) == 1)
            emit interrupted(128 + number);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
#endif
}
