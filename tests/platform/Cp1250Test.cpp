#include "platform/Cp1250.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
  return s;
}

TEST(Cp1250, EveryByteRoundTripsThroughUtf8) {
  const std::string all = AllBytes();
  const std::string utf8 = Cp1250ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1250(utf8), all);
  for (int b = 0; b < 256; ++b) {
    unsigned char back = 0;
    ASSERT_TRUE(CodePointToCp1250(Cp1250ToCodePoint(static_cast<unsigned char>(b)), back)) << b;
    EXPECT_EQ(back, b);
  }
}

TEST(Cp1250, KnownLettersAndUndefinedBytes) {
  struct Case {
    unsigned char byte;
    char32_t codePoint;
  };
  const Case cases[] = {
      {0x41, U'A'},     {0x80, U'\u20AC'}, {0x8A, U'\u0160'}, {0x9E, U'\u017E'},
      {0xD5, U'\u0150'}, {0xF5, U'\u0151'}, {0xDB, U'\u0170'}, {0xFB, U'\u0171'},
      {0xE1, U'\u00E1'}, {0xFF, U'\u02D9'}, {0x81, U'\u0081'}, {0x83, U'\u0083'},
      {0x88, U'\u0088'}, {0x90, U'\u0090'}, {0x98, U'\u0098'}, {0x00, U'\0'},
  };
  for (const Case& c : cases) EXPECT_EQ(Cp1250ToCodePoint(c.byte), c.codePoint) << int(c.byte);
  EXPECT_EQ(Hu("Árvíztűrő tükörfúrógép"), "\xC1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p");
  EXPECT_EQ(Cp1250ToUtf8("\xC1rv\xEDzt\xFBr\xF5"), "Árvíztűrő");
}

TEST(Cp1250, Utf8ToCp1250HandlesUnmappableAndMalformedInput) {
  struct Case {
    const char* name;
    std::string utf8;
    std::string expected;
  };
  const Case cases[] = {
      {"unmappable BMP", "a\u4E2Db", "a?b"},
      {"unmappable astral", "a\U0001F600b", "a?b"},
      {"U+0080 has no byte", "\xC2\x80", "?"},
      {"lone Latin-1 byte", "caf\xE9", "caf\xE9"},
      {"truncated sequence", "x\xC5", "x?"},  // 0xC5 as Latin-1 U+00C5 is not in the page
      {"lead byte then ASCII", "\xC3z", "?z"},  // U+00C3 is not in the page either
      {"overlong slash", "\xC0\xAF", "??"},
      {"surrogate, bytes as Latin-1", "\xED\xA0\x80", "\xED\xA0?"},
      {"embedded NUL", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToCp1250(c.utf8), c.expected) << c.name;
}

}  // namespace
