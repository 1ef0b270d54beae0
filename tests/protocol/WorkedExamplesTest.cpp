#include <gtest/gtest.h>

#include "protocol/ZEBProtocol.h"
#include "protocol/ProtocolTestUtil.h"

namespace {

TEST(WorkedExamples, ZebFrameOfCsysiRequestingAck) {
  TZEBProtocol codec;
  codec.Cimzett = 1;
  codec.Felado = 250;
  codec.Info = TInfo::kerek_nyugtat;
  codec.CsomagSorszam = 7;
  std::string frame = codec.Encode("CSYSI");
  EXPECT_EQ(Hex(frame), "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE");
  EXPECT_EQ(codec.LastChecksum, 0x9A);
  EXPECT_FALSE(codec.LastFrameWasW);

  TZEBProtocol rx;
  EXPECT_EQ(rx.Decode(frame), "CSYSI");
  EXPECT_EQ(rx.DecodeResult, 0);
  EXPECT_EQ(rx.Cimzett, 1u);
  EXPECT_EQ(rx.Felado, 250u);
  EXPECT_EQ(rx.Felado_rovid_cim, 250);
  EXPECT_EQ(rx.Info, TInfo::kerek_nyugtat);
  EXPECT_EQ(rx.CsomagSorszam, 7);
  EXPECT_EQ(rx.LastChecksum, 0x9A);
}

TEST(WorkedExamples, ZebPackingOfHighBitAndZeroBytes) {
  TZEBProtocol codec;
  codec.CsomagSorszam = 1;
  std::string frame = codec.Encode(Bytes("00 80 FF 41"));
  ASSERT_EQ(frame.size(), 5u + 11u);
  EXPECT_EQ(Hex(frame.substr(9, 5)), "80 80 7F 41 30");

  TZEBProtocol rx;
  EXPECT_EQ(Hex(rx.Decode(frame)), "00 80 FF 41");
  EXPECT_EQ(rx.DecodeResult, 0);
}

TEST(WorkedExamples, ZebwFrameOfCsysiWithAsyer) {
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  codec.Cimzett = 1;
  codec.Felado = 250;
  codec.Felado_rovid_cim = 250;
  codec.Info = TInfo::kerek_nyugtat;
  codec.Enable_ASYER = true;
  codec.CsomagSorszam = 7;
  std::string frame = codec.Encode("CSYSI");
  EXPECT_EQ(Hex(frame),
            "FB 81 80 80 80 7A 80 80 7F 80 7A 41 87 80 85 80 7B 43 53 59 53 49 80 C7 FC");
  EXPECT_EQ(codec.LastChecksum, 0xC7);
  EXPECT_TRUE(codec.LastFrameWasW);

  TZEBProtocol rx;
  rx.ZEBMode = TZEBMode::PMZEBWOnly;
  EXPECT_EQ(rx.Decode(frame), "CSYSI");
  EXPECT_EQ(rx.DecodeResult, 0);
  EXPECT_EQ(rx.Cimzett, 1u);
  EXPECT_EQ(rx.Felado, 250u);
  EXPECT_EQ(rx.Felado_rovid_cim, 250);
  EXPECT_EQ(rx.Info, TInfo::kerek_nyugtat);
  EXPECT_TRUE(rx.Enable_ASYER);
  EXPECT_FALSE(rx.Disable_bitmatrix);
  EXPECT_EQ(rx.CsomagSorszam, 7);
  EXPECT_TRUE(rx.Header_extension.empty());
  EXPECT_TRUE(rx.LastFrameWasW);
}

}  // namespace
