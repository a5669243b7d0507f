#include "client/print_client.h"

#include "LumarixSocket.h"
#include "LumarixSocketStr.h"
#include "LumarixUtil.h"
#include "LumarixVIO.h"
#include "client/line_reader.h"
#include "client/output.h"
#include "client/request_id.h"
#include "platform/winapi.h"
#include "ureadcfg/userreadcfg.h"

namespace lumarix {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;

std::string ReadLine() {
  std::string line;
  ReadConsoleLine(line);
  return line;
}

// Key by key, nothing echoed; Backspace takes back the last character.
std::string ReadPassword() {
  std::string password;
  for (;;) {
    WaitForInput(-1);
    std::int32_t key = ReadKey();
    if (key == kKeyEnter) break;
    if (key == kKeyBackspace) {
      if (!password.empty()) password.pop_back();
    } else if (key >= 32 && key <= 255) {
      password.push_back(static_cast<char>(key));
    }
  }
  ShowLine();
  return password;
}

int FileNotFound(const std::string& fileName) {
  ShowLine();
  ShowLine("\aFile " + fileName + " could not be found");
  return kExitFailed;
}

int Cancelled() {
  ShowLine("\a**********************");
  ShowLine("* PRINTING CANCELLED *");
  ShowLine("* Your file NOT sent *");
  ShowLine("**********************");
  ShowLine("\a");
  return kExitFailed;
}

// The client could not deliver the file, so its caller must not hear success.
int ConnectionFailed() {
  ShowLine();
  ShowLine("\aFATAL: unable to connect to print server.");
  ShowLine();
  return kExitFailed;
}

// A directory search must find the path as a file: read-only, hidden and system files count,
// directories do not.
bool FoundAsFile(const std::string& fileName) {
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA(fileName.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool file = false;
  do {
    file = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  } while (!file && FindNextFileA(search, &found));
  FindClose(search);
  return file;
}

std::string RequestIdNow(const TLongTimeFormat& format) {
  std::uint32_t tick = GetTickCount();
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return MakeRequestId(CfgValue("TEAM"), tick, LongTimeText(format, now));
}

std::string PagesPrinted(const std::string& pages) {
  if (pages == "1") return "1 page has been printed";
  if (pages.size() <= 5) return pages + " pages have been printed";
  return "Infinity pages have been printed";
}

std::string PagesLeft(const std::string& pages) {
  if (pages == "1") return "Page limit: 1 page left";
  if (pages.size() <= 5) return "Page limit: " + pages + " pages left";
  return "Page limit: infinity pages left";
}

std::int32_t Connect() {
  std::string server = CfgValue("SERVER");
  if (!server.empty()) return ConnectByName(kPrintServerPort, 0, server);
  SelectServerFileName(CfgValue("SERVFILE"));
  return ConnectViaFile(kPrintServerPort, 0);
}

enum class ReplyOutcome { kNotOurs, kSucceeded, kFailed, kWarned };

ReplyOutcome ShowReply(const TMessagePart* reply, const std::string& requestId) {
  if (GetPart(reply, "ID") != requestId) return ReplyOutcome::kNotOurs;
  std::string message = GetPart(reply, "Message");
  if (!message.empty()) {
    ShowLine(message);
    ShowLine();
  }
  std::string jobPages = GetPart(reply, "JobPages");
  if (!jobPages.empty()) ShowLine(PagesPrinted(jobPages));
  std::string leftPages = GetPart(reply, "LeftPages");
  if (!leftPages.empty()) ShowLine(PagesLeft(leftPages));
  std::string error = GetPart(reply, "Error");
  if (!error.empty()) {
    ShowFatalError(error);
    return ReplyOutcome::kFailed;
  }
  std::string warning = GetPart(reply, "Warning");
  if (!warning.empty()) {
    ShowLine("WARNING: " + warning);
    ShowLine();
    return ReplyOutcome::kWarned;
  }
  ShowLine();
  return ReplyOutcome::kSucceeded;
}

// Shows a record if it is our reply; kNotOurs for any other message. A record of an
// unexpected type stops the process.
ReplyOutcome Handle(TUserMessage* record, const std::string& requestId) {
  if (record->type != umMessage) {
    FreeUserMessage(record);
    RunError(239);
  }
  ReplyOutcome outcome = ShowReply(record->parts, requestId);
  FreeUserMessage(record);
  return outcome;
}

// The library hands out a channel's close before the messages it received just before it, so
// a server that answers and closes at once has its answer waiting still: look there first.
ReplyOutcome ReplyAlreadyReceived(const std::string& requestId) {
  while (TUserMessage* record = WaitMessage(0)) {
    if (record->type == umClosed) {
      FreeUserMessage(record);
      continue;
    }
    ReplyOutcome outcome = Handle(record, requestId);
    if (outcome != ReplyOutcome::kNotOurs) return outcome;
  }
  return ReplyOutcome::kNotOurs;
}

// Waits for the reply that carries our ID; umClosed or the time running out end the wait.
int AwaitReply(std::int32_t channel, const std::string& requestId) {
  std::uint32_t start = GetTickCount();
  ReplyOutcome outcome = ReplyOutcome::kNotOurs;
  while (outcome == ReplyOutcome::kNotOurs && TicksSince(start) < kReplyWaitMilliseconds) {
    TUserMessage* record = WaitMessage(100);
    if (record == nullptr) continue;
    if (record->type == umClosed) {
      FreeUserMessage(record);
      outcome = ReplyAlreadyReceived(requestId);
      break;
    }
    outcome = Handle(record, requestId);
  }
  if (outcome == ReplyOutcome::kNotOurs) return ConnectionFailed();
  CloseChannelWithTimeout(channel, 2000);
  return outcome == ReplyOutcome::kFailed ? kExitFailed : kExitDone;
}

}  // namespace

std::string FirstArgument(const std::string& commandLine) {
  std::size_t at = 0;
  auto separator = [&](std::size_t i) {
    auto c = static_cast<unsigned char>(commandLine[i]);
    return c >= 1 && c <= 32;
  };
  auto next = [&]() {
    while (at < commandLine.size() && separator(at)) ++at;
    std::string argument;
    bool quoted = false;
    for (; at < commandLine.size() && (quoted || !separator(at)); ++at) {
      if (commandLine[at] == '"') {
        quoted = !quoted;
      } else {
        argument += commandLine[at];
      }
    }
    return argument;
  };
  next();  // the program itself
  return next();
}

void ShowFatalError(const std::string& text) {
  ShowLine("\aFATAL ERROR: " + text);
  ShowLine("*** Please immediately report to the jury ***");
  ShowLine("Unable to send file to the printer, exiting.");
  ShowLine("\a");
}

int PrintClientMain(const std::vector<std::string>& arguments) {
  TLongTimeFormat timeFormat = ReadLongTimeFormat();
  ReadUserConfig(false);
  InitConsoleInput();

  std::string userName = CfgValue("TEAM");
  std::string password = CfgValue("PWD");
  if (userName.empty()) {
    Show("Enter user name: ");
    userName = ReadLine();
    Show("Enter password (not echoed): ");
    password = ReadPassword();
  }

  std::string fileName;
  if (!arguments.empty()) {
    fileName = arguments[0];
  } else {
    ShowLine();
    Show("Enter source file path to print: ");
    fileName = ReadLine();
    if (!FileExists(fileName)) return FileNotFound(fileName);
  }

  ShowLine();
  ShowLine("You are printing text file " + fileName);
  ShowLine();
  Show("Are you sure (type YES in capital letters to confirm)? ");
  std::string answer = ReadLine();
  ShowLine();
  if (answer != "YES") return Cancelled();

  if (!FileExists(fileName) || !FoundAsFile(fileName)) return FileNotFound(fileName);

  std::string requestId = RequestIdNow(timeFormat);
  TMessagePart* request = nullptr;
  AddPart(request, "ID", requestId);
  AddPart(request, "Team", userName);
  AddPart(request, "Password", password);
  std::string contents;
  if (!ReadFileText(fileName, kMaxPrintFileSize, true, contents)) {
    FreeMsg(request);
    ShowLine("\aFile read error (may be file>512k)");
    return kExitFailed;
  }
  AddPart(request, "Contents", contents);
  AddPart(request, "Filename", fileName);

  std::int32_t channel = Connect();
  if (channel < 0) {
    FreeMsg(request);
    return ConnectionFailed();
  }
  SendMsg(channel, request);
  // The request lives until the process ends: given back here, its half megabyte would be
  // unmapped while the library thread sends it, and the unmapping interrupts that thread.
  return AwaitReply(channel, requestId);
}

}  // namespace lumarix
