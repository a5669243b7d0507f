#include "print_jobs.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace lumarix::printserver {
namespace {

constexpr const char* kRequestParts[] = {"ID", "Team", "Password", "Contents", "Filename"};

bool HasPart(const TMessagePart* head, const char* name) {
  for (const TMessagePart* part = head; part; part = part->next) {
    if (part->name == name) return true;
  }
  return false;
}

std::string LineError(int number, const std::string& what) { return "line " + std::to_string(number) + ": " + what; }

}  // namespace

bool TTeamList::Load(const std::string& text, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string team, password, quota, location;
    if (!(fields >> team) || team[0] == '#') continue;
    fields >> password >> quota;
    std::getline(fields >> std::ws, location);
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t')) location.pop_back();
    if (accounts_.count(team)) {
      error = LineError(number, "team '" + PrintableName(team) + "' is listed twice");
      return false;
    }
    TTeamAccount account;
    account.password = password;
    account.location = location;
    if (!quota.empty() && quota != "-") {
      char* end = nullptr;
      long long pages = std::strtoll(quota.c_str(), &end, 10);
      if (*end != '\0' || pages < 0) {
        error = LineError(number, "bad page quota '" + PrintableName(quota) + "'");
        return false;
      }
      account.quota = pages;
    }
    accounts_[team] = account;
  }
  restricted_ = true;
  return true;
}

const TTeamAccount* TTeamList::Find(const std::string& team) const {
  auto found = accounts_.find(team);
  return found == accounts_.end() ? nullptr : &found->second;
}

std::optional<TPrintJob> JobFromRequest(const TMessagePart* request) {
  for (const char* name : kRequestParts) {
    if (!HasPart(request, name)) return std::nullopt;
  }
  return TPrintJob{GetPart(request, "ID"), GetPart(request, "Team"), GetPart(request, "Password"),
                   GetPart(request, "Contents"), GetPart(request, "Filename")};
}

TReply ErrorReply(const std::string& id, const std::string& error) { return {{"ID", id}, {"Error", error}}; }

TMessagePart* ReplyMessage(const TReply& reply) {
  TMessagePart* head = nullptr;
  for (const auto& [name, value] : reply) AddPart(head, name, value);
  return head;
}

std::string ReplyPart(const TReply& reply, const std::string& name) {
  for (const auto& [partName, value] : reply) {
    if (partName == name) return value;
  }
  return {};
}

std::optional<TReply> CheckRequest(const TPrintJob& job, const TTeamList& teams) {
  const TTeamAccount* account = teams.Find(job.team);
  if (teams.restricted() && (account == nullptr || account->password != job.password)) {
    return ErrorReply(job.id, "Wrong team name or password");
  }
  if (job.contents.size() > kMaxContents) {
    return ErrorReply(job.id, "The file is larger than " + std::to_string(kMaxContents) + " bytes; it was not printed");
  }
  return std::nullopt;
}

TReply AcceptedReply(const TPrintJob& job, std::int64_t pages, std::optional<std::int64_t> left) {
  TReply reply{{"ID", job.id},
               {"Message", "File " + job.filename + " has been sent to the printer"},
               {"JobPages", std::to_string(pages)},
               {"LeftPages", left ? std::to_string(*left) : std::string("unlimited")}};
  if (job.contents.find('\0') != std::string::npos) {
    reply.emplace_back("Warning", "The file holds NUL bytes; it may not print as expected");
  }
  return reply;
}

std::string PrintableName(const std::string& name, std::size_t limit) {
  std::string text;
  for (std::size_t i = 0; i < name.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 32 || c == 127 || c == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    } else {
      text += static_cast<char>(c);
    }
  }
  if (name.size() > limit) text += "...";
  return text;
}

std::string SafeNamePart(const std::string& name, std::size_t limit) {
  std::string part;
  for (char c : name) {
    if (part.size() == limit) break;
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    part += plain ? c : '_';
  }
  return part.empty() ? std::string("_") : part;
}

}  // namespace lumarix::printserver
