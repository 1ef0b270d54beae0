#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/CliRun.h"

namespace {

CliRun Cli(std::vector<std::string> args) {
  args.insert(args.begin(), "frame");
  return RunCli(args);
}

class FrameCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kCliBinary)) GTEST_SKIP() << kCliBinary << " not built";
  }
};

TEST_F(FrameCli, EncodePrintsTheFrameOnOneLine) {
  struct Case {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"encode", "--info", "1", "--serial", "7", "4353595349"}, "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE\n"},
      {{"encode", "--dest", "9", "--serial", "3", ""}, "FD 09 FA 04 03 80 80 01 01 0C FE\n"},
      {{"encode", "--zebw", "--info", "1", "--asyer", "--serial", "7", "43 53 59 53 49"},
       "FB 81 80 80 80 7A 80 80 7F 80 7A 41 87 80 85 80 7B 43 53 59 53 49 80 C7 FC\n"},
      {{"encode", "--zebw", "--dest", "70000", "--info", "3", "--disable-bitmatrix", "--serial", "9", "--ext", "ff00",
        "4869"},
       "FB 70 91 81 80 7A 80 80 7E 80 7A 93 89 82 82 80 7F 7F 80 48 69 83 46 FC\n"},
  };
  for (const auto& c : cases) {
    CliRun r = Cli(c.args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(FrameCli, DecodePrintsHeaderAndPayload) {
  CliRun r = Cli({"decode", "--mode", "both-zeb",
               "fb 70 91 81 80 7a 80 80 7e 80 7a 93 89 82 82 80 7f 7f 80 48 69 83 46 fc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "result=0 OK\nvariant=ZEBW\ndest=70000\nsrc=250\nsrc_short=250\ninfo=3\nserial=9\nasyer=0\n"
            "disable_bitmatrix=1\next=FF 00\npayload=48 69\n");

  r = Cli({"decode", "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9B FE"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "result=1 ROSSZ CHSUM\n");

  r = Cli({"decode", "--mode", "zebw", "FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "result=3 NINCS KERET\n");
}

TEST_F(FrameCli, ExtractListsEveryFrameAndTheRest) {
  CliRun r = Cli({"extract", "78797A FD01FA0507800601014353595349809AFE 11 FD01FA0507800601014353595349809AFE FD 01"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "skipped=78 79 7A\nframe=FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE\n"
            "skipped=11\nframe=FD 01 FA 05 07 80 06 01 01 43 53 59 53 49 80 9A FE\nrest=FD 01\n");

  r = Cli({"extract", ""});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "rest=\n");
}

TEST_F(FrameCli, BadInputFailsWithOneLineAndExitCode2) {
  const std::vector<std::string> cases[] = {
      {"encode", "--bogus", "00"},  {"encode", "ABC"},         {"decode", "--mode", "w", "00"},
      {"extract", "zz"},            {"encode", "--info", "5", "00"}, {"encode", "--ext", "1", "00"},
      {"decode"},                   {"transcode", "00"},       {},
      // What the user typed is echoed; a line break in it must not split the message.
      {"decode", "FD\nGG"},         {"extract", "--mode", "a\r\nb", "00"}, {"encode", "--odd\n", "00"},
  };
  for (const auto& args : cases) {
    CliRun r = Cli(args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

TEST_F(FrameCli, PayloadTooLongIsReportedWithTheCodecMessage) {
  CliRun r = Cli({"encode", std::string(2 * 1783, '0')});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Data do not fit in ZEB packet\n");

  r = Cli({"encode", std::string(2 * 1782, '0')});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.size(), 2048u * 3);  // 2048 bytes, blanks between, newline at the end
}

TEST_F(FrameCli, HelpDescribesTheSubCommands) {
  CliRun r = Cli({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"encode", "decode", "extract", "--zebw", "--mode", "both-zebw", "skipped=", "rest="})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace
