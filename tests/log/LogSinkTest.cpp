#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/LogTestUtil.h"
#include "log/logUnit.h"
#include "log/uNaploComponent.h"
#include "platform/Cp1250.h"

namespace {

// ---------------------------------------------------------------------------------------
// Dataset sink

class DataSetSinkTest : public ::testing::Test {
 protected:
  DataSetSinkTest() : sink(time) { sink.DataSet = &table; }
  VirtualTime time{WallTime{2026, 2, 28, 23, 59, 58, 765}};
  MemoryLogDataSet table;
  TDBNaplo sink;
};

TEST_F(DataSetSinkTest, RowCarriesTheFiveColumns) {
  sink.WriteRow("szöveg", "Motor", 7);
  sink.WriteRow("default", "", -1);
  ASSERT_EQ(table.Rows.size(), 2u);
  const LogRow& r = table.Rows[0];
  EXPECT_EQ(r.Datum, (LogDate{2026, 2, 28}));
  EXPECT_EQ(r.Ido, (LogTimeOfDay{23, 59, 58, 765}));
  EXPECT_EQ(r.Tul, "Motor");
  EXPECT_EQ(r.Szint, 7);
  EXPECT_EQ(r.Szoveg, "szöveg");
  EXPECT_EQ(table.Rows[1].Tul, "Default");
  EXPECT_EQ(table.Rows[1].Szint, 1);
}

TEST_F(DataSetSinkTest, LevelFilter) {
  struct Case {
    int level;
    bool stored;
  };
  for (const Case c : {Case{20, true}, Case{21, false}, Case{-1, true}, Case{0, true}, Case{1000, false}}) {
    SCOPED_TRACE(c.level);
    table.Rows.clear();
    sink.WriteRow("t", "", c.level);
    EXPECT_EQ(table.Rows.size(), c.stored ? 1u : 0u);
  }
  // -1 passes even when the limit is below the default level.
  table.Rows.clear();
  sink.MaxLevel = -5;
  sink.WriteRow("t", "", -1);
  ASSERT_EQ(table.Rows.size(), 1u);
  EXPECT_EQ(table.Rows[0].Szint, 1);
}

TEST_F(DataSetSinkTest, NothingWithoutAnOpenEnabledTable) {
  sink.DBEnabled = false;
  sink.WriteRow("a");
  sink.DBEnabled = true;
  table.Open = false;
  sink.WriteRow("b");
  EXPECT_TRUE(table.Rows.empty());
  sink.DataSet = nullptr;
  EXPECT_NO_THROW(sink.WriteRow("c"));
}

TEST_F(DataSetSinkTest, KeepsAtMostMaxRowsDroppingTheOldest) {
  sink.MaxRows = 3;
  for (int i = 0; i < 5; ++i) sink.WriteRow(std::to_string(i));
  ASSERT_EQ(table.Rows.size(), 3u);
  EXPECT_EQ(table.Rows.front().Szoveg, "2");
  EXPECT_EQ(table.Rows.back().Szoveg, "4");
}

struct FailingDataSet : MemoryLogDataSet {
  void Append(const LogRow&) override { throw std::runtime_error("disk full"); }
};

TEST_F(DataSetSinkTest, FailingTableIsIgnoredRowByRow) {
  FailingDataSet bad;
  sink.DataSet = &bad;
  EXPECT_NO_THROW(sink.WriteRow("x"));
  sink.DataSet = &table;
  sink.WriteRow("y");
  ASSERT_EQ(table.Rows.size(), 1u);
}

class WriterToDataSetTest : public ::testing::Test {
 protected:
  WriterToDataSetTest() : writer(time) {
    writer.SetLogFile(dir.File("db.log"));
    writer.Logging = true;
    writer.DBLogWriter.DataSet = &table;
  }
  TempDir dir;
  VirtualTime time{WallTime{2026, 1, 1, 12, 0, 0, 0}};
  MemoryLogDataSet table;
  TNaplo writer;
};

TEST_F(WriterToDataSetTest, RowHoldsTheWholeLineWithLineBreaksAsBlanks) {
  writer.WriteLog("a\r\nb", true);
  writer.ConvertToPrintable = false;
  writer.WriteLog("c\r\nd", true);
  writer.WriteLog("not copied", false);
  ASSERT_EQ(table.Rows.size(), 2u);
  EXPECT_EQ(table.Rows[0].Szoveg, "26.01.01 12:00:00.000  a#13#10b  ");
  EXPECT_EQ(table.Rows[1].Szoveg, "26.01.01 12:00:00.000  c  d  ");
  EXPECT_EQ(table.Rows[0].Tul, "Default");
}

TEST_F(WriterToDataSetTest, EverythingFlagCopiesEveryLine) {
  writer.LogEvertythingToDB = true;
  writer.LogTime = false;
  writer.WriteLog("one");
  writer.WriteLog("two");
  ASSERT_EQ(table.Rows.size(), 2u);
  EXPECT_EQ(table.Rows[1].Szoveg, "two  ");
}

TEST_F(WriterToDataSetTest, WithoutAFileTheBareMessageIsCopied) {
  writer.SetLogFile(dir.File("missing/db.log"));
  writer.WriteLog("x\ny\r", true);
  ASSERT_EQ(table.Rows.size(), 1u);
  EXPECT_EQ(table.Rows[0].Szoveg, "x y ");
}

TEST_F(WriterToDataSetTest, FailingTableStillLeavesTheFileLine) {
  FailingDataSet bad;
  writer.DBLogWriter.DataSet = &bad;
  writer.LogTime = false;
  EXPECT_NO_THROW(writer.WriteLog("kept", true));
  EXPECT_EQ(ReadAll(dir.File("db.log")), "kept\r\n");
}

// ---------------------------------------------------------------------------------------
// Re-entrancy and the shared lock

TEST(LogReentrancy, LoggingFromInsideAWriteDoesNotDeadlock) {
  TempDir dir;
  VirtualTime time;
  TNaplo writer(time);
  TNaplo other(time);
  writer.SetLogFile(dir.File("a.log"));
  other.SetLogFile(dir.File("b.log"));
  writer.Logging = other.Logging = true;
  writer.LogTime = other.LogTime = false;

  // The handler logs once more on the same writer, the view on another writer, the table
  // on the first writer again.
  int depth = 0;
  writer.OnWriteLog = [&](TNaplo& self, std::string& msg) {
    if (depth++ == 0) self.WriteLog("from handler");
    msg += "!";
  };
  struct LoggingView : MemoryLogTextView {
    TNaplo* target = nullptr;
    void AppendLine(const std::string& line) override {
      MemoryLogTextView::AppendLine(line);
      target->WriteLog("view saw " + line);
    }
  } view;
  view.target = &other;
  writer.Memo = &view;
  struct LoggingTable : MemoryLogDataSet {
    TNaplo* target = nullptr;
    void Append(const LogRow& row) override {
      MemoryLogDataSet::Append(row);
      target->WriteLog("table row");
    }
  } table;
  table.target = &writer;
  writer.DBLogWriter.DataSet = &table;

  writer.WriteLog("outer", true);

  EXPECT_EQ(ReadAll(dir.File("a.log")), "from handler!\r\nouter!\r\ntable row!\r\n");
  EXPECT_EQ(ReadAll(dir.File("b.log")),
            "view saw from handler!\r\nview saw outer!\r\nview saw table row!\r\n");
}

TEST(LogReentrancy, WritersOnOneFileFromTwoThreadsNeverMixLines) {
  TempDir dir;
  VirtualTime time;
  const std::string path = dir.File("shared.log");
  TNaplo a(time);
  TNaplo b(time);
  for (TNaplo* w : {&a, &b}) {
    w->SetLogFile(path);
    w->Logging = true;
    w->LogTime = false;
  }
  constexpr int kLines = 300;
  auto run = [](TNaplo& w, char tag) {
    for (int i = 0; i < kLines; ++i) w.WriteLog(std::string(1, tag) + std::to_string(i) + std::string(50, tag));
  };
  std::thread ta(run, std::ref(a), 'a');
  std::thread tb(run, std::ref(b), 'b');
  ta.join();
  tb.join();

  const std::vector<std::string> lines = SplitCrLf(ReadAll(path));
  ASSERT_EQ(lines.size(), 2u * kLines);
  int next[2] = {0, 0};
  for (const std::string& line : lines) {
    ASSERT_TRUE(line[0] == 'a' || line[0] == 'b') << line;
    const int k = line[0] - 'a';
    // Each writer's lines arrive whole and in its own order.
    EXPECT_EQ(line, std::string(1, line[0]) + std::to_string(next[k]++) + std::string(50, line[0]));
  }
}

// ---------------------------------------------------------------------------------------
// The log window's writer

TEST(LogWindowHelpers, LogToWindowAndLogAndShowMessage) {
  TempDir dir;
  VirtualTime time;
  std::vector<std::string> shown;
  SetShowMessageHandler([&](const std::string& text) { shown.push_back(text); });
  {
    TNaplo writer(time);
    writer.SetLogFile(dir.File("w.log"));
    writer.Logging = true;
    writer.LogTime = false;
    SetLogWindowWriter(&writer);
    LogToWindow("plain");
    LogAndShowMessage(Hu("Hibás érték"));
  }
  EXPECT_EQ(ReadAll(dir.File("w.log")), "plain\r\n" + Hu("[üzenet:] Hibás érték") + "\r\n");
  EXPECT_EQ(shown, std::vector<std::string>{Hu("Hibás érték")});
  // The destroyed writer took itself out; the message box still shows.
  EXPECT_EQ(LogWindowWriter(), nullptr);
  EXPECT_NO_THROW(LogAndShowMessage("later"));
  EXPECT_EQ(shown.size(), 2u);
  SetShowMessageHandler(nullptr);
}

// A handler that takes itself away while it runs (a one-shot handler, a window closing from
// inside its own message box) must still run to its end.
TEST(LogReentrancy, HandlersMayRemoveThemselvesWhileRunning) {
  TempDir dir;
  VirtualTime time;
  TNaplo writer(time);
  writer.SetLogFile(dir.File("h.log"));
  writer.Logging = true;
  writer.LogTime = false;
  const std::string tag(64, 't');  // a capture on the heap, read after the handler is gone
  writer.OnWriteLog = [&writer, tag](TNaplo&, std::string& msg) {
    writer.OnWriteLog = nullptr;
    msg = tag.substr(0, 1) + msg;
  };
  writer.WriteLog("a");
  writer.WriteLog("b");
  EXPECT_EQ(ReadAll(dir.File("h.log")), "ta\r\nb\r\n");

  std::vector<std::string> shown;
  SetShowMessageHandler([&shown, tag](const std::string& text) {
    SetShowMessageHandler(nullptr);
    shown.push_back(tag.substr(0, 1) + text);
  });
  LogAndShowMessage("x");
  LogAndShowMessage("y");
  EXPECT_EQ(shown, std::vector<std::string>{"tx"});
}

// ---------------------------------------------------------------------------------------
// Log component

TEST(LogComponent, PropertiesReachTheWriter) {
  VirtualTime time;
  TNaploComponent comp(time);
  TNaplo& w = comp.Naplo();
  EXPECT_EQ(comp.LogFile(), "./Quorv.log");
  EXPECT_FALSE(comp.Logging());
  EXPECT_EQ(comp.LogLevel(), TLogLevel::LogEverything);

  MemoryLogTextView memo;
  MemoryLogDataSet table;
  comp.SetLogging(true);
  comp.SetConvertToPrintable(false);
  comp.SetLogTime(false);
  comp.SetLogEvertythingToDB(true);
  comp.SetLogFile("/x/y.log");
  comp.SetLogLimit(4000);
  comp.SetLogLimit(-1);
  comp.SetLogMemo(&memo);
  comp.SetDataSet(&table);
  comp.SetOnWriteLog([](TNaplo&, std::string&) {});
  EXPECT_TRUE(w.Logging);
  EXPECT_FALSE(w.ConvertToPrintable);
  EXPECT_FALSE(w.LogTime);
  EXPECT_TRUE(w.LogEvertythingToDB);
  EXPECT_EQ(w.LogFile(), "/x/y.log");
  EXPECT_EQ(w.LogLimit(), 4000);
  EXPECT_EQ(w.Memo, &memo);
  EXPECT_EQ(w.DBLogWriter.DataSet, &table);
  EXPECT_TRUE(static_cast<bool>(w.OnWriteLog));
  EXPECT_EQ(w.Owner, &comp);
}

TEST(LogComponent, LevelIsStoredAsANumberAndReadBackByRange) {
  VirtualTime time;
  TNaploComponent comp(time);
  const std::pair<TLogLevel, int> stored[] = {{TLogLevel::LogErrorsOnly, 1},
                                              {TLogLevel::LogFromWarningsUp, 4},
                                              {TLogLevel::LogFromNotesUp, 8},
                                              {TLogLevel::LogEverything, 99},
                                              {static_cast<TLogLevel>(7), 99}};
  for (const auto& [level, value] : stored) {
    comp.SetLogLevel(level);
    EXPECT_EQ(comp.Naplo().LogLevelValue, value);
  }
  const std::pair<int, TLogLevel> read[] = {
      {-3, TLogLevel::LogErrorsOnly},    {1, TLogLevel::LogErrorsOnly},  {2, TLogLevel::LogFromWarningsUp},
      {4, TLogLevel::LogFromWarningsUp}, {5, TLogLevel::LogFromNotesUp}, {8, TLogLevel::LogFromNotesUp},
      {9, TLogLevel::LogEverything},     {100, TLogLevel::LogEverything}};
  for (const auto& [value, level] : read) {
    SCOPED_TRACE(value);
    comp.Naplo().LogLevelValue = value;
    EXPECT_EQ(comp.LogLevel(), level);
  }
}

}  // namespace
