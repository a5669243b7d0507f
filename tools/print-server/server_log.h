// The server's log: one line per event on standard output, with the local time, written whole
// by whichever thread has something to say.
#pragma once

#include <string>

namespace lumarix::printserver {

void ServerLog(const std::string& line);

}  // namespace lumarix::printserver
