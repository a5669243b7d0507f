// The print client's output: its texts go to standard output byte for byte, with the platform's
// line end written by the client itself.
#pragma once

#include <string_view>

namespace lumarix {

#if defined(_WIN32)
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// Writes `text` at once, nothing converted: a reply text with its own LF or CR LF arrives as
// the server sent it.
void Show(std::string_view text);
// `text` and a line end.
void ShowLine(std::string_view text = {});

}  // namespace lumarix
