#include <bit>
#include <cstdint>
#include <cstring>

#include "message/escape.h"

namespace lumarix::escape::portable {

namespace {

constexpr char kEscape = 0x18;

// Eight bytes at a time: a word whose bytes have their high bit set exactly where the byte is
// below 0x20 or equal to 0x7F. Each byte is computed on its own seven low bits, so no carry or
// borrow crosses from one byte into the next.
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

std::uint64_t EscapeMask(std::uint64_t word) {
  std::uint64_t atLeast20 = (word & kLow7) + 0x6060606060606060ull;  // high bit: low 7 bits >= 0x20
  std::uint64_t below20 = ~(atLeast20 | word) & kHigh;
  std::uint64_t diff = word ^ kLow7;                                  // zero byte where byte == 0x7F
  std::uint64_t is7F = ~(((diff & kLow7) + kLow7) | diff) & kHigh;
  return below20 | is7F;
}

std::uint64_t LoadWord(const unsigned char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

void StoreWord(char* at, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::memcpy(at, &word, sizeof word);
}

void WriteEscapedByte(unsigned char byte, char*& out) {
  *out++ = kEscape;
  *out++ = static_cast<char>(byte ^ 0x40);
}

}  // namespace

// Plain bytes move a word at a time: the whole word is stored and the output advances by its
// plain prefix.
char* WriteEscaped(std::string_view bytes, char* out) {
  auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = at + bytes.size();
  while (end - at >= 8) {
    std::uint64_t word = LoadWord(at);
    std::uint64_t mask = EscapeMask(word);
    StoreWord(out, word);
    if (mask == 0) {
      out += 8;
      at += 8;
      continue;
    }
    int plain = std::countr_zero(mask) / 8;
    out += plain;
    at += plain;
    WriteEscapedByte(*at++, out);
  }
  for (; at < end; ++at) {
    if (NeedsEscape(*at)) {
      WriteEscapedByte(*at, out);
    } else {
      *out++ = static_cast<char>(*at);
    }
  }
  return out;
}

char* Unescape(std::string_view raw, char* out) {
  const char* at = raw.data();
  const char* end = at + raw.size();
  while (at < end) {
    auto* escape = static_cast<const char*>(std::memchr(at, kEscape, static_cast<std::size_t>(end - at)));
    if (escape == nullptr) escape = end;
    std::memcpy(out, at, static_cast<std::size_t>(escape - at));
    out += escape - at;
    if (escape == end) break;
    if (escape + 1 == end) return nullptr;
    auto escaped = static_cast<unsigned char>(escape[1]);
    if (escaped < 0x20) return nullptr;
    *out++ = static_cast<char>(escaped ^ 0x40);
    at = escape + 2;
  }
  return out;
}

}  // namespace lumarix::escape::portable
