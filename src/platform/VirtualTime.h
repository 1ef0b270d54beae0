#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/Timer.h"

// Deterministic virtual time for tests: a clock and a timer factory in one. Nothing moves
// until the test advances time; due timers then fire in time order (ties in the order they
// were armed), each with the clock standing at its own due time. Timers armed or stopped
// inside a callback are honoured within the same Advance.
//
// A periodic timer re-arms from its due time before its callback runs (so the callback may
// stop it or change its interval); a single-shot timer is inactive while its callback runs.
// Destroying a timer, even from inside its own callback, disarms it.
//
// Zero intervals behave like a 0 ms timer of an event loop, which fires once per pass:
// Advance(0) fires every timer already due, and within one Advance/RunUntil a timer with
// interval 0 fires at most once per virtual millisecond. A zero-interval periodic timer (or
// one restarted from its own callback) therefore fires once per elapsed millisecond plus
// once more at the start of each further Advance, and never spins within one call.
class VirtualTime : public Clock, public TimerFactory {
 public:
  explicit VirtualTime(WallTime start = WallTime{2026, 1, 1, 12, 0, 0, 0}, uint32_t startTick = 1000);
  ~VirtualTime() override;

  uint32_t TickMs() const override;
  WallTime Now() const override;
  std::unique_ptr<Timer> CreateTimer() override;

  // Moves time forward by ms, firing every timer that falls due on the way.
  void Advance(uint64_t ms);
  // Advances until done() is true (checked after every fired timer) or maxMs have passed;
  // returns done().
  bool RunUntil(const std::function<bool()>& done, uint64_t maxMs);
  // Milliseconds since construction.
  uint64_t ElapsedMs() const;
  // Number of timers currently armed.
  size_t ActiveTimerCount() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};
