#include "message/escape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <string_view>

namespace lumarix::escape {
namespace {

#if defined(LUMARIX_ESCAPE_SSE2)

// A copy of `bytes` that ends exactly where its allocation ends and starts `offset` bytes into
// it, so that AddressSanitizer sees any read past the end, and the paths meet other alignments.
class Placed {
 public:
  Placed(std::string_view bytes, std::size_t offset)
      : storage_(new char[offset + bytes.size()]), offset_(offset), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), storage_.get() + offset);
  }
  std::string_view view() const { return {storage_.get() + offset_, size_}; }

 private:
  std::unique_ptr<char[]> storage_;
  std::size_t offset_;
  std::size_t size_;
};

struct Result {
  bool good;
  std::string bytes;
  bool operator==(const Result&) const = default;
};

template <class Write>
std::string Escaped(std::string_view bytes, std::size_t size, Write write) {
  auto out = std::make_unique<char[]>(size + kOutputSlack);
  return {out.get(), write(bytes, out.get())};
}

template <class Unescape>
Result Unescaped(std::string_view raw, Unescape unescape) {
  auto out = std::make_unique<char[]>(raw.size() + kOutputSlack);
  char* end = unescape(raw, out.get());
  if (end == nullptr) return {false, ""};
  return {true, std::string(out.get(), end)};
}

std::string Escape(std::string_view bytes) {
  std::string escaped;
  for (unsigned char byte : bytes) {
    if (NeedsEscape(byte)) {
      escaped += '\x18';
      escaped += static_cast<char>(byte ^ 0x40);
    } else {
      escaped += static_cast<char>(byte);
    }
  }
  return escaped;
}

// Both paths on `bytes` at three alignments: the expected escaped text, and back again.
void ExpectBothPathsEscape(std::string_view bytes) {
  std::string expected = Escape(bytes);
  for (std::size_t offset : {0u, 1u, 15u}) {
    Placed placed(bytes, offset);
    ASSERT_EQ(Escaped(placed.view(), expected.size(), sse2::WriteEscaped), expected);
    ASSERT_EQ(Escaped(placed.view(), expected.size(), portable::WriteEscaped), expected);
    Placed raw(expected, offset);
    ASSERT_EQ(Unescaped(raw.view(), sse2::Unescape), (Result{true, std::string(bytes)}));
    ASSERT_EQ(Unescaped(raw.view(), portable::Unescape), (Result{true, std::string(bytes)}));
  }
}

// The paths meet every byte value at every position of a block, and across the block
// boundaries, amid plain bytes and amid bytes that all need escaping. 160 bytes make three
// vector blocks and a tail on either path.
TEST(MessageEscape, EscapeEveryByteAtEveryPositionBothPaths) {
  for (char background : {'a', '\n'}) {
    for (std::size_t size : {160u}) {
      for (std::size_t at = 0; at < size; ++at) {
        for (int byte = 0; byte < 256; ++byte) {
          std::string bytes(size, background);
          bytes[at] = static_cast<char>(byte);
          ASSERT_NO_FATAL_FAILURE(ExpectBothPathsEscape(bytes)) << "size " << size << " at " << at << " byte " << byte;
        }
      }
    }
  }
}

// Bytes to escape at every pair of places amid plain bytes, and a third as far again past the
// second: blocks with none, one, two and three escapes, spaced anything from one byte to more
// than a block apart, on and across the block boundaries.
TEST(MessageEscape, EscapeBytesAtEveryPairOfPlacesBothPaths) {
  for (std::size_t first = 0; first < 100; ++first) {
    for (std::size_t second = first + 1; second < 100; ++second) {
      std::string bytes(160, 'a');
      bytes[first] = '\n';
      bytes[second] = '\t';
      if (2 * second - first < bytes.size()) bytes[2 * second - first] = '\x7F';
      ASSERT_NO_FATAL_FAILURE(ExpectBothPathsEscape(bytes)) << "at " << first << " and " << second;
    }
  }
}

// An escape at every position, followed by every byte: a byte below 0x20 after it, or nothing
// after it, is a bad text on both paths; any other byte stands for itself XOR 0x40.
TEST(MessageEscape, UnescapeEveryEscapeAtEveryPositionBothPaths) {
  for (std::size_t size : {80u, 160u}) {
    for (std::size_t at = 0; at < size; ++at) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string raw(size, 'a');
        raw[at] = '\x18';
        if (at + 1 < size) raw[at + 1] = static_cast<char>(byte);
        Result expected{at + 1 < size && byte >= 0x20, ""};
        if (expected.good) {
          expected.bytes = raw;
          expected.bytes.replace(at, 2, 1, static_cast<char>(byte ^ 0x40));
        }
        for (std::size_t offset : {0u, 7u, 15u}) {
          Placed placed(raw, offset);
          ASSERT_EQ(Unescaped(placed.view(), sse2::Unescape), expected) << at << " " << byte << " " << offset;
          ASSERT_EQ(Unescaped(placed.view(), portable::Unescape), expected) << at << " " << byte << " " << offset;
        }
      }
    }
  }
}

// Texts thick with 0x18 and control bytes, good and bad, at every alignment: the paths agree,
// unescaping them and escaping them.
TEST(MessageEscape, UnescapeRandomTextsBothPathsAgree) {
  std::mt19937 random(7);
  const char alphabet[] = {'\x18', '\x18', '\x18', '\x00', '\x0A', '\x1F', '\x20', '\x7D', 'a', '\xFF'};
  for (int round = 0; round < 3000; ++round) {
    std::string raw(random() % 300, '\0');
    for (char& byte : raw) byte = alphabet[random() % sizeof alphabet];
    if (round % 2 == 0) raw = Escape(raw);  // mostly good texts, so that the output is compared too
    for (std::size_t offset = 0; offset < 16; ++offset) {
      Placed placed(raw, offset);
      ASSERT_EQ(Unescaped(placed.view(), sse2::Unescape), Unescaped(placed.view(), portable::Unescape))
          << "round " << round << " offset " << offset;
      std::size_t size = Escape(raw).size();
      ASSERT_EQ(Escaped(placed.view(), size, sse2::WriteEscaped), Escaped(placed.view(), size, portable::WriteEscaped))
          << "round " << round << " offset " << offset;
    }
  }
}

#else

TEST(MessageEscape, EscapeEveryByteAtEveryPositionBothPaths) { GTEST_SKIP() << "built without SSE2"; }

#endif

}  // namespace
}  // namespace lumarix::escape
