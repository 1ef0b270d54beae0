#include "platform/qt/QtTcpListener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/QtEventLoop.h"

namespace {

// Real loopback sockets on the event loop; every wait is bounded.
class QtListenerTest : public ::testing::Test {
 protected:
  QtListenerTest() {
    TestApp();
    listener = std::make_unique<QtTcpListener>();
    listener->SetListenAddress("127.0.0.1");
    listener->OnAccept = [this](ListenerConnection& c) {
      accepted.push_back(&c);
      if (onAccept) onAccept(c);
    };
    listener->OnRead = [this](ListenerConnection& c) {
      received += c.ReadAll();
      if (onRead) onRead(c);
    };
    listener->OnDisconnect = [this](ListenerConnection& c) {
      ++disconnects;
      disconnected.push_back(&c);
    };
    listener->OnError = [this](ListenerConnection&, int code) { errors.push_back(code); };
  }

  ~QtListenerTest() override {
    clients.clear();
    listener.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  QTcpSocket& Client() {
    clients.push_back(std::make_unique<QTcpSocket>());
    QTcpSocket& s = *clients.back();
    s.connectToHost("127.0.0.1", listener->ServerPort());
    return s;
  }

  std::unique_ptr<QtTcpListener> listener;
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  std::vector<ListenerConnection*> accepted;
  std::vector<ListenerConnection*> disconnected;
  std::string received;
  int disconnects = 0;
  std::vector<int> errors;
  std::function<void(ListenerConnection&)> onAccept;
  std::function<void(ListenerConnection&)> onRead;
};

TEST_F(QtListenerTest, AcceptsReadsWritesAndReportsThePeerClosing) {
  ASSERT_TRUE(listener->Listen(0));
  EXPECT_TRUE(listener->IsListening());
  QTcpSocket& client = Client();
  ASSERT_TRUE(RunEventsUntil([&] { return accepted.size() == 1 && client.state() == QAbstractSocket::ConnectedState; }));
  ListenerConnection& c = *accepted[0];
  EXPECT_EQ(c.RemoteAddress(), "127.0.0.1");
  EXPECT_EQ(c.RemotePort(), client.localPort());
  EXPECT_TRUE(c.IsConnected());

  client.write(QByteArray("hello\0\xFD", 7));
  ASSERT_TRUE(RunEventsUntil([&] { return received.size() == 7; }));
  EXPECT_EQ(received, std::string("hello\0\xFD", 7));

  c.Write(std::string("w\0rld", 5));
  ASSERT_TRUE(RunEventsUntil([&] { return client.bytesAvailable() == 5; }));
  EXPECT_EQ(client.readAll(), QByteArray("w\0rld", 5));

  client.disconnectFromHost();
  ASSERT_TRUE(RunEventsUntil([&] { return disconnects == 1; }));
  EXPECT_EQ(listener->ConnectionCount(), 0u);
  EXPECT_TRUE(errors.empty());
  RunEventsUntil([] { return false; }, 100);
  EXPECT_EQ(disconnects, 1);
}

TEST_F(QtListenerTest, CloseInsideACallbackReportsTheDisconnectionLaterAndOnce) {
  ASSERT_TRUE(listener->Listen(0));
  int disconnectsDuringRead = -1;
  onRead = [&](ListenerConnection& c) {
    c.Close();
    c.Close();
    disconnectsDuringRead = disconnects;
    EXPECT_FALSE(c.IsConnected());
    EXPECT_THROW(c.Write("x"), std::runtime_error);
  };
  QTcpSocket& client = Client();
  ASSERT_TRUE(RunEventsUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }));
  client.write("bye");
  ASSERT_TRUE(RunEventsUntil([&] { return disconnects == 1; }));
  EXPECT_EQ(disconnectsDuringRead, 0);
  ASSERT_TRUE(RunEventsUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
  RunEventsUntil([] { return false; }, 100);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(listener->ConnectionCount(), 0u);
}

TEST_F(QtListenerTest, AbruptResetIsAPlainDisconnection) {
  ASSERT_TRUE(listener->Listen(0));
  QTcpSocket& client = Client();
  ASSERT_TRUE(RunEventsUntil([&] { return accepted.size() == 1 && client.state() == QAbstractSocket::ConnectedState; }));
  const linger hard{1, 0};
  ASSERT_EQ(setsockopt(static_cast<int>(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  client.abort();
  ASSERT_TRUE(RunEventsUntil([&] { return disconnects == 1; }));
  EXPECT_TRUE(errors.empty());
}

TEST_F(QtListenerTest, ClosingTheListenerDropsConnectionsWithoutDisconnections) {
  ASSERT_TRUE(listener->Listen(0));
  QTcpSocket& a = Client();
  QTcpSocket& b = Client();
  ASSERT_TRUE(RunEventsUntil([&] { return accepted.size() == 2; }));
  // Stopping from inside a callback, as a server stopped by an event handler does.
  onRead = [&](ListenerConnection&) { listener->Close(); };
  a.write("stop");
  ASSERT_TRUE(RunEventsUntil([&] {
    return a.state() == QAbstractSocket::UnconnectedState && b.state() == QAbstractSocket::UnconnectedState;
  }));
  RunEventsUntil([] { return false; }, 100);
  EXPECT_EQ(disconnects, 0);
  EXPECT_FALSE(listener->IsListening());
  EXPECT_EQ(listener->ConnectionCount(), 0u);

  // It listens again afterwards.
  ASSERT_TRUE(listener->Listen(0));
  Client();
  ASSERT_TRUE(RunEventsUntil([&] { return accepted.size() == 3; }));
}

// A connection waiting to be taken already reads its peer's bytes, and the socket raises no
// new notification for them once it is taken. Here the first connection's handler turns the
// event loop (as a modal box would) while the second one waits with a frame in it.
TEST_F(QtListenerTest, BytesThatArrivedBeforeTheConnectionWasTakenAreRead) {
  ASSERT_TRUE(listener->Listen(0));
  onAccept = [&](ListenerConnection&) {
    if (accepted.size() == 1) RunEventsUntil([] { return false; }, 300);
  };
  QTcpSocket& first = Client();
  QTcpSocket& second = Client();
  QObject::connect(&second, &QTcpSocket::connected, [&] { second.write("early"); });
  ASSERT_TRUE(first.waitForConnected(2000));
  ASSERT_TRUE(second.waitForConnected(2000));
  ASSERT_TRUE(RunEventsUntil([&] { return accepted.size() == 2; }));
  EXPECT_TRUE(RunEventsUntil([&] { return received == "early"; }, 1000)) << "received: " << received;
}

TEST_F(QtListenerTest, PortInUseFailsWithAText) {
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
  EXPECT_FALSE(listener->Listen(holder.serverPort()));
  EXPECT_FALSE(listener->IsListening());
  EXPECT_FALSE(listener->ErrorText().empty());
}

}  // namespace
