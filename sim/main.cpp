#include "gateway.h"
#include "simdevice.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here; the event loop picks the byte up and quits normally, so
// the destructors still run and the link is removed.
void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(ignored);
}

bool watchTerminationSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    // A reader of our stdout going away must not kill the device.
    std::signal(SIGPIPE, SIG_IGN);
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
    return true;
}

QString shown(const char *reply)
{
    return readable(reply);
}

QString description()
{
    const sim::Settings factory = sim::factorySettings();
    QString queries;
    QString changes;
    for (int i = 0; i < protocol::parameterCount; ++i) {
        const protocol::Parameter &parameter = protocol::parameters[i];
        queries += QStringLiteral("  %1 factory %2%3\n")
                       .arg(QLatin1String(parameter.query), -15)
                       .arg(QString::fromLatin1(factory[std::size_t(i)]),
                            parameter.change ? QString() : QStringLiteral(", read only"));
        // The protocol's rule for a value, as the check of an empty one states it.
        if (parameter.change)
            changes += QStringLiteral("  %1 %2\n")
                           .arg(QLatin1String(parameter.change) + QLatin1String("<value>"), -30)
                           .arg(protocol::check(parameter, {}).rule);
    }
    return QStringLiteral(
               "Simulates the configuration port of the TCP/RTU converter on a pseudo-terminal.\n"
               "\n"
               "Prints the slave's path on stdout at start and again for every new "
               "pseudo-terminal\n"
               "after a restart with --drop-on-restart; logs traffic on stderr. SIGINT, SIGTERM\n"
               "and SIGHUP end it cleanly.\n"
               "\n"
               "The host sends bare ASCII messages without terminator; a message ends when no "
               "byte\n"
               "has arrived for --gap ms. Keywords are case-sensitive; a trailing CR or LF makes\n"
               "a message unknown.\n"
               "\n"
               "Queries, answered \"<keyword>:<value>\\r\\n\" with the value in effect:\n"
               "%1"
               "\n"
               "Changes, answered %2 when the value is staged; it takes effect at RESET:\n"
               "%3"
               "  Leading zeros are accepted and dropped; blanks and signs are not.\n"
               "  Refusals: %4 (nothing after the colon), %5,\n"
               "  %6 (see --refuse).\n"
               "\n"
               "RESET restarts the device with the staged values and gets no answer; for\n"
               "--restart-ms the device ignores input.\n"
               "Anything else is answered %7.")
        .arg(queries, shown(sim::okReply), changes, shown(sim::emptyValueReply),
             shown(sim::badValueReply), shown(sim::refusedReply), shown(sim::unknownReply));
}

// \r, \n, \0 and \xNN as their bytes, as the traffic log writes them.
QByteArray unescaped(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    QByteArray out;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\\' || i + 1 == bytes.size()) {
            out += bytes[i];
            continue;
        }
        const char next = bytes[++i];
        if (next == 'x' && i + 2 < bytes.size()) {
            out += char(bytes.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == '0' ? '\0' : next;
        }
    }
    return out;
}

// Splits "key=value" at its first '='; false when there is none, or no text before it.
bool split(const QString &assignment, QString *key, QString *value)
{
    const int equals = int(assignment.indexOf(QLatin1Char('=')));
    if (equals < 1)
        return false;
    *key = assignment.left(equals);
    *value = assignment.mid(equals + 1);
    return true;
}

bool readNumber(const QCommandLineParser &parser, const QString &name, int minimum, int *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    *value = parser.value(name).toInt(&ok);
    return ok && *value >= minimum;
}

// The kernel sends SIGTERM when the parent ends, however it ends; the parent may already have
// ended before the request, so it is checked after.
bool exitWithParent(const QString &pid)
{
#ifdef Q_OS_LINUX
    bool ok = false;
    const pid_t parent = pid.toInt(&ok);
    if (!ok || ::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        return false;
    if (::getppid() != parent)
        ::raise(SIGTERM);
    return true;
#else
    static_cast<void>(pid);
    return false;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tcprtu-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addHelpOption();
    const SimOptions defaults;
    parser.addOptions({
        {QStringLiteral("link"),
         QStringLiteral("Keep a symbolic link at <path> to the current slave; removed at exit. "
                        "An existing file that is not a symbolic link is never replaced."),
         QStringLiteral("path")},
        {QStringLiteral("gap"),
         QStringLiteral("Silence that ends a message, in ms (default %1).").arg(defaults.gapMs),
         QStringLiteral("ms")},
        {QStringLiteral("restart-ms"),
         QStringLiteral("How long a restart takes, in ms (default %1).").arg(defaults.restartMs),
         QStringLiteral("ms")},
        {QStringLiteral("drop-on-restart"),
         QStringLiteral("At RESET close the pseudo-terminal, as a USB adapter that re-enumerates: "
                        "the host's open port fails. After --restart-ms a new one is opened, "
                        "its path printed and --link moved to it.")},
        {QStringLiteral("silent"), QStringLiteral("Never answer; messages are still carried out.")},
        {QStringLiteral("slow"), QStringLiteral("Answer only after <ms>."), QStringLiteral("ms")},
        {QStringLiteral("split"), QStringLiteral("Send each answer in two halves, <ms> apart."),
         QStringLiteral("ms")},
        {QStringLiteral("refuse"),
         QStringLiteral("Answer %1 to one change command whatever its value. <name> is the "
                        "command with or without its colon, or its bare keyword, in any case: "
                        "\"CHANGE MASK:\", \"CHANGE MASK\" or \"mask\". Repeatable.")
             .arg(shown(sim::refusedReply)),
         QStringLiteral("name")},
        {QStringLiteral("garbage"),
         QStringLiteral("Answer with random bytes instead of a valid answer.")},
        {QStringLiteral("forget-changes"),
         QStringLiteral("Confirm changes, but come back from each restart with the settings it "
                        "started with, as a device that failed to store them.")},
        {QStringLiteral("line-rate"),
         QStringLiteral("Take as long as a line at <baud> would, 10 bits a byte, to receive each "
                        "message and to deliver each answer."),
         QStringLiteral("baud")},
        {QStringLiteral("set"),
         QStringLiteral("Hold <key>=<value> as another tool may have left it, unchecked; <key> is "
                        "a profile key such as tcp_port or mac. Speed, parity and stop bits "
                        "must be the device's: the line runs with them. Repeatable."),
         QStringLiteral("key=value")},
        {QStringLiteral("staged"),
         QStringLiteral("Start with <key>=<value> staged, unchecked, to take effect at the next "
                        "restart, as a write that stopped half-way leaves it. Repeatable."),
         QStringLiteral("key=value")},
        {QStringLiteral("mac-after-restart"),
         QStringLiteral("Come back from a restart with this MAC, as another unit would."),
         QStringLiteral("mac")},
        {QStringLiteral("banner"),
         QStringLiteral("After each restart, print <text> on a line of its own, unasked, as a "
                        "device that boots does."),
         QStringLiteral("text")},
        {QStringLiteral("banner-ms"),
         QStringLiteral("Print the --banner <ms> after the device is back (default 0)."),
         QStringLiteral("ms")},
        {QStringLiteral("lenient"),
         QStringLiteral("Take any change whose value the protocol carries, also one outside the "
                        "rules, as a device that another tool set up did.")},
        {QStringLiteral("hang-up-after-restart"),
         QStringLiteral("After a restart, hang up on the host whenever it sends anything, and "
                        "come back on a new pseudo-terminal, as a failing adapter would.")},
        {QStringLiteral("reply"),
         QStringLiteral("Answer a message that starts with <prefix> with <text> instead, once it "
                        "is carried out; \\r, \\n, \\0 and \\xNN stand for their bytes, an "
                        "empty text for silence. Repeatable."),
         QStringLiteral("prefix=text")},
        {QStringLiteral("exit-with-parent"),
         QStringLiteral("End cleanly when process <pid>, which started this one, ends, even "
                        "when it is killed (Linux)."),
         QStringLiteral("pid")},
        {QStringLiteral("quiet"), QStringLiteral("Do not log traffic on stderr.")},
    });
    parser.addOptions(gatewayOptions());
    parser.process(app);

    const auto fail = [](const QString &message) {
        std::fprintf(stderr, "tcprtu-sim: %s\n", qPrintable(message));
        return 2;
    };
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    SimOptions options;
    options.link = parser.value(QStringLiteral("link"));
    options.dropOnRestart = parser.isSet(QStringLiteral("drop-on-restart"));
    options.silent = parser.isSet(QStringLiteral("silent"));
    options.garbage = parser.isSet(QStringLiteral("garbage"));
    options.forgetChanges = parser.isSet(QStringLiteral("forget-changes"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    int splitMs = 0;
    if (!readNumber(parser, QStringLiteral("gap"), 1, &options.gapMs) ||
        !readNumber(parser, QStringLiteral("restart-ms"), 0, &options.restartMs) ||
        !readNumber(parser, QStringLiteral("slow"), 0, &options.slowMs) ||
        !readNumber(parser, QStringLiteral("split"), 0, &splitMs) ||
        !readNumber(parser, QStringLiteral("line-rate"), 1, &options.lineRate) ||
        !readNumber(parser, QStringLiteral("banner-ms"), 0, &options.bannerMs))
        return fail(QStringLiteral("--gap needs at least 1 ms; --restart-ms, --slow, --split and "
                                   "--banner-ms need a whole number of ms; --line-rate a baud "
                                   "rate"));
    options.banner = parser.value(QStringLiteral("banner")).toLatin1();
    if (parser.isSet(QStringLiteral("split")))
        options.splitMs = splitMs;

    GatewayOptions network;
    network.quiet = options.quiet;
    sim::Settings factory = sim::factorySettings();
    QString error;
    if (!readGatewayOptions(parser, &network, &factory, &error))
        return fail(error);
    sim::SimDevice device(factory);
    device.setLenient(parser.isSet(QStringLiteral("lenient")));
    for (const QString &name : parser.values(QStringLiteral("refuse"))) {
        if (!device.refuse(name.toLatin1()))
            return fail(QStringLiteral("--refuse: no change command is called \"%1\"").arg(name));
    }
    for (const QString &option : {QStringLiteral("set"), QStringLiteral("staged")}) {
        for (const QString &assignment : parser.values(option)) {
            QString key, value;
            const int index = split(assignment, &key, &value) ? protocol::parameterIndex(key) : -1;
            if (index < 0)
                return fail(QStringLiteral("--%1 %2: must be KEY=VALUE with a profile key")
                                .arg(option, assignment));
            const QString rule = sim::lineRule(index, value.toLatin1());
            if (!rule.isEmpty())
                return fail(QStringLiteral("--%1 %2: the simulated line runs with it, so it must "
                                           "be %3")
                                .arg(option, assignment, rule));
            if (option == QLatin1String("set"))
                device.hold(index, value.toLatin1());
            else
                device.stage(index, value.toLatin1());
        }
    }
    for (const QString &assignment : parser.values(QStringLiteral("reply"))) {
        QString prefix, text;
        if (!split(assignment, &prefix, &text))
            return fail(QStringLiteral("--reply %1: must be PREFIX=TEXT").arg(assignment));
        options.replies.append({prefix.toLatin1(), unescaped(text)});
    }
    options.macAfterRestart = parser.value(QStringLiteral("mac-after-restart")).toLatin1();
    options.hangUpAfterRestart = parser.isSet(QStringLiteral("hang-up-after-restart"));

    if (!watchTerminationSignals())
        return fail(QStringLiteral("cannot watch for termination signals"));
    if (parser.isSet(QStringLiteral("exit-with-parent")) &&
        !exitWithParent(parser.value(QStringLiteral("exit-with-parent"))))
        return fail(QStringLiteral("--exit-with-parent needs a process id, and Linux"));

    Simulator simulator(options, device);
    Gateway gateway(std::move(network));
    QObject::connect(&simulator, &Simulator::running, &gateway, &Gateway::serve);
    QObject::connect(&simulator, &Simulator::restarting, &gateway, &Gateway::stop);
    if (!simulator.start(&error))
        return fail(error);
    return app.exec();
}
