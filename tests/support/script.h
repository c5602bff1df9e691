#pragma once

#include "rig.h"

#include <QString>

// Plays one exchange between the window and the device on the pseudo-terminal, from a line of
// steps separated by "; ", for example
//   open rtu-tcp; click scan_parameters; tick 2; reply ip:10.0.0.1\r\n; check lineEdit_ip=10.0.0.1
//   green
// Byte strings understand \r, \n, \0 and \xNN. The steps are listed in script.cpp.
// Fails the running test at the first step that does not hold, naming that step.
void play(Rig &rig, const QString &script);
