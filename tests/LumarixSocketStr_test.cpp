#include "LumarixSocketStr.h"

#include <gtest/gtest.h>

#include "support/message.h"

namespace lumarix {
namespace {

using testing::Bytes;
using testing::Gather;
using testing::MakeMsg;
using testing::Parts;
using testing::TakeParts;

const std::string kHeader = Bytes({0x00, 0x2D, 0x2D, 0x2D, 0x00});
const std::string kTerminator = Bytes({0x2B, 0x2B, 0x2B, 0x00});

TEST(LumarixSocketStr, GatherMsgWorkedExampleGivesItsThirtyOneBytes) {
  std::string expected = Bytes({0x00, 0x2D, 0x2D, 0x2D, 0x00, 0x49, 0x44, 0x3D, 0x6A, 0x6F, 0x62, 0x37, 0x00, 0x54, 0x65, 0x61,
                                0x6D, 0x3D, 0x72, 0x65, 0x64, 0x00, 0x50, 0x69, 0x6E, 0x67, 0x00, 0x2B, 0x2B, 0x2B, 0x00});
  Parts parts{{"ID", "job7"}, {"Team", "red"}, {"Ping", ""}};
  EXPECT_EQ(Gather(parts), expected);

  TMessagePart* head = ParseMsg(expected);
  EXPECT_EQ(GetPart(head, "Ping"), "");
  EXPECT_EQ(GetPart(head, "Team"), "red");
  EXPECT_EQ(TakeParts(head), parts);
}

TEST(LumarixSocketStr, GatherMsgEscapesControlBytesAndDelete) {
  EXPECT_EQ(Gather({{"Text", "a\r\nb"}}),
            kHeader + Bytes({0x54, 0x65, 0x78, 0x74, 0x3D, 0x61, 0x18, 0x4D, 0x18, 0x4A, 0x62, 0x00}) + kTerminator);
  EXPECT_EQ(Gather({{"v", Bytes({0x00, 0x18, 0x1F, 0x7F, 0x20, 0x7E, 0x80, 0xFF})}}),
            kHeader + "v=" + Bytes({0x18, 0x40, 0x18, 0x58, 0x18, 0x5F, 0x18, 0x3F, 0x20, 0x7E, 0x80, 0xFF, 0x00}) +
                kTerminator);
}

// Long stretches where every byte, or none, needs escaping: the output is sized exactly.
TEST(LumarixSocketStr, GatherMsgSizesDenseAndSparseEscapesExactly) {
  for (std::size_t size : {7u, 8u, 2039u, 2040u, 2041u, 20000u}) {
    std::string dense(size, '\n');
    std::string text = Gather({{"d", dense}});
    ASSERT_EQ(text.size(), 5 + 2 + 2 * size + 1 + 4) << size;
    EXPECT_EQ(text.substr(7, 4), "\x18\x4A\x18\x4A");
    EXPECT_EQ(TakeParts(ParseMsg(text)), (Parts{{"d", dense}}));
    std::string sparse(size, 'a');
    sparse[size / 2] = '\x7F';
    EXPECT_EQ(Gather({{"s", sparse}}).size(), 5 + 2 + size + 1 + 1 + 4) << size;
  }
}

TEST(LumarixSocketStr, GatherMsgEmptyMessageIsNineBytesAndDecodesToNil) {
  std::string empty = kHeader + kTerminator;
  EXPECT_EQ(GatherMsg(nullptr), empty);
  EXPECT_EQ(ParseMsg(empty), nullptr);
}

TEST(LumarixSocketStr, GatherMsgEmptyNameAndValueIsALoneZeroByte) {
  std::string text = Gather({{"", ""}});
  EXPECT_EQ(text, kHeader + std::string(1, '\0') + kTerminator);
  EXPECT_EQ(TakeParts(ParseMsg(text)), (Parts{{"", ""}}));
}

// Every byte value, at every position of a word, in names and in values.
TEST(LumarixSocketStr, MessageRoundTripEveryByteValueComesBack) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  std::string nameBytes;
  for (char byte : all) {
    if (byte != '=') nameBytes.push_back(byte);
  }
  for (std::size_t shift = 0; shift < 8; ++shift) {
    Parts parts{{nameBytes.substr(shift), all.substr(shift)}, {"x", all + all}, {std::string(shift, '\x18'), "="}};
    EXPECT_EQ(TakeParts(ParseMsg(Gather(parts))), parts) << "shift " << shift;
  }
}

TEST(LumarixSocketStr, MessageRoundTripLongRunsBetweenEscapesComeBackExactly) {
  std::string value;
  for (int i = 0; i < 100000; ++i) value.push_back(i % 97 == 0 ? '\n' : static_cast<char>('a' + i % 26));
  Parts parts{{"Contents", value}, {"Filename", "a.cpp"}};
  std::string text = Gather(parts);
  EXPECT_EQ(text.size(), 5 + 9 + value.size() + (100000 + 96) / 97 + 1 + 15 + 4);
  EXPECT_EQ(TakeParts(ParseMsg(text)), parts);
}

TEST(LumarixSocketStr, MessageRoundTripEqualsSplitsAtTheFirstOneOnly) {
  EXPECT_EQ(TakeParts(ParseMsg(Gather({{"k", "a=b=c"}}))), (Parts{{"k", "a=b=c"}}));
  EXPECT_EQ(TakeParts(ParseMsg(Gather({{"n=m", "v"}}))), (Parts{{"n", "m=v"}}));
  // An escaped "=" (0x18 0x7D) is an "=" once decoded, so it splits as well.
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + Bytes({'a', 0x18, 0x7D, 'b', 0}) + kTerminator)), (Parts{{"a", "b"}}));
  // A plain "=" taken by an escape is a "}" and splits nothing; the next "=" does.
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + Bytes({'a', 0x18, '=', 'b', '=', 'c', 0}) + kTerminator)), (Parts{{"a}b", "c"}}));
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + Bytes({0x18, '=', 0}) + kTerminator)), (Parts{{"}", ""}}));
  // Whichever comes first of an escaped and a plain "=".
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + Bytes({'a', '=', 0x18, 0x7D, 0}) + kTerminator)), (Parts{{"a", "="}}));
}

TEST(LumarixSocketStr, ParseMsgEndTokenEndsTheMessage) {
  EXPECT_EQ(TakeParts(ParseMsg(Gather({{"a", "1"}, {"+++", ""}, {"b", "2"}}))), (Parts{{"a", "1"}}));
  EXPECT_EQ(TakeParts(ParseMsg(Gather({{"+++", "x"}}))), (Parts{{"+++", "x"}}));
  EXPECT_EQ(ParseMsg(Gather({{"+++", ""}, {"b", "2"}})), nullptr);
}

TEST(LumarixSocketStr, ParseMsgAnEscapedEndTokenEndsTheMessageToo) {
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + "a=1" + Bytes({0, 0x18, 0x6B, '+', '+', 0, 'b', 0}))), (Parts{{"a", "1"}}));
}

TEST(LumarixSocketStr, ParseMsgIgnoresBytesAfterTheTerminator) {
  std::string text = Gather({{"a", "1"}}) + "garbage" + std::string(1, '\0') + "\x18";
  EXPECT_EQ(TakeParts(ParseMsg(text)), (Parts{{"a", "1"}}));
}

TEST(LumarixSocketStr, ParseMsgAcceptsEveryEscapeFromSpaceOn) {
  EXPECT_EQ(TakeParts(ParseMsg(kHeader + Bytes({'v', '=', 0x18, 0x41, 0x18, 0xC1, 0x18, 0x20, 0}) + kTerminator)),
            (Parts{{"v", Bytes({0x01, 0x81, 0x60})}}));
}

TEST(LumarixSocketStr, ParseMsgMalformedTextsGiveNil) {
  const std::string good = Gather({{"a", "1"}, {"b", "2"}});
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"short header", Bytes({0x00, 0x2D, 0x2D, 0x2D})},
      {"wrong header", Bytes({0x00, 0x2D, 0x2B, 0x2D, 0x00}) + "a=1" + std::string(1, '\0') + kTerminator},
      {"header alone", kHeader},
      {"escape of a zero byte", kHeader + Bytes({'a', 0x18, 0x00}) + kTerminator},
      {"escape of a control byte", kHeader + Bytes({'a', 0x18, 0x1F, 0}) + kTerminator},
      {"escape at the end", kHeader + Bytes({'a', 0x18})},
      {"ends inside a token", kHeader + "a=1"},
      {"no terminator", kHeader + "a=1" + std::string(1, '\0')},
      {"terminator without its zero", good.substr(0, good.size() - 1)},
      {"bad escape after good parts", kHeader + "a=1" + std::string(1, '\0') + Bytes({'b', 0x18, 0x0A, 0}) + kTerminator},
      {"bad escape before an equals sign", kHeader + Bytes({'a', 0x18, 0x18, '=', 'b', 0}) + kTerminator},
      {"bad escape in the value", kHeader + Bytes({'a', '=', 'b', 0x18, 0x01, 0}) + kTerminator},
      {"escape at the end of a long value", kHeader + "v=" + std::string(100, 'x') + Bytes({0x18, 0}) + kTerminator},
  };
  for (const auto& test : cases) EXPECT_EQ(ParseMsg(test.text), nullptr) << test.what;
}

TEST(LumarixSocketStr, GetPartFindsTheFirstOfEqualNamesCaseSensitively) {
  TMessagePart* head = MakeMsg({{"Team", "first"}, {"Team", "second"}, {"Empty", ""}});
  EXPECT_EQ(GetPart(head, "Team"), "first");
  EXPECT_EQ(GetPart(head, "team"), "");
  EXPECT_EQ(GetPart(head, "Tea"), "");
  EXPECT_EQ(GetPart(head, "Missing"), "");
  // Both parts of a name travel.
  EXPECT_EQ(TakeParts(ParseMsg(GatherMsg(head))), (Parts{{"Team", "first"}, {"Team", "second"}, {"Empty", ""}}));
  FreeMsg(head);
}

TEST(LumarixSocketStr, FreeMsgSetsTheHeadToNilAndAcceptsNil) {
  TMessagePart* head = MakeMsg({{"a", "1"}, {"b", "2"}});
  FreeMsg(head);
  EXPECT_EQ(head, nullptr);
  FreeMsg(head);
  EXPECT_EQ(head, nullptr);
}

}  // namespace
}  // namespace lumarix
