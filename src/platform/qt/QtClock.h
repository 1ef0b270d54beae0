#pragma once

#include "platform/Clock.h"

// The system clock: a monotonic millisecond tick and the local wall time.
class QtClock : public Clock {
 public:
  uint32_t TickMs() const override;
  WallTime Now() const override;
};
