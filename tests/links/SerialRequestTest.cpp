// paramdeck-cli request over a serial line: a pseudo-terminal made by the test, with a
// simulated device on its master side and the tool's real serial port on the slave.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "links/LinkTestSupport.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTimer.h"

namespace links_test {
namespace {

class SerialRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Built("paramdeck-cli")) GTEST_SKIP() << "paramdeck-cli not built";
    ASSERT_TRUE(pty_.Ok()) << "no pseudo-terminal available";
  }

  // Runs the tool to its end with the device answering meanwhile.
  int Request(const QStringList& args) {
    cli_.Start("paramdeck-cli", QStringList{"request"} + args);
    return cli_.Finish(20000);
  }

  // First: the device's notifier needs the application's event loop.
  Application app_;
  QtClock clock_;
  QtTimerFactory timers_;
  PtyDevice pty_{clock_, timers_};
  Program cli_;
};

TEST_F(SerialRequestTest, ReadsAFullSegmentThroughThePseudoTerminal) {
  std::string expected = "ASYRE";
  for (int i = 0; i < 128; ++i) {
    // Every byte value the line must pass untouched, control characters included.
    pty_.device.Image()[0x100 + i] = static_cast<char>(i * 2 + 1);
    expected += static_cast<char>(i * 2 + 1);
  }
  std::string expectedHex;
  for (unsigned char c : expected) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X", c);
    expectedHex += (expectedHex.empty() ? "" : " ") + std::string(two);
  }

  const QString dev = QString::fromStdString(pty_.SlavePath());
  EXPECT_EQ(Request({"--serial", dev, "--baud", "9600", "--address", "1", "--expect", "ASYRE", "--wait", "200",
                     "4353595245 00 01 80"}),
            0)
      << cli_.err;
  EXPECT_EQ(cli_.LastOutLine(), "result=0 answer=" + expectedHex);
  EXPECT_TRUE(cli_.ErrHas("Connected (:0)")) << cli_.err;
  EXPECT_TRUE(cli_.ErrHas("VALASZ - OK")) << cli_.err;
  EXPECT_EQ(pty_.device.Stats().answersSent, 1u);
}

// An opening failure is remembered, and the request that waited in the queue ends with the
// code that names it once the queue timer gives up on the link.
TEST_F(SerialRequestTest, OpeningFailuresEndTheQueuedRequestWithTheirCode) {
  QtSerialPort holder;
  PortSettings held;
  held.serialDevice = pty_.SlavePath();
  holder.Configure(held);
  holder.Open();

  struct Case {
    QString serial;
    const char* logLine;
    const char* result;
  } cases[] = {
      {"/dev/paramdeck-no-such-tty", "Opening port failed: ie_BadId - Specified comport doesn't exist (:0)",
       "result=11 answer="},
      {"250", "Opening port failed: ie_BadId - Specified comport doesn't exist (:250)", "result=11 answer="},
      {QString::fromStdString(pty_.SlavePath()), "Opening port failed: ie_Open - device already open (:0)",
       "result=10 answer="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial.toStdString());
    Program run;
    run.Start("paramdeck-cli", {"request", "--serial", c.serial, "--address", "1", "--expect", "ASYRE",
                                "4353595245000002"});
    EXPECT_EQ(run.Finish(20000), 1) << run.err;
    EXPECT_EQ(run.LastOutLine(), c.result);
    EXPECT_TRUE(run.ErrHas(c.logLine)) << run.err;
    EXPECT_TRUE(run.ErrHas("NINCS KAPCSOLAT")) << run.err;
  }
  // The holder kept the line to itself: nothing reached the device.
  EXPECT_EQ(pty_.device.Stats().framesReceived, 0u);
}

}  // namespace
}  // namespace links_test
