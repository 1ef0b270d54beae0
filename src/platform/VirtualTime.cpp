#include "platform/VirtualTime.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <utility>

namespace {

class VirtualTimer;

using namespace std::chrono;

sys_time<milliseconds> ToTimePoint(const WallTime& w) {
  const sys_days day{year{w.year} / month{static_cast<unsigned>(w.month)} / 1};
  return day + days{w.day - 1} + hours{w.hour} + minutes{w.minute} + seconds{w.second} + milliseconds{w.msec};
}

WallTime ToWallTime(sys_time<milliseconds> t) {
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> tod{t - day};
  WallTime w;
  w.year = static_cast<int>(ymd.year());
  w.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  w.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  w.hour = static_cast<int>(tod.hours().count());
  w.minute = static_cast<int>(tod.minutes().count());
  w.second = static_cast<int>(tod.seconds().count());
  w.msec = static_cast<int>(tod.subseconds().count());
  return w;
}

}  // namespace

// Ordered by (due time, arming sequence) so that ties fire in the order they were armed.
using ScheduleKey = std::pair<uint64_t, uint64_t>;

struct VirtualTime::Impl {
  uint64_t nowMs = 0;
  uint32_t startTick = 0;
  sys_time<milliseconds> start;
  uint64_t nextSequence = 0;
  // Counts Advance/RunUntil calls; a zero-interval timer fires at most once per instant in
  // one of them, like a 0 ms timer that fires once per pass of an event loop.
  uint64_t pass = 0;
  std::map<ScheduleKey, VirtualTimer*> schedule;
  // Zero-interval timers pushed one millisecond on because they already fired at this
  // instant; the next pass brings them back to their true due time.
  std::vector<VirtualTimer*> deferred;

  void Arm(VirtualTimer& t);
  void Disarm(VirtualTimer& t);
  bool Run(uint64_t ms, const std::function<bool()>* done);
};

namespace {

class VirtualTimer final : public Timer {
 public:
  explicit VirtualTimer(std::shared_ptr<VirtualTime::Impl> impl) : impl_(std::move(impl)) {}
  ~VirtualTimer() override { impl_->Disarm(*this); }

  void SetInterval(uint32_t ms) override {
    interval_ = ms;
    if (key_) impl_->Arm(*this);
  }
  uint32_t Interval() const override { return interval_; }
  void SetSingleShot(bool singleShot) override { singleShot_ = singleShot; }
  bool IsSingleShot() const override { return singleShot_; }
  void Start() override { impl_->Arm(*this); }
  void Stop() override { impl_->Disarm(*this); }
  bool IsActive() const override { return key_.has_value(); }

  std::shared_ptr<VirtualTime::Impl> impl_;
  uint32_t interval_ = 0;
  bool singleShot_ = false;
  std::optional<ScheduleKey> key_;
  uint64_t trueDue_ = 0;
  // The pass and instant of the last expiry, to keep zero-interval timers from spinning.
  uint64_t firedPass_ = UINT64_MAX;
  uint64_t firedAt_ = 0;
};

}  // namespace

void VirtualTime::Impl::Arm(VirtualTimer& t) {
  Disarm(t);
  t.trueDue_ = nowMs + t.interval_;
  uint64_t due = t.trueDue_;
  if (t.interval_ == 0 && t.firedPass_ == pass && t.firedAt_ == nowMs) {
    ++due;
    deferred.push_back(&t);
  }
  t.key_ = ScheduleKey{due, nextSequence++};
  schedule.emplace(*t.key_, &t);
}

void VirtualTime::Impl::Disarm(VirtualTimer& t) {
  if (!t.key_) return;
  schedule.erase(*t.key_);
  t.key_.reset();
  std::erase(deferred, &t);
}

bool VirtualTime::Impl::Run(uint64_t ms, const std::function<bool()>* done) {
  if (done && (*done)()) return true;
  const uint64_t target = nowMs + ms;
  ++pass;
  for (VirtualTimer* t : std::exchange(deferred, {})) {
    auto node = schedule.extract(*t->key_);
    t->key_->first = t->trueDue_;
    node.key() = *t->key_;
    schedule.insert(std::move(node));
  }
  while (!schedule.empty() && schedule.begin()->first.first <= target) {
    VirtualTimer& t = *schedule.begin()->second;
    nowMs = std::max(nowMs, schedule.begin()->first.first);
    Disarm(t);
    t.firedPass_ = pass;
    t.firedAt_ = nowMs;
    // The clock stands at the due time, so a periodic timer re-arms from it without drift.
    if (!t.singleShot_) Arm(t);
    // A copy: the callback may destroy the timer or replace its handler.
    if (const std::function<void()> callback = t.OnTimeout) callback();
    if (done && (*done)()) return true;
  }
  nowMs = std::max(nowMs, target);
  return done && (*done)();
}

VirtualTime::VirtualTime(WallTime start, uint32_t startTick) : impl_(std::make_shared<Impl>()) {
  impl_->start = ToTimePoint(start);
  impl_->startTick = startTick;
}

VirtualTime::~VirtualTime() = default;

uint32_t VirtualTime::TickMs() const { return impl_->startTick + static_cast<uint32_t>(impl_->nowMs); }

WallTime VirtualTime::Now() const { return ToWallTime(impl_->start + milliseconds{impl_->nowMs}); }

std::unique_ptr<Timer> VirtualTime::CreateTimer() { return std::make_unique<VirtualTimer>(impl_); }

void VirtualTime::Advance(uint64_t ms) { impl_->Run(ms, nullptr); }

bool VirtualTime::RunUntil(const std::function<bool()>& done, uint64_t maxMs) { return impl_->Run(maxMs, &done); }

uint64_t VirtualTime::ElapsedMs() const { return impl_->nowMs; }

size_t VirtualTime::ActiveTimerCount() const { return impl_->schedule.size(); }
