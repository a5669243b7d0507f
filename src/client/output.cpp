#include "client/output.h"

#include <cstdio>

#include "LumarixUtil.h"
#include "platform/winapi.h"

namespace lumarix {

// Straight to the handle: the C stream in text mode would turn every LF into CR LF on Windows.
void Show(std::string_view text) {
  std::fflush(stdout);  // what other modules wrote through the C stream comes first
  WriteText(text, GetStdHandle(STD_OUTPUT_HANDLE));
}

void ShowLine(std::string_view text) {
  Show(text);
  Show(kLineEnd);
}

}  // namespace lumarix
