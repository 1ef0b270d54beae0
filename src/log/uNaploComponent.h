#pragma once

#include <memory>
#include <string>

#include "log/logUnit.h"

enum class TLogLevel { LogErrorsOnly, LogFromWarningsUp, LogFromNotesUp, LogEverything };

// Configuration wrapper around one log writer, for components that accept a log
// component (the engine's and the server's NaploKomponens).
class TNaploComponent {
 public:
  explicit TNaploComponent(const Clock& clock);
  ~TNaploComponent();
  TNaploComponent(const TNaploComponent&) = delete;
  TNaploComponent& operator=(const TNaploComponent&) = delete;

  TNaplo& Naplo() { return *naplo_; }
  const TNaplo& Naplo() const { return *naplo_; }

  bool Logging() const { return naplo_->Logging; }
  void SetLogging(bool on) { naplo_->Logging = on; }
  bool ConvertToPrintable() const { return naplo_->ConvertToPrintable; }
  void SetConvertToPrintable(bool on) { naplo_->ConvertToPrintable = on; }
  bool LogTime() const { return naplo_->LogTime; }
  void SetLogTime(bool on) { naplo_->LogTime = on; }
  bool LogEvertythingToDB() const { return naplo_->LogEvertythingToDB; }
  void SetLogEvertythingToDB(bool on) { naplo_->LogEvertythingToDB = on; }
  const std::string& LogFile() const { return naplo_->LogFile(); }
  void SetLogFile(const std::string& path) { naplo_->SetLogFile(path); }
  int LogLimit() const { return naplo_->LogLimit(); }
  void SetLogLimit(int limit) { naplo_->SetLogLimit(limit); }
  LogTextView* LogMemo() const { return naplo_->Memo; }
  void SetLogMemo(LogTextView* memo) { naplo_->Memo = memo; }
  LogDataSet* DataSet() const { return naplo_->DBLogWriter.DataSet; }
  void SetDataSet(LogDataSet* dataSet) { naplo_->DBLogWriter.DataSet = dataSet; }
  const TOnWriteLogEvent& OnWriteLog() const { return naplo_->OnWriteLog; }
  void SetOnWriteLog(TOnWriteLogEvent handler) { naplo_->OnWriteLog = std::move(handler); }

  // Stored as 1, 4, 8 or 99 in the writer's LogLevelValue and read back by ranges, so a
  // value set elsewhere still reads as the nearest level.
  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel level);

 private:
  std::unique_ptr<TNaplo> naplo_;
};
