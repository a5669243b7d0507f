// The SSE2 path. SSE2 has no byte shuffle, so a block with escapes is expanded or compacted by
// copying it in segments with unaligned 32-byte loads and stores: the block's first run, then
// for each escape a segment that starts with it. The escape's bytes are fixed in the segment's
// first lanes with constant masks, so that a segment needs no store of its own for them. Each
// segment's place follows from the block's comparison mask alone, so the segments and the blocks
// do not wait for one another. Every block takes the same four segments, so the common blocks
// (up to three escapes) pass without a branch that depends on the data; only a block with more
// escapes loops.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "message/escape.h"

#if defined(LUMARIX_ESCAPE_SSE2)

namespace lumarix::escape::sse2 {

namespace {

constexpr int kBlock = 32;
constexpr unsigned kUnrolledSegments = 4;
// What a block may read from its start on: past the last escape, sentinel bits keep moving the
// segments on, which load 32 bytes from up to byte 36 on.
constexpr std::ptrdiff_t kInputSlack = 80;
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

// One block of 31 bytes: one less than a segment, so that the 30 bytes a segment holds after an
// escape pair reach the next escape or the block's end. Segment 0 copies the block's first run;
// segment k copies, from the byte before the block's escape k - 1 on, the escape pair and the run
// after it. Input byte p goes to out + p + (escapes before p). The sentinel bits past the block
// put the segments after the last one past the block's end, where the next writer overwrites
// them.
constexpr int kEscapeBlock = kBlock - 1;

struct EscapeBlock {
  const char* in;
  char* out;
  std::uint64_t escapes;  // bit p: byte p needs escaping; every bit from kEscapeBlock on is set

  void Segment(unsigned k) {
    auto escape = static_cast<unsigned>(__builtin_ctzll(escapes));
    escapes &= escapes - 1;
    const char* from = in + escape - 1;
    // Lane 0, the byte before the escape, becomes 0x18; lane 1, the escaped byte, is XORed.
    __m128i low = _mm_xor_si128(_mm_and_si128(Load(from), _mm_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                                        -1, -1, -1, -1)),
                                _mm_setr_epi8(kEscape, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    char* to = out + k - 1 + escape;
    Store(to, low);
    Store(to + 16, Load(from + 16));
  }
};

// Sums the escape flags of each 32 bytes in byte lanes and folds them before any lane passes 255.
std::size_t CountEscapes(const char*& at, const char* end) {
  std::size_t count = 0;
  while (end - at >= kBlock) {
    __m128i low = _mm_setzero_si128();
    __m128i high = _mm_setzero_si128();
    for (int blocks = 0; blocks < 255 && end - at >= kBlock; ++blocks, at += kBlock) {
      Lanes escapeLanes = NeedsEscape(Load32(at));
      low = _mm_sub_epi8(low, escapeLanes.low);
      high = _mm_sub_epi8(high, escapeLanes.high);
    }
    __m128i sums = _mm_add_epi64(_mm_sad_epu8(low, _mm_setzero_si128()), _mm_sad_epu8(high, _mm_setzero_si128()));
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_srli_si128(sums, 8))));
  }
  return count;
}

// ---- Unescaping -----------------------------------------------------------------------------

// One block, whose first `carry` bytes the previous block's last escape took. Segment 0 copies
// the block's first run; segment k copies, from the byte that escape k - 1 takes on, that byte
// XORed and the run after it. Input byte p goes to out - carry + p - (escapes up to p). Sentinel
// bits from `stop` on play the part they play in EscapeBlock.
struct UnescapeBlock {
  const char* in;
  char* base;             // out - carry
  std::uint64_t escapes;  // bit p: byte p is an 0x18; every bit from `stop` on is set

  void Segment(unsigned k) {
    auto escape = static_cast<unsigned>(__builtin_ctzll(escapes));
    escapes &= escapes - 1;
    const char* from = in + escape + 1;
    char* to = base + escape + 1 - k;
    Store(to, _mm_xor_si128(Load(from), _mm_cvtsi32_si128(0x40)));
    Store(to + 16, Load(from + 16));
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
  // The segments read the byte before each escape, so the blocks start after the first byte.
  if (end - in <= kInputSlack) return portable::WriteEscaped(bytes, out);
  out = portable::WriteEscaped(bytes.substr(0, 1), out);
  for (++in; end - in >= kInputSlack; in += kEscapeBlock) {
    Lanes escapeLanes = NeedsEscape(Load32(in));
    unsigned escapes = Bits(escapeLanes);
    unsigned count = Count(escapeLanes) - (escapes >> kEscapeBlock);  // the 32nd byte is the next block's
    EscapeBlock block{in, out, escapes | (~std::uint64_t{0} << kEscapeBlock)};
    Copy32(out, in);
    block.Segment(1);
    block.Segment(2);
    block.Segment(3);
    for (unsigned k = kUnrolledSegments; k <= count; ++k) block.Segment(k);
    out += kEscapeBlock + count;
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
    // to the next block is its last bit. A bad text is still written inside the output: no
    // segment goes back before the block's output.
    bad = _mm_or_si128(bad, _mm_and_si128(escapeLanes.low, BelowSpace(Load(in + 1))));
    bad = _mm_or_si128(bad, _mm_and_si128(escapeLanes.high, BelowSpace(Load(in + 17))));
    unsigned found = Bits(escapeLanes);
    unsigned escapes = found & (~0u << carry);
    unsigned count = Count(escapeLanes) - (found & carry);
    unsigned nextCarry = found >> (kBlock - 1);
    unsigned stop = kBlock + nextCarry;
    UnescapeBlock block{in, out - carry, escapes | (~std::uint64_t{0} << stop)};
    Copy32(out, in + carry);
    block.Segment(1);
    block.Segment(2);
    block.Segment(3);
    for (unsigned k = kUnrolledSegments; k <= count; ++k) block.Segment(k);
    out += stop - carry - count;
    carry = nextCarry;
  }
  if (_mm_movemask_epi8(bad) != 0) return nullptr;
  return portable::Unescape({in + carry, static_cast<std::size_t>(end - in - carry)}, out);
}

}  // namespace lumarix::escape::sse2

#endif
