#pragma once

#include <deque>
#include <string>

struct LogDate {
  int year = 0;
  int month = 0;
  int day = 0;
  bool operator==(const LogDate&) const = default;
};

struct LogTimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
  bool operator==(const LogTimeOfDay&) const = default;
};

// One row of the log table: its five columns.
struct LogRow {
  LogDate Datum;
  LogTimeOfDay Ido;
  std::string Tul;    // source
  int Szint = 0;      // level
  std::string Szoveg; // text, code page 1250
};

// A table that takes log rows. Implementations may throw on any operation; the log's
// dataset sink swallows it.
class LogDataSet {
 public:
  virtual ~LogDataSet() = default;
  virtual bool Active() const = 0;
  // Appends the row after the last one and posts it.
  virtual void Append(const LogRow& row) = 0;
  virtual int RecordCount() const = 0;
  // Deletes the oldest (first) row.
  virtual void DeleteFirst() = 0;
};

class MemoryLogDataSet : public LogDataSet {
 public:
  bool Active() const override { return Open; }
  void Append(const LogRow& row) override { Rows.push_back(row); }
  int RecordCount() const override { return static_cast<int>(Rows.size()); }
  void DeleteFirst() override {
    if (!Rows.empty()) Rows.pop_front();
  }

  bool Open = true;
  std::deque<LogRow> Rows;
};
