// The one notice of the raw-socket phases (ARP and ping sweeps) when their
// socket cannot be opened: on standard error and in the log, saying what failed
// and, when the right is missing, how to grant it.
#pragma once

#include <string>

#include "app/log.h"
#include "platform/os_error.h"

namespace ordalen {

enum class RawSocketPhase { kArp, kPing };

// The text of the notice; `program` is the path the setcap remedy names.
std::string RawSocketNotice(RawSocketPhase phase, const OsError& error, const std::string& program);

// Writes the notice for the running program to standard error and the log.
void NoticeRawSocketRefused(RawSocketPhase phase, const OsError& error, OutputSink& out);

}  // namespace ordalen
