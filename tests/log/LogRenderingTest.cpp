#include <gtest/gtest.h>

#include <string>

#include "log/logUnit.h"

namespace {

using namespace std::string_literals;

struct RenderCase {
  std::string bytes;
  std::string hex;
  std::string dec;
  std::string printableWithCodes;
  std::string printablePlain;
};

TEST(LogRendering, TableOfByteStrings) {
  const RenderCase cases[] = {
      {"", "", "", "", ""},
      {"\xFD\x01\xFA", "FD 01 FA ", "253 001 250 ", "\xFD#1\xFA", "\xFD.\xFA"},
      {"CS", "43 53 ", "067 083 ", "CS", "CS"},
      {"A\0B"s, "41 00 42 ", "065 000 066 ", "A#0B", "A.B"},
      {"\r\n", "0D 0A ", "013 010 ", "#13#10", ".."},
      {"\x1F \x7F", "1F 20 7F ", "031 032 127 ", "#31 \x7F", ". \x7F"},
      {"\x09\xFF", "09 FF ", "009 255 ", "#9\xFF", ".\xFF"},
      // Accented letters of the code page are above 127 and stay as they are.
      {"\xE1rv\xEDz", "E1 72 76 ED 7A ", "225 114 118 237 122 ", "\xE1rv\xEDz", "\xE1rv\xEDz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HexText(c.bytes));
    EXPECT_EQ(HexText(c.bytes), c.hex);
    EXPECT_EQ(DecText(c.bytes), c.dec);
    EXPECT_EQ(PrintableText(c.bytes, true), c.printableWithCodes);
    EXPECT_EQ(PrintableText(c.bytes, false), c.printablePlain);
  }
}

TEST(LogRendering, EveryByteValue) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string hex = HexText(all);
  const std::string dec = DecText(all);
  ASSERT_EQ(hex.size(), 256u * 3);
  ASSERT_EQ(dec.size(), 256u * 4);
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(std::stoi(hex.substr(b * 3, 2), nullptr, 16), b);
    EXPECT_EQ(hex[b * 3 + 2], ' ');
    EXPECT_EQ(std::stoi(dec.substr(b * 4, 3)), b);
    EXPECT_EQ(dec[b * 4 + 3], ' ');
  }
  // Every control byte takes one '.' without codes; the rest is copied.
  const std::string plain = PrintableText(all, false);
  ASSERT_EQ(plain.size(), 256u);
  EXPECT_EQ(plain.substr(0, 32), std::string(32, '.'));
  EXPECT_EQ(plain.substr(32), all.substr(32));
  // With codes: 10 one-digit and 22 two-digit codes, each after a '#'.
  EXPECT_EQ(PrintableText(all, true).size(), 10u * 2 + 22u * 3 + 224u);
}

}  // namespace
