#include "platform/qt/QtClock.h"

#include <QDateTime>
#include <chrono>

uint32_t QtClock::TickMs() const {
  // Monotonic, so that time-outs survive changes of the wall clock; truncation gives the
  // 32-bit wrap the callers expect.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

WallTime QtClock::Now() const {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return WallTime{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()};
}
