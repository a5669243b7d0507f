// The server's log: one line per event on standard output, with the local time. Lines are
// handed to a writer thread, so that an output that does not take them (a full pipe, a paused
// terminal) never holds up the answering loop; beyond a bound, lines are dropped and counted.
#pragma once

#include <string>

namespace lumarix::printserver {

void ServerLog(const std::string& line);

}  // namespace lumarix::printserver
