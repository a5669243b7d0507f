#include "client/output.h"

#include <cstdio>
#include <string>

#include "LumarixUtil.h"
#include "platform/winapi.h"

namespace lumarix {

// Straight to the handle: the C stream in text mode would turn every LF into CR LF on Windows.
void Show(std::string_view text) {
  std::fflush(stdout);  // what other modules wrote through the C stream comes first
  WriteText(text, GetStdHandle(STD_OUTPUT_HANDLE));
}

// One write for the line and its end: a terminal then takes the whole line at once.
void ShowLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + kLineEnd.size());
  line.append(text).append(kLineEnd);
  Show(line);
}

}  // namespace lumarix
