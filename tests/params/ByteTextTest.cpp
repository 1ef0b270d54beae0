#include "params/ByteText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ParamTestUtil.h"
#include "platform/Cp1250.h"

namespace {

using paramtest::Bytes;

struct DisplayCase {
  const char* what;
  std::string tipus;
  int meret;
  std::string value;
  std::string beallitott;
  std::string bajtok;
};

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ParamValues, DisplayColumnsOfEveryType) {
  const std::string bitmezo = Hu("bitmező");
  const std::string tomb = Hu("tömb");
  const std::vector<DisplayCase> cases = {
      {"word little-endian", "word", 2, Bytes({0x34, 0x12}), "4660", "052 018 "},
      {"longword all ones", "longword", 4, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), "4294967295", "255 255 255 255 "},
      {"byte", "byte", 1, Bytes({0xF5}), "245", "245 "},
      {"bit field, bit 0 first", bitmezo, 2, Bytes({0x01, 0x80}), "1000000000000001", "001 128 "},
      {"bit field 0x05", bitmezo, 1, Bytes({0x05}), "10100000", "005 "},
      {"array with missing bytes", tomb, 3, Bytes({7}), "7,0,0", "007 000 000 "},
      {"array 12,0,255", tomb, 3, Bytes({12, 0, 255}), "12,0,255", "012 000 255 "},
      {"unknown type is an array", "valami", 2, Bytes({1, 2}), "1,2", "001 002 "},
      {"string shows its text, NUL kept", "string", 5, std::string("AB\0", 3), std::string("AB\0", 3),
       "065 066 000 000 000 "},
      {"word with one byte", "word", 2, Bytes({5}), "5", "005 000 "},
      {"longword of empty text", "longword", 4, "", "0", "000 000 000 000 "},
      {"extra bytes beyond the size unused", "byte", 1, Bytes({9, 9, 9}), "9", "009 "},
      // Size 0: nothing per byte, but the number types still read their first bytes.
      {"size 0 array", tomb, 0, Bytes({5}), "", ""},
      {"size 0 bit field", bitmezo, 0, Bytes({5}), "", ""},
      {"size 0 byte", "byte", 0, Bytes({5}), "5", ""},
      {"size 0 word", "word", 0, Bytes({1, 2}), "513", ""},
      {"size 0 longword, empty", "longword", 0, "", "0", ""},
      {"size 0 string", "string", 0, "xy", "xy", ""},
      // Size 255: the readable form is cut to 255 characters.
      {"size 255 array", tomb, 255, std::string(255, '\xFF'), Repeat("255,", 64).substr(0, 255),
       Repeat("255 ", 255)},
      {"size 255 bit field", bitmezo, 255, std::string(255, '\x0F'), Repeat("11110000", 32).substr(0, 255),
       Repeat("015 ", 255)},
      {"string longer than 255 is read to 255", "string", 255, std::string(300, 'a'), std::string(255, 'a'),
       Repeat("097 ", 255)},
      // Sizes beyond a byte text's reach show no more than 255 bytes.
      {"size 300 array", tomb, 300, "", Repeat("0,", 128).substr(0, 255), Repeat("000 ", 255)},
      {"negative size", tomb, -3, Bytes({1}), "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatValueColumn(c.value, c.meret, c.tipus), c.beallitott) << c.what;
    EXPECT_EQ(FormatBytesColumn(c.value, c.meret), c.bajtok) << c.what;
  }
}

TEST(ParamValues, TypeNamesIndicesAndSizes) {
  const auto& names = ParamTypeNames();
  ASSERT_EQ(names.size(), 6u);
  const std::vector<std::pair<std::string, TParamType>> order = {
      {"byte", TParamType::Byte},     {"word", TParamType::Word},      {"longword", TParamType::Longword},
      {"string", TParamType::String}, {Hu("tömb"), TParamType::Tomb}, {Hu("bitmező"), TParamType::Bitmezo}};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(names[i], order[i].first);
    EXPECT_EQ(ParamTypeOf(order[i].first), order[i].second);
  }
  EXPECT_EQ(static_cast<int>(TParamType::Bitmezo), 0);
  EXPECT_EQ(static_cast<int>(TParamType::Tomb), 5);
  EXPECT_EQ(ParamTypeOf("Byte"), TParamType::Tomb);
  EXPECT_EQ(ParamTypeOf(""), TParamType::Tomb);

  const std::vector<std::pair<std::string, int>> sizes = {
      {"byte", 1}, {"word", 2}, {"wx", 2}, {"longword", 4}, {"l", 4}, {"string", 0},
      {Hu("tömb"), 0}, {Hu("bitmező"), 0}, {"bytes", 0}, {"", 0}, {"Word", 0}};
  for (const auto& [t, n] : sizes) EXPECT_EQ(SizeForTypeText(t), n) << t;
}

TEST(ParamValues, ReadingAndWritingNumbers) {
  EXPECT_EQ(ReadNumber(Bytes({0x34}), 2), 0x34u);
  EXPECT_EQ(ReadNumber(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 4), 4294967295u);
  EXPECT_EQ(ReadNumber("", 4), 0u);
  EXPECT_EQ(ReadNumber(Bytes({1, 2, 3, 4, 5}), 4), 0x04030201u);
  EXPECT_EQ(ReadNumber(Bytes({0x80}), 1), 0x80u);

  struct Case {
    std::string old;
    int64_t value;
    int size;
    std::string result;
  };
  const std::vector<Case> cases = {
      {"", 300, 1, Bytes({44})},
      {"", -1, 2, Bytes({0xFF, 0xFF})},
      {"x", 0x1234, 2, Bytes({0x34, 0x12})},
      {"abcdef", 0x01020304, 4, std::string("\x04\x03\x02\x01" "ef")},
      {"", 4294967296LL + 5, 4, Bytes({5, 0, 0, 0})},
      {"", -2, 4, Bytes({0xFE, 0xFF, 0xFF, 0xFF})},
      {std::string(3, '\0'), 7, 1, Bytes({7, 0, 0})},
  };
  for (const auto& c : cases) EXPECT_EQ(WriteNumber(c.old, c.value, c.size), c.result) << c.value;

  EXPECT_EQ(TruncToInt64(2.9), 2);
  EXPECT_EQ(TruncToInt64(-2.7), -2);
  EXPECT_EQ(TruncToInt64(std::nan("")), 0);
  EXPECT_EQ(TruncToInt64(1e30), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(TruncToInt64(-1e30), std::numeric_limits<int64_t>::min());
}

TEST(ParamValues, Padding) {
  EXPECT_EQ(PadRight("ab", 4, '\0'), std::string("ab\0\0", 4));
  EXPECT_EQ(PadRight("abcdef", 4, '\0'), "abcdef");
  EXPECT_EQ(PadRight("", 0, 'x'), "");
  EXPECT_EQ(PadRight("a", -5, 'x'), "a");
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadLeft("1234", 3, '0'), "1234");
}

TEST(ListText, WritesAndReadsBack) {
  struct Case {
    std::vector<std::string> items;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{""}, "\"\""},
      {{"", ""}, ","},
      {{"a", "", "b"}, "a,,b"},
      {{"a", ""}, "a,"},
      {{"", "a"}, ",a"},
      {{"Start", Hu("Vész stop"), "Hiba"}, Hu("Start,\"Vész stop\",Hiba")},
      {{"a\"b"}, "\"a\"\"b\""},
      {{"a,b", "c"}, "\"a,b\",c"},
      {{" "}, "\" \""},
      {{"\"\""}, "\"\"\"\"\"\""},
      {{std::string("x\0y", 3)}, std::string("\"x\0y\"", 5)},
      {{"tab\there"}, "\"tab\there\""},
      {{Hu("ő"), "1"}, Hu("ő,1")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WriteListText(c.items), c.text);
    EXPECT_EQ(ReadListText(c.text), c.items) << c.text;
  }
}

TEST(ListText, ReadsLooseText) {
  using V = std::vector<std::string>;
  const std::vector<std::pair<std::string, V>> cases = {
      {Hu("Start,Vész stop,Hiba"), {"Start", Hu("Vész"), "stop", "Hiba"}},
      {"a b", {"a", "b"}},
      {"  a ,  b  ", {"a", "b"}},
      {"a,", {"a", ""}},
      // Only a comma that is the very last character adds an empty item.
      {"a, ", {"a"}},
      {",", {"", ""}},
      {"\"ab\"cd", {"ab", "cd"}},
      {"\"unterminated", {"unterminated"}},
      {"\"a\"\"\"", {"a\""}},
      {"", {}},
      {"   ", {}},
      // A stray NUL outside quotes separates items instead of stalling the reader.
      {std::string("a\0b", 3), {"a", "b"}},
      {std::string("\0", 1), {}},
  };
  for (const auto& [text, items] : cases) EXPECT_EQ(ReadListText(text), items) << text;
}

}  // namespace
