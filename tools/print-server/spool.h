// Spool files that are whole or absent: the bytes go to a temporary file in the spool
// directory, are flushed to the disk and only then take their final name, which no other file
// has, and the directory entry is flushed too. A failure leaves nothing behind.
#pragma once

#include <string>

namespace lumarix::printserver {

struct TSpoolResult {
  bool ok = false;
  std::string path;   // the final name, when ok
  std::string error;  // what failed, e.g. "No space left on device", when not
};

// Writes `bytes` as a new file of `dir` whose name is `stem` + ".txt", or `stem` + "-N.txt"
// when that is taken (names are never reused, also across restarts).
TSpoolResult WriteSpoolFile(const std::string& dir, const std::string& stem, const std::string& bytes);

// Removes the temporary files a stopped server may have left in `dir`.
void RemoveSpoolTemporaries(const std::string& dir);

}  // namespace lumarix::printserver
