#include "client/line_reader.h"

#include "LumarixVIO.h"
#include "client/output.h"

namespace lumarix {

void ReadConsoleLine(std::string& line) {
  line.clear();
  for (;;) {
    WaitForInput(-1);
    std::int32_t key = ReadKey();
    if (key == kKeyBackspace) {
      if (line.empty()) continue;
      line.pop_back();
      Show("\b \b");
    } else if (key == kKeyEnter) {
      Show(kLineEnd);
      return;
    } else if (key >= 32 && key <= 255) {
      char c = static_cast<char>(key);
      line.push_back(c);
      Show(std::string_view(&c, 1));
    }
  }
}

}  // namespace lumarix
