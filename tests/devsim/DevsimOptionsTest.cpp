#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devsim/lib/DevsimOptions.h"
#include "support/TempDir.h"

namespace {

using namespace std::string_literals;
using Args = std::vector<std::string>;

TEST(DevsimOptions, LinksAndDeviceSettingsAreRead) {
  DevsimOptions o = ParseDevsimOptions({"--listen", "1001"});
  EXPECT_EQ(o.link, DevsimOptions::Link::Listen);
  EXPECT_EQ(o.listenPort, 1001);
  EXPECT_EQ(o.address, 1u);

  o = ParseDevsimOptions({"--connect", "::1:1001", "--address", "17", "--silent-first-seconds", "8"});
  EXPECT_EQ(o.link, DevsimOptions::Link::Connect);
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.port, 1001);
  EXPECT_EQ(o.address, 17u);
  EXPECT_EQ(o.silentFirstSeconds, 8u);

  o = ParseDevsimOptions({"--pty", "--zebw"});
  EXPECT_EQ(o.link, DevsimOptions::Link::Pty);
  EXPECT_EQ(o.address, 1000u);
  o = ParseDevsimOptions({"--pty", "--zebw", "--address", "70000"});
  EXPECT_EQ(o.address, 70000u);

  EXPECT_TRUE(ParseDevsimOptions({"--help"}).help);
}

TEST(DevsimOptions, EveryFaultHasAnOption) {
  const DevsimOptions o = ParseDevsimOptions(
      {"--pty", "--no-ack", "--ack-without-answer", "--answer-from-try", "3", "--nack-tries", "2",
       "--error-code-tries", "1", "--error-code", "03 01", "--wrong-serial", "--late-answer-ms", "700",
       "--junk", "78797a", "--answer-delay-ms", "20", "--event-every-ms", "500", "--event-payload", "EALRM"});
  const SimulatedDeviceFaults& f = o.faults;
  EXPECT_TRUE(f.noAck);
  EXPECT_TRUE(f.ackWithoutAnswer);
  EXPECT_EQ(f.answerFromTry, 3);
  EXPECT_EQ(f.nackTries, 2);
  EXPECT_EQ(f.errorCodeTries, 1);
  EXPECT_EQ(f.errorCode, "\x03\x01"s);
  EXPECT_TRUE(f.wrongSerial);
  EXPECT_EQ(f.lateAnswerMs, 700u);
  EXPECT_EQ(f.junkBeforeFrame, "xyz");
  EXPECT_EQ(o.answerDelayMs, 20u);
  EXPECT_EQ(o.eventEveryMs, 500u);
  EXPECT_EQ(o.eventPayload, "EALRM");
  EXPECT_EQ(ParseDevsimOptions({"--pty", "--nack-first"}).faults.nackTries, 1);
}

TEST(DevsimOptions, BadCommandLinesNameTheirFault) {
  struct Case {
    Args args;
    const char* mentions;
  };
  const std::vector<Case> cases = {
      {{}, "exactly one"},
      {{"--pty", "--listen", "1"}, "exactly one"},
      {{"--listen"}, "--listen needs a value"},
      {{"--listen", "70000"}, "--listen"},
      {{"--listen", "12ab"}, "--listen"},
      {{"--connect", "localhost"}, "HOST:PORT"},
      {{"--connect", "localhost:0"}, "--connect"},
      {{"--pty", "--address", "0"}, "--address"},
      {{"--pty", "--address", "253"}, "251..255"},
      {{"--pty", "--zebw", "--address", "200"}, "--zebw"},
      {{"--pty", "--save"}, "--image"},
      {{"--pty", "--error-code", "F"}, "odd"},
      {{"--pty", "--junk", "zz"}, "hexadecimal"},
      {{"--pty", "--event-payload", "XYZ"}, "'E'"},
      {{"--pty", "--frobnicate"}, "--frobnicate"},
  };
  for (const Case& c : cases) {
    try {
      ParseDevsimOptions(c.args);
      ADD_FAILURE() << "accepted: " << testing::PrintToString(c.args);
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
  }
}

// A directory per test: the test cases run in parallel processes.
class ImageFileTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& bytes) { WriteFileBytes(path, bytes); }
  TempDir dir;
  std::string path = dir.File("image.bin");
};

TEST_F(ImageFileTest, ShortFileFillsTheStartAndSaveRoundTrips) {
  WriteFile("\x01\x00\x02"s);
  std::string img = LoadImageFile(path);
  ASSERT_EQ(img.size(), SimulatedDevice::kImageSize);
  EXPECT_EQ(img.substr(0, 4), "\x01\x00\x02\x00"s);
  img[4096] = '\xFF';
  SaveImageFile(path, img);
  EXPECT_EQ(LoadImageFile(path), img);
}

TEST_F(ImageFileTest, OversizedOrMissingFilesAreRefused) {
  WriteFile(std::string(SimulatedDevice::kImageSize + 1, 'a'));
  EXPECT_THROW(LoadImageFile(path), std::runtime_error);
  EXPECT_THROW(LoadImageFile(path + ".none"), std::runtime_error);
}

TEST_F(ImageFileTest, FailedSaveKeepsTheOldFile) {
  WriteFile("old");
  ASSERT_EQ(::mkdir((path + ".tmp").c_str(), 0700), 0);  // the temporary cannot be written
  EXPECT_THROW(SaveImageFile(path, std::string(SimulatedDevice::kImageSize, 'n')), std::runtime_error);
  ::rmdir((path + ".tmp").c_str());
  EXPECT_EQ(LoadImageFile(path).substr(0, 4), "old\0"s);
}

}  // namespace
