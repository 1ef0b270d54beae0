// Received frames: matching to the request in flight, acknowledgements, unsolicited
// packets, damaged input.

#include <stdexcept>

#include "CommsFixture.h"
#include "comms/TextSensor.h"

namespace {

class IncomingTest : public CommsTest {
 protected:
  void SetUp() override {
    deviceOnLink = false;
    Connect();
  }

  // Sends a read request (no acknowledgement asked, wait 0) and returns its transmission.
  SentFrame Request(const std::string& expected = "ASYRE", int wait = 0) {
    comms->SendRequest(ReadPacket(0, 1), 1, expected, Capture(ok), Capture(err), 0, wait);
    vt.Advance(10);
    EXPECT_FALSE(Transmissions().empty());
    return Transmissions().back();
  }

  Outcome ok, err;
};

TEST_F(IncomingTest, LooseSerialCheckTakesALateAnswerOnlyAfterARetransmission) {
  struct Case {
    bool loose;
    bool retransmitted;
    bool accepted;
  };
  for (const Case c : {Case{true, true, true}, Case{true, false, false}, Case{false, true, false}}) {
    SCOPED_TRACE(::testing::Message() << "loose " << c.loose << " retransmitted " << c.retransmitted);
    comms->LoosePckIDCheck = c.loose;
    memo.Clear();
    ok = err = Outcome{};
    const SentFrame tx = Request();
    if (c.retransmitted) vt.Advance(110);
    ASSERT_EQ(comms->TryCount(), c.retransmitted ? 2 : 1);
    Inject(DeviceFrame("ASYRE\x01", TInfo::nem_kerek_nyugtat, tx.serial - 1));
    vt.Advance(2);
    EXPECT_EQ(ok.calls, c.accepted ? 1 : 0);
    EXPECT_EQ(MemoHas("KOSZA CS,VARUNK"), !c.accepted);
    vt.Advance(1000);
    EXPECT_EQ(ok.calls + err.calls, 1);
  }
}

TEST_F(IncomingTest, RetransmissionsKeepOrRenewTheirSerialByTheRepeatRule) {
  using R = TIDOfRepeatedPackets;
  struct Case {
    const char* name;
    R rule;
    bool incParam;
    int firstSerial;
    int secondSerial;
  };
  const Case cases[] = {
      {"parameter off", R::irpUseParameter, false, 40, 40},
      {"parameter on", R::irpUseParameter, true, 40, 41},
      {"parameter on, wrapping", R::irpUseParameter, true, 250, 1},
      {"always", R::irpAlwaysIncrement, false, 40, 41},
      {"never", R::irpNeverIncrement, true, 40, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->IDOfRepeatedPackets = c.rule;
    comms->SetSerialCounters(c.firstSerial - 1, 100);
    sent.clear();
    ok = err = Outcome{};
    comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), Capture(err), 0, 0, c.incParam);
    vt.Advance(10 + 110);
    const auto tx = Transmissions();
    ASSERT_EQ(tx.size(), 2u);
    EXPECT_EQ(tx[0].serial, c.firstSerial);
    EXPECT_EQ(tx[1].serial, c.secondSerial);
    // The answer is matched against the serial that went out last.
    Inject(DeviceFrame("ASYRE\x01", TInfo::nem_kerek_nyugtat, c.secondSerial));
    vt.Advance(2);
    EXPECT_EQ(ok.calls, 1);
    EXPECT_EQ(err.calls, 0);
  }
}

TEST_F(IncomingTest, SerialCheckCanBeWaivedPerEngineOrPerRequest) {
  struct Case {
    const char* name;
    bool engineNoCheck;
    TPSOption option;  // psoTaggedCallbacks: nothing extra
    const char* expected;
    bool accepted;
  };
  const Case cases[] = {
      {"checked", false, psoTaggedCallbacks, "ASYRE", false},
      {"engine waives", true, psoTaggedCallbacks, "ASYRE", true},
      {"request insists", true, psoStrictPckIDCheck, "ASYRE", false},
      {"request waives", false, psoNoPckIDCheck, "ASYRE", true},
      // The engine's waiver covers answers only; an acknowledgement is still checked.
      {"engine waives, no answer expected", true, psoTaggedCallbacks, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->NoPckIDCheck = c.engineNoCheck;
    ok = err = Outcome{};
    auto r = std::make_shared<TKuldendo>();
    r->Packet = ReadPacket(0, 1);
    r->ExpectedAnswer = c.expected;
    r->Options = {psoTaggedCallbacks, c.option};
    r->OnAnswer = Capture(ok);
    r->OnError = Capture(err);
    SendWith(r, comms.get());
    vt.Advance(10);
    const SentFrame tx = Transmissions().back();
    const bool ack = *c.expected == '\0';
    Inject(DeviceFrame(ack ? "" : "ASYRE\x01", ack ? TInfo::pozitiv_nyugta : TInfo::nem_kerek_nyugtat,
                       tx.serial + 5));
    vt.Advance(2);
    EXPECT_EQ(ok.calls, c.accepted ? 1 : 0);
    EXPECT_EQ(comms->WaitState(), c.accepted ? 0 : 2);
    vt.Advance(1000);
    EXPECT_EQ(ok.calls + err.calls, 1);
  }
}

TEST_F(IncomingTest, StrayAcknowledgementRestartsTheWait) {
  const SentFrame tx = Request();
  vt.Advance(40);
  Inject(DeviceFrame("", TInfo::pozitiv_nyugta, tx.serial + 3));
  vt.Advance(200);
  EXPECT_TRUE(MemoHas("KOSZA ACK,VARUNK"));
  const auto all = Transmissions();
  ASSERT_GE(all.size(), 2u);
  // Taken 1 ms after it arrived at 50 ms, then a full first wait.
  EXPECT_EQ(all[1].at, 51u + 110u);
}

TEST_F(IncomingTest, FramesThatDoNotConcernTheRequestLeaveItWaiting) {
  struct Case {
    const char* name;
    TInfo info;
    int serialOffset;
    uint32_t source;
    const char* verdict;
  };
  const Case cases[] = {
      {"stray negative acknowledgement", TInfo::negativ_nyugta, 5, 1, "KOSZA NACK,VARUNK"},
      {"stray acknowledgement", TInfo::pozitiv_nyugta, 5, 1, "KOSZA ACK,VARUNK"},
      {"answer with another serial", TInfo::nem_kerek_nyugtat, 5, 1, "KOSZA CS,VARUNK"},
      {"answer from another device", TInfo::nem_kerek_nyugtat, 0, 9, "NEM CIMZETT,VARUNK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ok = err = Outcome{};
    const SentFrame tx = Request();
    Inject(DeviceFrame(c.info == TInfo::nem_kerek_nyugtat ? "ASYRE\x01" : "", c.info, tx.serial + c.serialOffset,
                       c.source));
    vt.Advance(5);
    EXPECT_TRUE(MemoHas(c.verdict));
    EXPECT_EQ(ok.calls + err.calls, 0);
    EXPECT_EQ(comms->WaitState(), 2);
    Inject(DeviceFrame("ASYRE\x02", TInfo::nem_kerek_nyugtat, tx.serial));
    vt.Advance(5);
    EXPECT_EQ(ok.answer, "ASYRE\x02");
  }
}

TEST_F(IncomingTest, AcknowledgementEndsARequestThatExpectsNoAnswer) {
  auto r = std::make_shared<TKuldendo>();
  r->Packet = "CSYRP";
  r->Options = {psoTaggedCallbacks};
  r->OnAnswer = Capture(ok);
  SendWith(r, comms.get());
  vt.Advance(10);
  const SentFrame tx = Transmissions().back();
  EXPECT_EQ(tx.info, TInfo::kerek_nyugtat);
  Inject(DeviceFrame("", TInfo::pozitiv_nyugta, tx.serial));
  vt.Advance(2);
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(ok.answer, "CSYAC");
  EXPECT_TRUE(MemoHas("NYUGTA - OK"));
}

TEST_F(IncomingTest, NegativeAcknowledgementRetransmitsAtOnce) {
  const SentFrame tx = Request();
  vt.Advance(20);
  Inject(DeviceFrame("", TInfo::negativ_nyugta, tx.serial));
  vt.Advance(2);
  const auto all = Transmissions();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].at, 31u);
  EXPECT_EQ(all[1].payload, tx.payload);
  EXPECT_EQ(all[1].serial, tx.serial);
  EXPECT_EQ(all[1].info, TInfo::kerek_nyugtat);
  EXPECT_TRUE(MemoHas("NACK - UJRAKULD"));
  Inject(DeviceFrame("ASYRE\x05", TInfo::nem_kerek_nyugtat, tx.serial));
  vt.Advance(5);
  EXPECT_EQ(ok.code, 0);
}

TEST_F(IncomingTest, AnswerWithAnotherNameFailsWithSeven) {
  const SentFrame tx = Request();
  Inject(DeviceFrame("ASYWE", TInfo::nem_kerek_nyugtat, tx.serial));
  vt.Advance(5);
  EXPECT_EQ(err.code, 7);
  EXPECT_EQ(err.answer, "ASYWE");
  EXPECT_TRUE(MemoHas("NEM JO VALASZ"));
}

TEST_F(IncomingTest, BadAddressWhileWaitingFailsWithFiftyFive) {
  const SentFrame tx = Request();
  Inject(DeviceFrame("ASYRE", TInfo::nem_kerek_nyugtat, tx.serial, 251));
  vt.Advance(5);
  EXPECT_EQ(err.code, 55);
  EXPECT_TRUE(MemoHas("ROSSZ CIM"));
  EXPECT_EQ(comms->WaitState(), 0);
}

TEST_F(IncomingTest, FramesAskingForAnAcknowledgementAreAcknowledgedWhenForUs) {
  struct Case {
    const char* name;
    uint32_t source;
    uint32_t dest;
    bool w;
    bool acked;
  };
  const Case cases[] = {
      {"to the PC", 1, 250, false, true},
      {"broadcast", 1, 255, false, true},
      {"to another device", 1, 7, false, false},
      {"long address", 70000, 250, true, true},
  };
  comms->SetZEBMode(TZEBMode::PMDecodeBothEncodeZEB);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sent.clear();
    Inject(DeviceFrame("EVENT", TInfo::kerek_nyugtat, 77, c.source, c.dest, c.w));
    vt.Advance(5);
    if (!c.acked) {
      EXPECT_TRUE(sent.empty());
      continue;
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].info, TInfo::pozitiv_nyugta);
    EXPECT_EQ(sent[0].serial, 77);
    EXPECT_EQ(sent[0].dest, c.source);
    EXPECT_EQ(sent[0].w, c.w);
    EXPECT_EQ(sent[0].payload, "");
    EXPECT_EQ(comms->LastAckSerial(), 77);
  }
}

TEST_F(IncomingTest, BroadcastsAreTakenOnlyWithBroadcastVetele) {
  comms->Log_All_Packages = true;
  std::vector<std::string> reads;
  comms->OnRead = [&](const std::string& s, uint16_t, int) { reads.push_back(s); };
  comms->BroadcastVetele = false;
  Inject(DeviceFrame("EALARM", TInfo::nem_kerek_nyugtat, 3, 1, 255));
  vt.Advance(5);
  EXPECT_TRUE(MemoHas("NEM PCNEK"));
  EXPECT_TRUE(reads.empty());
  comms->BroadcastVetele = true;
  Inject(DeviceFrame("EALARM", TInfo::nem_kerek_nyugtat, 4, 1, 255));
  vt.Advance(5);
  EXPECT_TRUE(MemoHas("ESEMENYCS"));
  EXPECT_EQ(reads, std::vector<std::string>{"EALARM"});
}

TEST_F(IncomingTest, EventWhileWaitingIsDeliveredAndTheWaitGoesOn) {
  std::vector<std::string> reads;
  comms->OnRead = [&](const std::string& s, uint16_t code, int) { reads.push_back(s + "/" + std::to_string(code)); };
  const SentFrame tx = Request();
  vt.Advance(50);
  Inject(DeviceFrame("EDOOR", TInfo::nem_kerek_nyugtat, 200));
  vt.Advance(100);
  EXPECT_EQ(reads, std::vector<std::string>{"EDOOR/0"});
  EXPECT_TRUE(MemoHas("ESEMENY,VARUNK"));
  // Still the first transmission: the event restarted the wait at 61 ms.
  EXPECT_EQ(Transmissions().size(), 1u);
  vt.Advance(20);
  ASSERT_EQ(Transmissions().size(), 2u);
  EXPECT_EQ(Transmissions()[1].at, 61u + 110u);
  Inject(DeviceFrame("ASYRE\x00", TInfo::nem_kerek_nyugtat, tx.serial));
  vt.Advance(5);
  EXPECT_EQ(ok.code, 0);
}

TEST_F(IncomingTest, UnsolicitedPacketsReachTheApplicationOnlyFromItsDevice) {
  struct Case {
    uint32_t source;
    bool everyone;
    bool delivered;
  };
  for (const Case c : {Case{1, false, true}, Case{2, false, false}, Case{2, true, true}}) {
    SCOPED_TRACE(::testing::Message() << c.source << " " << c.everyone);
    comms->Can_address_everyone = c.everyone;
    int reads = 0;
    comms->OnRead = [&](const std::string&, uint16_t, int) { ++reads; };
    Inject(DeviceFrame("EPING", TInfo::nem_kerek_nyugtat, 9, c.source));
    vt.Advance(5);
    EXPECT_EQ(reads, c.delivered ? 1 : 0);
  }
}

TEST_F(IncomingTest, RicherEventsTakePrecedenceOverOnRead) {
  std::string seen;
  comms->OnRead = [&](const std::string&, uint16_t, int) { seen += "read;"; };
  comms->OnReadEx = [&](TZEBComms&, const std::string& s, uint16_t) { seen += "ex:" + s + ";"; };
  Inject(DeviceFrame("EONE", TInfo::nem_kerek_nyugtat, 9));
  vt.Advance(5);
  comms->OnReadMax = [&](TZEBComms&, const TOnReadPacketData& d) {
    seen += "max:" + d.Data + "@" + std::to_string(d.Source) + ">" + std::to_string(d.Destination) + ";";
  };
  Inject(DeviceFrame("ETWO", TInfo::nem_kerek_nyugtat, 10));
  vt.Advance(5);
  EXPECT_EQ(seen, "ex:EONE;max:ETWO@1>250;");
}

TEST_F(IncomingTest, HandlerMayReplaceItselfWhileHandlingAPacket) {
  std::vector<std::string> seen;
  const std::string firstName(64, 'f');  // long enough to live on the heap with the handler
  comms->OnRead = [this, &seen, firstName](const std::string& s, uint16_t, int) {
    comms->OnRead = [&seen](const std::string& s2, uint16_t, int) { seen.push_back("second:" + s2); };
    seen.push_back(firstName.substr(0, 5) + ":" + s);
  };
  Inject(DeviceFrame("EONE", TInfo::nem_kerek_nyugtat, 9));
  vt.Advance(5);
  Inject(DeviceFrame("ETWO", TInfo::nem_kerek_nyugtat, 10));
  vt.Advance(5);
  EXPECT_EQ(seen, (std::vector<std::string>{"fffff:EONE", "second:ETWO"}));
}

TEST_F(IncomingTest, ExceptionFromAHandlerLeavesTheEngineWorking) {
  std::vector<std::string> reads;
  comms->OnRead = [&](const std::string& s, uint16_t, int) {
    reads.push_back(s);
    if (s == "EONE") throw std::runtime_error("handler failed");
  };
  Inject(DeviceFrame("EONE", TInfo::nem_kerek_nyugtat, 9));
  EXPECT_THROW(vt.Advance(5), std::runtime_error);
  Inject(DeviceFrame("ETWO", TInfo::nem_kerek_nyugtat, 10));
  vt.Advance(5);
  EXPECT_EQ(reads, (std::vector<std::string>{"EONE", "ETWO"}));

  // An answer callback that raises does not hold up the requests behind it.
  Outcome second;
  comms->SendRequest(
      ReadPacket(0, 1), 1, "ASYRE", [](const std::string&, uint16_t, int) { throw std::runtime_error("x"); }, nullptr,
      0, 0);
  comms->SendRequest(ReadPacket(1, 1), 1, "ASYRE", Capture(second), nullptr, 0, 0);
  vt.Advance(10);
  Inject(DeviceFrame("ASYRE\x01", TInfo::nem_kerek_nyugtat, Transmissions().back().serial));
  EXPECT_THROW(vt.Advance(5), std::runtime_error);
  vt.Advance(10);
  ASSERT_EQ(Transmissions().size(), 2u);
  Inject(DeviceFrame("ASYRE\x02", TInfo::nem_kerek_nyugtat, Transmissions().back().serial));
  vt.Advance(5);
  EXPECT_EQ(second.code, 0);
}

TEST_F(IncomingTest, AutoAnswerRepliesInsteadOfDelivering) {
  comms->AutoAnswer = true;
  int reads = 0;
  comms->OnRead = [&](const std::string&, uint16_t, int) { ++reads; };
  Inject(DeviceFrame("CGSWD123", TInfo::nem_kerek_nyugtat, 33));
  vt.Advance(5);
  EXPECT_EQ(reads, 0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload, "AGSWD");
  EXPECT_EQ(sent[0].serial, 33);
  EXPECT_EQ(sent[0].info, TInfo::nem_kerek_nyugtat);
}

TEST_F(IncomingTest, FramesFromAnotherPcCanBeKeptOutOfTheLog) {
  comms->Log_All_Packages = true;
  for (bool dontLog : {false, true}) {
    comms->DontLogPcksFromPc = dontLog;
    memo.Clear();
    Inject(DeviceFrame("CSYSI", TInfo::nem_kerek_nyugtat, 12, 250, 7));
    vt.Advance(5);
    EXPECT_EQ(MemoHas("NEM PCNEK"), !dontLog);
    // Kept among the recent lines either way.
    EXPECT_NE(comms->RecentLines().back().find("NEM PCNEK"), std::string::npos);
  }
}

TEST_F(IncomingTest, JunkAndDamagedFramesAreLoggedAndDropped) {
  const std::string frame = DeviceFrame("EXYZ", TInfo::nem_kerek_nyugtat, 5);
  int reads = 0;
  comms->OnRead = [&](const std::string&, uint16_t, int) { ++reads; };
  Inject("xyz" + frame);
  vt.Advance(5);
  EXPECT_TRUE(MemoHas("CHUNK:"));
  EXPECT_EQ(reads, 1);

  std::string broken = frame;
  broken[broken.size() - 2] ^= 0x01;  // checksum
  Inject(broken);
  vt.Advance(5);
  // The engine decodes short frames only here, so the checksum verdict itself is shown.
  EXPECT_TRUE(MemoHas("HIBAS:1 ROSSZ CHSUM"));
  EXPECT_EQ(reads, 1);

  // A frame split over two chunks waits for its end.
  Inject(frame.substr(0, 6));
  vt.Advance(5);
  EXPECT_EQ(reads, 1);
  Inject(frame.substr(6));
  vt.Advance(5);
  EXPECT_EQ(reads, 2);
}

TEST_F(IncomingTest, ReceiveBufferIsCutWhenItOverflows) {
  Inject(std::string(17000, 'a'));
  vt.Advance(5);
  EXPECT_EQ(comms->RxBuffer().size(), 4096u);
  EXPECT_TRUE(MemoHas("Overflow, puffer was truncated."));
}

// Error-code answers: the device answers with the right name but an error code where the
// expected data should be.
class ErrorCodeTest : public CommsTest {
 protected:
  void SetUp() override { Connect(); }
  void Write(Outcome& ok, Outcome& err) {
    const std::string echo = Bytes({0x10, 0x00, 0x01});
    comms->SendRequest("CSYWE" + echo + "Z", 1, "ASYWE" + echo, Capture(ok), Capture(err), 0, 0);
  }
};

TEST_F(ErrorCodeTest, UnacknowledgedRequestIsRetriedUpToTenTimesWithLongerWaits) {
  device.faults.noAck = true;
  device.faults.errorCodeTries = 100;
  Outcome ok, err;
  Write(ok, err);
  vt.Advance(20000);
  const auto tx = Transmissions();
  ASSERT_EQ(tx.size(), 10u);
  // Each error answer arrives at once and is taken 1 ms later; then 300, 600, 900 ms.
  EXPECT_EQ(tx[1].at - tx[0].at, 301u);
  EXPECT_EQ(tx[2].at - tx[1].at, 601u);
  for (size_t i = 3; i < tx.size(); ++i) EXPECT_EQ(tx[i].at - tx[i - 1].at, 901u) << i;
  EXPECT_EQ(err.code, 5);
  EXPECT_EQ(err.at - tx[9].at, 901u);
  EXPECT_EQ(ok.calls, 0);
  EXPECT_TRUE(MemoHas("HIBAKOD - UJRAKULD"));
}

TEST_F(ErrorCodeTest, ErrorThatClearsOnRetryEndsWithTheAnswer) {
  device.faults.noAck = true;
  device.faults.errorCodeTries = 2;
  Outcome ok, err;
  Write(ok, err);
  vt.Advance(3000);
  EXPECT_EQ(Transmissions().size(), 3u);
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(ok.answer, "ASYWE" + Bytes({0x10, 0x00, 0x01}));
}

TEST_F(ErrorCodeTest, AcknowledgedRequestFailsAfterOneWait) {
  device.faults.errorCodeTries = 100;
  Outcome ok, err;
  comms->SendRequest("CSYWE" + Bytes({0x10, 0x00, 0x01}) + "Z", 1, "ASYWE" + Bytes({0x10, 0x00, 0x01}),
                     Capture(ok), Capture(err), 0, 150);
  vt.Advance(5000);
  const auto tx = Transmissions();
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(err.code, 5);
  EXPECT_EQ(err.at - tx[0].at, 1u + 300u);
}

TEST(TextSensorTest, LinesBecomeDevicePackets) {
  auto word = [](int v) { return Bytes({v & 0xFF, (v >> 8) & 0xFF}); };
  struct Case {
    const char* line;
    std::vector<std::string> data;
  };
  const Case cases[] = {
      {"*T=21.53C H=45.6%", {"AITGD" + word(2153) + word(456)}},
      {"*T0=21.5C T1=-3.25C", {"AITGD" + word(2150), "AITGD" + word(-325)}},
      {"*T0=-005.5C", {"AITGD" + word(-550)}},
      {"*T0=??C T1=1C", {"AITGD" + word(kTextSensorMissing), "AITGD" + word(100)}},
      {"*T0=20000C", {"AITGD" + word(20000)}},
      // Readings beyond the 16-bit word are missing, not wrapped or undefined.
      {"*T0=1e300C T1=327.67C T2=-327.69C", {"AITGD" + word(kTextSensorMissing), "AITGD" + word(32767),
                                              "AITGD" + word(kTextSensorMissing)}},
      {"*X", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> got;
    for (const auto& r : ConvertTextSensorLine(c.line)) got.push_back(r.Data);
    EXPECT_EQ(got, c.data);
  }
}

TEST_F(IncomingTest, TextSensorLinesAreDeliveredPerChannel) {
  comms->KRM_to_ZEB = true;
  comms->ZEBAddress = 2;
  std::vector<std::string> reads;
  comms->OnReadMax = [&](TZEBComms&, const TOnReadPacketData& d) {
    reads.push_back(std::to_string(d.Source) + ":" + d.Data.substr(0, 5) + ":" + d.RawFrame);
  };
  Inject("noise*T0=1.00C T1=2.00C\n*");
  vt.Advance(5);
  // Channel 1 is source 2, the engine's device; the rest of the buffer waits for its line feed.
  EXPECT_EQ(reads, std::vector<std::string>{"2:AITGD:*T0=1.00C T1=2.00C"});
  EXPECT_EQ(comms->RxBuffer(), "*");
}

}  // namespace
