#include "log/LogTextView.h"

#include <algorithm>

void MemoryLogTextView::AppendLine(const std::string& line) { lines_.push_back(line); }

void MemoryLogTextView::ScrollToEnd() { ++scrolls_; }

int MemoryLogTextView::LineCount() const { return static_cast<int>(lines_.size()); }

void MemoryLogTextView::DeleteFirstLines(int count) {
  if (count <= 0) return;
  const auto n = std::min(lines_.size(), static_cast<size_t>(count));
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(n));
}

void MemoryLogTextView::Clear() { lines_.clear(); }
