#include "cups_queue.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "child_command.h"

extern char** environ;

namespace lumarix::printserver {
namespace {

// IPP names are at most 255 octets.
constexpr std::size_t kTitleLimit = 200;

// The server's environment, with CUPS_SERVER naming the queue's scheduler when one is given.
std::vector<std::string> ClientEnvironment(const TCupsQueue& queue) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (queue.server.empty() || std::strncmp(*entry, "CUPS_SERVER=", 12) != 0) environment.emplace_back(*entry);
  }
  if (!queue.server.empty()) environment.push_back("CUPS_SERVER=" + queue.server);
  return environment;
}

TChildCommand ClientCommand(const TCupsQueue& queue, std::vector<std::string> arguments) {
  TChildCommand command;
  command.arguments = std::move(arguments);
  command.environment = ClientEnvironment(queue);
  command.timeoutMs = queue.timeoutMs;
  return command;
}

std::string Failure(const TChildCommand& command, const TChildResult& result) {
  std::string text = result.Describe(command);
  if (!result.output.empty()) text += ": " + result.output.substr(0, 400);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The length of the valid UTF-8 sequence at `text[at]`, or 0.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  if (lead == 0xe0 && byte(at + 1) < 0xa0) return 0;  // overlong
  if (lead == 0xed && byte(at + 1) >= 0xa0) return 0;  // surrogate
  if (lead == 0xf0 && byte(at + 1) < 0x90) return 0;  // overlong
  if (lead == 0xf4 && byte(at + 1) >= 0x90) return 0;  // beyond Unicode
  return length;
}

// The scheduler ipptool should ask, resolved as CUPS's clients do when nothing names one.
std::string SchedulerOf(const TCupsQueue& queue) {
  if (!queue.server.empty()) return queue.server;
  if (const char* named = std::getenv("CUPS_SERVER"); named && *named) return named;
  struct stat status;
  if (::stat("/run/cups/cups.sock", &status) == 0) return "/run/cups/cups.sock";
  return "localhost:631";
}

// A job's URI; a Unix socket's path goes in the host part, percent-encoded.
std::string JobUri(const TCupsQueue& queue, std::int64_t jobId) {
  std::string scheduler = SchedulerOf(queue), host;
  if (scheduler[0] != '/') host = scheduler;
  else {
    static const char* hex = "0123456789ABCDEF";
    for (unsigned char c : scheduler) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') host += static_cast<char>(c);
      else host += std::string("%") + hex[c >> 4] + hex[c & 15];
    }
  }
  return "ipp://" + host + "/jobs/" + std::to_string(jobId);
}

// The value of "NAME (type) = value" in ipptool's listing.
std::string AttributeValue(const std::string& listing, const std::string& name) {
  std::size_t at = listing.find(" " + name + " (");
  if (at == std::string::npos) return {};
  std::size_t equals = listing.find(" = ", at);
  std::size_t end = listing.find('\n', at);
  if (equals == std::string::npos || equals > end) return {};
  return listing.substr(equals + 3, end == std::string::npos ? std::string::npos : end - equals - 3);
}

ECupsJobState StateNamed(const std::string& name) {
  for (ECupsJobState state : {ECupsJobState::Pending, ECupsJobState::Held, ECupsJobState::Processing,
                              ECupsJobState::Stopped, ECupsJobState::Canceled, ECupsJobState::Aborted,
                              ECupsJobState::Completed}) {
    if (name == CupsJobStateName(state)) return state;
  }
  return ECupsJobState::Unknown;
}

}  // namespace

bool TCupsJobStatus::Finished() const {
  return state == ECupsJobState::Canceled || state == ECupsJobState::Aborted || state == ECupsJobState::Completed;
}

const char* CupsJobStateName(ECupsJobState state) {
  switch (state) {
    case ECupsJobState::Pending: return "pending";
    case ECupsJobState::Held: return "pending-held";
    case ECupsJobState::Processing: return "processing";
    case ECupsJobState::Stopped: return "processing-stopped";
    case ECupsJobState::Canceled: return "canceled";
    case ECupsJobState::Aborted: return "aborted";
    case ECupsJobState::Completed: return "completed";
    case ECupsJobState::Unknown: break;
  }
  return "unknown";
}

bool IsValidQueueName(const std::string& name) {
  if (name.empty() || name.size() > 127 || name[0] == '-') return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 0x7f || std::strchr("/#\\'\"", c)) return false;
  }
  return true;
}

namespace {

// A title CUPS takes as it is: printable characters, valid UTF-8, within IPP's length.
std::string TitleText(const std::string& raw) {
  std::string title;
  for (std::size_t at = 0; at < raw.size() && title.size() < kTitleLimit;) {
    unsigned char c = static_cast<unsigned char>(raw[at]);
    if (c < 0x20 || c == 0x7f) {
      title += '?';
      ++at;
    } else if (c < 0x80) {
      title += static_cast<char>(c);
      ++at;
    } else if (std::size_t length = Utf8Length(raw, at)) {
      title.append(raw, at, length);
      at += length;
    } else {  // a byte of an 8-bit code page: read as Latin-1, the text's default
      title += static_cast<char>(0xc0 | (c >> 6));
      title += static_cast<char>(0x80 | (c & 0x3f));
      ++at;
    }
  }
  return title;
}

}  // namespace

std::string JobTitle(const std::string& team, const std::string& fileName) { return TitleText(team + ": " + fileName); }

TCupsSubmission SubmitToQueue(const TCupsQueue& queue, const std::string& title, const std::string& path) {
  TCupsSubmission submission;
  if (!IsValidQueueName(queue.name)) {
    submission.error = "not a queue name: " + queue.name;
    return submission;
  }
  if (path.empty() || path[0] != '/') {
    submission.error = "not an absolute path: " + path;
    return submission;
  }
  TChildCommand command = ClientCommand(queue, {"lp", "-d", queue.name, "-t", TitleText(title), path});
  TChildResult result = RunChild(command);
  // "request id is QUEUE-123 (1 file(s))"; the queue's name may hold "-" itself.
  std::size_t at = result.output.find("request id is ");
  if (!result.Succeeded() || at == std::string::npos) {
    submission.error = Failure(command, result);
    return submission;
  }
  std::size_t end = result.output.find_first_of(" \n", at + 14);
  std::string requestId = result.output.substr(at + 14, end == std::string::npos ? std::string::npos : end - at - 14);
  std::size_t dash = requestId.rfind('-');
  if (dash != std::string::npos) submission.jobId = std::strtoll(requestId.c_str() + dash + 1, nullptr, 10);
  if (submission.jobId <= 0) submission.error = "lp gave no job number: " + result.output;
  return submission;
}

TCupsJobStatus QueryOutcome(const TCupsQueue& queue, std::int64_t jobId) {
  TCupsJobStatus status;
  TChildCommand command = ClientCommand(queue, {"ipptool", "-t", "-v", JobUri(queue, jobId), "get-job-attributes.test"});
  TChildResult result = RunChild(command);
  std::string state = AttributeValue(result.output, "job-state");
  if (!result.Succeeded() || state.empty()) {
    status.error = Failure(command, result);
    return status;
  }
  status.state = StateNamed(state);
  status.pagesPrinted = std::strtoll(AttributeValue(result.output, "job-impressions-completed").c_str(), nullptr, 10);
  return status;
}

}  // namespace lumarix::printserver
