#pragma once

#include <cstdint>

// Wall-clock date and time with milliseconds, as the log time stamps need it.
struct WallTime {
  int year = 2000;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
};

// The core never reads the system clock itself: a Clock is handed in, so that tests can
// run every timing rule in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  // Millisecond tick counter; wraps like a 32-bit counter.
  virtual uint32_t TickMs() const = 0;
  virtual WallTime Now() const = 0;
};
