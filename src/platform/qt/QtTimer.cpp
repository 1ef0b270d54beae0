#include "platform/qt/QtTimer.h"

#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <utility>

QtTimer::QtTimer() : timer_(new QTimer) {
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_, &QTimer::timeout, [this] { Fire(); });
}

QtTimer::~QtTimer() {
  timer_->stop();
  timer_->disconnect();
  if (destroyedDuringCallback_) {
    // The QTimer is still emitting its timeout: let the event loop delete it afterwards.
    *destroyedDuringCallback_ = true;
    timer_->deleteLater();
  } else {
    delete timer_;
  }
}

void QtTimer::Fire() {
  if (!OnTimeout) return;
  bool destroyed = false;
  bool* outer = std::exchange(destroyedDuringCallback_, &destroyed);
  // A copy: the callback may destroy this timer or replace its handler.
  const std::function<void()> callback = OnTimeout;
  callback();
  if (!destroyed) destroyedDuringCallback_ = outer;
}

void QtTimer::SetInterval(uint32_t ms) {
  // QTimer restarts an active timer when its interval changes, as Timer promises.
  timer_->setInterval(static_cast<int>(std::min<uint32_t>(ms, INT32_MAX)));
}

uint32_t QtTimer::Interval() const { return static_cast<uint32_t>(timer_->interval()); }
void QtTimer::SetSingleShot(bool singleShot) { timer_->setSingleShot(singleShot); }
bool QtTimer::IsSingleShot() const { return timer_->isSingleShot(); }
void QtTimer::Start() { timer_->start(); }
void QtTimer::Stop() { timer_->stop(); }
bool QtTimer::IsActive() const { return timer_->isActive(); }

std::unique_ptr<Timer> QtTimerFactory::CreateTimer() { return std::make_unique<QtTimer>(); }
