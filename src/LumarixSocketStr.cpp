#include "LumarixSocketStr.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace lumarix {

const TModule LumarixSocketStrModule{"LumarixSocketStr", nullptr, nullptr};

namespace {

constexpr char kHeader[] = {'\0', '-', '-', '-', '\0'};
constexpr char kTerminator[] = {'+', '+', '+', '\0'};
constexpr char kEscape = 0x18;
constexpr std::string_view kEndToken = "+++";

bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

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

// Sums the escape flags in byte lanes, one count per byte position, and folds the lanes into
// 16-bit sums before any lane can pass 255.
std::size_t CountEscapes(std::string_view bytes) {
  auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = at + bytes.size();
  std::size_t count = 0;
  while (end - at >= 8) {
    std::uint64_t lanes = 0;
    for (int words = 0; words < 255 && end - at >= 8; ++words, at += 8) lanes += EscapeMask(LoadWord(at)) >> 7;
    std::uint64_t pairs = (lanes & 0x00FF00FF00FF00FFull) + ((lanes >> 8) & 0x00FF00FF00FF00FFull);
    count += static_cast<std::size_t>((pairs * 0x0001000100010001ull) >> 48);
  }
  for (; at < end; ++at) count += NeedsEscape(*at);
  return count;
}

void StoreWord(char* at, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  std::memcpy(at, &word, sizeof word);
}

void WriteEscapedByte(unsigned char byte, char*& out) {
  *out++ = kEscape;
  *out++ = static_cast<char>(byte ^ 0x40);
}

// Copies `bytes` escaped to `out` and returns the end. Plain bytes move a word at a time: the
// whole word is stored and the output advances by its plain prefix. That store never passes the
// end of an exactly sized output, since every input byte still to come takes at least one byte.
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

std::size_t EscapedSize(std::string_view bytes) { return bytes.size() + CountEscapes(bytes); }

std::size_t TokenSize(const TMessagePart& part) {
  std::size_t size = EscapedSize(part.name);
  if (!part.value.empty()) size += 1 + EscapedSize(part.value);
  return size + 1;
}

// Unescapes the token raw[0, size) into `token`; false on a bad escape (0x18 followed by a
// byte below 0x20, or by nothing).
bool DecodeToken(const char* raw, std::size_t size, std::string& token) {
  token.clear();
  token.reserve(size);
  const char* at = raw;
  const char* end = raw + size;
  while (at < end) {
    auto* escape = static_cast<const char*>(std::memchr(at, kEscape, static_cast<std::size_t>(end - at)));
    if (escape == nullptr) {
      token.append(at, end);
      break;
    }
    token.append(at, escape);
    if (escape + 1 == end) return false;
    auto escaped = static_cast<unsigned char>(escape[1]);
    if (escaped < 0x20) return false;
    token.push_back(static_cast<char>(escaped ^ 0x40));
    at = escape + 2;
  }
  return true;
}

TMessagePart* PartFromToken(std::string&& token) {
  auto* part = new TMessagePart;
  std::size_t equals = token.find('=');
  if (equals == std::string::npos) {
    part->name = std::move(token);
  } else {
    part->name.assign(token, 0, equals);
    token.erase(0, equals + 1);
    part->value = std::move(token);
  }
  return part;
}

}  // namespace

void AddPart(TMessagePart*& head, std::string_view name, std::string_view value) {
  auto* part = new TMessagePart{nullptr, std::string(name), std::string(value)};
  TMessagePart** link = &head;
  while (*link) link = &(*link)->next;
  *link = part;
}

std::string GetPart(const TMessagePart* head, std::string_view name) {
  for (const TMessagePart* part = head; part; part = part->next) {
    if (part->name == name) return part->value;
  }
  return {};
}

void FreeMsg(TMessagePart*& head) {
  TMessagePart* part = head;
  head = nullptr;
  while (part) {
    TMessagePart* next = part->next;
    part->next = nullptr;
    delete part;
    part = next;
  }
}

std::string GatherMsg(const TMessagePart* head) {
  std::size_t size = sizeof kHeader + sizeof kTerminator;
  for (const TMessagePart* part = head; part; part = part->next) size += TokenSize(*part);

  std::string text(size, '\0');
  char* out = text.data();
  std::memcpy(out, kHeader, sizeof kHeader);
  out += sizeof kHeader;
  for (const TMessagePart* part = head; part; part = part->next) {
    out = WriteEscaped(part->name, out);
    if (!part->value.empty()) {
      *out++ = '=';
      out = WriteEscaped(part->value, out);
    }
    *out++ = '\0';
  }
  std::memcpy(out, kTerminator, sizeof kTerminator);
  return text;
}

TMessagePart* ParseMsg(std::string_view text) {
  if (text.size() < sizeof kHeader || std::memcmp(text.data(), kHeader, sizeof kHeader) != 0) return nullptr;
  TMessagePart* head = nullptr;
  TMessagePart** tail = &head;
  std::string token;
  std::size_t at = sizeof kHeader;
  // Every way out of this loop but the end token is a malformed text.
  while (at < text.size()) {
    auto* zero = static_cast<const char*>(std::memchr(text.data() + at, '\0', text.size() - at));
    if (zero == nullptr) break;  // the text ends inside a token
    std::size_t size = static_cast<std::size_t>(zero - text.data()) - at;
    if (!DecodeToken(text.data() + at, size, token)) break;
    if (token == kEndToken) return head;
    *tail = PartFromToken(std::move(token));
    tail = &(*tail)->next;
    at += size + 1;
  }
  FreeMsg(head);
  return nullptr;
}

}  // namespace lumarix
