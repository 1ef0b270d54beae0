#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devsim/lib/SimulatedDevice.h"
#include "platform/VirtualTime.h"
#include "protocol/ZEBProtocol.h"

namespace {

using namespace std::string_literals;

struct Seen {
  TInfo info;
  uint8_t serial;
  uint32_t source;
  uint8_t sourceShort;
  uint32_t dest;
  bool longVariant;
  std::string payload;
};

// The PC end of the line: builds request frames and decodes what the device wrote.
class DeviceTest : public ::testing::Test {
 protected:
  DeviceTest() {
    dev.OnSend = [this](const std::string& b) { wire += b; };
    dev.OnTrace = [this](const std::string& l) { trace.push_back(l); };
  }

  static std::string Frame(std::string_view payload, uint32_t dest, uint8_t serial,
                           TInfo info = TInfo::kerek_nyugtat, bool longVariant = false, bool asyer = false) {
    TZEBProtocol c;
    c.ZEBMode = longVariant ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
    c.Cimzett = dest;
    c.Felado = ZEB_PC_ADDRESS;
    c.CsomagSorszam = serial;
    c.Info = info;
    c.Enable_ASYER = asyer;
    return c.Encode(payload);
  }

  void Send(std::string_view payload, uint8_t serial = 7, TInfo info = TInfo::kerek_nyugtat,
            bool longVariant = false, bool asyer = false) {
    dev.Receive(Frame(payload, dev.Address(), serial, info, longVariant, asyer));
  }

  // Takes every complete frame the device has written so far; each must decode.
  std::vector<Seen> Take() {
    std::vector<Seen> out;
    TZEBProtocol c;
    c.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
    for (;;) {
      std::string f = c.ExtractFrame(wire);
      if (f.empty()) break;
      skipped += c.SkippedBytes;
      std::string p = c.Decode(f);
      EXPECT_EQ(c.DecodeResult, 0) << DecodeResultText(c.DecodeResult);
      out.push_back({c.Info, c.CsomagSorszam, c.Felado, c.Felado_rovid_cim, c.Cimzett, c.LastFrameWasW, p});
    }
    return out;
  }

  VirtualTime vt;
  SimulatedDevice dev{vt, vt};
  std::string wire;
  std::string skipped;
  std::vector<std::string> trace;
};

void ExpectAck(const Seen& s, uint8_t serial, uint32_t from, TInfo kind = TInfo::pozitiv_nyugta) {
  EXPECT_EQ(s.info, kind);
  EXPECT_EQ(s.serial, serial);
  EXPECT_EQ(s.source, from);
  EXPECT_EQ(s.dest, ZEB_PC_ADDRESS);
  EXPECT_EQ(s.payload, "");
}

void ExpectAnswer(const Seen& s, uint8_t serial, const std::string& payload) {
  EXPECT_EQ(s.info, TInfo::nem_kerek_nyugtat);
  EXPECT_EQ(s.serial, serial);
  EXPECT_EQ(s.dest, ZEB_PC_ADDRESS);
  EXPECT_EQ(s.payload, payload);
}

// ---- Commands -------------------------------------------------------------------------------

TEST_F(DeviceTest, EveryCommandIsAcknowledgedAndAnsweredAsDocumented) {
  std::string& img = dev.Image();
  img[0x0234] = '\x80';
  img[0x0235] = '\0';
  img[0x0236] = 'A';
  img[0x0237] = '\xFF';
  img[4093] = 'x';
  img[4096] = 'z';
  dev.SetIdentity("DEV-1");

  struct Case {
    const char* name;
    std::string request;
    bool answered;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"read", "CSYRE\x34\x02\x04"s, true, "ASYRE\x80\0A\xFF"s},
      {"read up to the last image byte", "CSYRE\xFD\x0F\x04"s, true, "ASYRE" + img.substr(4093, 4)},
      {"read of zero bytes", "CSYRE\x00\x00\x00"s, true, "ASYRE"},
      {"write", "CSYWE\x10\x00\x02\x01\x02"s, true, "ASYWE\x10\x00\x02"s},
      {"identify", "CSYSI", true, "ASYSI" "DEV-1"},
      {"re-read parameters", "CSYRP", true, "ASYRP"},
      {"restart", "CSYRS", false, ""},
      {"read past the image", "CSYRE\xFE\x0F\x04"s, false, ""},
      {"read too short", "CSYRE\x34\x02"s, false, ""},
      {"write with missing data", "CSYWE\x10\x00\x03\x01\x02"s, false, ""},
      {"write past the image", "CSYWE\x00\x10\x02\x01\x02"s, false, ""},
      {"unknown command", "CXXXX", false, ""},
      {"identify with trailing bytes", "CSYSI\x01"s, false, ""},
  };
  uint8_t serial = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Send(c.request, serial);
    auto seen = Take();
    ASSERT_EQ(seen.size(), c.answered ? 2u : 1u);
    ExpectAck(seen[0], serial, 1);
    if (c.answered) ExpectAnswer(seen[1], serial, c.answer);
    ++serial;
  }
  EXPECT_EQ(dev.Stats().restarts, 1u);
  EXPECT_EQ(dev.Stats().parameterReloads, 1u);
  EXPECT_EQ(dev.Image().substr(0x10, 2), "\x01\x02");
  EXPECT_EQ(dev.Image().size(), SimulatedDevice::kImageSize);
}

TEST_F(DeviceTest, WrittenBytesReadBackAndNothingAroundThemChanges) {
  Send("CSYWE\xFE\x0F\x03\0\x80\xFF"s, 1);
  Send("CSYRE\xFD\x0F\x04"s, 2);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 4u);
  ExpectAnswer(seen[1], 1, "ASYWE\xFE\x0F\x03"s);
  ExpectAnswer(seen[3], 2, "ASYRE\0\0\x80\xFF"s);
}

TEST_F(DeviceTest, RequestWithoutAcknowledgementGetsOnlyItsAnswer) {
  Send("CSYSI", 33, TInfo::nem_kerek_nyugtat);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].payload.substr(0, 5), "ASYSI");
  EXPECT_EQ(seen[0].serial, 33);
}

TEST_F(DeviceTest, UnservableRequestIsReportedOnlyWhenTheRequestAllowsIt) {
  dev.SetAddress(70000);
  Send("CXXXX", 5, TInfo::kerek_nyugtat, true, /*asyer=*/true);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAnswer(seen[1], 5, "ASYER" "CXXXX");
  Send("CXXXX", 6, TInfo::kerek_nyugtat, true, /*asyer=*/false);
  EXPECT_EQ(Take().size(), 1u);
}

// ---- Addressing and variants ----------------------------------------------------------------

TEST_F(DeviceTest, AnswersOnlyItsOwnAddressAndBroadcast) {
  dev.SetAddress(17);
  dev.Receive(Frame("CSYSI", 18, 3));
  dev.Receive(Frame("CSYSI", 1, 3));
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(dev.Stats().framesReceived, 2u);
  EXPECT_EQ(dev.Stats().framesForMe, 0u);

  dev.Receive(Frame("CSYSI", ZEB_BROADCAST_ADDRESS, 4));
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAck(seen[0], 4, 17);
  EXPECT_EQ(seen[1].source, 17u);
  EXPECT_EQ(seen[1].sourceShort, 17);
  EXPECT_FALSE(seen[1].longVariant);
}

TEST_F(DeviceTest, LongAddressDeviceAnswersInTheLongVariant) {
  dev.SetAddress(70000);
  dev.Receive(Frame("CSYSI", 70000 & 0xFF, 3));  // a short frame cannot reach it
  EXPECT_TRUE(Take().empty());

  Send("CSYRE\x00\x00\x01"s, 9, TInfo::kerek_nyugtat, true);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) {
    EXPECT_TRUE(s.longVariant);
    EXPECT_EQ(s.source, 70000u);
    EXPECT_EQ(s.sourceShort, 70000 & 0xFF);
  }
  ExpectAck(seen[0], 9, 70000);
  ExpectAnswer(seen[1], 9, "ASYRE\0"s);

  // A broadcast in the short variant still reaches it; it answers in its own variant.
  dev.Receive(Frame("CSYSI", ZEB_BROADCAST_ADDRESS, 4));
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[1].longVariant);
}

TEST_F(DeviceTest, ShortAddressDeviceAnswersALongFrameInTheLongVariantWhichThePcRejects) {
  dev.SetAddress(5);
  dev.Receive(Frame("CSYSI", 5, 8, TInfo::kerek_nyugtat, true));
  TZEBProtocol pc;
  pc.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
  std::string f = pc.ExtractFrame(wire);
  ASSERT_FALSE(f.empty());
  pc.Decode(f);
  EXPECT_EQ(pc.DecodeResult, 4);  // "ROSSZ CIM": a long frame from a short address
}

TEST_F(DeviceTest, AddressesOutsideBothRangesAreRefused) {
  for (uint32_t a : {0u, 251u, 254u, 255u}) EXPECT_THROW(dev.SetAddress(a), std::invalid_argument) << a;
  for (uint32_t a : {1u, 250u, 256u, 0xFFFFFFFFu}) EXPECT_NO_THROW(dev.SetAddress(a)) << a;
}

// ---- The byte stream ------------------------------------------------------------------------

TEST_F(DeviceTest, FramesAreCutFromAnyChunking) {
  std::string two = Frame("CSYSI", 1, 1) + Frame("CSYRP", 1, 2);
  for (char c : two) dev.Receive(std::string_view(&c, 1));
  auto seen = Take();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1].payload.substr(0, 5), "ASYSI");
  EXPECT_EQ(seen[3].payload, "ASYRP");

  dev.Receive("noise\x01\x02"s + Frame("CSYRP", 1, 3) + "\xFD\x01"s);
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].serial, 3);
}

TEST_F(DeviceTest, DamagedFramesAreDroppedAndTheNextOneIsServed) {
  std::string bad = Frame("CSYSI", 1, 1);
  bad[bad.size() - 2] ^= 0x01;  // checksum
  dev.Receive(bad);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(dev.Stats().framesBad, 1u);
  Send("CSYSI", 2);
  EXPECT_EQ(Take().size(), 2u);
}

TEST_F(DeviceTest, EndlessNoiseDoesNotStopTheDevice) {
  dev.Receive(std::string(40000, '\x41'));
  Send("CSYSI", 2);
  EXPECT_EQ(Take().size(), 2u);
}

TEST_F(DeviceTest, OutputLoopedStraightBackIsHandledOnce) {
  dev.OnSend = [this](const std::string& b) {
    wire += b;
    dev.Receive(b);
  };
  Send("CSYSI", 2);
  EXPECT_EQ(Take().size(), 2u);
  EXPECT_EQ(dev.Stats().framesReceived, 3u);  // the request and its own two frames
  EXPECT_EQ(dev.Stats().framesForMe, 1u);
}

TEST_F(DeviceTest, TraceHasOneLinePerFrame) {
  Send("CSYRE\x00\x00\x02"s, 7);
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_NE(trace[0].find("RX ZEB 250->1 #7 kerek_nyugtat CSYRE 00 00 02"), std::string::npos) << trace[0];
  EXPECT_NE(trace[1].find("TX ZEB 1->250 #7 pozitiv_nyugta"), std::string::npos) << trace[1];
  EXPECT_NE(trace[2].find("ASYRE 00 00"), std::string::npos) << trace[2];
}

// ---- Faults ---------------------------------------------------------------------------------

TEST_F(DeviceTest, AcknowledgementAndAnswerCanEachBeWithheld) {
  dev.faults.noAck = true;
  Send("CSYSI", 1);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].info, TInfo::nem_kerek_nyugtat);

  dev.faults = {};
  dev.faults.ackWithoutAnswer = true;
  Send("CSYSI", 2);
  seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  ExpectAck(seen[0], 2, 1);
  EXPECT_EQ(dev.Stats().answersSent, 1u);
  EXPECT_EQ(dev.Stats().acksSent, 1u);
}

TEST_F(DeviceTest, AnswersOnlyFromTheNthTryOfEachRequest) {
  dev.faults.answerFromTry = 3;
  for (int i = 0; i < 2; ++i) {
    Send("CSYRE\x00\x00\x01"s, 4);
    EXPECT_TRUE(Take().empty());
  }
  Send("CSYRE\x00\x00\x01"s, 4);
  EXPECT_EQ(Take().size(), 2u);

  // The next request starts counting again, also when the serial moves on with each try.
  Send("CSYSI", 5);
  Send("CSYSI", 6);
  EXPECT_TRUE(Take().empty());
  Send("CSYSI", 7);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].serial, 7);
}

TEST_F(DeviceTest, NegativeAcknowledgementsComeBeforeService) {
  dev.faults.nackTries = 2;
  dev.faults.answerFromTry = 2;
  Send("CSYSI", 9);
  EXPECT_TRUE(Take().empty());
  for (int i = 0; i < 2; ++i) {
    Send("CSYSI", 9);
    auto seen = Take();
    ASSERT_EQ(seen.size(), 1u);
    ExpectAck(seen[0], 9, 1, TInfo::negativ_nyugta);
  }
  Send("CSYSI", 9);
  EXPECT_EQ(Take().size(), 2u);
  EXPECT_EQ(dev.Stats().nacksSent, 2u);
}

TEST_F(DeviceTest, ErrorCodeAnswerLeavesTheRequestUnexecutedUntilALaterTry) {
  dev.faults.errorCodeTries = 1;
  dev.faults.errorCode = "\x03\x01"s;
  Send("CSYWE\x00\x00\x01\x55"s, 12);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAck(seen[0], 12, 1);
  ExpectAnswer(seen[1], 12, "ASYWE\x03\x01"s);
  EXPECT_EQ(dev.Image()[0], '\0');

  Send("CSYWE\x00\x00\x01\x55"s, 12);
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAnswer(seen[1], 12, "ASYWE\x00\x00\x01"s);
  EXPECT_EQ(dev.Image()[0], '\x55');
}

TEST_F(DeviceTest, WrongSerialIsOnTheAnswerOnlyAndWraps) {
  dev.faults.wrongSerial = true;
  for (uint8_t serial : {uint8_t{7}, uint8_t{250}}) {
    Send("CSYSI", serial);
    auto seen = Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].serial, serial);
    EXPECT_EQ(seen[1].serial, serial == 250 ? 1 : serial + 1);
  }
}

TEST_F(DeviceTest, LateAnswerFollowsAPromptAcknowledgementAfterTheDelay) {
  dev.SetAnswerDelayMs(50);
  dev.faults.lateAnswerMs = 200;
  Send("CSYSI", 3);
  EXPECT_EQ(Take().size(), 1u);
  EXPECT_EQ(dev.PendingAnswers(), 1u);
  vt.Advance(249);
  EXPECT_TRUE(Take().empty());
  vt.Advance(1);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  ExpectAnswer(seen[0], 3, "ASYSI" + dev.Identity());
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);

  // Two answers in flight at once keep their own times and contents.
  dev.faults.lateAnswerMs = 0;
  Send("CSYRP", 4);
  vt.Advance(20);
  Send("CSYSI", 5);
  Take();
  vt.Advance(30);
  seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].payload, "ASYRP");
  vt.Advance(20);
  seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].serial, 5);
}

TEST_F(DeviceTest, RestartDropsAnAnswerStillPending) {
  dev.SetAnswerDelayMs(100);
  Send("CSYSI", 1);
  Send("CSYRS", 2);
  vt.Advance(500);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAck(seen[1], 2, 1);
  EXPECT_EQ(dev.Stats().answersSent, 0u);
}

TEST_F(DeviceTest, JunkStandsInFrontOfEveryFrame) {
  dev.faults.junkBeforeFrame = "\x01\x02zz"s;
  Send("CSYSI", 1);
  EXPECT_EQ(wire.substr(0, 4), "\x01\x02zz"s);
  EXPECT_EQ(Take().size(), 2u);
  EXPECT_EQ(skipped, "\x01\x02zz\x01\x02zz"s);
}

TEST_F(DeviceTest, RepeatedRequestIsAnsweredAgainButNotExecutedAgain) {
  Send("CSYWE\x00\x00\x01\x11"s, 40);
  Take();
  dev.Image()[0] = '\x22';
  Send("CSYWE\x00\x00\x01\x11"s, 40);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  ExpectAck(seen[0], 40, 1, TInfo::pozitiv_nyugta);
  ExpectAnswer(seen[1], 40, "ASYWE\x00\x00\x01"s);
  EXPECT_EQ(dev.Image()[0], '\x22');
  EXPECT_EQ(dev.Stats().repeatsServed, 1u);

  // The same bytes with the next serial are a new request.
  Send("CSYWE\x00\x00\x01\x11"s, 41);
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].info, TInfo::pozitiv_nyugta);
  EXPECT_EQ(dev.Image()[0], '\x11');

  // The long variant can say that the packet is a repeat.
  dev.SetAddress(70000);
  Send("CSYSI", 50, TInfo::kerek_nyugtat, true);
  Send("CSYSI", 50, TInfo::kerek_nyugtat, true);
  seen = Take();
  ASSERT_EQ(seen.size(), 4u);
  ExpectAck(seen[2], 50, 70000, TInfo::ismetelt_csomag);
  EXPECT_EQ(seen[3].payload, seen[1].payload);
}

TEST_F(DeviceTest, FramesThatAreAcknowledgementsAreNotServed) {
  Send("CSYSI", 1, TInfo::pozitiv_nyugta);
  Send("CSYSI", 1, TInfo::negativ_nyugta);
  Send("CSYSI", 1, TInfo::ismetelt_csomag, /*longVariant=*/true);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(dev.Stats().framesForMe, 3u);
}

// ---- Unsolicited frames ---------------------------------------------------------------------

TEST_F(DeviceTest, EventsGoToThePcWithTheirOwnSerials) {
  dev.SetAddress(42);
  dev.SetIdentity("X");
  dev.SendIdentification();
  dev.SendEvent("EALRM\x01"s, true);
  auto seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].payload, "ESYSI" "X");
  EXPECT_EQ(seen[0].info, TInfo::nem_kerek_nyugtat);
  EXPECT_EQ(seen[1].payload, "EALRM\x01"s);
  EXPECT_EQ(seen[1].info, TInfo::kerek_nyugtat);
  EXPECT_EQ(seen[0].source, 42u);
  EXPECT_EQ(seen[0].dest, ZEB_PC_ADDRESS);
  EXPECT_NE(seen[0].serial, seen[1].serial);
  EXPECT_EQ(dev.Stats().eventsSent, 2u);
}

}  // namespace
