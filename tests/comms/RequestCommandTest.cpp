// paramdeck-cli request end to end: the command line tool against a simulated device on
// loopback. Skipped when the tool has not been built.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <string>

#include "devsim/lib/SimulatedDevice.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtTimer.h"
#include "support/QtEventLoop.h"

namespace {

class RequestCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    cli_ = QString(PD_BINARY_DIR) + "/paramdeck-cli";
    if (!QFileInfo::exists(cli_)) GTEST_SKIP() << "paramdeck-cli not built";
    ASSERT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      socket_ = server_.nextPendingConnection();
      QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
        const QByteArray b = socket_->readAll();
        device_.Receive(std::string_view(b.constData(), static_cast<size_t>(b.size())));
      });
      QObject::connect(socket_, &QTcpSocket::disconnected, [this] { device_.ResetLink(); });
    });
    device_.OnSend = [this](const std::string& b) {
      if (socket_) socket_->write(b.data(), static_cast<qint64>(b.size()));
    };
  }
  void TearDown() override { device_.OnSend = nullptr; }

  // Runs the tool with the event loop turning, so that the device can answer.
  int Run(QStringList args) {
    QProcess p;
    p.start(cli_, QStringList{"request"} + args);
    QElapsedTimer t;
    t.start();
    while (p.state() != QProcess::NotRunning && t.elapsed() < 20000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      p.waitForFinished(1);
    }
    out_ = p.readAllStandardOutput().toStdString();
    err_ = p.readAllStandardError().toStdString();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }
  QStringList Link() const {
    return {"--host", "127.0.0.1", "--port", QString::number(server_.serverPort()), "--address", "1"};
  }
  std::string LastLine() const {
    std::string s = out_;
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s.substr(s.rfind('\n') == std::string::npos ? 0 : s.rfind('\n') + 1);
  }

  QString cli_;
  QtClock clock_;
  QtTimerFactory timers_;
  SimulatedDevice device_{clock_, timers_};
  QTcpServer server_;
  QTcpSocket* socket_ = nullptr;
  std::string out_, err_;
};

TEST_F(RequestCommandTest, ReadsAndPrintsTheAnswer) {
  device_.Image()[4] = '\x12';
  device_.Image()[5] = '\x34';
  EXPECT_EQ(Run(Link() + QStringList{"--expect", "ASYRE", "--wait", "150", "43 53 59 52 45 04 00 02"}), 0);
  EXPECT_EQ(LastLine(), "result=0 answer=41 53 59 52 45 12 34");
  EXPECT_NE(err_.find("KIKULD_ACK_TOUT"), std::string::npos);
  EXPECT_NE(err_.find("VALASZ - OK"), std::string::npos);
}

TEST_F(RequestCommandTest, SilentDeviceEndsWithFive) {
  device_.faults.noAck = true;
  device_.faults.answerFromTry = 1000;
  EXPECT_EQ(Run(Link() + QStringList{"--expect", "ASYRE", "--tries", "2", "4353595245040002"}), 1);
  EXPECT_EQ(LastLine(), "result=5 answer=");
  EXPECT_NE(err_.find("PAR. UJRA 2X"), std::string::npos);
  EXPECT_EQ(err_.find("PAR. UJRA 3X"), std::string::npos);
}

TEST_F(RequestCommandTest, CommandReportsTheAcknowledgement) {
  device_.SetIdentity("X");
  EXPECT_EQ(Run(Link() + QStringList{"--command", "4353595349"}), 0);
  EXPECT_EQ(LastLine(), "result=0 answer=43 53 59 41 43");
  device_.faults.noAck = true;
  device_.faults.answerFromTry = 1000;
  EXPECT_EQ(Run(Link() + QStringList{"--command", "4353595349"}), 1);
  EXPECT_EQ(LastLine(), "result=none");
}

TEST_F(RequestCommandTest, BadArgumentsExitWithTwo) {
  EXPECT_EQ(Run(Link() + QStringList{"--zebmode", "zzz", "43"}), 2);
  EXPECT_EQ(Run(Link() + QStringList{"4Z"}), 2);
  EXPECT_EQ(Run(QStringList{"--port", "1", "--address", "1", "43"}), 2);
}

TEST_F(RequestCommandTest, LinkChoiceErrorsExitWithTwo) {
  const QStringList rest{"--address", "1", "4353595349"};
  const QStringList wrong[] = {
      {},                                                       // no link at all
      {"--host", "127.0.0.1"},                                  // TCP without a port
      {"--host", "127.0.0.1", "--port", "1", "--serial", "1"},  // two links
      {"--serial", "/dev/null", "--server-port", "0"},
      {"--host", "127.0.0.1", "--port", "1", "--baud", "9600"},  // a speed for no serial line
      {"--serial", "0"},                                          // COM numbers start at 1
      {"--serial", "/dev/null", "--baud", "fast"},
      {"--server-port", "65536"},
      {"--server-port", "0", "--link-wait", "-1"},
  };
  for (const QStringList& link : wrong) {
    SCOPED_TRACE(link.join(' ').toStdString());
    EXPECT_EQ(Run(link + rest), 2);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
  }
  // The server binds a device to the engine of its address: 0 would wait for nobody.
  EXPECT_EQ(Run({"--server-port", "0", "--address", "0", "4353595349"}), 2);
  // A short frame cannot carry a long address; the request would reach another device.
  EXPECT_EQ(Run({"--server-port", "0", "--address", "1000", "4353595349"}), 2);
  EXPECT_NE(err_.find("--zebmode"), std::string::npos) << err_;
}

}  // namespace
