#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "log/LogDataSet.h"
#include "log/LogTextView.h"
#include "platform/Clock.h"

class TNaplo;

// Called with each message before it is formatted; the handler may replace the message.
using TOnWriteLogEvent = std::function<void(TNaplo& Sender, std::string& AMsg)>;

inline constexpr int kDefaultLogLimit = 10000000;

// The dataset sink: copies log lines into a table with the columns Datum, Ido, Tul, Szint,
// Szoveg, keeping at most MaxRows rows. Never throws.
class TDBNaplo {
 public:
  explicit TDBNaplo(const Clock& clock);

  LogDataSet* DataSet = nullptr;  // not owned
  bool DBEnabled = true;
  int MaxRows = 10000;
  int DefaultLevel = 1;
  int MaxLevel = 20;
  std::string DefaultSource = "Default";

  // An empty source means DefaultSource, level -1 means DefaultLevel. Rows above MaxLevel
  // are not stored.
  void WriteRow(const std::string& text, const std::string& source = std::string(), int level = -1);

 private:
  const Clock& clock_;
};

// The log writer: appends time-stamped lines to a size-limited file, mirrors them into an
// optional text view and optionally copies them into a dataset. Every write of every
// writer runs under one process-wide re-entrant lock, and no failure ever reaches the
// caller.
class TNaplo {
 public:
  // The clock gives the time stamps and must outlive the writer.
  explicit TNaplo(const Clock& clock, const void* owner = nullptr);
  ~TNaplo();
  TNaplo(const TNaplo&) = delete;
  TNaplo& operator=(const TNaplo&) = delete;

  // Informational back reference; the writer does not use it.
  const void* Owner = nullptr;
  TOnWriteLogEvent OnWriteLog;
  bool AutoScrollMemo = false;

  bool Logging = false;
  bool LogTime = true;
  bool ConvertToPrintable = true;
  bool LogEvertythingToDB = false;
  LogTextView* Memo = nullptr;  // not owned
  int LogLevelValue = 100;      // stored only; no write is filtered by level
  TDBNaplo DBLogWriter;

  // Reference pair for millisecond time stamps: the wall-clock time BaseTime was read when
  // the tick counter stood at BaseTick.
  uint32_t BaseTick = 0;
  WallTime BaseTime{1899, 12, 30, 0, 0, 0, 0};

  int LogLimit() const { return FLogLimit; }
  // 0 switches logging off; negative values are ignored.
  void SetLogLimit(int limit);

  const std::string& LogFile() const { return FLogFile; }
  // A file-system path, handed to the system as it stands; empty means no file. Naming
  // another file closes the current one; the new one opens at the next write.
  void SetLogFile(const std::string& path);

  // Appends one line: time stamp, two blanks, the message, CR LF.
  void WriteLog(const std::string& message, bool alsoToDataSet = false);

 private:
  bool OpenFile();
  void CloseFile();
  std::string TimePrefix();
  void WriteToFile(std::string& message, std::string& dataSetText);
  void Rotate();

  const Clock& clock_;
  int FLogLimit = kDefaultLogLimit;
  std::string FLogFile;
  int fd_ = -1;
};

// Each byte as two upper-case hexadecimal digits and a blank: "FD 01 FA ".
std::string HexText(std::string_view s);
// Each byte as three decimal digits and a blank: "253 001 250 ".
std::string DecText(std::string_view s);
// Bytes of 32 and above stay; a byte below 32 becomes "#" and its decimal value when
// withCodes is set ("A#0B"), "." otherwise ("A.B").
std::string PrintableText(std::string_view s, bool withCodes = true);

// The application's log writer, owned by the log window; none until the window registers
// it. A writer unregisters itself when destroyed.
void SetLogWindowWriter(TNaplo* writer);
TNaplo* LogWindowWriter();

// Shows a text in a modal message box; supplied by the user interface.
using TShowMessageFn = std::function<void(const std::string& text)>;
void SetShowMessageHandler(TShowMessageFn handler);

// Writes a line through the log window's writer; nothing when there is none.
void LogToWindow(const std::string& text);
// Logs "[üzenet:] " and the text, then shows the text in a modal message box.
void LogAndShowMessage(const std::string& text);
