// The print port 17244 for a benchmark that runs the real client, which always speaks to it.
#pragma once

#include <string>

// Makes the port this process's own for as long as it runs: a network namespace of its own
// (with its loopback up) when it may, as root, which its children share; otherwise the shared
// lock of the port, held until the process ends. Returns which of the two, for the report.
std::string TakePrintPort();
// The shared lock of the port alone, for a server that programs outside the process reach.
void LockPrintPort();
