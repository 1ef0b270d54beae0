// The communication log: line layout, where lines go, what is kept.

#include "CommsFixture.h"
#include "comms/CommLogFormat.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"
#include "support/TempDir.h"

namespace {

// A log writer on a file of its own, serving the engine for as long as it lives.
class AttachedWriter {
 public:
  AttachedWriter(VirtualTime& vt, TZEBComms& comms) : writer(vt), comms_(comms) {
    writer.Memo = &memo;
    writer.SetLogFile(dir.File("comms.log"));
    writer.Logging = true;
    comms_.LogWriter = &writer;
  }
  ~AttachedWriter() { comms_.LogWriter = nullptr; }
  AttachedWriter(const AttachedWriter&) = delete;
  AttachedWriter& operator=(const AttachedWriter&) = delete;

  TempDir dir;
  MemoryLogTextView memo;  // declared before the writer so that it never points at a dead view
  TNaplo writer;

 private:
  TZEBComms& comms_;
};

TEST_F(CommsTest, TransmissionAndAnswerLinesMatchTheirLayoutExactly) {
  deviceOnLink = false;
  Connect();
  comms->SetSerialCounters(6, 100);
  comms->SendRequest("CSYRE" + Bytes({0, 16}), 1, "ASYRE", nullptr, nullptr, 0, 150);
  vt.Advance(5);
  ASSERT_EQ(Transmissions().size(), 1u);
  ASSERT_EQ(Transmissions()[0].at, 5u);
  vt.Advance(122);
  Inject(DeviceFrame("ASYRE" + Bytes({0, 16, 5}), TInfo::nem_kerek_nyugtat, 7));
  vt.Advance(5);

  const auto lines = memo.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2],
            "12:00:00.005      KIKULD_ACK_TOUT 007.          >        1         CSYRE#0#16 067 083 089 082 069 000 016 ");
  EXPECT_EQ(lines.back(),
            "12:00:00.128          VALASZ - OK 007.        1 >          T:00123 ASYRE#0#16 065 083 089 082 069 000 016 "
            "005 ");
  EXPECT_GE(memo.ScrollCount(), 3);
}

TEST(CommLogFormatTest, ColumnsFollowTheLineKindAndSettings) {
  const std::string cs = "CS";
  struct Case {
    const char* name;
    std::string msg;
    int kind;
    std::string packet;
    std::optional<int64_t> elapsed;
    int64_t dest, source;
    int serial;
    TPacketLineStyle style;
    std::string expected;
  };
  const std::string blank32(32, ' ');
  const Case cases[] = {
      {"raw bytes on their own line",
       "BE:", 1, "A\r\n", std::nullopt, -1, -1, -1, {},
       "                 BE: " + blank32 + " A#13#10    \r\nA\r\n"},
      {"raw bytes as a decimal dump",
       "BE:", 1, "A\r\n", std::nullopt, -1, -1, -1, {false, true, ""},
       "                 BE: " + blank32 + " A#13#10    065 013 010 "},
      {"hexadecimal dump",
       "X", 2, cs, 5, 1, 3, 9, {true, false, ""},
       "                   X 009.        3 >        1 T:00005 CS         43 53 "},
      {"from and to the PC",
       "X", 2, cs, std::nullopt, 250, 250, 9, {},
       "                   X 009.          >                  CS         067 083 "},
      {"requests and transmissions show no source",
       "X", 8, cs, std::nullopt, 4, 3, -1, {},
       "                   X    .          >        4         CS         067 083 "},
      {"damaged frames show no addresses",
       "X", 10, cs, std::nullopt, 4, 3, -1, {},
       "                   X    .          >                  CS         067 083 "},
      {"long message and description",
       "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2, "", 123456, 70000, 1, 250, {false, false, "Device7"},
       "Dev ABCDEFGHIJKLMNOPQRST 250.        1 >    70000 T:123456            "},
      {"short description",
       "X", 2, "", std::nullopt, 1, 1, 1, {false, false, "D"},
       "  D                    X 001.        1 >        1                    "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatPacketLine(c.msg, c.kind, c.packet, c.elapsed, c.dest, c.source, c.serial, c.style), c.expected);
  }
  EXPECT_EQ(CommLogStamp(WallTime{2026, 1, 2, 3, 4, 5, 6}), "03:04:05.006 ");
}

TEST_F(CommsTest, TimeColumnCountsFromTheTickOrBetweenTheReferenceAndNow) {
  vt.Advance(1000);
  const int64_t now = WallTimeToMs(vt.Now());
  const uint32_t tick = vt.TickMs();
  struct Case {
    const char* name;
    uint32_t sendTick;
    int64_t refTime;
    std::string expected;
  };
  const Case cases[] = {
      {"since the transmission", tick - 7, -1, "T:00007"},
      {"the tick wins over the reference", tick - 7, now - 500, "T:00007"},
      {"since the reference", 0, now - 123, "T:00123"},
      // A wall clock set back must not widen the column with a sign.
      {"reference after now", 0, now + 50, "T:00050"},
      {"none", 0, -1, "       "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comms->LogPacket("X", 2, c.sendTick, true, "", c.refTime, 1, 1, 1);
    EXPECT_EQ(MemoTexts().back().substr(21, 32), "001.        1 >        1 " + c.expected);
  }
}

TEST_F(CommsTest, RawLinesReachTheWriterUnconverted) {
  AttachedWriter log(vt, *comms);
  comms->Log_Raw_Data = true;
  deviceOnLink = false;
  Connect();
  Inject(DeviceFrame("EV\r", TInfo::nem_kerek_nyugtat, 4));
  vt.Advance(5);
  bool rawSeen = false;
  for (const auto& l : log.memo.Lines())
    if (l.find("BE:") != std::string::npos) rawSeen = l.find("\r\n") != std::string::npos;
  EXPECT_TRUE(rawSeen);
  EXPECT_TRUE(log.writer.ConvertToPrintable);
  // Other lines are still converted by the writer.
  log.writer.ConvertToPrintable = true;
  comms->LogLine("tab\there", 0);
  EXPECT_NE(log.memo.Lines().back().find("tab#9here"), std::string::npos);
}

TEST_F(CommsTest, RecentLinesKeepTheLastTwentyFiveIncludingUnloggedOnes) {
  deviceOnLink = false;
  Connect();
  for (int i = 0; i < 30; ++i) comms->LogLine("line " + std::to_string(i), 0);
  ASSERT_EQ(comms->RecentLines().size(), 25u);
  EXPECT_EQ(comms->RecentLines().front().substr(13), "line 5");
  EXPECT_EQ(comms->RecentLines().back(), "12:00:00.000 line 29");

  // A request marked not to be logged: its refusal is kept among the recent lines only.
  comms->SetActive(false);
  const size_t memoLines = memo.Lines().size();
  auto r = std::make_shared<TKuldendo>();
  r->Packet = "CSYSI";
  r->Options = {psoDontLog};
  SendWith(r, comms.get());
  EXPECT_EQ(memo.Lines().size(), memoLines);
  EXPECT_NE(comms->RecentLines().back().find("NEM AKTIV"), std::string::npos);

  // Logging everything overrides the request's wish.
  comms->MindenNaplozasa = true;
  SendWith(std::make_shared<TKuldendo>(*r), comms.get());
  EXPECT_NE(memo.Lines().back().find("NEM AKTIV"), std::string::npos);
}

TEST_F(CommsTest, TraceLinesGoToTheWriterOnly) {
  AttachedWriter log(vt, *comms);
  comms->DebugMode = true;
  Connect();
  vt.Advance(10);  // the send timer's first tick finds the queue empty
  std::vector<std::string> trace;
  for (const auto& l : log.memo.Lines())
    if (l.find("TZEBComms.") != std::string::npos) trace.push_back(Cp1250ToUtf8(l.substr(l.find("TZEBComms."))));
  EXPECT_EQ(trace, (std::vector<std::string>{"TZEBComms.OnTimerSendPackages Belépés",
                                             "TZEBComms.OnTimerSendPackages Nincs több küldendő: leállítás",
                                             "TZEBComms.OnTimerSendPackages Kilépés"}));
  EXPECT_FALSE(MemoHas("TZEBComms."));
  for (const auto& l : comms->RecentLines()) EXPECT_EQ(l.find("TZEBComms."), std::string::npos);
}

}  // namespace
