#include "LumarixSocketStr.h"

#include <cstring>
#include <optional>

#include "message/escape.h"

namespace lumarix {

const TModule LumarixSocketStrModule{nullptr, nullptr};

namespace {

constexpr char kHeader[] = {'\0', '-', '-', '-', '\0'};
constexpr char kTerminator[] = {'+', '+', '+', '\0'};
constexpr char kEscape = 0x18;
constexpr std::string_view kEndToken = "+++";

namespace path = escape::fastest;

// Fills `text` by `write`, which is given room for `room` bytes and returns the end of what it
// wrote. The room is not filled first: the codec writes every byte that counts, and zeroing half
// a megabyte first would cost a fifth of the encoding's time.
template <class Write>
void WriteInto(std::string& text, std::size_t room, Write write) {
  text.resize_and_overwrite(room, [&write](char* out, std::size_t) { return static_cast<std::size_t>(write(out) - out); });
}

// The most room a part's token can take: its name and value all escaped, the "=" and the 00.
std::size_t MostTokenSize(const TMessagePart& part) {
  return escape::MostEscapedSize(part.name.size()) + 1 + escape::MostEscapedSize(part.value.size()) + 1;
}

// Where a raw token splits into name and value: at its first "=" once unescaped, which is either
// a plain "=" or an escape 0x18 0x7D. Returns the end of the name and the start of the value, or
// nothing. In a valid token every 0x18 starts an escape (the byte it takes is 0x20 or above), so
// a plain "=" right after an 0x18 is an escaped byte and not the split. A bad token may split
// anywhere: the unescaping of its parts fails all the same.
struct Split {
  std::size_t nameEnd;
  std::size_t valueStart;
};

std::optional<Split> FindSplit(std::string_view raw) {
  std::size_t from = 0;
  while (true) {
    std::size_t equals = raw.find('=', from);
    std::size_t searchEnd = equals == std::string_view::npos ? raw.size() : equals;
    for (std::size_t escape = raw.find(kEscape, from); escape < searchEnd; escape = raw.find(kEscape, escape + 1)) {
      if (escape + 1 < raw.size() && raw[escape + 1] == ('=' ^ 0x40)) return Split{escape, escape + 2};
    }
    if (equals == std::string_view::npos) return std::nullopt;
    if (equals == 0 || raw[equals - 1] != kEscape) return Split{equals, equals + 1};
    from = equals + 1;
  }
}

bool UnescapeInto(std::string_view raw, std::string& bytes) {
  bool good = true;
  WriteInto(bytes, raw.size() + escape::kOutputSlack, [raw, &good](char* out) {
    char* end = path::Unescape(raw, out);
    good = end != nullptr;
    return good ? end : out;
  });
  return good;
}

// The part a raw token stands for; nil when it is bad. `isEnd` tells the end token "+++".
TMessagePart* PartFromToken(std::string_view raw, bool& isEnd) {
  auto* part = new TMessagePart;
  std::optional<Split> split = FindSplit(raw);
  bool good = split ? UnescapeInto(raw.substr(0, split->nameEnd), part->name) &&
                          UnescapeInto(raw.substr(split->valueStart), part->value)
                    : UnescapeInto(raw, part->name);
  if (!good) {
    delete part;
    return nullptr;
  }
  isEnd = !split && part->name == kEndToken;
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
  // Room for the most the parts can take, so that each value is escaped in one pass: counting
  // its escapes first would read it twice, a fifth of the time. The room the text does not fill
  // is never written, so it costs address space, not memory, while the text waits to be sent.
  std::size_t room = sizeof kHeader + sizeof kTerminator + escape::kOutputSlack;
  for (const TMessagePart* part = head; part; part = part->next) room += MostTokenSize(*part);

  std::string text;
  WriteInto(text, room, [head](char* out) {
    std::memcpy(out, kHeader, sizeof kHeader);
    out += sizeof kHeader;
    for (const TMessagePart* part = head; part; part = part->next) {
      out = path::WriteEscaped(part->name, out);
      if (!part->value.empty()) {
        *out++ = '=';
        out = path::WriteEscaped(part->value, out);
      }
      *out++ = '\0';
    }
    std::memcpy(out, kTerminator, sizeof kTerminator);
    return out + sizeof kTerminator;
  });
  return text;
}

TMessagePart* ParseMsg(std::string_view text) {
  if (text.size() < sizeof kHeader || std::memcmp(text.data(), kHeader, sizeof kHeader) != 0) return nullptr;
  TMessagePart* head = nullptr;
  TMessagePart** tail = &head;
  std::size_t at = sizeof kHeader;
  // Every way out of this loop but the end token is a malformed text.
  while (at < text.size()) {
    auto* zero = static_cast<const char*>(std::memchr(text.data() + at, '\0', text.size() - at));
    if (zero == nullptr) break;  // the text ends inside a token
    std::size_t size = static_cast<std::size_t>(zero - text.data()) - at;
    bool isEnd = false;
    TMessagePart* part = PartFromToken(text.substr(at, size), isEnd);
    if (part == nullptr) break;
    if (isEnd) {
      delete part;
      return head;
    }
    *tail = part;
    tail = &part->next;
    at += size + 1;
  }
  FreeMsg(head);
  return nullptr;
}

}  // namespace lumarix
