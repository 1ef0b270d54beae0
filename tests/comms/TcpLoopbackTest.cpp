// The engine over a real TCP connection on loopback, with the simulated device behind a
// QTcpServer. Bounded in time.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtPortFactory.h"
#include "platform/qt/QtTimer.h"
#include "support/QtEventLoop.h"

namespace {

// A simulated device listening on a loopback port.
class LoopbackDevice {
 public:
  LoopbackDevice() : device(clock, timers) {
    TestApp();
    server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server, &QTcpServer::newConnection, [this] {
      socket = server.nextPendingConnection();
      QObject::connect(socket, &QTcpSocket::readyRead, [this] {
        const QByteArray b = socket->readAll();
        device.Receive(std::string_view(b.constData(), static_cast<size_t>(b.size())));
      });
      ++connections;
    });
    device.OnSend = [this](const std::string& b) {
      if (socket) socket->write(b.data(), static_cast<qint64>(b.size()));
    };
  }
  ~LoopbackDevice() { device.OnSend = nullptr; }

  QtClock clock;
  QtTimerFactory timers;
  SimulatedDevice device;
  QTcpServer server;
  QTcpSocket* socket = nullptr;
  int connections = 0;
};

TEST(TcpLoopbackTest, ReadsFromADeviceAndNoticesItGoing) {
  LoopbackDevice dev;
  ASSERT_TRUE(dev.server.isListening());
  dev.device.Image()[0x20] = '\x5A';
  dev.device.Image()[0x21] = '\xA5';

  QtClock clock;
  QtTimerFactory timers;
  QtPortFactory ports;
  auto comms = std::make_unique<TZEBComms>(clock, timers, &ports);
  comms->Host = "127.0.0.1";
  comms->Port = dev.server.serverPort();
  comms->ZEBAddress = 1;
  comms->Enable_ASYER = true;
  comms->LoosePckIDCheck = true;
  comms->SetZEBMode(TZEBMode::PMDecodeBothEncodeZEB);
  int disconnects = 0;
  comms->OnDisConnect = [&](void*) { ++disconnects; };
  comms->SetActive(true);
  ASSERT_TRUE(RunEventsUntil([&] { return comms->Connected(); }, 5000));

  int code = -1;
  std::string answer;
  comms->SendRequest("CSYRE" + std::string("\x20\x00\x02", 3), 1, "ASYRE",
                     [&](const std::string& s, uint16_t c, int) { code = c, answer = s; },
                     [&](const std::string&, uint16_t c, int) { code = c; }, 0, 500);
  ASSERT_TRUE(RunEventsUntil([&] { return code != -1; }, 5000));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(answer, "ASYRE\x5A\xA5");
  EXPECT_GT(comms->OutgoingDataCount, 0u);

  // The device drops the connection: the engine sees it and a request fails.
  dev.socket->abort();
  ASSERT_TRUE(RunEventsUntil([&] { return disconnects == 1; }, 5000));
  EXPECT_FALSE(comms->Connected());
  code = -1;
  comms->SendRequest("CSYRE" + std::string("\x20\x00\x02", 3), 1, "ASYRE", nullptr,
                     [&](const std::string&, uint16_t c, int) { code = c; }, 0, 0);
  ASSERT_TRUE(RunEventsUntil([&] { return code != -1; }, 5000));
  EXPECT_EQ(code, 3);
  comms->SetActive(false);
  comms.reset();
}

TEST(TcpLoopbackTest, DeactivationClosesTheSocketAndReactivationConnectsAgain) {
  LoopbackDevice dev;
  ASSERT_TRUE(dev.server.isListening());
  QtClock clock;
  QtTimerFactory timers;
  QtPortFactory ports;
  TZEBComms comms(clock, timers, &ports);
  comms.Host = "127.0.0.1";
  comms.Port = dev.server.serverPort();
  comms.ZEBAddress = 1;
  int connects = 0, disconnects = 0;
  comms.OnConnect = [&](void*) { ++connects; };
  comms.OnDisConnect = [&](void*) { ++disconnects; };
  comms.SetActive(true);
  ASSERT_TRUE(RunEventsUntil([&] { return comms.Connected() && dev.socket; }, 5000));
  QTcpSocket* first = dev.socket;

  comms.SetActive(false);
  // The socket reports its own closing, from the loop.
  EXPECT_EQ(disconnects, 0);
  ASSERT_TRUE(RunEventsUntil([&] { return disconnects == 1; }, 5000));
  ASSERT_TRUE(RunEventsUntil([&] { return first->state() != QAbstractSocket::ConnectedState; }, 5000));

  // Switching off and on again in one go: the old connection's news must not take the
  // new one down.
  comms.SetActive(true);
  comms.SetActive(false);
  comms.SetActive(true);
  ASSERT_TRUE(RunEventsUntil([&] { return comms.Connected() && dev.connections >= 2; }, 5000));
  int code = -1;
  comms.SendRequest("CSYRE" + std::string("\x20\x00\x02", 3), 1, "ASYRE",
                    [&](const std::string&, uint16_t c, int) { code = c; },
                    [&](const std::string&, uint16_t c, int) { code = c; }, 0, 500);
  ASSERT_TRUE(RunEventsUntil([&] { return code != -1; }, 5000));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(comms.Connected());
  EXPECT_EQ(connects, 2);
  comms.SetActive(false);
}

TEST(TcpLoopbackTest, RefusedConnectionIsReportedAsAnError) {
  TestApp();
  // A port nobody listens on: bind one, note it, close it.
  quint16 freePort;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    freePort = probe.serverPort();
  }
  QtClock clock;
  QtTimerFactory timers;
  QtPortFactory ports;
  TZEBComms comms(clock, timers, &ports);
  comms.Host = "127.0.0.1";
  comms.Port = freePort;
  int errors = 0;
  comms.OnTCPError = [&](void*) { ++errors; };
  comms.SetActive(true);
  EXPECT_TRUE(comms.Connecting());
  ASSERT_TRUE(RunEventsUntil([&] { return errors > 0; }, 5000));
  EXPECT_FALSE(comms.Connecting());
  bool logged = false;
  for (const auto& l : comms.RecentLines()) logged |= l.find("Comm. error: 10061 (127.0.0.1:") != std::string::npos;
  EXPECT_TRUE(logged);
  comms.SetActive(false);
}

}  // namespace
