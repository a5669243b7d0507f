// Spool files that are whole or absent: the bytes go to a temporary file in the spool
// directory, are flushed to the disk and only then take their final name, which no other file
// has; then the directory entry is flushed too. A failure leaves nothing behind. Files are
// written as a batch, so that a rush pays for one directory flush per batch, not per job.
#pragma once

#include <string>
#include <vector>

namespace lumarix::printserver {

struct TSpoolResult {
  bool ok = false;
  std::string path;   // the final name, when ok
  std::string error;  // what failed, e.g. "No space left on device", when not
};

class TSpoolBatch {
 public:
  explicit TSpoolBatch(std::string dir) : dir_(std::move(dir)) {}
  ~TSpoolBatch();  // removes the temporaries that were not published
  TSpoolBatch(const TSpoolBatch&) = delete;
  TSpoolBatch& operator=(const TSpoolBatch&) = delete;

  // Writes `bytes` to a temporary file; its index in the batch, or -1 with the reason in `error`.
  int Add(const std::string& stem, const std::string& bytes, std::string& error);
  // Flushes every file, names each `stem` + ".txt" (or `stem` + "-N.txt" when that is taken;
  // names are never reused, also across restarts) and flushes the directory. One result per Add
  // that succeeded, in order.
  std::vector<TSpoolResult> Publish();

 private:
  struct TPending {
    std::string temporary, stem;
    int fd = -1;
  };
  std::string dir_;
  std::vector<TPending> pending_;
};

// A name in `dir` that no other file has, for a file the server makes and removes itself (a
// rendering on its way); `suffix` ends it. Such names are removed at the next start.
std::string SpoolTemporaryName(const std::string& dir, const std::string& suffix);

// Writes `bytes` to a new file at `path` (a temporary name); false with the reason in `error`
// (as a spool file's: "cannot write the spool file: No space left on device"), and no file left.
bool WriteSpoolTemporary(const std::string& path, const std::string& bytes, std::string& error);

// Removes the temporary files a stopped server may have left in `dir`.
void RemoveSpoolTemporaries(const std::string& dir);

}  // namespace lumarix::printserver
