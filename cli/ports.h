#pragma once

// Ports as a person names them on the command line: a path, a link to one, or a bare name as the
// system lists it.

#include <QList>
#include <QString>
#include <QStringList>

// The path the serial library opens for a port: a bare name (ttyUSB0, pts/3) under /dev.
QString portPath(const QString &port);

// The device a port leads to, links followed: the serial library locks a port by the name it is
// opened with, and another program may hold it by another.
QString devicePath(const QString &port);

// Why a port is not there, with the path tried; a bare name that is a file here is suggested as
// ./NAME, as the library never looks here for it.
QString missingPort(const QString &port);

// One error for each port given again, however spelt: a bare name and its path, a relative and an
// absolute path, a link and its target. Two conversations on one line would answer each other's
// questions.
QStringList repeatedPorts(const QStringList &ports);

// A port as the system lists it.
struct ListedPort
{
    QString name;
    bool usb; // an adapter with a USB vendor id, where a converter is plugged in
};

// The ports that find asks when none is given: USB adapters only, as a built-in port may hold a
// modem or a console that takes the question for a command. The others are added to skipped.
QStringList adapterPorts(const QList<ListedPort> &listed, QStringList *skipped);
