// paramdeck-cli request in server mode: the tool listens, paramdeck-devsim connects to it
// as a field device does, and the request goes out once the device has been identified.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <fstream>
#include <string>

#include "links/LinkTestSupport.h"

namespace links_test {
namespace {

// The port the tool in server mode says it listens on; 0 when it said none in time.
int AnnouncedPort(Program& tool) {
  const QRegularExpression announced("listening on port (\\d+)");
  int port = 0;
  tool.WaitFor(
      [&] {
        const auto m = announced.match(QString::fromStdString(tool.err));
        if (m.hasMatch()) port = m.captured(1).toInt();
        return port != 0;
      },
      10000);
  return port;
}

class ServerRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    if (!Built("paramdeck-cli") || !Built("paramdeck-devsim")) GTEST_SKIP() << "programs not built";
  }

  // Starts the tool on a free port and returns that port, 0 when it announced none.
  int StartTool(const QStringList& args) {
    cli_.Start("paramdeck-cli", QStringList{"request", "--server-port", "0"} + args);
    return AnnouncedPort(cli_);
  }
  void StartDevice(int port, const QStringList& args) {
    device_.Start("paramdeck-devsim", QStringList{"--connect", "127.0.0.1:" + QString::number(port)} + args);
  }
  // The position of a stderr line holding text; npos when there is none.
  size_t Where(const std::string& text) const { return cli_.err.find(text); }

  Program cli_;
  Program device_;
};

TEST_F(ServerRequestTest, DeviceThatSpeaksFirstIsBoundAndAnswers) {
  QTemporaryDir dir;
  const std::string image = dir.filePath("image.bin").toStdString();
  std::ofstream(image, std::ios::binary) << std::string("\x00\x00\x00\x00\x5A\xA5\x0D", 7);

  const int port = StartTool({"--address", "7", "--expect", "ASYRE", "--wait", "300", "4353595245 04 00 03"});
  ASSERT_NE(port, 0) << cli_.err;
  StartDevice(port, {"--address", "7", "--image", QString::fromStdString(image)});

  EXPECT_EQ(cli_.Finish(20000), 0) << cli_.err;
  EXPECT_EQ(cli_.LastOutLine(), "result=0 answer=41 53 59 52 45 5A A5 0D");
  // The server's lines reach standard error with the engine's stamp.
  EXPECT_TRUE(QRegularExpression("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d +127\\.0\\.0\\.1:\\d+ \\(7\\): Cím azonosítva\\.")
                  .match(QString::fromStdString(cli_.err))
                  .hasMatch())
      << cli_.err;
  EXPECT_NE(Where("A készülék magától küldött csomagot, ezért nem szólítom meg."), std::string::npos);
  EXPECT_EQ(Where("CSYSI elküldve"), std::string::npos);
  EXPECT_NE(Where("Connected (127.0.0.1:"), std::string::npos);
  // The engine lets go of the device before the server closes.
  const size_t inactive = Where("ZEBPort inactive.");
  const size_t dropped = Where("A kapcsolat megszakadt.");
  const size_t closed = Where("ZEBTCPServer lezárva");
  ASSERT_NE(closed, std::string::npos) << cli_.err;
  EXPECT_LT(inactive, dropped);
  EXPECT_LT(dropped, closed);
}

// Takes six real seconds: the identification request goes out only after that much silence.
TEST_F(ServerRequestTest, SilentDeviceIsAskedWhoItIsAfterSixSeconds) {
  const int port = StartTool({"--address", "1000", "--zebmode", "both-zebw", "--expect", "ASYRE", "4353595245000001"});
  ASSERT_NE(port, 0) << cli_.err;
  StartDevice(port, {"--zebw", "--address", "1000", "--silent-first-seconds", "30"});

  ASSERT_TRUE(cli_.WaitFor([&] { return Where("Connected (127.0.0.1:") != std::string::npos; }, 15000)) << cli_.err;
  EXPECT_GE(cli_.ElapsedMs(), 5900);
  EXPECT_EQ(cli_.Finish(10000), 0) << cli_.err;
  EXPECT_EQ(cli_.LastOutLine(), "result=0 answer=41 53 59 52 45 00");
  const size_t asked = Where("(cím ismeretlen): CSYSI elküldve: <");
  const size_t identified = Where("(1000): Cím azonosítva.");
  ASSERT_NE(asked, std::string::npos) << cli_.err;
  EXPECT_LT(asked, identified);
  EXPECT_EQ(Where("magától"), std::string::npos);
}

// Whatever keeps the device away, the request still ends, with "no connection".
TEST_F(ServerRequestTest, WithoutTheDeviceTheRequestEndsWithThree) {
  QTcpServer occupier;
  ASSERT_TRUE(occupier.listen(QHostAddress::Any, 0));

  struct Case {
    const char* name;
    QStringList toolArgs;
    QStringList deviceArgs;  // empty: no device
    std::string logLine;
  } cases[] = {
      {"nobody connects", {"--server-port", "0", "--link-wait", "300"}, {}, "ZEBPort active."},
      {"another address", {"--server-port", "0", "--link-wait", "2500"}, {"--address", "2"},
       "(2): Ismeretlen című készülék."},
      {"port taken",
       {"--server-port", QString::number(occupier.serverPort())},
       {},
       "Nem sikerült a(z) " + std::to_string(occupier.serverPort()) + " porton ZEBTCPServert indítani"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Program tool;
    Program device;
    tool.Start("paramdeck-cli", QStringList{"request", "--address", "1", "--expect", "ASYRE"} + c.toolArgs +
                                    QStringList{"4353595245000001"});
    if (!c.deviceArgs.isEmpty()) {
      const int port = AnnouncedPort(tool);
      ASSERT_NE(port, 0) << tool.err;
      device.Start("paramdeck-devsim", QStringList{"--connect", "127.0.0.1:" + QString::number(port)} + c.deviceArgs);
    }
    EXPECT_EQ(tool.Finish(20000), 1) << tool.err;
    EXPECT_EQ(tool.LastOutLine(), "result=3 answer=");
    EXPECT_TRUE(tool.ErrHas(c.logLine)) << tool.err;
    EXPECT_TRUE(tool.ErrHas("NINCS KAPCSOLAT")) << tool.err;
  }
}

}  // namespace
}  // namespace links_test
