#include <gtest/gtest.h>

#include "protocol/ProtocolTestUtil.h"
#include "protocol/ZEBProtocol.h"

namespace {

constexpr const char* kZebCsysi = "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE";
constexpr const char* kZebwCsysi = "FB 81 80 80 80 7A 80 80 7F 80 7A 41 87 80 85 80 7B 43 53 59 53 49 80 C7 FC";

constexpr TZEBMode ZEB = TZEBMode::PMZEBOnly;
constexpr TZEBMode ZEBW = TZEBMode::PMZEBWOnly;
constexpr TZEBMode BOTH_ZEB = TZEBMode::PMDecodeBothEncodeZEB;
constexpr TZEBMode BOTH_ZEBW = TZEBMode::PMDecodeBothEncodeZEBW;

std::string Patched(const char* hex, size_t offset, unsigned char value) {
  std::string b = Bytes(hex);
  b[offset] = static_cast<char>(value);
  return b;
}

struct DecodeCase {
  const char* what;
  TZEBMode mode;
  std::string frame;
  int result;
};

// Frames for result codes; several break two rules at once to pin down which check comes
// first.
TEST(Decode, ResultCodes) {
  const DecodeCase cases[] = {
      {"ZEB frame", ZEB, Bytes(kZebCsysi), 0},
      {"ZEB frame to broadcast", ZEB, Bytes("FD FF FA 04 09 80 06 01 01 43 53 59 53 49 80 99 FE"), 0},
      {"ZEB checksum off by one", ZEB, Patched(kZebCsysi, 15, 0x9B), 1},
      {"ZEB payload byte changed", ZEB, Patched(kZebCsysi, 10, 0x54), 1},
      {"ZEB 10 bytes", ZEB, Bytes("FD 01 FA 04 03 80 80 01 01 FE"), 6},
      {"ZEB 2049 bytes", ZEB, "\xFD" + std::string(2047, '\x01') + "\xFE", 2},
      {"ZEB 2049 bytes without markers: length first", ZEB, std::string(2049, 'x'), 2},
      {"ZEB no start marker", ZEB, Patched(kZebCsysi, 0, 0xFC), 3},
      {"ZEB no end marker", ZEB, Patched(kZebCsysi, 16, 0xFC), 3},
      {"ZEB to 252", ZEB, Patched(kZebCsysi, 1, 252), 4},
      {"ZEB to 251", ZEB, Patched(kZebCsysi, 1, 251), 4},
      {"ZEB from 0", ZEB, Patched(kZebCsysi, 2, 0), 4},
      {"ZEB from 251", ZEB, Patched(kZebCsysi, 2, 251), 4},
      {"ZEB from 255", ZEB, Patched(kZebCsysi, 2, 255), 4},
      {"ZEB declared length one short", ZEB, Patched(kZebCsysi, 6, 0x05), 5},
      {"ZEB declared length 128 more", ZEB, Patched(kZebCsysi, 5, 0x01), 5},
      {"ZEB bad address before bad length", ZEB, Patched(Hex(Patched(kZebCsysi, 6, 5)).c_str(), 1, 253), 4},
      {"ZEB bad length before bad checksum", ZEB, Patched(Hex(Patched(kZebCsysi, 6, 5)).c_str(), 15, 1), 5},
      {"ZEBW frame in ZEB mode", ZEB, Bytes(kZebwCsysi), 3},

      {"ZEBW frame", ZEBW, Bytes(kZebwCsysi), 0},
      {"ZEBW from 70000",
       ZEBW, Bytes("FB 81 80 80 80 70 91 81 6F 80 70 80 87 80 85 80 7D 43 53 59 53 49 80 F6 FC"), 0},
      {"ZEBW from 17",
       ZEBW, Bytes("FB 81 80 80 80 91 80 80 7F 80 91 80 87 80 85 80 7F 43 53 59 53 49 80 38 FC"), 4},
      {"ZEBW checksum", ZEBW, Patched(kZebwCsysi, 23, 0xC8), 1},
      {"ZEBW payload byte changed", ZEBW, Patched(kZebwCsysi, 18, 0x54), 1},
      {"ZEBW 14 bytes", ZEBW, Bytes("FB 41 41 41 41 41 41 41 41 41 41 41 8B FC"), 6},
      {"ZEBW 2049 bytes", ZEBW, "\xFB" + std::string(2047, 'A') + "\xFC", 2},
      {"ZEBW no start marker", ZEBW, Patched(kZebwCsysi, 0, 0xFD), 3},
      {"ZEBW no end marker", ZEBW, Patched(kZebwCsysi, 24, 0xFE), 3},
      {"ZEBW declared payload longer than body",
       ZEBW, Bytes("FB 81 80 80 80 7A 80 80 7F 80 7A 80 87 80 86 80 7F 43 53 59 53 49 80 8B FC"), 5},
      // Long enough for the length check but unescaping to fewer bytes than a header.
      {"ZEBW 15 bytes, body shorter than a header", ZEBW, Bytes("FB 41 41 41 41 41 41 41 41 41 41 41 41 8C FC"), 5},
      {"ZEBW 18 bytes, body shorter than a header",
       ZEBW, Bytes("FB 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 CF FC"), 5},
      {"ZEB frame in ZEBW mode", ZEBW, Bytes(kZebCsysi), 3},

      {"decode-both takes a ZEB frame", BOTH_ZEB, Bytes(kZebCsysi), 0},
      {"decode-both takes a ZEBW frame", BOTH_ZEB, Bytes(kZebwCsysi), 0},
      {"decode-both (ZEBW) takes a ZEB frame", BOTH_ZEBW, Bytes(kZebCsysi), 0},
      {"decode-both reports the ZEBW verdict on a damaged ZEB frame", BOTH_ZEB, Patched(kZebCsysi, 15, 0x9B), 3},
      {"decode-both on a short ZEB frame", BOTH_ZEBW, Bytes("FD 01 FA 04 03 80 80 01 01 FE"), 6},
      {"decode-both on a damaged ZEBW frame", BOTH_ZEB, Patched(kZebwCsysi, 23, 0xC8), 1},
  };
  for (const auto& c : cases) {
    TZEBProtocol codec;
    codec.ZEBMode = c.mode;
    std::string data = codec.Decode(c.frame);
    EXPECT_EQ(codec.DecodeResult, c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(data, "CSYSI") << c.what;
    }
  }
}

TEST(Decode, ResultTexts) {
  const std::pair<int, const char*> cases[] = {{0, "OK"},          {1, "ROSSZ CHSUM"}, {2, "TUL NAGY"},
                                               {3, "NINCS KERET"}, {4, "ROSSZ CIM"},   {5, "ROSSZ MERET"},
                                               {6, "TUL ROVID"},   {7, "ISMRTLN HIB"}, {-1, "ISMRTLN HIB"},
                                               {9, "ISMRTLN HIB"}, {65535, "ISMRTLN HIB"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(DecodeResultText(code), text) << code;
}

TEST(Decode, VariantOfLastFrameFollowsEachSuccessfulDecode) {
  TZEBProtocol codec;
  codec.ZEBMode = BOTH_ZEB;
  codec.Decode(Bytes(kZebwCsysi));
  EXPECT_TRUE(codec.LastFrameWasW);
  EXPECT_EQ(codec.Felado, 250u);
  codec.Decode(Bytes(kZebCsysi));
  EXPECT_FALSE(codec.LastFrameWasW);
  codec.Decode(Bytes(kZebwCsysi));
  EXPECT_TRUE(codec.LastFrameWasW);
}

TEST(Decode, ZebHeaderFieldsComeFromTheFrame) {
  TZEBProtocol codec;
  codec.Cimzett = 77777;
  codec.Felado = 99999;
  codec.Info = TInfo::ismetelt_csomag;
  codec.Decode(Bytes(kZebCsysi));
  ASSERT_EQ(codec.DecodeResult, 0);
  EXPECT_EQ(codec.Cimzett, 1u);
  EXPECT_EQ(codec.Felado, 250u);
  EXPECT_EQ(codec.Felado_rovid_cim, 250);
  EXPECT_EQ(codec.Info, TInfo::kerek_nyugtat);
  EXPECT_EQ(codec.CsomagSorszam, 7);
  EXPECT_EQ(codec.LastChecksum, 0x9A);
}

TEST(Decode, DecodeToReusesTheCallersString) {
  TZEBProtocol codec;
  std::string data = "leftover";
  EXPECT_EQ(codec.DecodeTo(Bytes(kZebCsysi), data), 0);
  EXPECT_EQ(data, "CSYSI");
  EXPECT_EQ(codec.DecodeTo(Patched(kZebCsysi, 15, 1), data), 1);
  EXPECT_TRUE(data.empty());
}

}  // namespace
