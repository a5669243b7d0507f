// The print server's rules for one request: who may print, what a request must hold, how many
// pages a text takes, and the texts made from the names a client sends. No I/O here.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "LumarixSocketStr.h"

namespace lumarix::printserver {

// The largest file the client sends; a larger "Contents" is refused, not spooled.
constexpr std::size_t kMaxContents = 524288;

struct TTeamAccount {
  std::string password;
  std::optional<std::int64_t> quota;  // none: no limit
  std::string location;               // where the team sits, as printed on its pages; may be empty
};

// Teams, their passwords and page quotas. Without a list every team may print without limit.
class TTeamList {
 public:
  // Lines "team password [quota [location]]", blank-separated; "-" or nothing for no quota; the
  // location is the rest of the line after the quota ("Room B, seat 12"); "#" comments.
  // Returns false and names the first bad line ("line N: ...") in `error`.
  bool Load(const std::string& text, std::string& error);
  bool restricted() const { return restricted_; }
  const TTeamAccount* Find(const std::string& team) const;
  const std::map<std::string, TTeamAccount>& accounts() const { return accounts_; }

 private:
  bool restricted_ = false;
  std::map<std::string, TTeamAccount> accounts_;
};

struct TPrintJob {
  std::string id, team, password, contents, filename;
};

// The job a request carries, when it has all five parts (an empty value counts as present).
std::optional<TPrintJob> JobFromRequest(const TMessagePart* request);

// A reply as its parts, in order; kept as plain pairs so that it can be stored and sent again.
using TReply = std::vector<std::pair<std::string, std::string>>;

TReply ErrorReply(const std::string& id, const std::string& error);
TMessagePart* ReplyMessage(const TReply& reply);
std::string ReplyPart(const TReply& reply, const std::string& name);

// What the answering loop can decide at once, without the store: a refusal, or nothing.
std::optional<TReply> CheckRequest(const TPrintJob& job, const TTeamList& teams);

// The reply to a recorded job.
TReply AcceptedReply(const TPrintJob& job, std::int64_t pages, std::optional<std::int64_t> left);

// A name as it may appear in a log or a header line: bytes below 32, 127 and the backslash are
// written as \xNN, so that no name can end the line or forge another; at most `limit` bytes of
// the name are shown.
std::string PrintableName(const std::string& name, std::size_t limit = 200);

// A piece of a spool file name: letters, digits, '-' and '_' only, at most `limit` of them;
// never empty.
std::string SafeNamePart(const std::string& name, std::size_t limit = 40);

}  // namespace lumarix::printserver
