#pragma once

#include <string>
#include <vector>

// A text view that mirrors log lines (the log windows' memos). The Qt window implements it
// over its text widget; the core and the tests use the in-memory one below. Lines are code
// page 1250 bytes without a line end.
class LogTextView {
 public:
  virtual ~LogTextView() = default;
  virtual void AppendLine(const std::string& line) = 0;
  // Brings the last line into sight.
  virtual void ScrollToEnd() = 0;
  virtual int LineCount() const = 0;
  // Removes up to count lines from the top; more than there are empties the view.
  virtual void DeleteFirstLines(int count) = 0;
  virtual void Clear() = 0;
};

class MemoryLogTextView : public LogTextView {
 public:
  void AppendLine(const std::string& line) override;
  void ScrollToEnd() override;
  int LineCount() const override;
  void DeleteFirstLines(int count) override;
  void Clear() override;

  const std::vector<std::string>& Lines() const { return lines_; }
  // How many times the view was asked to scroll to its end.
  int ScrollCount() const { return scrolls_; }

 private:
  std::vector<std::string> lines_;
  int scrolls_ = 0;
};
