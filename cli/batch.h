#pragma once

// The units of one command judged together, as plain data, before anything is sent to any of
// them: what each holds and is to hold.

#include "profile.h"

#include <QList>
#include <QStringList>

struct PlannedUnit
{
    QString port;
    QByteArray mac;
    const protocol::Mode *mode;
    Values settings; // as read from the device
    Values wanted;   // what the command gives it, its sheet's row over the shared values
};

// Every reason not to send anything to any of the units: the network rules broken by what a write
// sends (a key already held is not sent, unless force), one ip for several units, and one MAC on
// several ports (cloned units), which force allows.
QStringList batchProblems(const QList<PlannedUnit> &units, bool force);
