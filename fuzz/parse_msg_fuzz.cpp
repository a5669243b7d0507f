// ParseMsg on arbitrary bytes: no crash, no leak, and every text that parses encodes to a text
// that parses to the same parts. The one message that cannot come back whole is one holding a
// part "+++" with an empty value (decoded from a token "+++="): encoded, that part is the
// terminator, so the parts before it are all that return.
//
// The vector and the portable escaping paths also meet the input, at every alignment, both as a
// raw token to unescape and as bytes to escape, and give the same results.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "LumarixSocketStr.h"
#include "message/escape.h"

namespace {

bool IsEndToken(const lumarix::TMessagePart* part) { return part->name == "+++" && part->value.empty(); }

// The parts of `decoded` up to an end token, against `again`.
bool SameParts(const lumarix::TMessagePart* decoded, const lumarix::TMessagePart* again) {
  for (; decoded && !IsEndToken(decoded) && again; decoded = decoded->next, again = again->next) {
    if (decoded->name != again->name || decoded->value != again->value) return false;
  }
  return (decoded == nullptr || IsEndToken(decoded)) && again == nullptr;
}

#if defined(LUMARIX_ESCAPE_SSE2)
namespace escape = lumarix::escape;

template <class Unescape>
std::optional<std::string> Unescaped(std::string_view raw, Unescape unescape) {
  auto out = std::make_unique<char[]>(raw.size() + escape::kOutputSlack);
  char* end = unescape(raw, out.get());
  if (end == nullptr) return std::nullopt;
  return std::string(out.get(), end);
}

template <class Write>
std::string Escaped(std::string_view bytes, std::size_t size, Write write) {
  auto out = std::make_unique<char[]>(size + escape::kOutputSlack);
  char* end = write(bytes, out.get());
  if (static_cast<std::size_t>(end - out.get()) != size) std::abort();
  return std::string(out.get(), end);
}

// The input placed `offset` bytes into an allocation that ends where it ends, so that a read
// past the end is caught.
void CheckPathsAgree(std::string_view input) {
  for (std::size_t offset = 0; offset < 16; ++offset) {
    auto storage = std::make_unique<char[]>(offset + input.size());
    std::copy(input.begin(), input.end(), storage.get() + offset);
    std::string_view bytes(storage.get() + offset, input.size());
    if (Unescaped(bytes, escape::sse2::Unescape) != Unescaped(bytes, escape::portable::Unescape)) std::abort();
    const std::size_t size =
        bytes.size() + static_cast<std::size_t>(std::count_if(bytes.begin(), bytes.end(), [](char byte) {
          return escape::NeedsEscape(static_cast<unsigned char>(byte));
        }));
    if (Escaped(bytes, size, escape::sse2::WriteEscaped) != Escaped(bytes, size, escape::portable::WriteEscaped)) {
      std::abort();
    }
  }
}
#else
void CheckPathsAgree(std::string_view) {}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckPathsAgree(text);
  lumarix::TMessagePart* parts = lumarix::ParseMsg(text);
  if (parts == nullptr) return 0;
  for (const auto* part = parts; part; part = part->next) {
    if (part->name.find('=') != std::string::npos) std::abort();
  }
  lumarix::TMessagePart* again = lumarix::ParseMsg(lumarix::GatherMsg(parts));
  if (!SameParts(parts, again)) std::abort();
  lumarix::FreeMsg(parts);
  lumarix::FreeMsg(again);
  return 0;
}
