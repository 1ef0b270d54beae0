#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/VirtualTime.h"
#include "support/TempDir.h"

inline std::string ReadAll(const std::string& path) { return ReadFileBytes(path); }

inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
    lines.push_back(text.substr(pos, end - pos));
  if (pos < text.size()) lines.push_back(text.substr(pos));
  return lines;
}

// The tick counter of a VirtualTime, with a wall clock that only moves in steps of stepMs
// and can be set off by a fixed amount, as real wall clocks do.
class SteppedWallClock : public Clock {
 public:
  SteppedWallClock(VirtualTime& time, int stepMs) : time_(time), stepMs_(stepMs) {}
  uint32_t TickMs() const override { return time_.TickMs(); }
  WallTime Now() const override {
    WallTime w = time_.Now();
    w.msec -= w.msec % stepMs_;
    return Shift(w, offsetMs);
  }
  int64_t offsetMs = 0;

 private:
  static WallTime Shift(WallTime w, int64_t ms) {
    // Offsets in tests stay within one day and never cross a date.
    int64_t t = ((w.hour * 60LL + w.minute) * 60 + w.second) * 1000 + w.msec + ms;
    w.msec = static_cast<int>(t % 1000);
    t /= 1000;
    w.second = static_cast<int>(t % 60);
    t /= 60;
    w.minute = static_cast<int>(t % 60);
    w.hour = static_cast<int>(t / 60);
    return w;
  }
  VirtualTime& time_;
  int stepMs_;
};
