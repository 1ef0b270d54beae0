#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/LogTestUtil.h"
#include "log/logUnit.h"

namespace {

class LogWriterTest : public ::testing::Test {
 protected:
  LogWriterTest() : writer(time) {
    path = dir.File("app.log");
    writer.SetLogFile(path);
    writer.Logging = true;
    writer.Memo = &memo;
  }

  TempDir dir;
  VirtualTime time{WallTime{2026, 1, 1, 12, 0, 0, 0}};
  MemoryLogTextView memo;
  TNaplo writer;
  std::string path;
};

TEST_F(LogWriterTest, LineHasStampTwoBlanksMessageAndCrLf) {
  writer.WriteLog("Program elindítva");
  time.Advance(1234);
  writer.WriteLog("second");
  EXPECT_EQ(ReadAll(path),
            "26.01.01 12:00:00.000  Program elindítva\r\n"
            "26.01.01 12:00:01.234  second\r\n");
  EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"26.01.01 12:00:00.000  Program elindítva",
                                                     "26.01.01 12:00:01.234  second"}));
  EXPECT_EQ(memo.ScrollCount(), 0);
}

TEST_F(LogWriterTest, WithoutTimeTheLineIsTheMessageAlone) {
  writer.LogTime = false;
  writer.WriteLog("x");
  EXPECT_EQ(ReadAll(path), "x\r\n");
}

TEST_F(LogWriterTest, ControlCharactersBecomeCodesOnlyWhenConverting) {
  writer.LogTime = false;
  writer.WriteLog("a\r\nb\x01\xE9");
  writer.ConvertToPrintable = false;
  writer.WriteLog("c\r\nd\x01\xE9");
  // Code page 1250 bytes go to the file exactly as they came.
  EXPECT_EQ(ReadAll(path), "a#13#10b#1\xE9\r\nc\r\nd\x01\xE9\r\n");
  EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"a#13#10b#1\xE9", "c\r\nd\x01\xE9"}));
}

TEST_F(LogWriterTest, SwitchedOffWritesNothingAnywhere) {
  int handlerCalls = 0;
  writer.OnWriteLog = [&](TNaplo&, std::string&) { ++handlerCalls; };
  MemoryLogDataSet table;
  writer.DBLogWriter.DataSet = &table;
  writer.LogEvertythingToDB = true;

  writer.Logging = false;
  writer.WriteLog("off", true);
  writer.Logging = true;
  writer.SetLogLimit(0);
  writer.WriteLog("limit zero", true);

  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(memo.LineCount(), 0);
  EXPECT_EQ(handlerCalls, 0);
  EXPECT_TRUE(table.Rows.empty());
}

TEST_F(LogWriterTest, NegativeLimitIsIgnored) {
  EXPECT_EQ(writer.LogLimit(), 10000000);
  writer.SetLogLimit(1000);
  writer.SetLogLimit(-5);
  EXPECT_EQ(writer.LogLimit(), 1000);
}

TEST_F(LogWriterTest, HandlerSeesTheRawMessageAndMayReplaceIt) {
  writer.LogTime = false;
  std::string seen;
  writer.OnWriteLog = [&](TNaplo& sender, std::string& msg) {
    EXPECT_EQ(&sender, &writer);
    seen = msg;
    msg = "[" + msg + "]\t";
  };
  writer.WriteLog("m\r");
  EXPECT_EQ(seen, "m\r");
  EXPECT_EQ(ReadAll(path), "[m#13]#9\r\n");
}

TEST_F(LogWriterTest, AutoScrollScrollsAfterEveryLine) {
  writer.AutoScrollMemo = true;
  writer.WriteLog("a");
  writer.WriteLog("b");
  EXPECT_EQ(memo.ScrollCount(), 2);
}

TEST_F(LogWriterTest, ClearingTheMemoLeavesTheFileWhole) {
  writer.LogTime = false;
  writer.WriteLog("a");
  memo.Clear();
  writer.WriteLog("b");
  EXPECT_EQ(memo.Lines(), std::vector<std::string>{"b"});
  EXPECT_EQ(ReadAll(path), "a\r\nb\r\n");
}

TEST_F(LogWriterTest, AppendsToAnExistingFile) {
  { std::ofstream(path, std::ios::binary) << "old\r\n"; }
  writer.LogTime = false;
  writer.WriteLog("new");
  EXPECT_EQ(ReadAll(path), "old\r\nnew\r\n");
}

TEST_F(LogWriterTest, UnwritablePathIsSilentAndRetriedOnTheNextWrite) {
  const std::string missingDir = dir.File("not-yet");
  const std::string deep = missingDir + "/app.log";
  int handlerCalls = 0;
  writer.OnWriteLog = [&](TNaplo&, std::string&) { ++handlerCalls; };
  writer.LogTime = false;

  for (const std::string& bad : {deep, dir.Path().string()}) {
    SCOPED_TRACE(bad);
    writer.SetLogFile(bad);
    EXPECT_NO_THROW(writer.WriteLog("lost"));
  }
  EXPECT_EQ(memo.LineCount(), 0);
  EXPECT_EQ(handlerCalls, 0);

  writer.SetLogFile(deep);
  std::filesystem::create_directory(missingDir);
  writer.WriteLog("found");
  EXPECT_EQ(ReadAll(deep), "found\r\n");
  EXPECT_EQ(memo.Lines(), std::vector<std::string>{"found"});
}

TEST_F(LogWriterTest, EmptyFileNameMeansNoFileAndNoMemoLine) {
  writer.SetLogFile("");
  writer.WriteLog("nowhere");
  EXPECT_EQ(memo.LineCount(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(LogWriterTest, NamingAnotherFileMovesTheNextLinesThere) {
  writer.LogTime = false;
  writer.WriteLog("one");
  const std::string other = dir.File("other.log");
  writer.SetLogFile(other);
  writer.WriteLog("two");
  EXPECT_EQ(ReadAll(path), "one\r\n");
  EXPECT_EQ(ReadAll(other), "two\r\n");
}

TEST_F(LogWriterTest, FailingHandlerOrMemoNeverReachesTheCaller) {
  struct ThrowingView : MemoryLogTextView {
    void AppendLine(const std::string&) override { throw std::runtime_error("view gone"); }
  } badView;
  writer.LogTime = false;
  writer.Memo = &badView;
  EXPECT_NO_THROW(writer.WriteLog("a"));
  writer.Memo = &memo;
  writer.OnWriteLog = [](TNaplo&, std::string&) { throw std::runtime_error("handler"); };
  EXPECT_NO_THROW(writer.WriteLog("b"));
  writer.OnWriteLog = nullptr;
  writer.WriteLog("c");
  // The line reaches the file before the view fails; a failing handler stops the line.
  EXPECT_EQ(ReadAll(path), "a\r\nc\r\n");
  EXPECT_EQ(memo.Lines(), std::vector<std::string>{"c"});
}

// ---------------------------------------------------------------------------------------
// Rotation

class LogRotationTest : public LogWriterTest {
 protected:
  // Writes lines of growing length and returns every byte written, in order.
  std::string WriteUntilRotated(int limit) {
    writer.SetLogLimit(limit);
    writer.LogTime = false;
    std::string written;
    for (int i = 0;; ++i) {
      const std::string msg = "line " + std::to_string(i) + std::string(i % 17, 'x');
      writer.WriteLog(msg);
      written += msg + "\r\n";
      if (written.size() > static_cast<size_t>(limit)) return written;
    }
  }
};

TEST_F(LogRotationTest, KeepsExactlyHalfTheLimitOfTheLastBytes) {
  for (int limit : {1000, 1001, 7}) {
    SCOPED_TRACE(limit);
    std::filesystem::remove(path);
    writer.SetLogFile("");
    writer.SetLogFile(path);
    const std::string written = WriteUntilRotated(limit);
    const std::string kept = ReadAll(path);
    ASSERT_EQ(kept.size(), static_cast<size_t>(limit / 2));
    EXPECT_EQ(kept, written.substr(written.size() - limit / 2));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_TRUE(writer.Logging);
  }
}

TEST_F(LogRotationTest, WritingGoesOnAfterTheKeptPart) {
  const std::string written = WriteUntilRotated(1000);
  writer.WriteLog("after");
  EXPECT_EQ(ReadAll(path), written.substr(written.size() - 500) + "after\r\n");
  // A file exactly at the limit is not rotated.
  writer.SetLogLimit(static_cast<int>(ReadAll(path).size() + 6));
  writer.WriteLog("full");
  EXPECT_EQ(ReadAll(path).size(), 500u + 7 + 6);
}

TEST_F(LogRotationTest, StaleTempFileIsReplaced) {
  { std::ofstream(path + ".tmp", std::ios::binary) << std::string(5000, 'z'); }
  const std::string written = WriteUntilRotated(1000);
  EXPECT_EQ(ReadAll(path), written.substr(written.size() - 500));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(LogRotationTest, FailedRotationSilencesTheWriterAndKeepsTheFile) {
  // A directory in the temp file's place makes the rotation fail half way.
  std::filesystem::create_directory(path + ".tmp");
  const std::string written = WriteUntilRotated(1000);
  EXPECT_FALSE(writer.Logging);
  EXPECT_EQ(ReadAll(path), written);
  const int memoLines = memo.LineCount();
  writer.WriteLog("dropped");
  EXPECT_EQ(ReadAll(path), written);
  EXPECT_EQ(memo.LineCount(), memoLines);

  // Switching it on again is the owner's choice; the next write rotates properly.
  std::filesystem::remove(path + ".tmp");
  writer.Logging = true;
  writer.WriteLog("back");
  const std::string all = written + "back\r\n";
  EXPECT_EQ(ReadAll(path), all.substr(all.size() - 500));
  EXPECT_TRUE(writer.Logging);
}

// ---------------------------------------------------------------------------------------
// Time stamps

std::string Stamp(const std::string& line) { return line.substr(0, 21); }

TEST(LogTimeStamp, MillisecondsComeFromTheTickBetweenRebases) {
  TempDir dir;
  VirtualTime time{WallTime{2026, 3, 15, 14, 5, 9, 0}};
  SteppedWallClock clock(time, 100);  // a wall clock that moves in 100 ms steps
  TNaplo writer(clock);
  writer.SetLogFile(dir.File("t.log"));
  writer.Logging = true;
  MemoryLogTextView memo;
  writer.Memo = &memo;

  struct Step {
    int advanceMs;
    int64_t wallOffsetMs;
    const char* stamp;
  };
  const Step steps[] = {
      {123, 0, "26.03.15 14:05:09.100"},     // first line: re-based on the (coarse) wall clock
      {5, 0, "26.03.15 14:05:09.105"},       // 5 ms later although the wall clock still reads .100
      {7, 0, "26.03.15 14:05:09.112"},
      {1880, 0, "26.03.15 14:05:10.992"},    // 1892 ms after the base: still the estimate
      {109, 0, "26.03.15 14:05:11.100"},     // 2001 ms after the base: re-based
      {10, 130, "26.03.15 14:05:11.110"},    // wall clock 120 ms ahead of the estimate: kept
      {10, 141, "26.03.15 14:05:11.241"},    // 121 ms ahead: re-based on the wall clock
      {1, -3600000, "26.03.15 13:05:11.100"},  // wall clock set back an hour
  };
  for (const auto& s : steps) {
    time.Advance(s.advanceMs);
    clock.offsetMs = s.wallOffsetMs;
    writer.WriteLog("x");
    ASSERT_FALSE(memo.Lines().empty());
    EXPECT_EQ(Stamp(memo.Lines().back()), s.stamp);
    EXPECT_EQ(memo.Lines().back().substr(21), "  x");
  }
}

TEST(LogTimeStamp, EstimateCrossesYearEndAndTickWrap) {
  TempDir dir;
  // The tick counter wraps 4 ms after the first line.
  VirtualTime time{WallTime{2026, 12, 31, 23, 59, 59, 900}, 0xFFFFFFFFu - 3};
  SteppedWallClock clock(time, 100);
  TNaplo writer(clock);
  writer.SetLogFile(dir.File("t.log"));
  writer.Logging = true;
  MemoryLogTextView memo;
  writer.Memo = &memo;

  writer.WriteLog("a");
  time.Advance(150);
  writer.WriteLog("b");
  ASSERT_EQ(memo.LineCount(), 2);
  EXPECT_EQ(Stamp(memo.Lines()[0]), "26.12.31 23:59:59.900");
  EXPECT_EQ(Stamp(memo.Lines()[1]), "27.01.01 00:00:00.050");
}

}  // namespace
