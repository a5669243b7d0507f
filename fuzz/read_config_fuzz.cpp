// Fuzzes the configuration reader with arbitrary team files, includes of themselves among
// them: whatever the bytes, a reading ends with a bounded table or with the stop for too many
// files, and lookups stay sound.
//
// The stop ends the process through Halt; here a module of the fuzzer's own is the first to be
// shut down, and it throws, so that the run goes on with the next input instead.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "ureadcfg/userreadcfg.h"

namespace {

struct ProcessEndCaught {};

bool reading = false;  // only a process end during a reading is caught

void CatchProcessEnd() {
  if (reading) throw ProcessEndCaught{};
}
const lumarix::TModule kCatcher{nullptr, CatchProcessEnd};

std::filesystem::path ContestDirectory() {
  static const std::filesystem::path dir = [] {
    auto path = std::filesystem::temp_directory_path() / ("lumarix-cfg-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    ::setenv("CTDIR", path.c_str(), 1);
    ::unsetenv("TEAM");
    std::freopen("/dev/null", "w", stdout);  // the stop's message, once per such input
    return path;
  }();
  return dir;
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Includes stay inside the contest directory: a path elsewhere could name a device that never
// ends, which tells nothing about the reader.
bool NamesAPath(std::string_view text) {
  return text.find('/') != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (NamesAPath(text)) return 0;
  const auto dir = ContestDirectory();
  WriteFile(dir / "server.dat", text);
  WriteFile(dir / "other.cfg", "TEAM=other\nINCLUDE=server.dat\n");
  lumarix::StartModules({&kCatcher});
  reading = true;
  try {
    lumarix::ReadUserConfig(false);
  } catch (const ProcessEndCaught&) {
  }
  reading = false;
  lumarix::StopModules();
  if (lumarix::CfgValue("TEAM").size() > lumarix::kMaxCfgValueLength) std::abort();
  if (!lumarix::CfgValue("INCLUDE").empty()) std::abort();
  lumarix::UserReadCfgModule.Shutdown();
  return 0;
}
