// The phone's log: one line per event (AT commands, frames, OBEX requests, faults),
// so that tests can read what the client sent while the phone keeps running.
#pragma once

#include "linefile.h"

namespace phonesim {

using RequestLog = LineFile;

} // namespace phonesim
