#include "print_jobs.h"

#include <cstdlib>
#include <sstream>

#include "LumarixUtil.h"

namespace lumarix::printserver {
namespace {

constexpr const char* kRequestParts[] = {"ID", "Team", "Password", "Contents", "Filename"};

bool HasPart(const TMessagePart* head, const char* name) {
  for (const TMessagePart* part = head; part; part = part->next) {
    if (part->name == name) return true;
  }
  return false;
}

TMessagePart* Reply(const std::string& id) {
  TMessagePart* reply = nullptr;
  AddPart(reply, "ID", id);
  return reply;
}

TJobOutcome Refusal(const std::string& id, const std::string& error, const std::string& team) {
  TJobOutcome outcome;
  outcome.reply = Reply(id);
  AddPart(outcome.reply, "Error", error);
  outcome.logLine = "refused job of team '" + team + "': " + error;
  return outcome;
}

char Separator() {
#if defined(_WIN32)
  return '\\';
#else
  return '/';
#endif
}

std::string QuotedForShell(const std::string& path) {
#if defined(_WIN32)
  return "\"" + path + "\"";
#else
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

}  // namespace

bool TTeamList::Load(const std::string& text, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string team, password, quota;
    if (!(fields >> team) || team[0] == '#') continue;
    fields >> password >> quota;
    TTeamAccount account;
    account.password = password;
    if (!quota.empty() && quota != "-") {
      char* end = nullptr;
      long long pages = std::strtoll(quota.c_str(), &end, 10);
      if (*end != '\0' || pages < 0) {
        error = "line " + std::to_string(number) + ": bad page quota '" + quota + "'";
        return false;
      }
      account.quota = pages;
    }
    accounts_[team] = account;
  }
  restricted_ = true;
  return true;
}

TTeamAccount* TTeamList::Find(const std::string& team) {
  auto found = accounts_.find(team);
  return found == accounts_.end() ? nullptr : &found->second;
}

TTeamAccount& TTeamList::Account(const std::string& team) { return accounts_[team]; }

std::int64_t CountPages(const std::string& contents) {
  std::int64_t pages = 0;
  int lines = 0;
  bool pageHasText = false;
  for (char c : contents) {
    if (c == '\f') {
      if (pageHasText) ++pages;
      lines = 0;
      pageHasText = false;
      continue;
    }
    pageHasText = true;
    if (c == '\n' && ++lines == kLinesPerPage) {
      ++pages;
      lines = 0;
      pageHasText = false;
    }
  }
  return pages + (pageHasText ? 1 : 0);
}

std::optional<TPrintJob> JobFromRequest(const TMessagePart* request) {
  for (const char* name : kRequestParts) {
    if (!HasPart(request, name)) return std::nullopt;
  }
  return TPrintJob{GetPart(request, "ID"), GetPart(request, "Team"), GetPart(request, "Password"),
                   GetPart(request, "Contents"), GetPart(request, "Filename")};
}

std::string SpoolFileName(const std::string& team, const std::string& timeText, unsigned sequence) {
  std::string name;
  for (char c : team + "_" + timeText) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    name += plain ? c : c == ' ' || c == '.' || c == ':' ? '-' : '_';
  }
  return name + "_" + std::to_string(sequence) + ".txt";
}

TJobOutcome HandleRequest(const TMessagePart* request, TPrintServer& server, const std::string& timeText) {
  TTeamList& teams = server.teams;
  const TServerOptions& options = server.options;
  std::optional<TPrintJob> job = JobFromRequest(request);
  if (!job) return Refusal(GetPart(request, "ID"), "Incomplete print request", GetPart(request, "Team"));

  TTeamAccount* account = teams.Find(job->team);
  if (teams.restricted() && (account == nullptr || account->password != job->password)) {
    return Refusal(job->id, "Wrong team name or password", job->team);
  }
  if (account == nullptr) account = &teams.Account(job->team);

  std::int64_t pages = CountPages(job->contents);
  if (account->quota && account->used + pages > *account->quota) {
    return Refusal(job->id,
                   "Page quota exceeded: the job has " + std::to_string(pages) + " pages, " +
                       std::to_string(*account->quota - account->used) + " left",
                   job->team);
  }

  std::string path = options.spoolDir + Separator() + SpoolFileName(job->team, timeText, server.jobsSpooled + 1);
  std::string header = "Team: " + job->team + "  File: " + job->filename + "  Time: " + timeText + "\n";
  if (!AppendToFile(header + job->contents, path, false)) {
    return Refusal(job->id, "The print server cannot spool the job", job->team);
  }
  account->used += pages;
  ++server.jobsSpooled;
  if (!options.printCommand.empty()) std::system((options.printCommand + " " + QuotedForShell(path)).c_str());

  TJobOutcome outcome;
  outcome.spooledPath = path;
  outcome.reply = Reply(job->id);
  AddPart(outcome.reply, "Message", "File " + job->filename + " has been sent to the printer");
  AddPart(outcome.reply, "JobPages", std::to_string(pages));
  AddPart(outcome.reply, "LeftPages",
          account->quota ? std::to_string(*account->quota - account->used) : std::string("unlimited"));
  if (job->contents.find('\0') != std::string::npos) {
    AddPart(outcome.reply, "Warning", "The file holds NUL bytes; it may not print as expected");
  }
  outcome.logLine = "team '" + job->team + "' file '" + job->filename + "': " + std::to_string(pages) +
                    " pages, spooled to " + path;
  return outcome;
}

}  // namespace lumarix::printserver
