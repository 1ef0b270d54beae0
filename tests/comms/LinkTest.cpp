// The link: opening and reopening, keep-alive, writing, server mode, deactivation.

#include "CommsFixture.h"
#include "log/logUnit.h"
#include "platform/MemoryListener.h"

namespace {

TEST_F(CommsTest, MissingSerialPortIsLoggedOnceAndFailsRequestsWithEleven) {
  comms->Host = "";
  comms->Port = 7;
  comms->QuickReconnect = true;  // retry every millisecond
  ports.OnCreate = [&](MemoryPort& p) {
    port = &p;
    p.OpenFailure = kPortErrorNoSuchPort;
  };
  comms->SetActive(true);
  Outcome err;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, 0);
  vt.Advance(200);
  EXPECT_EQ(MemoCount("Opening port failed"), 1);
  vt.Advance(100);
  EXPECT_EQ(err.code, 11);
  EXPECT_TRUE(MemoHas("Opening port failed: ie_BadId - Specified comport doesn't exist (:7)"));
  EXPECT_EQ(comms->OpenFailReason(), 2);
  EXPECT_EQ(port->Settings().layer, PortLayer::Serial);
  EXPECT_EQ(port->Settings().comNumber, 7);
}

TEST_F(CommsTest, SerialPortCountsAsConnectedOnceOpen) {
  comms->Host = "";
  comms->Port = 3;
  comms->Baud = 9600;
  int connects = 0;
  comms->OnConnect = [&](void* sender) {
    EXPECT_EQ(sender, nullptr);
    ++connects;
  };
  comms->SetActive(true);
  EXPECT_TRUE(comms->Connected());
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(port->Settings().baud, 9600);
  EXPECT_FALSE(port->Dtr());
  EXPECT_FALSE(port->Rts());
  EXPECT_TRUE(MemoHas("Connected (:3)"));
  Outcome ok;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), nullptr, 0, 0);
  vt.Advance(100);
  EXPECT_EQ(ok.code, 0);
  // Deactivating a serial engine reports the disconnection itself.
  comms->SetActive(false);
  EXPECT_TRUE(MemoHas("Disconnected (:3)"));
}

TEST_F(CommsTest, OnlyAnIdleTcpLinkGetsTheKeepAliveByte) {
  struct Case {
    const char* name;
    std::string host;
    int checkRate;
    bool expectKeepAlive;
  };
  const Case cases[] = {
      {"tcp", "device", 60, true},
      {"serial", "", 60, false},
      {"tcp, check off", "device", 0, false},
  };
  comms->Log_Raw_Data = true;
  comms->Log_Printable_Raw = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->Host = c.host;
    comms->ConnectionCheckRate = c.checkRate;
    Connect();
    const size_t before = port->Written().size();
    vt.Advance(400000);
    const std::string written = port->Written().substr(before);
    if (!c.expectKeepAlive) {
      EXPECT_EQ(written, "");
    } else {
      ASSERT_FALSE(written.empty());
      EXPECT_EQ(written.find_first_not_of('x'), std::string::npos);
      // Never before 61 s of silence, and at the latest on the first reconnect tick
      // (every 30 to 90 s) after that.
      EXPECT_GE(written.size(), 2u);
      EXPECT_LE(written.size(), 400000u / 61000u);
      EXPECT_EQ(comms->OutgoingDataCount, written.size());
      EXPECT_TRUE(MemoHas("KI:"));
    }
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, KeepAliveWaitsForMoreThanTheCheckRateOfSilence) {
  comms->QuickReconnect = true;  // the reconnect timer then looks every millisecond
  Connect();
  const uint64_t t0 = Now();
  // More than 60 whole seconds: the 61st second.
  vt.Advance(60999);
  EXPECT_EQ(port->Written(), "");
  vt.Advance(1);
  EXPECT_EQ(port->Written(), "x");
  EXPECT_EQ(Now() - t0, 61000u);
  // Traffic resets the silence.
  comms->SendCommand("CSYRP", true, 1);
  vt.Advance(30000);
  const size_t after = port->Written().size();
  vt.Advance(30000);
  EXPECT_EQ(port->Written().size(), after);
}

TEST_F(CommsTest, LostTcpLinkIsReopenedByTheReconnectTimer) {
  int disconnects = 0;
  comms->OnDisConnect = [&](void*) { ++disconnects; };
  Connect();
  port->PeerClose();
  vt.Advance(0);
  EXPECT_FALSE(comms->Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_TRUE(MemoHas("Disconnected (device:1001)"));
  vt.Advance(29000);
  EXPECT_FALSE(comms->Connected());
  vt.Advance(61000);
  EXPECT_TRUE(comms->Connected());
  EXPECT_EQ(port->OpenCount(), 2);

  comms->QuickReconnect = true;
  comms->SetActive(false);
  Connect();
  port->PeerError(10054);
  vt.Advance(0);
  EXPECT_TRUE(MemoHas("Comm. error: 10054 (device:1001)"));
  vt.Advance(2);
  EXPECT_TRUE(comms->Connected());
}

TEST_F(CommsTest, RepeatedErrorsAreLoggedOnceUntilSomethingElseHappens) {
  comms->QuickReconnect = true;
  ports.OnCreate = [&](MemoryPort& p) {
    port = &p;
    p.RefuseConnect = true;
  };
  comms->SetActive(true);
  vt.Advance(10);
  EXPECT_GE(port->OpenCount(), 10);
  EXPECT_EQ(MemoCount("Comm. error: 10061 (device:1001)"), 1);
  port->RefuseConnect = false;
  vt.Advance(2);
  ASSERT_TRUE(comms->Connected());
  port->PeerError(10054);
  vt.Advance(0);
  EXPECT_EQ(MemoCount("Comm. error"), 2);
}

TEST_F(CommsTest, AnyActivationCallLetsTheNextRepeatedErrorThrough) {
  comms->Host = "";
  comms->Port = 7;
  comms->QuickReconnect = true;
  ports.OnCreate = [&](MemoryPort& p) {
    port = &p;
    p.OpenFailure = kPortErrorNoSuchPort;
  };
  comms->SetActive(true);
  vt.Advance(10);
  ASSERT_EQ(MemoCount("Opening port failed"), 1);
  // Also when the engine is active already: the user asked again, so the error is news.
  comms->SetActive(true);
  vt.Advance(10);
  EXPECT_EQ(MemoCount("Opening port failed"), 2);
  EXPECT_EQ(MemoCount("ZEBPort active."), 1);
}

TEST_F(CommsTest, SlowWritePacesFramesAndRefusesABigBacklog) {
  comms->SlowWriteMode = true;
  comms->Log_Raw_Data = true;
  comms->Log_Printable_Raw = true;
  Connect();
  const size_t calls = port->WriteCalls();
  EXPECT_EQ(comms->PutFrame(std::string(150, 'a')), 0);
  EXPECT_EQ(port->WriteCalls(), calls);
  vt.Advance(25);
  EXPECT_EQ(port->Written().size(), 64u);
  vt.Advance(50);
  EXPECT_EQ(port->Written().size(), 150u);
  EXPECT_EQ(port->WriteCalls(), calls + 3);
  EXPECT_EQ(MemoCount("KI_SLOW:"), 2);
  EXPECT_EQ(MemoCount("KI_EOB:"), 1);

  EXPECT_EQ(comms->PutFrame(std::string(5000, 'b')), 0);
  EXPECT_EQ(comms->PutFrame("c"), 4);
  EXPECT_EQ(comms->SlowWriteBuffer().size(), 5000u);
  // A lost link drops what was not written yet.
  port->PeerClose();
  vt.Advance(0);
  EXPECT_EQ(comms->SlowWriteBuffer(), "");
}

TEST_F(CommsTest, BytesChangedBeforeSendingGoOutButTheLogShowsTheFrame) {
  comms->Log_Raw_Data = true;
  comms->Log_Printable_Raw = true;
  comms->OnBeforeSendRawData = [](TZEBComms&, std::string& data) { data = "[" + data + "]"; };
  Connect();
  ASSERT_EQ(comms->SendFrame("CSYSI", TInfo::kerek_nyugtat, 0, false, 0, false, 7, 1), 0);
  const std::string frame = comms->LastFrameSent();
  EXPECT_EQ(port->Written(), "[" + frame + "]");
  EXPECT_EQ(comms->OutgoingDataCount, frame.size() + 2);
  EXPECT_TRUE(MemoHas("KI:"));
  EXPECT_TRUE(MemoHas(DecText(frame)));
  EXPECT_FALSE(MemoHas(DecText("[")));
}

TEST_F(CommsTest, TcpDeactivationLeavesTheDisconnectionToThePort) {
  int disconnects = 0;
  comms->OnDisConnect = [&](void* sender) {
    EXPECT_EQ(sender, static_cast<void*>(port));
    ++disconnects;
  };
  Connect();
  comms->SetActive(false);
  EXPECT_TRUE(MemoHas("ZEBPort inactive."));
  EXPECT_EQ(disconnects, 0);
  vt.Advance(0);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(CommsTest, ReceivedBytesAreCountedOnlyByTheServer) {
  Connect();
  comms->SendCommand("CSYSI", true, 1);
  vt.Advance(500);
  EXPECT_EQ(comms->IncomingDataCount, 0u);
  EXPECT_GT(comms->OutgoingDataCount, 0u);
}

// A stand-in for the device server: records registrations.
class FakeServer : public TZEBServerLink {
 public:
  void RegisterComms(TZEBComms&) override { ++registered; }
  void UnregisterComms(TZEBComms&) override { ++unregistered; }
  int registered = 0;
  int unregistered = 0;
};

class ServerModeTest : public CommsTest {
 protected:
  // The engine goes first: it unregisters from the server when it is destroyed.
  ~ServerModeTest() override { comms.reset(); }

  void SetUp() override {
    ASSERT_TRUE(listener.Listen(1001));
    listener.OnAccept = [this](ListenerConnection& c) { accepted = &c; };
    comms->WsServerMode = true;
    comms->ZEBTCPServer = &server;
    comms->Host = "";
    comms->SetActive(true);
  }

  // A device connects and the server binds it to the engine.
  void Bind() {
    peer = listener.Connect("10.0.0.5", 4000);
    vt.Advance(0);
    ASSERT_NE(accepted, nullptr);
    peer->OnReceive = [this](const std::string& b) {
      Record(b);
      device.Receive(b);
    };
    device.OnSend = [this](const std::string& b) {
      if (peer) peer->Send(b);
    };
    listener.OnRead = [this](ListenerConnection& c) { comms->ServerReceive(server, c.ReadAll()); };
    comms->BindClient(server, *accepted);
  }

  FakeServer server;
  MemoryListener listener{vt};
  ListenerConnection* accepted = nullptr;
  std::shared_ptr<MemoryPeer> peer;
};

TEST_F(ServerModeTest, RequestsWaitForADeviceAndFailWithThreeWithoutOne) {
  EXPECT_EQ(server.registered, 1);
  EXPECT_EQ(comms->LinkPort(), nullptr);
  Outcome err;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, 0);
  vt.Advance(1000);
  EXPECT_EQ(err.code, 3);
}

TEST_F(ServerModeTest, BoundSocketCarriesTheTrafficAndIsClosedAtDeactivation) {
  int connects = 0;
  comms->OnConnect = [&](void* sender) {
    EXPECT_EQ(sender, static_cast<void*>(static_cast<TZEBServerLink*>(&server)));
    ++connects;
  };
  Bind();
  EXPECT_EQ(connects, 1);
  EXPECT_TRUE(comms->Connected());
  EXPECT_EQ(comms->BoundSocket(), accepted);
  EXPECT_TRUE(MemoHas("Connected (10.0.0.5:4000)"));
  Outcome ok;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), nullptr, 0, 150);
  vt.Advance(500);
  EXPECT_EQ(ok.code, 0);

  comms->SetActive(false);
  EXPECT_EQ(server.unregistered, 1);
  EXPECT_EQ(comms->BoundSocket(), nullptr);
  vt.Advance(0);
  EXPECT_FALSE(peer->IsOpen());
  EXPECT_TRUE(MemoHas("Disconnected (10.0.0.5:4000)"));
}

TEST_F(ServerModeTest, BoundSocketGetsTheKeepAlive) {
  Bind();
  vt.Advance(200000);
  ASSERT_FALSE(peer->Received().empty());
  EXPECT_EQ(peer->Received().find_first_not_of('x'), std::string::npos);
}

TEST_F(ServerModeTest, UnbindingTakesTheLinkDown) {
  Bind();
  int disconnects = 0;
  comms->OnDisConnect = [&](void*) { ++disconnects; };
  comms->UnbindClient(server);
  EXPECT_FALSE(comms->Connected());
  EXPECT_EQ(comms->BoundSocket(), nullptr);
  EXPECT_EQ(disconnects, 1);
  // Data for an inactive engine is ignored.
  comms->SetActive(false);
  comms->ServerReceive(server, "abc");
  EXPECT_EQ(comms->RxBuffer(), "");
}

TEST_F(CommsTest, SwitchingFromTcpClientToServerModeKeepsTheBoundDevice) {
  Connect();
  MemoryPort* tcpPort = port;
  FakeServer server;
  MemoryListener listener{vt};
  ASSERT_TRUE(listener.Listen(1001));
  ListenerConnection* accepted = nullptr;
  listener.OnAccept = [&](ListenerConnection& c) { accepted = &c; };
  auto peer = listener.Connect("10.0.0.5", 4000);
  vt.Advance(0);
  ASSERT_NE(accepted, nullptr);
  int disconnects = 0;
  comms->OnDisConnect = [&](void*) { ++disconnects; };

  // The user reconnects in server mode; the device is there already and is bound at once,
  // before the closed client socket's news comes out of the loop.
  comms->SetActive(false);
  comms->WsServerMode = true;
  comms->ZEBTCPServer = &server;
  comms->SetActive(true);
  comms->BindClient(server, *accepted);
  vt.Advance(0);
  EXPECT_FALSE(tcpPort->IsOpen());
  EXPECT_TRUE(comms->Connected());
  EXPECT_EQ(comms->BoundSocket(), accepted);
  EXPECT_EQ(disconnects, 0);

  Outcome ok;
  peer->OnReceive = [&](const std::string& b) { device.Receive(b); };
  device.OnSend = [&](const std::string& b) { peer->Send(b); };
  listener.OnRead = [&](ListenerConnection& c) { comms->ServerReceive(server, c.ReadAll()); };
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), Capture(ok), 0, 150);
  vt.Advance(500);
  EXPECT_EQ(ok.code, 0);
  comms.reset();
}

TEST(MemoryPortTest, NotificationsComeFromTheLoopNeverFromTheCall) {
  VirtualTime vt;
  MemoryPort port(vt, vt);
  std::vector<std::string> events;
  port.OnConnected = [&] { events.push_back("connected"); };
  port.OnDataAvailable = [&](size_t n) { events.push_back("data " + std::to_string(n) + " " + port.Read(n)); };
  port.OnDisconnected = [&] { events.push_back("disconnected"); };
  port.OnPeerReceive = [&](const std::string& b) { events.push_back("peer " + b); };
  PortSettings s;
  s.layer = PortLayer::Socket;
  port.Configure(s);
  port.Open();
  EXPECT_TRUE(events.empty());
  vt.Advance(0);
  port.Write("ab");
  port.PeerSend("cd");
  port.PeerSend("ef");
  EXPECT_EQ(events, std::vector<std::string>{"connected"});
  vt.Advance(0);
  port.Close();
  EXPECT_EQ(events.size(), 3u);
  vt.Advance(0);
  EXPECT_EQ(events, (std::vector<std::string>{"connected", "peer ab", "data 4 cdef", "disconnected"}));
  EXPECT_THROW(port.Write("x"), PortError);
}

}  // namespace
