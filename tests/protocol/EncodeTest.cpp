#include <gtest/gtest.h>

#include <set>

#include "protocol/ProtocolTestUtil.h"
#include "protocol/ZEBProtocol.h"

namespace {

struct ZebHeader {
  uint32_t dest;
  uint32_t src;
  TInfo info;
  uint8_t serial;
};

TZEBProtocol ZebCodec(const ZebHeader& h) {
  TZEBProtocol c;
  c.Cimzett = h.dest;
  c.Felado = h.src;
  c.Info = h.info;
  c.CsomagSorszam = h.serial;
  return c;
}

// Frames computed by hand from the wire layout, one per rule that shapes a header or
// checksum byte.
TEST(ZebEncode, GoldenFrames) {
  struct Case {
    const char* what;
    ZebHeader header;
    const char* payload;
    const char* frame;
  } cases[] = {
      {"empty payload, both length bytes sent as 80", {9, 250, TInfo::nem_kerek_nyugtat, 3}, "",
       "FD 09 FA 04 03 80 80 01 01 0C FE"},
      {"checksum 250 stays", {1, 250, TInfo::kerek_nyugtat, 181}, "41", "FD 01 FA 05 B5 80 02 01 01 41 80 FA FE"},
      {"checksum 251 folds to 123", {1, 250, TInfo::kerek_nyugtat, 182}, "41", "FD 01 FA 05 B6 80 02 01 01 41 80 7B FE"},
      {"checksum 0 is sent as 80", {1, 250, TInfo::kerek_nyugtat, 187}, "41", "FD 01 FA 05 BB 80 02 01 01 41 80 80 FE"},
      {"destination low byte 0 is sent as 80", {256, 250, TInfo::nem_kerek_nyugtat, 3}, "01",
       "FD 80 FA 04 03 80 02 01 01 01 80 86 FE"},
      {"broadcast destination", {255, 250, TInfo::nem_kerek_nyugtat, 9}, "43 53 59 53 49",
       "FD FF FA 04 09 80 06 01 01 43 53 59 53 49 80 99 FE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TZEBProtocol codec = ZebCodec(c.header);
    EXPECT_EQ(Hex(codec.Encode(Bytes(c.payload))), c.frame);
    TZEBProtocol rx;
    EXPECT_EQ(Hex(rx.Decode(Bytes(c.frame))), c.payload);
    EXPECT_EQ(rx.DecodeResult, 0);
  }
}

TEST(ZebEncode, PackedLengthGrowsByOneCollectorPerSevenBytes) {
  struct Case {
    size_t payload, frame;
  } cases[] = {{0, 11}, {1, 13}, {6, 18}, {7, 19}, {8, 21}, {14, 27}, {15, 29}};
  for (const auto& c : cases) {
    TZEBProtocol codec;
    codec.CsomagSorszam = 1;
    EXPECT_EQ(codec.Encode(std::string(c.payload, 'x')).size(), c.frame) << c.payload << " payload bytes";
  }
}

TEST(ZebEncode, PackedLengthOf128HasZeroLowLengthByteSentAs80) {
  TZEBProtocol codec;
  codec.CsomagSorszam = 1;
  std::string payload(112, 'a');  // 112 + 16 collectors = 128 packed bytes
  std::string frame = codec.Encode(payload);
  ASSERT_EQ(frame.size(), 128u + 11u);
  EXPECT_EQ(Hex(frame.substr(5, 2)), "01 80");
  TZEBProtocol rx;
  EXPECT_EQ(rx.Decode(frame), payload);
}

TEST(ZebEncode, ZeroAndHighBitBytesBothTravelAs80AndComeBackDistinct) {
  TZEBProtocol codec;
  codec.CsomagSorszam = 1;
  std::string payload = Bytes("80 00 80 00 80 00 80 00 80");
  std::string frame = codec.Encode(payload);
  for (size_t i = 1; i + 2 < frame.size(); ++i) EXPECT_NE(frame[i], '\0') << "offset " << i;
  EXPECT_EQ(Hex(frame.substr(9, 7)), "80 80 80 80 80 80 80");
  TZEBProtocol rx;
  EXPECT_EQ(Hex(rx.Decode(frame)), Hex(payload));
}

TEST(ZebEncode, InfoTravelsInBitsZeroAndOneWithBitTwoSet) {
  // A repeated packet has no code of its own on the short-address line: 4 | 4 reads back as
  // "no acknowledgement requested".
  struct Case {
    TInfo info;
    unsigned char byte3;
    TInfo decoded;
  } cases[] = {{TInfo::nem_kerek_nyugtat, 0x04, TInfo::nem_kerek_nyugtat},
               {TInfo::kerek_nyugtat, 0x05, TInfo::kerek_nyugtat},
               {TInfo::pozitiv_nyugta, 0x06, TInfo::pozitiv_nyugta},
               {TInfo::negativ_nyugta, 0x07, TInfo::negativ_nyugta},
               {TInfo::ismetelt_csomag, 0x04, TInfo::nem_kerek_nyugtat}};
  for (const auto& c : cases) {
    TZEBProtocol codec = ZebCodec({1, 250, c.info, 5});
    std::string frame = codec.Encode("CSYSI");
    EXPECT_EQ(static_cast<unsigned char>(frame[3]), c.byte3);
    TZEBProtocol rx;
    rx.Decode(frame);
    EXPECT_EQ(rx.Info, c.decoded);
  }
}

TEST(SerialNumber, RulesPerVariant) {
  struct Case {
    TZEBMode mode;
    uint8_t before, after;
  } cases[] = {
      {TZEBMode::PMZEBOnly, 7, 7},          {TZEBMode::PMZEBOnly, 250, 250},
      {TZEBMode::PMZEBOnly, 251, 1},        {TZEBMode::PMZEBOnly, 255, 1},
      {TZEBMode::PMZEBWOnly, 0, 0},         {TZEBMode::PMZEBWOnly, 250, 250},
      {TZEBMode::PMZEBWOnly, 251, 1},       {TZEBMode::PMDecodeBothEncodeZEBW, 0, 0},
      {TZEBMode::PMDecodeBothEncodeZEB, 251, 1},
  };
  for (const auto& c : cases) {
    TZEBProtocol codec;
    codec.ZEBMode = c.mode;
    codec.CsomagSorszam = c.before;
    std::string frame = codec.Encode("CSYSI");
    EXPECT_EQ(codec.CsomagSorszam, c.after) << "mode " << int(c.mode) << " serial " << int(c.before);
    TZEBProtocol rx;
    rx.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
    rx.Decode(frame);
    ASSERT_EQ(rx.DecodeResult, 0);
    EXPECT_EQ(rx.CsomagSorszam, c.after);
  }
}

TEST(SerialNumber, ZeroOnZebBecomesRandomOneTo250) {
  std::set<int> seen;
  for (int i = 0; i < 500; ++i) {
    TZEBProtocol codec;
    codec.CsomagSorszam = 0;
    std::string frame = codec.Encode("x");
    ASSERT_GE(codec.CsomagSorszam, 1);
    ASSERT_LE(codec.CsomagSorszam, 250);
    EXPECT_EQ(static_cast<unsigned char>(frame[4]), codec.CsomagSorszam);
    seen.insert(codec.CsomagSorszam);
  }
  // 500 draws from 250 values: fewer than 100 distinct ones would mean no real randomness.
  EXPECT_GT(seen.size(), 100u);
}

TEST(ZebEncode, ShortSourceAddressFollowsLowByteOfSource) {
  TZEBProtocol codec;
  codec.Felado = 0x000123FA;
  codec.Felado_rovid_cim = 7;
  codec.CsomagSorszam = 1;
  std::string frame = codec.Encode("x");
  EXPECT_EQ(codec.Felado_rovid_cim, 0xFA);
  EXPECT_EQ(static_cast<unsigned char>(frame[2]), 0xFA);

  TZEBProtocol w;
  w.ZEBMode = TZEBMode::PMZEBWOnly;
  w.Felado = 70000;
  w.Felado_rovid_cim = 7;
  w.Encode("x");
  EXPECT_EQ(w.Felado_rovid_cim, 7);
}

TEST(ZebwEncode, GoldenFrames) {
  struct Case {
    const char* what;
    uint32_t dest, src;
    uint8_t shortSrc;
    TInfo info;
    bool asyer, noBitmatrix;
    uint8_t serial;
    const char* ext;
    const char* payload;
    const char* frame;
  } cases[] = {
      {"checksum sum FD folds to 7D", 300, 250, 250, TInfo::nem_kerek_nyugtat, false, false, 37, "", "41",
       "FB 2C 81 80 80 7A 80 80 7E 80 7A 80 25 80 81 80 77 41 80 7D FC"},
      {"checksum sum 00 is sent as 80", 300, 250, 250, TInfo::nem_kerek_nyugtat, false, false, 40, "", "41",
       "FB 2C 81 80 80 7A 80 80 7E 80 7A 80 28 80 81 80 77 41 80 80 FC"},
      {"checksum sum 1F is sent as 9F", 300, 250, 250, TInfo::nem_kerek_nyugtat, false, false, 71, "", "41",
       "FB 2C 81 80 80 7A 80 80 7E 80 7A 80 47 80 81 80 77 41 80 9F FC"},
      {"extension, bitmatrix flag, negative acknowledgement", 70000, 250, 250, TInfo::negativ_nyugta, false, true, 9,
       "FF 00", "48 69", "FB 70 91 81 80 7A 80 80 7E 80 7A 93 89 82 82 80 7F 7F 80 48 69 83 46 FC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TZEBProtocol codec;
    codec.ZEBMode = TZEBMode::PMZEBWOnly;
    codec.Cimzett = c.dest;
    codec.Felado = c.src;
    codec.Felado_rovid_cim = c.shortSrc;
    codec.Info = c.info;
    codec.Enable_ASYER = c.asyer;
    codec.Disable_bitmatrix = c.noBitmatrix;
    codec.CsomagSorszam = c.serial;
    codec.Header_extension = Bytes(c.ext);
    std::string frame = codec.Encode(Bytes(c.payload));
    EXPECT_EQ(Hex(frame), c.frame);
    EXPECT_EQ(codec.LastChecksum, static_cast<unsigned char>(frame[frame.size() - 2]));

    TZEBProtocol rx;
    rx.ZEBMode = TZEBMode::PMZEBWOnly;
    EXPECT_EQ(Hex(rx.Decode(frame)), c.payload);
    ASSERT_EQ(rx.DecodeResult, 0);
    EXPECT_EQ(rx.Cimzett, c.dest);
    EXPECT_EQ(rx.Felado, c.src);
    EXPECT_EQ(rx.Felado_rovid_cim, c.shortSrc);
    EXPECT_EQ(rx.Info, c.info);
    EXPECT_EQ(rx.Enable_ASYER, c.asyer);
    EXPECT_EQ(rx.Disable_bitmatrix, c.noBitmatrix);
    EXPECT_EQ(rx.CsomagSorszam, c.serial);
    EXPECT_EQ(Hex(rx.Header_extension), c.ext);
  }
}

// Largest payloads that fit, worked out from the frame layout: a ZEB frame is
// m + ceil(m/7) + 11 <= 2048 bytes, so m <= 1782; a ZEBW escaped body is
// b + ceil(b/7) <= 2045 for b = 14 + extension + payload, so b <= 1789.
TEST(SizeLimit, LargestPayloadFitsAndOneMoreByteDoesNot) {
  struct Case {
    const char* what;
    TZEBMode mode;
    size_t extension;
    size_t largest;
  } cases[] = {
      {"ZEB", TZEBMode::PMZEBOnly, 0, 1782},
      {"ZEB via decode-both", TZEBMode::PMDecodeBothEncodeZEB, 0, 1782},
      {"ZEBW", TZEBMode::PMZEBWOnly, 0, 1775},
      {"ZEBW via decode-both", TZEBMode::PMDecodeBothEncodeZEBW, 0, 1775},
      {"ZEBW with a 10-byte extension", TZEBMode::PMZEBWOnly, 10, 1765},
      {"ZEBW with the longest extension", TZEBMode::PMZEBWOnly, 255, 1520},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TZEBProtocol codec;
    codec.ZEBMode = c.mode;
    codec.CsomagSorszam = 1;
    codec.Header_extension.assign(c.extension, 'e');
    std::string payload(c.largest, '\x80');
    std::string frame = codec.Encode(payload);
    EXPECT_EQ(frame.size(), ZEB_MAX_FRAME);

    TZEBProtocol rx;
    rx.ZEBMode = c.mode;
    EXPECT_EQ(rx.Decode(frame), payload);
    EXPECT_EQ(rx.DecodeResult, 0);

    payload.push_back('x');
    try {
      codec.Encode(payload);
      ADD_FAILURE() << "no exception for " << payload.size() << " bytes";
    } catch (const EZEBDataTooLong& e) {
      EXPECT_STREQ(e.what(), "Data do not fit in ZEB packet");
    }
  }
}

TEST(SizeLimit, ExtensionLongerThanItsLengthByteIsRefused) {
  // Its length travels in one byte: 256 bytes would be announced as 0 and the receiver would
  // read the extension as payload.
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  codec.Header_extension.assign(255, 'e');
  EXPECT_NO_THROW(codec.Encode(""));
  codec.Header_extension.assign(256, 'e');
  EXPECT_THROW(codec.Encode(""), EZEBDataTooLong);
}

}  // namespace
