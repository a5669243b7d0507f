// ParseMsg on arbitrary bytes: no crash, no leak, and every text that parses encodes to a text
// that parses to the same parts. The one message that cannot come back whole is one holding a
// part "+++" with an empty value (decoded from a token "+++="): encoded, that part is the
// terminator, so the parts before it are all that return.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "LumarixSocketStr.h"

namespace {

bool IsEndToken(const lumarix::TMessagePart* part) { return part->name == "+++" && part->value.empty(); }

// The parts of `decoded` up to an end token, against `again`.
bool SameParts(const lumarix::TMessagePart* decoded, const lumarix::TMessagePart* again) {
  for (; decoded && !IsEndToken(decoded) && again; decoded = decoded->next, again = again->next) {
    if (decoded->name != again->name || decoded->value != again->value) return false;
  }
  return (decoded == nullptr || IsEndToken(decoded)) && again == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
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
