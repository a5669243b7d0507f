#include "client/line_reader.h"

#include <cstdio>

#include "LumarixVIO.h"

namespace lumarix {
namespace {

void Echo(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

}  // namespace

void ReadConsoleLine(std::string& line) {
  line.clear();
  for (;;) {
    WaitForInput(-1);
    std::int32_t key = ReadKey();
    if (key == 8) {
      if (line.empty()) continue;
      line.pop_back();
      Echo("\b \b", 3);
    } else if (key == 13) {
      Echo("\n", 1);
      return;
    } else if (key >= 32 && key <= 255) {
      char c = static_cast<char>(key);
      line.push_back(c);
      Echo(&c, 1);
    }
  }
}

}  // namespace lumarix
