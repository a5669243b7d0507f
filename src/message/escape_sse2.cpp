// The SSE2 path. SSE2 has no byte shuffle, so a block with escapes is expanded or compacted by
// copying its runs between escapes with unaligned 16-byte loads and stores, one step per escape:
// the position of the next escape comes from the block's comparison mask, and a step without an
// escape left copies the rest of the block. Each block takes the same three steps whether or not
// it has escapes, so the common blocks (none, one or two escapes) pass without a branch that
// depends on the data; only a block with more escapes loops.
//
// The loads read up to 17 bytes past the block, so the blocks stop 33 bytes before the end of
// the input and the portable path does the rest.
#include <emmintrin.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "message/escape.h"

#if defined(LUMARIX_ESCAPE_SSE2)

namespace lumarix::escape::sse2 {

namespace {

constexpr int kBlock = 16;
constexpr int kUnrolledSteps = 3;
// What the blocks may read past their start: the steps past the last escape load from up to
// byte 16 + kUnrolledSteps on, 16 bytes each.
constexpr std::ptrdiff_t kInputSlack = 48;
constexpr unsigned char kEscape = 0x18;

__m128i Load(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
void Store(char* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); }
unsigned Bits(__m128i lanes) { return static_cast<unsigned>(_mm_movemask_epi8(lanes)); }

__m128i BelowSpace(__m128i bytes) { return _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes); }

__m128i NeedsEscapeLanes(__m128i bytes) {
  return _mm_or_si128(BelowSpace(bytes), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x7F)));
}

// ---- Escaping -------------------------------------------------------------------------------

constexpr auto kEscapePairs = [] {
  std::array<std::uint16_t, 256> pairs{};
  for (unsigned byte = 0; byte < 256; ++byte) pairs[byte] = static_cast<std::uint16_t>(kEscape | (byte ^ 0x40) << 8);
  return pairs;
}();

constexpr auto kBitCounts = [] {
  std::array<unsigned char, 256> counts{};
  for (unsigned bits = 0; bits < 256; ++bits) counts[bits] = static_cast<unsigned char>(std::popcount(bits));
  return counts;
}();

unsigned BitCount16(unsigned bits) { return kBitCounts[bits & 0xFF] + kBitCounts[bits >> 8]; }

// One 16-byte block. Step k copies the run before the block's k-th escape and writes the escape
// pair; the output of input byte p lands at out + p + (escapes before p), so the steps do not
// wait for one another. Past the last escape, sentinel bits from bit 16 on make the next step
// copy the rest of the block and the following ones write only past the block's end, where the
// next writer overwrites them.
struct EscapeBlock {
  const char* in;
  char* out;
  std::uint64_t escapes;  // bit p: byte p needs escaping; every bit from 16 on is set
  unsigned pos = 0;       // the first byte of the block not yet written

  void Step(unsigned k) {
    auto next = static_cast<unsigned>(__builtin_ctzll(escapes));
    Store(out + k + pos, Load(in + pos));
    std::uint16_t pair = kEscapePairs[static_cast<unsigned char>(in[next])];
    std::memcpy(out + k + next, &pair, sizeof pair);  // little-endian: 0x18 first
    pos = next + 1;
    escapes &= escapes - 1;
  }
};

// Sums the escape flags in byte lanes and folds them before any lane passes 255.
std::size_t CountEscapes(const char*& at, const char* end) {
  std::size_t count = 0;
  while (end - at >= kBlock) {
    __m128i lanes = _mm_setzero_si128();
    for (int blocks = 0; blocks < 255 && end - at >= kBlock; ++blocks, at += kBlock) {
      lanes = _mm_sub_epi8(lanes, NeedsEscapeLanes(Load(at)));
    }
    __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  return count;
}

// ---- Unescaping -----------------------------------------------------------------------------

// One 16-byte block, whose first `carry` bytes the previous block's last escape took. Step k
// copies the run before the block's k-th escape and writes the byte that escape stands for; the
// output of input byte p lands at out - carry + p - (escapes before p). Sentinel bits from `stop`
// on play the part they play in EscapeBlock.
struct UnescapeBlock {
  const char* in;
  char* base;             // out - carry
  std::uint64_t escapes;  // bit p: byte p starts an escape; every bit from `stop` on is set
  unsigned pos;           // the first byte of the block not yet taken

  void Step(unsigned k) {
    auto next = static_cast<unsigned>(__builtin_ctzll(escapes));
    Store(base - k + pos, Load(in + pos));
    base[next - k] = static_cast<char>(in[next + 1] ^ 0x40);
    pos = next + 2;
    escapes &= escapes - 1;
  }
};

}  // namespace

std::size_t EscapedSize(std::string_view bytes) {
  const char* at = bytes.data();
  std::size_t count = CountEscapes(at, bytes.data() + bytes.size());
  std::string_view rest = bytes.substr(static_cast<std::size_t>(at - bytes.data()));
  return bytes.size() - rest.size() + count + portable::EscapedSize(rest);
}

char* WriteEscaped(std::string_view bytes, char* out) {
  const char* in = bytes.data();
  const char* end = in + bytes.size();
  for (; end - in >= kInputSlack; in += kBlock) {
    unsigned escapes = Bits(NeedsEscapeLanes(Load(in)));
    unsigned count = BitCount16(escapes);
    EscapeBlock block{in, out, escapes | (~std::uint64_t{0} << kBlock)};
    block.Step(0);
    block.Step(1);
    block.Step(2);
    for (unsigned k = 3; k <= count; ++k) block.Step(k);
    out += kBlock + count;
  }
  return portable::WriteEscaped({in, static_cast<std::size_t>(end - in)}, out);
}

char* Unescape(std::string_view raw, char* out) {
  const char* in = raw.data();
  const char* end = in + raw.size();
  unsigned carry = 0;            // 1 when the previous block's last escape took this block's first byte
  unsigned previousLast = 0;     // 1 when the previous block's last byte is an 0x18
  __m128i bad = _mm_setzero_si128();
  for (; end - in >= kInputSlack; in += kBlock) {
    __m128i bytes = Load(in);
    __m128i escapeLanes = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(kEscape)));
    // An escape followed by a byte below 0x20; the byte after the block's last is loaded too.
    bad = _mm_or_si128(bad, _mm_and_si128(escapeLanes, BelowSpace(Load(in + 1))));
    // In a valid text the byte an escape takes is never 0x18, so every 0x18 starts an escape.
    // An 0x18 right after another is a bad text already; dropping it keeps every step moving
    // forward, so that even a bad text is written inside the output. The mask and the carry
    // come from the bytes alone, so the blocks do not wait for one another.
    unsigned raw = Bits(escapeLanes);
    unsigned escapes = raw & ~((raw << 1) | previousLast);
    previousLast = raw >> (kBlock - 1);
    unsigned count = BitCount16(escapes);
    unsigned nextCarry = escapes >> (kBlock - 1);
    unsigned stop = kBlock + nextCarry;
    UnescapeBlock block{in, out - carry, escapes | (~std::uint64_t{0} << stop), carry};
    block.Step(0);
    block.Step(1);
    block.Step(2);
    for (unsigned k = 3; k <= count; ++k) block.Step(k);
    out += stop - carry - count;
    carry = nextCarry;
  }
  if (Bits(bad) != 0) return nullptr;
  return portable::Unescape({in + carry, static_cast<std::size_t>(end - in - carry)}, out);
}

}  // namespace lumarix::escape::sse2

#endif
