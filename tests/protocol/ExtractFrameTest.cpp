#include <gtest/gtest.h>

#include "protocol/ProtocolTestUtil.h"
#include "protocol/ZEBProtocol.h"

namespace {

constexpr const char* kZeb = "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE";
constexpr const char* kZebw = "FB 81 80 80 80 7A 80 80 7F 80 7A 41 87 80 85 80 7B 43 53 59 53 49 80 C7 FC";

struct Case {
  const char* what;
  TZEBMode mode;
  std::string buffer;
  const char* frame;
  const char* skipped;
  const char* rest;
  bool wasW;
};

std::string Join(std::initializer_list<std::string> parts) {
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty() && !p.empty()) out += ' ';
    out += p;
  }
  return out;
}

TEST(ExtractFrame, CutsTheFirstCompleteFrame) {
  const std::string zeb = kZeb, zebw = kZebw;
  const Case cases[] = {
      {"noise in front, start of the next frame behind", TZEBMode::PMZEBOnly, Join({"78 79 7A", zeb, "FD 01"}), kZeb,
       "78 79 7A", "FD 01", false},
      {"frame at the head", TZEBMode::PMZEBOnly, Join({zeb, zeb}), kZeb, "", kZeb, false},
      {"broken frame in front is skipped", TZEBMode::PMZEBOnly, Join({"FD 01 FA 05", zeb}), kZeb, "FD 01 FA 05", "",
       false},
      {"piece without a start marker comes out whole", TZEBMode::PMZEBOnly, "01 02 FE 03", "01 02 FE", "", "03",
       false},
      {"ZEBW frame", TZEBMode::PMZEBWOnly, Join({"00", zebw, "FB"}), kZebw, "00", "FB", true},
      {"ZEB-only mode does not see ZEBW frames", TZEBMode::PMZEBOnly, Join({zebw, zeb}), kZeb, kZebw, "", false},
      {"decode-both prefers a complete ZEB frame even behind a ZEBW one", TZEBMode::PMDecodeBothEncodeZEB,
       Join({zebw, zeb}), kZeb, kZebw, "", false},
      {"decode-both falls back to ZEBW framing", TZEBMode::PMDecodeBothEncodeZEBW, Join({zebw, "FD 01"}), kZebw, "",
       "FD 01", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TZEBProtocol codec;
    codec.ZEBMode = c.mode;
    codec.LastFrameWasW = !c.wasW;
    std::string buffer = Bytes(c.buffer);
    EXPECT_EQ(Hex(codec.ExtractFrame(buffer)), c.frame);
    EXPECT_EQ(Hex(codec.SkippedBytes), c.skipped);
    EXPECT_EQ(Hex(buffer), c.rest);
    EXPECT_EQ(codec.LastFrameWasW, c.wasW);
  }
}

TEST(ExtractFrame, NothingCompleteLeavesTheBufferAlone) {
  const std::pair<TZEBMode, const char*> cases[] = {
      {TZEBMode::PMZEBOnly, "78 FD 01 FA 05 07"},
      {TZEBMode::PMZEBOnly, "FB 81 80 FC"},
      {TZEBMode::PMZEBWOnly, "FD 01 FE FB 81"},
      {TZEBMode::PMDecodeBothEncodeZEB, "FD 01 FB 81"},
      {TZEBMode::PMDecodeBothEncodeZEBW, ""},
  };
  for (const auto& [mode, hex] : cases) {
    TZEBProtocol codec;
    codec.ZEBMode = mode;
    codec.SkippedBytes = "stale";
    std::string buffer = Bytes(hex);
    EXPECT_EQ(codec.ExtractFrame(buffer), "") << hex;
    EXPECT_EQ(Hex(buffer), hex);
    EXPECT_EQ(codec.SkippedBytes, "");
  }
}

TEST(ExtractFrame, RepeatedCallsDrainAMixedStream) {
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
  std::string buffer = Bytes(Join({kZeb, "11", kZeb, kZebw, "22 FD"}));
  std::vector<std::string> frames;
  for (std::string f; !(f = codec.ExtractFrame(buffer)).empty();) {
    frames.push_back(Hex(f));
    EXPECT_EQ(codec.Decode(f), "CSYSI");
  }
  EXPECT_EQ(frames, (std::vector<std::string>{kZeb, kZeb, kZebw}));
  EXPECT_EQ(Hex(buffer), "22 FD");
}

}  // namespace
