#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// A timer on the single user-interface thread. Periodic unless made single-shot.
// Start() (re)arms it from the current time with the current interval; changing the
// interval of a running timer re-arms it as well.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void SetInterval(uint32_t ms) = 0;
  virtual uint32_t Interval() const = 0;
  virtual void SetSingleShot(bool singleShot) = 0;
  virtual bool IsSingleShot() const = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool IsActive() const = 0;

  // Raised on expiry; skipped when empty. A single-shot timer is inactive when it runs.
  std::function<void()> OnTimeout;
};

class TimerFactory {
 public:
  virtual ~TimerFactory() = default;
  virtual std::unique_ptr<Timer> CreateTimer() = 0;
};
