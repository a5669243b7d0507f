// The SSE2 path. SSE2 has no byte shuffle, so a block with escapes is expanded or compacted by
// copying it in segments with unaligned 32-byte loads and stores: the block's first run, then
// for each escape a segment that starts with it. The escape's bytes are fixed in the segment's
// first lanes with constant masks, so that a segment needs no store of its own for them. Each
// segment's place follows from the block's comparison mask alone, so the segments and the blocks
// do not wait for one another. Every block takes its first run and two segments, so the common
// blocks of source text (a line end or a tab every few dozen bytes) pass straight through; only
// a block with more escapes loops. Sentinel bits past the block's end stop that loop, and where
// the scan of the bits stopped tells the number of escapes: no separate count.
#include <emmintrin.h>

#include <cstdint>

#include "message/escape.h"

#if defined(LUMARIX_ESCAPE_SSE2)

namespace lumarix::escape::sse2 {

namespace {

constexpr int kBlock = 32;
constexpr std::size_t kUnrolledSegments = 2;
// What a block may read from its start on: the next block's 32 bytes, and the segments, which
// past the last escape follow the sentinel bits and load 32 bytes from up to byte 35 on.
constexpr std::ptrdiff_t kInputSlack = 80;
constexpr unsigned char kEscape = 0x18;

__m128i Load(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
void Store(char* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); }

struct Lanes {
  __m128i low, high;
};

Lanes Load32(const char* at) { return {Load(at), Load(at + 16)}; }
void Store32(char* at, Lanes lanes) {
  Store(at, lanes.low);
  Store(at + 16, lanes.high);
}

unsigned Bits(Lanes lanes) {
  return static_cast<unsigned>(_mm_movemask_epi8(lanes.low)) |
         static_cast<unsigned>(_mm_movemask_epi8(lanes.high)) << 16;
}

// The place of the lowest set bit; the sentinel bits keep `bits` from being zero.
std::size_t Lowest(std::uint64_t bits) { return static_cast<std::size_t>(__builtin_ctzll(bits)); }

// (byte ^ 0x40) + 0x20 takes 0x00..0x1F to 0x60..0x7F and 0x7F to 0x5F, and every other byte
// below 0x5F, signed: one comparison then finds the bytes to escape.
__m128i NeedsEscape(__m128i bytes) {
  __m128i moved = _mm_add_epi8(_mm_xor_si128(bytes, _mm_set1_epi8(0x40)), _mm_set1_epi8(0x20));
  return _mm_cmpgt_epi8(moved, _mm_set1_epi8(0x5E));
}

Lanes NeedsEscape(Lanes bytes) { return {NeedsEscape(bytes.low), NeedsEscape(bytes.high)}; }

// Nonzero exactly in the lanes whose byte is below 0x20.
__m128i BelowSpace(__m128i bytes) { return _mm_subs_epu8(_mm_set1_epi8(0x20), bytes); }

// ---- Escaping -------------------------------------------------------------------------------

// One block of 31 bytes: one less than a segment, so that the 30 bytes a segment holds after an
// escape pair reach the next escape or the block's end. Segment 0 copies the block's first run;
// segment k copies, from the byte before the block's escape k - 1 on, the escape pair and the run
// after it. Input byte p goes to out + p + (escapes before p). The sentinel bits past the block
// put the segments after the last one past the block's end, where the next writer overwrites
// them.
constexpr int kEscapeBlock = kBlock - 1;

// A block's bytes and its escapes, found one block ahead of the block's stores: measured, the
// stores go faster when their places are ready before the next loads.
struct EscapeScan {
  Lanes bytes;
  std::size_t first, second;  // the first two escapes, or sentinels
  std::uint64_t rest;         // bit p: byte p needs escaping; every bit from kEscapeBlock on is set

  explicit EscapeScan(const char* in) : bytes(Load32(in)) {
    std::uint64_t escapes = Bits(NeedsEscape(bytes)) | (~std::uint64_t{0} << kEscapeBlock);
    first = Lowest(escapes);
    escapes &= escapes - 1;
    second = Lowest(escapes);
    rest = escapes & (escapes - 1);
  }
};

// The segment of the escape at byte `escape` of the block at `in`, to be stored at `escape`
// bytes past out + k - 1: lane 0, the byte before the escape, becomes 0x18; lane 1, the escaped
// byte, is XORed.
Lanes EscapeSegment(const char* in, std::size_t escape) {
  const char* from = in + escape - 1;
  const __m128i keep = _mm_setr_epi8(0, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i pair = _mm_setr_epi8(kEscape, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  return {_mm_xor_si128(_mm_and_si128(Load(from), keep), pair), Load(from + 16)};
}

// ---- Unescaping -----------------------------------------------------------------------------

// One block, whose first `carry` bytes the previous block's last escape took. Segment 0 copies
// the block's first run; segment k copies, from the byte that escape k - 1 takes on, that byte
// XORed and the run after it. Input byte p goes to out - carry + p - (escapes up to p). Sentinel
// bits from `stop` on play the part they play in escaping.
void UnescapeSegment(const char* in, char* base, std::size_t escape, std::size_t k) {
  const char* from = in + escape + 1;
  char* to = base + escape + 1 - k;
  Store(to, _mm_xor_si128(Load(from), _mm_cvtsi32_si128(0x40)));
  Store(to + 16, Load(from + 16));
}

}  // namespace

char* WriteEscaped(std::string_view bytes, char* out) {
  const char* in = bytes.data();
  const char* end = in + bytes.size();
  // The segments read the byte before each escape, so the blocks start after the first byte.
  if (end - in <= kInputSlack) return portable::WriteEscaped(bytes, out);
  out = portable::WriteEscaped(bytes.substr(0, 1), out);
  ++in;
  EscapeScan scan(in);
  for (; end - in >= kInputSlack; in += kEscapeBlock) {
    EscapeScan next(in + kEscapeBlock);
    Lanes first = EscapeSegment(in, scan.first);
    Lanes second = EscapeSegment(in, scan.second);
    Store32(out, scan.bytes);
    Store32(out + scan.first, first);
    Store32(out + 1 + scan.second, second);
    std::uint64_t rest = scan.rest;
    std::size_t segments = kUnrolledSegments;
    std::size_t escape = Lowest(rest);
    for (; escape < kEscapeBlock; escape = Lowest(rest)) {
      Store32(out + segments + escape, EscapeSegment(in, escape));
      rest &= rest - 1;
      ++segments;
    }
    // Each unrolled segment past the last escape took one sentinel bit.
    std::size_t count = segments - (escape - kEscapeBlock);
    out += kEscapeBlock + count;
    scan = next;
  }
  return portable::WriteEscaped({in, static_cast<std::size_t>(end - in)}, out);
}

char* Unescape(std::string_view raw, char* out) {
  const char* in = raw.data();
  const char* end = in + raw.size();
  std::uint64_t carry = 0;  // 1 when the previous block's last escape took this block's first byte
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
    std::uint64_t nextCarry = found >> (kBlock - 1);
    std::size_t stop = kBlock + nextCarry;
    std::uint64_t rest = (found & ~carry) | (~std::uint64_t{0} << stop);
    char* base = out - carry;
    Store32(out, Load32(in + carry));
    std::size_t segments = 0;
    std::size_t escape = Lowest(rest);
    for (; segments < kUnrolledSegments; escape = Lowest(rest)) {
      UnescapeSegment(in, base, escape, ++segments);
      rest &= rest - 1;
    }
    for (; escape < stop; escape = Lowest(rest)) {
      UnescapeSegment(in, base, escape, ++segments);
      rest &= rest - 1;
    }
    // As in escaping, each unrolled segment past the last escape took one sentinel bit.
    std::size_t count = segments - (escape - stop);
    out += stop - carry - count;
    carry = nextCarry;
  }
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) return nullptr;
  return portable::Unescape({in + carry, static_cast<std::size_t>(end - in - carry)}, out);
}

}  // namespace lumarix::escape::sse2

#endif
