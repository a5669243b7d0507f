#include "ureadcfg/userreadcfg.h"

#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "LumarixUtil.h"
#include "platform/winapi.h"

namespace lumarix {

bool StrictConfig = false;
std::string CtDir;
std::string TeamName;
std::string TeamFile;

namespace {

constexpr const char* kUnknownFile = "<unknown>";
constexpr DWORD kEnvironmentBuffer = 4096;
// Normal, read-only, hidden, system and archive files; never directories.
constexpr DWORD kTeamFileAttributes = 39;
// A description file is a few short lines: a small buffer reads it in one go, while a large one
// would be cleared (and its memory taken and given back) for some forty bytes.
constexpr std::size_t kReadChunk = 4096;
// A key longer than this is no key anybody can look up; its line is ignored, so that a file
// of one endless line cannot take all the memory.
constexpr std::size_t kMaxKeyLength = 1u << 20;
constexpr std::uint32_t kMaxCtDirFileRead = 65536;

std::vector<std::pair<std::string, std::string>> keys;
int fileCount = 0;

[[noreturn]] void Fatal(const char* message) {
  std::printf("%s\n", message);
  Halt(kConfigExitCode);
}

void FatalInStrictMode(const char* message) {
  if (StrictConfig) Fatal(message);
}

std::string Environment(const char* name) {
  std::string value(kEnvironmentBuffer, '\0');
  for (;;) {
    DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {  // it fitted (0: unset or empty)
      value.resize(length);
      return value;
    }
    value.assign(length, '\0');  // longer values are taken whole
  }
}

std::string Joined(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.back() == kPathSeparator) return directory + name;
  return directory + kPathSeparator + name;
}

std::string ProgramDirectory() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size() || path.size() >= 32768) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::size_t separator = path.find_last_of(kPathSeparator);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

// The attribute rule of a search with attribute set `wanted`: directories, hidden and system
// files only when asked for.
bool Accepted(DWORD attributes, DWORD wanted) {
  constexpr DWORD special = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return (attributes & special & ~wanted) == 0;
}

// Steps a search to its next accepted entry; false when there is none.
bool NextAccepted(HANDLE search, WIN32_FIND_DATAA& found) {
  while (FindNextFileA(search, &found)) {
    if (Accepted(found.dwFileAttributes, kTeamFileAttributes)) return true;
  }
  return false;
}

bool FirstAccepted(const std::string& pattern, HANDLE& search, WIN32_FIND_DATAA& found) {
  search = FindFirstFileA(pattern.c_str(), &found);
  if (IsBadHandle(search)) return false;
  return Accepted(found.dwFileAttributes, kTeamFileAttributes) || NextAccepted(search, found);
}

bool FindTeamFile() {
  TeamFile = kUnknownFile;
  HANDLE search = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA found{};
  bool first = FirstAccepted(Joined(CtDir, TeamName + "*.dat"), search, found);
  bool second = first && NextAccepted(search, found);
  if (!IsBadHandle(search)) FindClose(search);
  if (!first) {
    FatalInStrictMode("**fatal**: team description file not found");
    return false;
  }
  if (second) {
    FatalInStrictMode("**fatal**: more than one team description file found");
    return false;
  }
  TeamFile = Joined(CtDir, found.cFileName);
  return true;
}

void ReadCtDirFile() {
  std::string text;
  if (!ReadFileText(ProgramDirectory() + "ctdir.txt", kMaxCtDirFileRead, false, text)) {
    FatalInStrictMode("***fatal***: No contest found.");
    return;
  }
  std::string_view line(text);
  line = line.substr(0, line.find_first_of(std::string_view("\n\x1a", 2)));
  if (!line.empty() && line.back() == '\r' && line.size() < text.size() && text[line.size()] == '\n') {
    line.remove_suffix(1);
  }
  CtDir = std::string(line);
}

bool FindContest() {
  CtDir = Environment("CTDIR");
  if (CtDir.empty()) ReadCtDirFile();
  if (FindTeamFile()) return true;
  if (CtDir.empty()) CtDir = ProgramDirectory();
  if (FindTeamFile()) return true;
  CtDir = ".";
  return FindTeamFile();
}

std::string UpperCaseKey(std::string key) {
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

void ReadCfgFile(std::string name);

// One line of a configuration file, built as its bytes arrive. Only the first
// kMaxCfgValueLength characters of a value are kept.
class CfgLine {
 public:
  void Add(std::string_view bytes) {
    for (char c : bytes) {
      if (!split_) {
        if (c == '=') {
          split_ = true;
        } else if (key_.size() <= kMaxKeyLength) {
          key_.push_back(c);
        }
      } else if (value_.size() <= kMaxCfgValueLength) {
        value_.push_back(c);  // one past the limit, so that a CR of the line end can be told
      }
      last_ = c;
    }
  }

  // Ends the line; `atLineFeed` when a LF ended it, so that a CR before the LF is no part of it.
  void Finish(bool atLineFeed) {
    if (atLineFeed && last_ == '\r' && split_ && !value_.empty() && value_.size() <= kMaxCfgValueLength) {
      value_.pop_back();  // a line without '=' is ignored whole
    }
    if (value_.size() > kMaxCfgValueLength) value_.resize(kMaxCfgValueLength);
    Apply();
    *this = CfgLine{};
  }

 private:
  void Apply() {
    if (!split_ || key_.empty() || key_[0] == '#' || key_.size() > kMaxKeyLength) return;
    std::string key = UpperCaseKey(std::move(key_));
    if (key == "INCLUDE") {
      if (!value_.empty()) ReadCfgFile(std::move(value_));
      return;
    }
    SetCfgValue(key, value_);
  }

  std::string key_;
  std::string value_;
  bool split_ = false;
  char last_ = '\0';
};

// Applies the line rules to every line of an open file; a Ctrl+Z ends the file.
void ReadLines(HANDLE file) {
  std::string chunk(kReadChunk, '\0');
  CfgLine line;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) || got == 0) break;
    std::string_view bytes(chunk.data(), got);
    while (!bytes.empty()) {
      std::size_t end = bytes.find_first_of(std::string_view("\n\x1a", 2));
      line.Add(bytes.substr(0, end));
      if (end == std::string_view::npos) break;
      if (bytes[end] == '\x1a') {
        line.Finish(false);
        return;
      }
      line.Finish(true);
      bytes.remove_prefix(end + 1);
    }
  }
  line.Finish(false);
}

void ReadCfgFile(std::string name) {
  if (fileCount == kMaxCfgFiles) Fatal("**fatal**: too complicated configuration files");
  ++fileCount;
  if (name.find(kPathSeparator) == std::string::npos) name = Joined(CtDir, name);
  HANDLE file = OpenForRead(name);
  if (IsBadHandle(file)) {
    FatalInStrictMode("**fatal**: error reading local configuration file");
    return;
  }
  // Closed however the reading ends.
  struct Closer {
    HANDLE file;
    ~Closer() { CloseFileHandle(file); }
  } closer{file};
  ReadLines(file);
}

void ReleaseConfiguration() {
  keys.clear();
  keys.shrink_to_fit();
  fileCount = 0;
  StrictConfig = false;
  CtDir.clear();
  TeamName.clear();
  TeamFile.clear();
}

}  // namespace

const TModule UserReadCfgModule{nullptr, ReleaseConfiguration};

std::string CfgValue(const std::string& name) {
  for (const auto& [key, value] : keys) {
    if (key == name) return value;
  }
  return {};
}

void SetCfgValue(const std::string& key, const std::string& value) {
  for (auto& entry : keys) {
    if (entry.first == key) {
      entry.second = value;
      return;
    }
  }
  if (value.empty() || keys.size() >= static_cast<std::size_t>(kMaxCfgKeys)) return;
  keys.emplace_back(key, value);
}

void ReadUserConfig(bool strict) {
  StrictConfig = strict;
  TeamName = "server";
  if (!FindContest()) {
    TeamName = Environment("TEAM");
    if (!FindContest()) return;
  }
  keys.clear();
  fileCount = 0;
  ReadCfgFile(TeamFile);
  if (TeamName.empty() || TeamName == "server") TeamName = CfgValue("TEAM");
  if (!TeamName.empty() && TeamName == CfgValue("TEAM")) return;
  FatalInStrictMode("**fatal**: invalid local configuration file");
}

}  // namespace lumarix
