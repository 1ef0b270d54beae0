#pragma once

#include <memory>

#include "platform/Timer.h"

class QTimer;

// A Timer over a precise QTimer of the calling thread's event loop.
class QtTimer : public Timer {
 public:
  QtTimer();
  ~QtTimer() override;

  void SetInterval(uint32_t ms) override;
  uint32_t Interval() const override;
  void SetSingleShot(bool singleShot) override;
  bool IsSingleShot() const override;
  void Start() override;
  void Stop() override;
  bool IsActive() const override;

 private:
  void Fire();

  QTimer* timer_;
  // Set while OnTimeout runs; lets the destructor tell the running expiry that the timer
  // is gone.
  bool* destroyedDuringCallback_ = nullptr;
};

class QtTimerFactory : public TimerFactory {
 public:
  std::unique_ptr<Timer> CreateTimer() override;
};
