#include <gtest/gtest.h>

#include <random>

#include "protocol/ProtocolTestUtil.h"
#include "protocol/ZEBProtocol.h"

namespace {

constexpr size_t kZebLargest = 1782;
constexpr size_t kZebwLargestBody = 1789;

const TZEBMode kAllModes[] = {TZEBMode::PMZEBOnly, TZEBMode::PMZEBWOnly, TZEBMode::PMDecodeBothEncodeZEB,
                              TZEBMode::PMDecodeBothEncodeZEBW};

bool EncodesW(TZEBMode m) { return m == TZEBMode::PMZEBWOnly || m == TZEBMode::PMDecodeBothEncodeZEBW; }
bool Accepts(TZEBMode m, bool w) { return w ? m != TZEBMode::PMZEBOnly : m != TZEBMode::PMZEBWOnly; }

class RoundTrip : public ::testing::Test {
 protected:
  std::mt19937 rng{20240611};

  unsigned Uniform(unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); }

  std::string RandomBytes(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(Uniform(0, 255));
    return s;
  }

  // Noise that cannot be mistaken for a marker, so the frame is what extraction finds.
  std::string Noise() {
    std::string s = RandomBytes(Uniform(0, 5));
    for (auto& c : s) c = static_cast<char>(static_cast<unsigned char>(c) % 0xFB);
    return s;
  }

  // Header fields a receiver accepts; the high bytes of the ZEB addresses are random too,
  // since only their low bytes travel.
  void RandomHeader(TZEBProtocol& c, bool w) {
    if (w) {
      c.Cimzett = static_cast<uint32_t>(rng());
      c.Felado = Uniform(0, 3) == 0 ? ZEB_PC_ADDRESS : Uniform(256, 0xFFFFFFFFu);
      c.Felado_rovid_cim = static_cast<uint8_t>(Uniform(0, 255));
      c.Enable_ASYER = Uniform(0, 1);
      c.Disable_bitmatrix = Uniform(0, 1);
    } else {
      unsigned dest = Uniform(0, 250);
      c.Cimzett = (Uniform(0, 0xFFFFFF) << 8) | (dest == 0 ? 255 : dest);
      c.Felado = (Uniform(0, 0xFFFFFF) << 8) | Uniform(1, 250);
    }
    c.Info = static_cast<TInfo>(Uniform(0, 4));
    c.CsomagSorszam = static_cast<uint8_t>(Uniform(0, 255));
  }

  void Check(TZEBMode encodeMode, size_t len) {
    const bool w = EncodesW(encodeMode);
    TZEBProtocol tx;
    tx.ZEBMode = encodeMode;
    RandomHeader(tx, w);
    if (w) tx.Header_extension = RandomBytes(Uniform(0, std::min<size_t>(255, kZebwLargestBody - 14 - len)));
    const uint8_t serialBefore = tx.CsomagSorszam;
    const std::string payload = RandomBytes(len);
    const std::string frame = tx.Encode(payload);

    const size_t body = w ? 14 + tx.Header_extension.size() + len : len;
    ASSERT_EQ(frame.size(), body + (body + 6) / 7 + (w ? 3 : 11));
    EXPECT_EQ(tx.LastFrameWasW, w);
    EXPECT_EQ(static_cast<unsigned char>(frame[frame.size() - 2]), tx.LastChecksum);
    if (serialBefore > 250) EXPECT_EQ(tx.CsomagSorszam, 1);
    else if (serialBefore == 0 && !w) EXPECT_TRUE(tx.CsomagSorszam >= 1 && tx.CsomagSorszam <= 250);
    else EXPECT_EQ(tx.CsomagSorszam, serialBefore);
    // No marker of either variant inside: that is what lets extraction find frame borders
    // on a line that carries both.
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
      unsigned char b = static_cast<unsigned char>(frame[i]);
      ASSERT_TRUE(b < 0xFB || b == 0xFF) << "marker at offset " << i;
    }

    for (TZEBMode mode : kAllModes) {
      TZEBProtocol rx;
      rx.ZEBMode = mode;
      std::string stream = Noise() + frame + Noise();
      std::string cut = rx.ExtractFrame(stream);
      if (!Accepts(mode, w)) {
        // The length checks come before the marker check: a short ZEB frame is "too short"
        // for a ZEBW decoder.
        rx.Decode(frame);
        EXPECT_EQ(rx.DecodeResult, !w && frame.size() < 15 ? 6 : 3);
        continue;
      }
      ASSERT_EQ(cut, frame);
      EXPECT_EQ(rx.LastFrameWasW, w);
      ASSERT_EQ(rx.Decode(cut), payload) << "mode " << int(mode) << " length " << len;
      ASSERT_EQ(rx.DecodeResult, 0);
      EXPECT_EQ(rx.LastFrameWasW, w);
      EXPECT_EQ(rx.CsomagSorszam, tx.CsomagSorszam);
      EXPECT_EQ(rx.LastChecksum, tx.LastChecksum);
      if (w) {
        EXPECT_EQ(rx.Cimzett, tx.Cimzett);
        EXPECT_EQ(rx.Felado, tx.Felado);
        EXPECT_EQ(rx.Felado_rovid_cim, tx.Felado_rovid_cim);
        EXPECT_EQ(rx.Info, tx.Info);
        EXPECT_EQ(rx.Enable_ASYER, tx.Enable_ASYER);
        EXPECT_EQ(rx.Disable_bitmatrix, tx.Disable_bitmatrix);
        EXPECT_EQ(rx.Header_extension, tx.Header_extension);
      } else {
        EXPECT_EQ(rx.Cimzett, tx.Cimzett & 0xFF);
        EXPECT_EQ(rx.Felado, tx.Felado & 0xFF);
        EXPECT_EQ(rx.Felado_rovid_cim, tx.Felado_rovid_cim);
        EXPECT_EQ(rx.Info, static_cast<TInfo>(static_cast<unsigned>(tx.Info) & 3));
      }
    }
  }
};

TEST_F(RoundTrip, EveryZebPayloadLengthUpToTheLimit) {
  for (size_t len = 0; len <= kZebLargest; ++len) {
    Check(len % 2 ? TZEBMode::PMZEBOnly : TZEBMode::PMDecodeBothEncodeZEB, len);
    if (HasFatalFailure()) return;
  }
}

TEST_F(RoundTrip, EveryZebwPayloadLengthUpToTheLimit) {
  for (size_t len = 0; len <= kZebwLargestBody - 14; ++len) {
    Check(len % 2 ? TZEBMode::PMZEBWOnly : TZEBMode::PMDecodeBothEncodeZEBW, len);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
