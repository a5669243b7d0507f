// Plain POSIX connections that the library cannot accept yet: kept apart from the platform's
// Win32 names, whose socket constants clash with the system's headers.
#pragma once
#if !defined(_WIN32)

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumarix::testing {

// Starts `count` non-blocking connects to 127.0.0.1:`port` while the process may open no new
// descriptor (so no accept can succeed), and gives how many completed within `seconds`: those
// the listener's backlog held. The sockets are returned in `sockets`, to be closed by CloseAll.
std::size_t ConnectsHeldByTheBacklog(std::uint16_t port, int count, int seconds, std::vector<int>& sockets);
void CloseAll(std::vector<int>& sockets);

}  // namespace lumarix::testing

#endif
