// Internal to the message codec: the escaping of token bytes. A byte below 0x20 or 0x7F travels
// as 0x18 followed by the byte XOR 0x40; every other byte stands for itself.
//
// Two paths give the same bytes: a portable one, a 64-bit word at a time, and an SSE2 one, 32
// bytes at a time, which the codec uses wherever the compiler targets SSE2. Both stay callable
// so that they can be checked against each other.
#pragma once

#include <cstddef>
#include <string_view>

namespace lumarix::escape {

// Room that every writer below may use past the end of its result: whole words and vectors are
// stored and the output advances by the part of them that counts.
inline constexpr std::size_t kOutputSlack = 32;

constexpr bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// The most that `size` bytes can take once escaped: every byte escaped. Room of this size (and
// kOutputSlack) lets a text be escaped in one pass, without counting its escapes first.
constexpr std::size_t MostEscapedSize(std::size_t size) { return 2 * size; }

namespace portable {
// Writes `bytes` escaped at `out`, which holds their escaped size + kOutputSlack bytes, and
// returns the end of what it wrote.
char* WriteEscaped(std::string_view bytes, char* out);
// Writes the bytes that `raw` stands for at `out`, which holds raw.size() + kOutputSlack bytes,
// and returns the end; nullptr when an 0x18 is followed by a byte below 0x20 or by nothing.
char* Unescape(std::string_view raw, char* out);
}  // namespace portable

#if defined(__SSE2__)
#define LUMARIX_ESCAPE_SSE2 1
namespace sse2 {
char* WriteEscaped(std::string_view bytes, char* out);
char* Unescape(std::string_view raw, char* out);
}  // namespace sse2
namespace fastest = sse2;
#else
namespace fastest = portable;
#endif

}  // namespace lumarix::escape
