// The print server's bookkeeping: who may print, how many pages a job takes, where it is
// spooled, and what the answer to a request is. Kept apart from the network loop so that it can
// be tested on its own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "LumarixSocketStr.h"

namespace lumarix::printserver {

constexpr int kLinesPerPage = 60;

struct TTeamAccount {
  std::string password;
  std::optional<std::int64_t> quota;  // none: no limit
  std::int64_t used = 0;
};

// Teams, their passwords and page quotas. Without a list every team may print without limit.
class TTeamList {
 public:
  // Lines "team password quota", blank-separated; "-" or nothing for no quota; "#" comments.
  // Returns false and names the first bad line in `error`.
  bool Load(const std::string& text, std::string& error);
  bool restricted() const { return restricted_; }
  TTeamAccount* Find(const std::string& team);
  TTeamAccount& Account(const std::string& team);

 private:
  bool restricted_ = false;
  std::map<std::string, TTeamAccount> accounts_;
};

// Pages of a text: a new page after 60 lines and at every form feed; an empty text has none.
std::int64_t CountPages(const std::string& contents);

struct TPrintJob {
  std::string id, team, password, contents, filename;
};

// The job a request carries, when it has all five parts (an empty value counts as present).
std::optional<TPrintJob> JobFromRequest(const TMessagePart* request);

struct TServerOptions {
  std::string spoolDir;
  std::string printCommand;  // run with the spooled file's path appended; empty: none
};

// Everything the server keeps between requests.
struct TPrintServer {
  TTeamList teams;
  TServerOptions options;
  unsigned jobsSpooled = 0;
};

struct TJobOutcome {
  TMessagePart* reply = nullptr;  // owned by the caller
  std::string logLine;
  std::string spooledPath;        // empty when nothing was spooled
};

// Checks, counts, spools and answers one request.
TJobOutcome HandleRequest(const TMessagePart* request, TPrintServer& server, const std::string& timeText);

// A file name made of the team and the time, safe on both systems.
std::string SpoolFileName(const std::string& team, const std::string& timeText, unsigned sequence);

}  // namespace lumarix::printserver
