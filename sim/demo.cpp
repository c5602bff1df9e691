// The configurator's window against a simulated converter: a way to try the tool without
// hardware, and to picture it after a read.

#include "mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

QString simulatorPath()
{
    const QString beside = QCoreApplication::applicationDirPath() + "/tcprtu-sim";
    return QFileInfo(beside).isExecutable() ? beside : QStringLiteral(TCPRTU_SIM_BINARY);
}

// Queries per read in each mode, and one more tick for the run to end.
constexpr int readTicks[] = {9, 11};

} // namespace

int main(int argc, char *argv[])
{
    // Without a display Qt would abort before the options are read; offscreen serves --help and
    // --screenshot, and anything else is refused below with a word on what works.
    const bool headless = qEnvironmentVariableIsEmpty("DISPLAY") &&
                          qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                          qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Starts a simulated converter on a pseudo-terminal and opens the configurator with its "
        "port listed first and selected.\nArguments after -- go to tcprtu-sim (see "
        "tcprtu-sim --help), e.g. -- --drop-on-restart --refuse mask");
    parser.addHelpOption();
    const QCommandLineOption screenshot(
        "screenshot", "Read the device's settings, save a picture of the window to <file>, exit.",
        "file");
    const QCommandLineOption mode("mode", "Device mode: tcp-rtu (default) or rtu-tcp.", "mode",
                                  "tcp-rtu");
    parser.addOption(screenshot);
    parser.addOption(mode);
    parser.addPositionalArgument("sim-options", "Options for the simulated converter.",
                                 "[-- sim-options]");
    parser.process(app);
    if (headless && !parser.isSet(screenshot)) {
        std::fprintf(stderr, "tcprtu-demo: the window needs a display and none is set (DISPLAY or "
                             "WAYLAND_DISPLAY); --screenshot FILE reads the simulated converter "
                             "without one and saves a picture of the window\n");
        return 1;
    }

    const QString modeName = parser.value(mode);
    if (modeName != "tcp-rtu" && modeName != "rtu-tcp")
        parser.showHelp(2);
    const int modeIndex = modeName == "rtu-tcp" ? 1 : 0;

    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // However the demo ends, even killed, the simulator ends with it and removes its link.
    simulator.start(
        simulatorPath(),
        QStringList{"--exit-with-parent", QString::number(QCoreApplication::applicationPid())} +
            parser.positionalArguments());
    if (!simulator.waitForReadyRead(5000)) {
        std::fprintf(stderr, "tcprtu-demo: the simulated converter did not start (%s)\n",
                     qPrintable(simulatorPath()));
        return 1;
    }

    MainWindow window;
    auto *ports = window.findChild<QComboBox *>("serialPortInfoListBox");
    QString port;
    // The simulator prints its port's path at start and again after each restart that drops it.
    auto takeNewPort = [&] {
        while (simulator.canReadLine()) {
            const QString path = QString::fromLocal8Bit(simulator.readLine().trimmed());
            if (path.isEmpty())
                continue;
            std::printf("Simulated converter on %s\n", qPrintable(path));
            std::fflush(stdout);
            if (ports->itemText(0) == port)
                ports->removeItem(0);
            port = path;
            ports->insertItem(0, port);
            ports->setCurrentIndex(0);
        }
    };
    takeNewPort();
    QObject::connect(&simulator, &QProcess::readyReadStandardOutput, takeNewPort);
    // The port search lists only real ports; keep the simulated one on top of them.
    QObject::connect(window.findChild<QPushButton *>("scanport"), &QPushButton::clicked, [&] {
        ports->insertItem(0, port);
        ports->setCurrentIndex(0);
    });
    window.findChild<QComboBox *>("conbox0")->setCurrentIndex(modeIndex);
    window.show();

    if (parser.isSet(screenshot)) {
        const QString file = parser.value(screenshot);
        window.findChild<QPushButton *>("connect")->click();
        window.findChild<QPushButton *>("scan_parameters")->click();
        QTimer::singleShot(readTicks[modeIndex] * 1000 + 1000, &window, [&] {
            const bool saved = window.grab().save(file);
            std::printf("%s %s\n", saved ? "Saved" : "Could not save",
                        qPrintable(QDir::current().absoluteFilePath(file)));
            app.exit(saved ? 0 : 1);
        });
    }

    const int status = app.exec();
    simulator.terminate();
    simulator.waitForFinished(2000);
    return status;
}
