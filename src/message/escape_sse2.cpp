// The SSE2 path. SSE2 has no byte shuffle, so a block with escapes is expanded or compacted by
// copying its runs between escapes with unaligned loads and stores, one step per escape, at
// offsets that follow from the block's comparison mask alone: the steps of a block and the
// blocks themselves do not wait for one another. Every block takes the same four steps, so the
// common blocks (up to three escapes in 32 bytes) pass without a branch that depends on the
// data; only a block with more escapes loops.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "message/escape.h"

#if defined(LUMARIX_ESCAPE_SSE2)

namespace lumarix::escape::sse2 {

namespace {

constexpr int kBlock = 32;
constexpr unsigned kUnrolledSteps = 4;
// What a block may read from its start on: its steps copy 32 bytes from up to byte 36 on
// (past the last escape the sentinel bits keep moving them on).
constexpr std::ptrdiff_t kInputSlack = kBlock + kUnrolledSteps + 1 + kBlock;
constexpr unsigned char kEscape = 0x18;

__m128i Load(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
void Store(char* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); }
void Copy32(char* to, const char* from) {
  __m128i low = Load(from);
  __m128i high = Load(from + 16);
  Store(to, low);
  Store(to + 16, high);
}

struct Lanes {
  __m128i low, high;
};

Lanes Load32(const char* at) { return {Load(at), Load(at + 16)}; }

unsigned Bits(Lanes lanes) {
  return static_cast<unsigned>(_mm_movemask_epi8(lanes.low)) |
         static_cast<unsigned>(_mm_movemask_epi8(lanes.high)) << 16;
}

// The number of set lanes (all ones) of a block.
unsigned Count(Lanes lanes) {
  __m128i zero = _mm_setzero_si128();
  __m128i perByte = _mm_sub_epi8(_mm_sub_epi8(zero, lanes.low), lanes.high);
  __m128i sums = _mm_sad_epu8(perByte, zero);
  return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_srli_si128(sums, 8))));
}

__m128i BelowSpace(__m128i bytes) { return _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes); }

__m128i NeedsEscape(__m128i bytes) {
  return _mm_or_si128(BelowSpace(bytes), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x7F)));
}

Lanes NeedsEscape(Lanes bytes) { return {NeedsEscape(bytes.low), NeedsEscape(bytes.high)}; }

// ---- Escaping -------------------------------------------------------------------------------

constexpr auto kEscapePairs = [] {
  struct {
    std::uint16_t pair[256];
  } table{};
  for (unsigned byte = 0; byte < 256; ++byte) table.pair[byte] = static_cast<std::uint16_t>(kEscape | (byte ^ 0x40) << 8);
  return table;
}();

// One block. Step k copies the run before the block's k-th escape and writes the escape pair;
// input byte p goes to out + p + (escapes before p). Past the last escape, the sentinel bits
// from the block's end on make the next step copy the rest of the block, and the steps after
// it write only past the block's end, where the next writer overwrites them.
struct EscapeBlock {
  const char* in;
  char* out;
  std::uint64_t escapes;  // bit p: byte p needs escaping; every bit from kBlock on is set
  unsigned pos = 0;       // the first byte of the block not yet written

  void Step(unsigned k) {
    auto next = static_cast<unsigned>(__builtin_ctzll(escapes));
    Copy32(out + k + pos, in + pos);
    std::uint16_t pair = kEscapePairs.pair[static_cast<unsigned char>(in[next])];
    std::memcpy(out + k + next, &pair, sizeof pair);  // little-endian: 0x18 first
    pos = next + 1;
    escapes &= escapes - 1;
  }
};

// Sums the escape flags in byte lanes and folds them before any lane passes 255.
std::size_t CountEscapes(const char*& at, const char* end) {
  std::size_t count = 0;
  while (end - at >= 16) {
    __m128i lanes = _mm_setzero_si128();
    for (int blocks = 0; blocks < 255 && end - at >= 16; ++blocks, at += 16) {
      lanes = _mm_sub_epi8(lanes, NeedsEscape(Load(at)));
    }
    __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_srli_si128(sums, 8))));
  }
  return count;
}

// ---- Unescaping -----------------------------------------------------------------------------

// One block, whose first `carry` bytes the previous block's last escape took. Step k copies the
// run before the block's k-th escape and writes the byte that escape stands for; input byte p
// goes to out - carry + p - (escapes before p). Sentinel bits from `stop` on play the part they
// play in EscapeBlock.
struct UnescapeBlock {
  const char* in;
  char* base;             // out - carry
  std::uint64_t escapes;  // bit p: byte p is an 0x18; every bit from `stop` on is set
  unsigned pos;           // the first byte of the block not yet taken

  void Step(unsigned k) {
    auto next = static_cast<unsigned>(__builtin_ctzll(escapes));
    Copy32(base - k + pos, in + pos);
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
    Lanes escapeLanes = NeedsEscape(Load32(in));
    unsigned count = Count(escapeLanes);
    EscapeBlock block{in, out, Bits(escapeLanes) | (~std::uint64_t{0} << kBlock)};
    block.Step(0);
    block.Step(1);
    block.Step(2);
    block.Step(3);
    for (unsigned k = kUnrolledSteps; k <= count; ++k) block.Step(k);
    out += kBlock + count;
  }
  return portable::WriteEscaped({in, static_cast<std::size_t>(end - in)}, out);
}

char* Unescape(std::string_view raw, char* out) {
  const char* in = raw.data();
  const char* end = in + raw.size();
  unsigned carry = 0;  // 1 when the previous block's last escape took this block's first byte
  __m128i bad = _mm_setzero_si128();
  const __m128i escapeByte = _mm_set1_epi8(static_cast<char>(kEscape));
  for (; end - in >= kInputSlack; in += kBlock) {
    Lanes bytes = Load32(in);
    Lanes escapeLanes{_mm_cmpeq_epi8(bytes.low, escapeByte), _mm_cmpeq_epi8(bytes.high, escapeByte)};
    // An 0x18 followed by a byte below 0x20 makes the text bad; the byte after the block's last
    // is loaded too. In a good text every 0x18 starts an escape, since the byte an escape takes
    // is 0x20 or above, so the mask of the 0x18 bytes is the mask of the escapes, and the carry
    // to the next block is its last bit. A bad text is still written inside the output: steps
    // never go back before the block's output.
    bad = _mm_or_si128(bad, _mm_and_si128(escapeLanes.low, BelowSpace(Load(in + 1))));
    bad = _mm_or_si128(bad, _mm_and_si128(escapeLanes.high, BelowSpace(Load(in + 17))));
    unsigned raw = Bits(escapeLanes);
    unsigned escapes = raw & (~0u << carry);
    unsigned count = Count(escapeLanes) - (raw & carry);
    unsigned nextCarry = raw >> (kBlock - 1);
    unsigned stop = kBlock + nextCarry;
    UnescapeBlock block{in, out - carry, escapes | (~std::uint64_t{0} << stop), carry};
    block.Step(0);
    block.Step(1);
    block.Step(2);
    block.Step(3);
    for (unsigned k = kUnrolledSteps; k <= count; ++k) block.Step(k);
    out += stop - carry - count;
    carry = nextCarry;
  }
  if (_mm_movemask_epi8(bad) != 0) return nullptr;
  return portable::Unescape({in + carry, static_cast<std::size_t>(end - in - carry)}, out);
}

}  // namespace lumarix::escape::sse2

#endif
