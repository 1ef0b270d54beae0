// Waits, retransmissions, queue timeouts and the send timer's rules.

#include "CommsFixture.h"

namespace {

TEST_F(CommsTest, UnansweredRequestIsSentThreeTimesWithGrowingWaits) {
  struct Case {
    const char* name;
    int wait;
    uint32_t lineTimeout;
    bool batch;
    uint64_t waits[3];
  };
  const Case cases[] = {
      {"defaults", 0, 0, false, {110, 160, 230}},
      {"caller's wait", 150, 0, false, {150, 300, 450}},
      {"shorter wait only lengthens", 50, 0, false, {110, 160, 230}},
      {"batch mode takes the wait as it is", 50, 0, true, {50, 100, 150}},
      {"slow line", 0, 10000, false, {10110, 10160, 10230}},
  };
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->LineTimeout = c.lineTimeout;
    comms->BatchMode = c.batch;
    sent.clear();
    Connect();
    Outcome err;
    comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, c.wait);
    vt.Advance(40000);
    const auto tx = Transmissions();
    ASSERT_EQ(tx.size(), 3u);
    EXPECT_EQ(tx[1].at - tx[0].at, c.waits[0]);
    EXPECT_EQ(tx[2].at - tx[1].at, c.waits[1]);
    EXPECT_EQ(err.at - tx[2].at, c.waits[2]);
    EXPECT_EQ(err.code, 5);
    EXPECT_TRUE(MemoHas("PAR. UJRA 2X"));
    EXPECT_TRUE(MemoHas("PAR. UJRA 3X"));
    EXPECT_TRUE(MemoHas("PAR. SIKERTELEN"));
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, RequestOptionsShapeItsWait) {
  struct Case {
    const char* name;
    TPSOption option;
    uint32_t lineTimeout;
    uint64_t wait;
  };
  const Case cases[] = {
      {"poll timeout", psoUsePollTimeout, 0, 100},
      {"poll timeout on a slow line", psoUsePollTimeout, 40, 140},
      {"no line timeout", psoNoLineTimeout, 10000, 110},
  };
  deviceOnLink = false;
  comms->Max_tries_cmd = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->LineTimeout = c.lineTimeout;
    sent.clear();
    Connect();
    Outcome err;
    auto r = std::make_shared<TKuldendo>();
    r->Packet = ReadPacket(0, 1);
    r->ExpectedAnswer = "ASYRE";
    r->Options = {psoTaggedCallbacks, c.option};
    r->OnError = Capture(err);
    SendWith(r, comms.get());
    vt.Advance(30000);
    const auto tx = Transmissions();
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(err.code, 5);
    EXPECT_EQ(err.at - tx[0].at, c.wait);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, DontWaitRequestEndsWithItsTransmission) {
  deviceOnLink = false;
  Connect();
  Outcome first, second;
  auto r = std::make_shared<TKuldendo>();
  r->Packet = ReadPacket(0, 1);
  r->ExpectedAnswer = "ASYRE";
  r->Options = {psoTaggedCallbacks, psoDontWait};
  r->OnAnswer = Capture(first);
  SendWith(r, comms.get());
  comms->SendCommand("CSYSI", false, 1);
  vt.Advance(20);
  const auto tx = Transmissions();
  ASSERT_EQ(tx.size(), 2u);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(first.at, tx[0].at);
  // Nothing awaited: the next request follows on the next tick of the send timer.
  EXPECT_EQ(tx[1].at - tx[0].at, 2u);
  EXPECT_TRUE(MemoHas("KIKULD_WW"));
}

TEST_F(CommsTest, MaxTriesDecidesTheNumberOfTransmissions) {
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  for (int tries : {1, 5}) {
    comms->Max_tries_cmd = tries;
    sent.clear();
    Connect();
    Outcome err;
    comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, 0);
    vt.Advance(5000);
    EXPECT_EQ(Transmissions().size(), static_cast<size_t>(tries));
    EXPECT_EQ(err.code, 5);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, NegativeAcknowledgementsCountAsTransmissions) {
  struct Case {
    int nacks;
    size_t transmissions;
    int code;
  };
  // Retransmitted at once on each refusal, but never more often than the tries allow: a
  // device that keeps refusing must not hold the line and the caller forever.
  for (const Case c : {Case{2, 3, 0}, Case{1000000, 3, 5}}) {
    SCOPED_TRACE(c.nacks);
    device.faults.nackTries = c.nacks;
    sent.clear();
    Connect();
    Outcome ok, err;
    comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), Capture(err), 0, 0);
    vt.Advance(2000);
    EXPECT_EQ(Transmissions().size(), c.transmissions);
    EXPECT_EQ(ok.calls + err.calls, 1);
    EXPECT_EQ(c.code == 0 ? ok.code : err.code, c.code);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, AcknowledgedButUnansweredRequestFailsAfterOneRestartedWait) {
  Connect();
  device.faults.ackWithoutAnswer = true;
  Outcome ok, err;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), Capture(err), 0, 150);
  vt.Advance(3000);
  const auto tx = Transmissions();
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(err.code, 5);
  // The acknowledgement arrives at once and is taken 1 ms later.
  EXPECT_EQ(err.at - tx[0].at, 1u + 150u);
  EXPECT_TRUE(MemoHas("PNY - VAR INDUL"));
  EXPECT_EQ(ok.calls, 0);
}

TEST_F(CommsTest, AcknowledgedCommandEndsOneWaitAfterItsTransmission) {
  Connect();
  uint64_t readAt = 0;
  std::string read;
  comms->OnRead = [&](const std::string& s, uint16_t, int) {
    read += s + ";";
    readAt = Now();
  };
  comms->SendCommand("CSYSI", true, 1);
  vt.Advance(1000);
  const auto tx = Transmissions();
  ASSERT_EQ(tx.size(), 1u);
  // The device's answer arrives while only the end of the wait is awaited: it reaches
  // OnRead as a packet of its own, and the command itself ends with "CSYAC".
  EXPECT_EQ(read, "ASYSI" + device.Identity() + ";CSYAC;");
  EXPECT_EQ(readAt - tx[0].at, 110u);
  EXPECT_TRUE(MemoHas("PNY - VAR FOLYT"));
  EXPECT_TRUE(MemoHas("CS VAR. KOZBEN"));
  EXPECT_TRUE(MemoHas("URES VAR. VEGE"));
}

TEST_F(CommsTest, QueuedRequestsFailOneByOneWhileTheLinkIsDown) {
  struct Case {
    const char* name;
    std::string host;
    std::string openFailure;
    int code;
  };
  const Case cases[] = {
      {"connection refused", "device", "", 3},
      {"serial port in use", "", kPortErrorAlreadyOpen, 10},
      {"no such serial port", "", kPortErrorNoSuchPort, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->Host = c.host;
    auto fail = [&](MemoryPort& p) {
      port = &p;
      p.RefuseConnect = true;
      p.OpenFailure = c.openFailure;
    };
    // The engine keeps its port from one activation to the next.
    ports.OnCreate = fail;
    if (port) fail(*port);
    memo.Clear();
    comms->SetActive(true);
    vt.Advance(0);
    ASSERT_FALSE(comms->Connected());
    const uint64_t t0 = Now();
    Outcome first, second;
    comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(first), 0, 0);
    comms->SendRequest(ReadPacket(1, 1), 1, "ASYRE", nullptr, Capture(second), 0, 0);
    vt.Advance(1000);
    EXPECT_EQ(first.code, c.code);
    EXPECT_EQ(second.code, c.code);
    // The send timer finds the link down 5 ms after the request was queued.
    EXPECT_EQ(first.at - t0, 5u + 230u);
    EXPECT_EQ(second.at - first.at, 230u);
    EXPECT_EQ(MemoCount("NINCS KAPCSOLAT"), 2);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, RequestInFlightIsLeftToItsOwnWaitWhenTheLinkDropsAgain) {
  comms->QuickReconnect = true;
  deviceOnLink = false;
  Connect();
  port->RefuseConnect = true;
  port->PeerClose();
  vt.Advance(5);
  ASSERT_FALSE(comms->Connected());
  Outcome a, b;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(a), Capture(a), 0, 500);
  comms->SendRequest(ReadPacket(1, 1), 1, "ASYRE", Capture(b), Capture(b), 0, 0);
  vt.Advance(20);  // the link is found down: the queue timer now runs for the first request
  port->RefuseConnect = false;
  vt.Advance(20);
  ASSERT_TRUE(comms->Connected());
  ASSERT_EQ(Transmissions().size(), 1u);
  // Down again while the first request waits for its answer, and back before that wait ends.
  port->RefuseConnect = true;
  port->PeerClose();
  vt.Advance(470);
  port->RefuseConnect = false;
  deviceOnLink = true;
  vt.Advance(2000);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(b.code, 0);
  // Each request went out first as itself, with a serial of its own.
  EXPECT_EQ(MemoCount("KIKULD"), 2);
  for (const auto& tx : Transmissions()) EXPECT_NE(tx.serial, 0);
  EXPECT_FALSE(MemoHas("NINCS KAPCSOLAT"));
}

TEST_F(CommsTest, LongWaitLengthensTheQueueTimeout) {
  ports.OnCreate = [&](MemoryPort& p) {
    port = &p;
    p.RefuseConnect = true;
  };
  comms->SetActive(true);
  vt.Advance(0);
  Outcome err;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, 500);
  vt.Advance(1000);
  EXPECT_EQ(err.at, 5u + 500u);
}

TEST_F(CommsTest, QueuedRequestGoesOutWhenTheLinkComesUp) {
  ports.OnCreate = [&](MemoryPort& p) {
    port = &p;
    p.OnPeerReceive = [this](const std::string& b) {
      Record(b);
      device.Receive(b);
    };
    p.LatencyMs = 100;  // a slow connection
  };
  Outcome ok;
  comms->SetActive(true);
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), nullptr, 0, 500);
  vt.Advance(2000);
  EXPECT_EQ(ok.code, 0);
  ASSERT_EQ(Transmissions().size(), 1u);
  // Connected at 100 ms, sent by the send timer 5 ms later, seen by the device 100 ms after.
  EXPECT_EQ(Transmissions()[0].at, 205u);
}

TEST_F(CommsTest, HalfDuplexHoldsTransmissionsAfterReceiving) {
  for (bool half : {false, true}) {
    SCOPED_TRACE(half);
    comms->Half_Duplex_Mode = half;
    deviceOnLink = false;
    sent.clear();
    Connect();
    vt.Advance(100);
    const uint64_t t = Now();
    Inject(DeviceFrame("EPING", TInfo::nem_kerek_nyugtat, 3));
    vt.Advance(2);
    comms->SendCommand("CSYSI", false, 1);
    vt.Advance(50);
    ASSERT_EQ(Transmissions().size(), 1u);
    // The send timer ticks every 2 ms once it has served the link.
    EXPECT_EQ(Transmissions()[0].at - t, half ? 6u : 4u);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, LinkIsRebuiltAfterTheConfiguredNumberOfTransmissions) {
  comms->EnnyiIsmetlesUtanKapcsolatUjrafelepitese = 2;
  std::string rebuilt;
  comms->OnKapcsolatUjrafelepitendo = [&](TZEBComms&, const std::string& s, uint16_t, int, void*, const std::string&) {
    rebuilt = s;
  };
  Connect();
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  Outcome err;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, 0);
  vt.Advance(5000);
  EXPECT_EQ(rebuilt, ReadPacket(0, 1));
  EXPECT_TRUE(MemoHas("UJRAKAPCSOLODAS"));
  EXPECT_EQ(port->OpenCount(), 2);
  EXPECT_TRUE(comms->Connected());
  // Two transmissions, then the rebuild takes the place of the third.
  EXPECT_EQ(Transmissions().size(), 2u);
  EXPECT_EQ(err.code, 5);
}

TEST_F(CommsTest, TransmissionLinesNameTheirKind) {
  Connect();
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, nullptr, 0, 150);
  comms->SendCommand("CSYSI", true, 1);
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, nullptr, 0, 0);
  vt.Advance(2000);
  std::vector<std::string> kinds;
  for (const auto& l : MemoTexts())
    if (l.find("KIKULD") != std::string::npos) kinds.push_back(l.substr(0, 20));
  EXPECT_EQ(kinds, (std::vector<std::string>{"     KIKULD_ACK_TOUT", "          KIKULD_ACK",
                                             "              KIKULD"}));
}

TEST_F(CommsTest, IdleEngineKeepsOnlyItsReconnectTimer) {
  Connect();
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, nullptr, 0, 0);
  vt.Advance(500);
  ASSERT_EQ(comms->QueueCount(), 0u);
  // Reconnect timer plus nothing else: the port and the device have nothing pending.
  EXPECT_EQ(vt.ActiveTimerCount(), 1u);
  comms->SetActive(false);
  vt.Advance(0);
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);
}

}  // namespace

namespace {

// The virtual clock, with a wall clock that can be set back.
class AdjustableClock : public Clock {
 public:
  explicit AdjustableClock(VirtualTime& vt) : vt_(vt) {}
  uint32_t TickMs() const override { return vt_.TickMs(); }
  WallTime Now() const override {
    WallTime w = vt_.Now();
    w.hour -= hoursBack;
    return w;
  }
  int hoursBack = 0;

 private:
  VirtualTime& vt_;
};

TEST(WallClockTest, SettingTheWallClockBackHoldsNeitherTheLineNorTheKeepAlive) {
  VirtualTime vt;
  AdjustableClock clock(vt);
  MemoryPortFactory ports(vt, vt);
  MemoryPort* port = nullptr;
  ports.OnCreate = [&](MemoryPort& p) { port = &p; };
  TZEBComms comms(clock, vt, &ports);
  comms.Host = "device";
  comms.Half_Duplex_Mode = true;
  comms.SetActive(true);
  vt.Advance(10);
  ASSERT_TRUE(comms.Connected());
  port->PeerSend("x");
  vt.Advance(1);
  clock.hoursBack = 1;
  comms.SendCommand("CSYSI", false, 1);
  vt.Advance(10);
  EXPECT_EQ(port->WriteCalls(), 1u);
  const size_t frameBytes = port->Written().size();
  vt.Advance(200000);
  const std::string keepAlive = port->Written().substr(frameBytes);
  EXPECT_FALSE(keepAlive.empty());
  EXPECT_EQ(keepAlive.find_first_not_of('x'), std::string::npos);
  comms.SetActive(false);
}

}  // namespace
