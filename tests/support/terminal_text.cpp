#include "support/terminal_text.h"

#include <cstdlib>

namespace lumarix::testing {
namespace {

constexpr char kEsc = '\x1b';

// The length of the escape sequence at the start of `text`; 0 when it is cut off.
std::size_t SequenceLength(std::string_view text, char& final, int& count) {
  if (text.size() < 2) return 0;
  if (text[1] == '[') {  // CSI: parameter bytes, intermediate bytes, one final byte
    std::size_t end = 2;
    while (end < text.size() && text[end] >= 0x20 && text[end] <= 0x3F) ++end;
    if (end == text.size()) return 0;
    final = text[end];
    count = std::atoi(std::string(text.substr(2, end - 2)).c_str());
    return end + 1;
  }
  final = 0;
  if (text[1] == ']') {  // OSC, ended by BEL or ESC backslash
    std::size_t bell = text.find('\a', 2);
    std::size_t st = text.find("\x1b\\", 2);
    if (bell == std::string_view::npos && st == std::string_view::npos) return 0;
    return bell < st ? bell + 1 : st + 2;
  }
  return 2;
}

}  // namespace

std::string VisibleText(std::string_view written) {
  std::string text;  // the finished lines
  std::string line;
  std::size_t column = 0;
  auto padTo = [&](std::size_t width) {
    if (line.size() < width) line.resize(width, ' ');
  };
  for (std::size_t at = 0; at < written.size();) {
    char c = written[at];
    if (c == kEsc) {
      char final = 0;
      int count = 0;
      std::size_t length = SequenceLength(written.substr(at), final, count);
      if (length == 0) break;
      if (final == 'C') {
        column += count > 0 ? static_cast<std::size_t>(count) : 1;
        padTo(column);
      } else if (final == 'K') {
        if (line.size() > column) line.resize(column);
      }
      at += length;
      continue;
    }
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      text += line + "\n";
      line.clear();
      column = 0;
    } else if (c == '\b') {
      if (column > 0) --column;
    } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
      padTo(column);
      if (column < line.size()) {
        line[column] = c;
      } else {
        line += c;
      }
      ++column;
    }
    ++at;
  }
  return text + line;
}

}  // namespace lumarix::testing
