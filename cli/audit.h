#pragma once

// `tcprtu audit`: every unit read and compared with what its row of the sheet and the shared
// values plan; nothing is sent.

#include "procedure.h"

class Arguments;

// The sheet, the output's form and the Modbus check's options; every error is added.
void readAuditOptions(const Arguments &args, Job *job, QStringList *errors);

// One line per unit and per row not connected, as a table, --json or --csv. Returns the exit
// status the output adds: OutputFailed when it could not be written.
int printAudit(const std::vector<std::unique_ptr<UnitRun>> &units,
               const QList<const Unit *> &missing, bool json, bool csv, const Console &console);
