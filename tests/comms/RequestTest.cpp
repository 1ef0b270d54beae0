// Accepting, refusing, sending and finishing requests.

#include "CommsFixture.h"

namespace {

TEST_F(CommsTest, RequestRefusedWhileInactiveReachesOnlyItsErrorCallback) {
  Outcome ok, err;
  comms->SendRequest(ReadPacket(0, 2), 1, "ASYRE", Capture(ok), Capture(err), 0, 150);
  EXPECT_EQ(ok.calls, 0);
  EXPECT_EQ(err.calls, 1);
  EXPECT_EQ(err.code, 2);
  EXPECT_EQ(err.answer, "");
  EXPECT_EQ(comms->QueueCount(), 0u);
  ASSERT_EQ(memo.Lines().size(), 1u);
  EXPECT_NE(memo.Lines()[0].find("NEM AKTIV"), std::string::npos);
}

TEST_F(CommsTest, RefusalsCarryTheirCodeAndLeaveTheQueueAlone) {
  Connect();
  comms->PufferSize = 3;
  // Three requests fill the queue; the device stays silent so the first stays in flight.
  device.faults.answerFromTry = 1000;
  device.faults.noAck = true;
  for (int i = 0; i < 3; ++i) comms->SendRequest(ReadPacket(i, 1), 1, "ASYRE", nullptr, nullptr, 0, 0);
  vt.Advance(10);
  ASSERT_EQ(comms->WaitState(), 2);

  struct Case {
    const char* name;
    int pufferSize;
    TPSOptions options;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"full", 3, {psoTaggedCallbacks}, 4, "PUFFER TELE"},
      // A full queue is reported first.
      {"first in queue on a full queue", 3, {psoTaggedCallbacks, psoFirstInQueue}, 4, "PUFFER TELE"},
      {"first in queue while in flight", 10, {psoTaggedCallbacks, psoFirstInQueue}, 8, "NEM PAUSED"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->PufferSize = c.pufferSize;
    memo.Clear();
    Outcome err;
    auto r = std::make_shared<TKuldendo>();
    r->Packet = "CSYSI";
    r->Options = c.options;
    r->OnError = Capture(err);
    SendWith(r, comms.get());
    EXPECT_EQ(err.calls, 1);
    EXPECT_EQ(err.code, c.code);
    EXPECT_EQ(comms->QueueCount(), 3u);
    EXPECT_TRUE(MemoHas(c.text));
  }

  // A quick command needs the link itself.
  port->PeerClose();
  vt.Advance(0);
  ASSERT_FALSE(comms->Connected());
  Outcome err;
  auto r = std::make_shared<TKuldendo>();
  r->Packet = "CSYSI";
  r->Options = {psoTaggedCallbacks, psoDontQueue};
  r->OnError = Capture(err);
  SendWith(r, comms.get());
  EXPECT_EQ(err.code, 3);
  EXPECT_TRUE(MemoHas("NINCS KAPCS"));
}

TEST_F(CommsTest, ProgrammingErrorsRaiseAndQueueNothing) {
  Connect();
  struct Case {
    TPSOptions options;
    const char* pair;
  };
  // The pairs as they are checked; a pair listed twice is reported by its first entry.
  const Case cases[] = {
      {{psoForceAck, psoDontAck}, "psoForceAck, psoDontAck"},
      {{psoDontAck, psoWaitAfterAck}, "psoDontAck, psoWaitAfterAck"},
      {{psoForceWait, psoDontWait}, "psoForceWait, psoDontWait"},
      {{psoForceWait, psoDontQueue}, "psoForceWait, psoDontQueue"},
      {{psoWaitAfterAck, psoDontWait}, "psoWaitAfterAck, psoDontWait"},
      {{psoWaitAfterAck, psoDontQueue}, "psoWaitAfterAck, psoDontQueue"},
      {{psoDontWait, psoUsePollTimeout}, "psoDontWait, psoUsePollTimeout"},
      {{psoFirstInQueue, psoDontQueue}, "psoFirstInQueue, psoDontQueue"},
      {{psoDontQueue, psoUsePollTimeout}, "psoDontQueue, psoUsePollTimeout"},
      {{psoDontLog, psoLogAsPoll}, "psoDontLog, psoLogAsPoll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pair);
    auto r = std::make_shared<TKuldendo>();
    r->Packet = "CS";
    r->Options = c.options;
    try {
      SendWith(r, comms.get());
      ADD_FAILURE() << "no exception";
    } catch (const EZEBCommsError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid options: ") + c.pair + " (067 083 )");
    }
    EXPECT_EQ(comms->QueueCount(), 0u);
  }

  auto tagged = std::make_shared<TKuldendo>();
  tagged->Packet = "CS";
  int object = 0;
  tagged->ObjTag = &object;
  EXPECT_THROW(
      {
        try {
          SendWith(tagged, comms.get());
        } catch (const EZEBCommsError& e) {
          EXPECT_STREQ(e.what(), "Use of ObjTag without specifing OnResult: 067 083 ");
          throw;
        }
      },
      EZEBCommsError);

  auto orphan = std::make_shared<TKuldendo>();
  orphan->Packet = "CS";
  try {
    SendWith(orphan, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const EZEBCommsError& e) {
    EXPECT_STREQ(e.what(), "Unassigned ZEBPort in SendWith. Pck: 067 083 ");
  }
  vt.Advance(50);
  EXPECT_EQ(comms->QueueCount(), 0u);
  EXPECT_TRUE(Transmissions().empty());
}

TEST_F(CommsTest, AddressZeroGoesToTheEngineAddressOrToOne) {
  struct Case {
    uint32_t engineAddress;
    uint32_t expected;
  };
  for (const Case c : {Case{0, 1}, Case{7, 7}}) {
    comms->ZEBAddress = c.engineAddress;
    Connect();
    comms->SendCommand("CSYSI", true, 0);
    vt.Advance(10);
    ASSERT_FALSE(Transmissions().empty());
    EXPECT_EQ(Transmissions().back().dest, c.expected);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, ReadRequestIsAcknowledgedAnsweredAndReportedOnce) {
  Connect();
  device.Image()[0x10] = 'A';
  device.Image()[0x11] = 'B';
  Outcome ok, err;
  comms->SendRequest(ReadPacket(0x10, 2), 1, "ASYRE", Capture(ok), Capture(err), 0, 150);
  vt.Advance(1000);
  EXPECT_EQ(err.calls, 0);
  ASSERT_EQ(ok.calls, 1);
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(ok.answer, "ASYREAB");
  ASSERT_EQ(Transmissions().size(), 1u);
  // A request with a wait asks for an acknowledgement.
  EXPECT_EQ(Transmissions()[0].info, TInfo::kerek_nyugtat);
  EXPECT_EQ(comms->QueueCount(), 0u);
  EXPECT_EQ(comms->WaitState(), 0);
}

TEST_F(CommsTest, RequestWithoutWaitButWithAnswerAsksNoAcknowledgement) {
  Connect();
  Outcome ok;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", Capture(ok), nullptr, 0, 0);
  vt.Advance(500);
  ASSERT_EQ(Transmissions().size(), 1u);
  EXPECT_EQ(Transmissions()[0].info, TInfo::nem_kerek_nyugtat);
  EXPECT_EQ(ok.code, 0);
}

TEST_F(CommsTest, NegativeWaitBehavesAsPositive) {
  device.faults.answerFromTry = 1000;
  device.faults.noAck = true;
  // Through SendRequest, and from a caller that fills the request itself.
  for (bool own : {false, true}) {
    SCOPED_TRACE(own ? "SendWith" : "SendRequest");
    sent.clear();
    Connect();
    Outcome err;
    if (own) {
      auto r = std::make_shared<TKuldendo>();
      r->Packet = ReadPacket(0, 1);
      r->ExpectedAnswer = "ASYRE";
      r->Wait = -200;
      r->Options = {psoTaggedCallbacks, psoForceAck};
      r->OnError = Capture(err);
      SendWith(r, comms.get());
    } else {
      comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, Capture(err), 0, -200);
    }
    vt.Advance(2000);
    const auto tx = Transmissions();
    ASSERT_EQ(tx.size(), 3u);
    EXPECT_EQ(tx[0].info, TInfo::kerek_nyugtat);
    EXPECT_EQ(tx[1].at - tx[0].at, 200u);
    EXPECT_EQ(tx[2].at - tx[1].at, 400u);
    EXPECT_EQ(err.at - tx[2].at, 600u);
    EXPECT_EQ(err.code, 5);
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, HashWaitsTheWholeTimeAndTakesTheFirstAnswerWhateverItsName) {
  Connect();
  deviceOnLink = false;
  Outcome ok;
  comms->SendRequest("CSYXX", 1, "#", Capture(ok), nullptr, 0, 400);
  vt.Advance(10);
  ASSERT_EQ(Transmissions().size(), 1u);
  const auto tx = Transmissions()[0];
  Inject(DeviceFrame("", TInfo::pozitiv_nyugta, tx.serial));
  vt.Advance(20);
  Inject(DeviceFrame("QWERTY", TInfo::nem_kerek_nyugtat, tx.serial));
  vt.Advance(20);
  Inject(DeviceFrame("SECOND", TInfo::nem_kerek_nyugtat, tx.serial));
  vt.Advance(100);
  EXPECT_EQ(ok.calls, 0);
  vt.Advance(1000);
  ASSERT_EQ(ok.calls, 1);
  EXPECT_EQ(ok.answer, "QWERTY");
  // The acknowledgement, injected at 10 ms and taken by the 1 ms processing timer, restarted
  // the wait; the answers did not end it.
  EXPECT_EQ(ok.at, 10u + 1u + 400u);
  EXPECT_TRUE(MemoHas("VAR VEGE, VALASZ OK"));
}

TEST_F(CommsTest, CommandReportsThroughOnReadAccordingToNyugtatIsJelezze) {
  for (bool jelezze : {true, false}) {
    SCOPED_TRACE(jelezze);
    comms->Nyugtat_is_jelezze = jelezze;
    std::vector<std::string> reads;
    comms->OnRead = [&](const std::string& s, uint16_t code, int) { reads.push_back(s + "/" + std::to_string(code)); };
    Connect();
    device.faults.ackWithoutAnswer = true;
    comms->SendCommand("CSYRS", true, 1);
    vt.Advance(1000);
    if (jelezze)
      EXPECT_EQ(reads, std::vector<std::string>{"CSYAC/0"});
    else
      EXPECT_TRUE(reads.empty());
    comms->SetActive(false);
  }
}

TEST_F(CommsTest, UnacknowledgedCommandEndsSilently) {
  Connect();
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  int reads = 0;
  comms->OnRead = [&](const std::string&, uint16_t, int) { ++reads; };
  comms->SendCommand("CSYSI", true, 1);
  vt.Advance(2000);
  EXPECT_EQ(reads, 0);
  // Never retransmitted: a command is sent once.
  EXPECT_EQ(Transmissions().size(), 1u);
  EXPECT_TRUE(MemoHas("PAR. SIKERTELEN"));
  EXPECT_EQ(comms->QueueCount(), 0u);
}

TEST_F(CommsTest, ResultStyleCallbackGetsEveryTagBack) {
  Connect();
  int object = 42;
  std::string seen;
  auto r = std::make_shared<TKuldendo>();
  r->Packet = ReadPacket(0, 1);
  r->ExpectedAnswer = "ASYRE";
  r->Tag = 9;
  r->TagStr = "tag";
  r->ObjTag = &object;
  r->OnResult = [&](TZEBComms& sender, const std::string& s, uint16_t code, int tag, void* obj, const std::string& ts) {
    EXPECT_EQ(&sender, comms.get());
    seen = s.substr(0, 5) + "/" + std::to_string(code) + "/" + std::to_string(tag) + "/" +
           std::to_string(*static_cast<int*>(obj)) + "/" + ts;
  };
  SendWith(r, comms.get());
  vt.Advance(500);
  EXPECT_EQ(seen, "ASYRE/0/9/42/tag");
  EXPECT_EQ(r->Origin, comms.get());
}

TEST_F(CommsTest, DiscardedRequestIsDroppedUnsentWithoutCallbacks) {
  Connect();
  Outcome any;
  auto r = std::make_shared<TKuldendo>();
  r->Packet = "CSYSI";
  r->Options = {psoTaggedCallbacks};
  r->OnAnswer = Capture(any);
  r->OnError = Capture(any);
  r->Discard = true;
  SendWith(r, comms.get());
  comms->SendCommand("CSYRP", true, 1);
  vt.Advance(1000);
  EXPECT_EQ(any.calls, 0);
  ASSERT_EQ(Transmissions().size(), 1u);
  EXPECT_EQ(Transmissions()[0].payload, "CSYRP");
}

TEST_F(CommsTest, DeactivationFinishesQueuedRequestsWithSixInOrder) {
  Connect();
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  std::vector<int> order;
  std::vector<int> codes;
  std::vector<int> lateCodes;
  for (int i = 0; i < 3; ++i) {
    comms->SendRequest(
        ReadPacket(i, 1), 1, "ASYRE", nullptr,
        [&, i](const std::string&, uint16_t code, int) {
          order.push_back(i);
          codes.push_back(code);
          // A caller that tries again at once is refused: the engine is going down.
          comms->SendRequest(ReadPacket(9, 1), 1, "ASYRE", nullptr,
                             [&](const std::string&, uint16_t c, int) { lateCodes.push_back(c); }, 0, 0);
        },
        0, 0);
  }
  vt.Advance(20);
  comms->SetActive(false);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(codes, (std::vector<int>{6, 6, 6}));
  EXPECT_EQ(lateCodes, (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(comms->QueueCount(), 0u);
  EXPECT_EQ(comms->WaitState(), 0);
  EXPECT_EQ(comms->OpenFailReason(), 3);
}

TEST_F(CommsTest, CallbackMayQueueTheNextRequestBehindTheRest) {
  Connect();
  std::vector<std::string> answers;
  std::function<void(const std::string&, uint16_t, int)> next = [&](const std::string& s, uint16_t, int) {
    answers.push_back(s.substr(0, 5) + std::to_string(static_cast<int>(static_cast<unsigned char>(s.back()))));
    const size_t remaining[] = {1, 1, 0};
    EXPECT_EQ(comms->QueueCount(), remaining[answers.size() - 1]);
    if (answers.size() == 1) comms->SendRequest(ReadPacket(2, 1), 1, "ASYRE", next, nullptr, 0, 0);
  };
  device.Image()[0] = 10;
  device.Image()[1] = 11;
  device.Image()[2] = 12;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", next, nullptr, 0, 0);
  comms->SendRequest(ReadPacket(1, 1), 1, "ASYRE", next, nullptr, 0, 0);
  vt.Advance(1000);
  EXPECT_EQ(answers, (std::vector<std::string>{"ASYRE10", "ASYRE11", "ASYRE12"}));
}

TEST_F(CommsTest, AllocatedSerialSkipsTheLastAcknowledgementAndWraps) {
  Connect();
  struct Case {
    int lastSerial;
    int lastAck;
    int expected;
  };
  for (const Case c : {Case{250, 0, 1}, Case{249, 250, 1}, Case{9, 10, 11}, Case{9, 0, 10}}) {
    comms->SetSerialCounters(c.lastSerial, 5, c.lastAck);
    ASSERT_EQ(comms->SendFrame("CSYSI", TInfo::nem_kerek_nyugtat, 0, false, 0, false, -1, 1), 0);
    vt.Advance(0);
    EXPECT_EQ(sent.back().serial, c.expected) << c.lastSerial << "/" << c.lastAck;
    EXPECT_EQ(comms->LastSerial(), c.expected);
  }
}

TEST_F(CommsTest, SendFrameResults) {
  EXPECT_EQ(comms->SendFrame("CSYSI", TInfo::kerek_nyugtat, 0, false, 0, false, -1, 1), 3);
  Connect();
  EXPECT_EQ(comms->SendFrame(std::string(3000, 'x'), TInfo::kerek_nyugtat, 0, false, 0, false, -1, 1), 9);
  port->WriteFailure = "broken pipe";
  EXPECT_EQ(comms->SendFrame("CSYSI", TInfo::kerek_nyugtat, 0, false, 0, false, -1, 1), 4);
  EXPECT_TRUE(MemoHas("KHIBA:broken pipe"));
  port->WriteFailure.clear();
  // The variant can be forced for one frame without changing the engine's mode.
  EXPECT_EQ(comms->SendFrame("CSYSI", TInfo::kerek_nyugtat, 1, true, 0, false, 5, 300), 0);
  vt.Advance(0);
  EXPECT_TRUE(sent.back().w);
  EXPECT_EQ(comms->ZEBMode(), TZEBMode::PMZEBOnly);
}

TEST_F(CommsTest, OversizedRequestFailsWithNine) {
  Connect();
  Outcome err;
  comms->SendRequest("CSYWE" + std::string(3000, 'x'), 1, "ASYWE", nullptr, Capture(err), 0, 0);
  vt.Advance(20);
  EXPECT_EQ(err.code, 9);
  EXPECT_EQ(comms->QueueCount(), 0u);
}

TEST_F(CommsTest, QuickCommandGoesOutAtOnceWithAFarSerial) {
  Connect();
  device.faults.noAck = true;
  device.faults.answerFromTry = 1000;
  comms->SendRequest(ReadPacket(0, 1), 1, "ASYRE", nullptr, nullptr, 0, 0);
  vt.Advance(10);
  const size_t before = Transmissions().size();
  Outcome ok;
  auto r = std::make_shared<TKuldendo>();
  r->Packet = "CSYRS";
  r->Options = {psoTaggedCallbacks, psoDontQueue};
  r->OnAnswer = Capture(ok);
  SendWith(r, comms.get());
  EXPECT_EQ(ok.calls, 1);
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(comms->QueueCount(), 1u);
  vt.Advance(0);
  ASSERT_EQ(Transmissions().size(), before + 1);
  const int s = Transmissions().back().serial;
  EXPECT_GT(std::abs(s - comms->LastSerial()), 10);
  EXPECT_GT(std::abs(s - comms->LastRxSerial()), 10);
  EXPECT_EQ(comms->QuickSerial(), s);
  EXPECT_TRUE(MemoHas("GYORSPARANCS"));
}

}  // namespace
