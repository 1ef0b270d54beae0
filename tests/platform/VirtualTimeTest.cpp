#include "platform/VirtualTime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Firing {
  std::string name;
  uint64_t at;
  bool operator==(const Firing&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Firing& f) { return os << f.name << "@" << f.at; }

// Records every expiry with the virtual time it happened at.
class VirtualTimeTest : public ::testing::Test {
 protected:
  std::unique_ptr<Timer> Make(const std::string& name, uint32_t interval, bool singleShot = false) {
    auto t = vt.CreateTimer();
    t->SetInterval(interval);
    t->SetSingleShot(singleShot);
    t->OnTimeout = [this, name] { log.push_back({name, vt.ElapsedMs()}); };
    return t;
  }

  VirtualTime vt;
  std::vector<Firing> log;
};

TEST_F(VirtualTimeTest, FiresInDueOrderWithTiesInArmingOrder) {
  auto c = Make("c", 30, true);
  auto a = Make("a", 20);
  auto b = Make("b", 20);
  c->Start();
  b->Start();  // armed before a: wins the tie at 20
  a->Start();
  std::vector<uint32_t> ticks;
  b->OnTimeout = [&] {
    log.push_back({"b", vt.ElapsedMs()});
    ticks.push_back(vt.TickMs());
  };
  vt.Advance(45);
  const std::vector<Firing> expected = {{"b", 20}, {"a", 20}, {"c", 30}, {"b", 40}, {"a", 40}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(ticks, (std::vector<uint32_t>{1020, 1040}));
  EXPECT_EQ(vt.ElapsedMs(), 45u);
  EXPECT_EQ(vt.TickMs(), 1045u);
  EXPECT_FALSE(c->IsActive());
  EXPECT_EQ(vt.ActiveTimerCount(), 2u);
}

TEST_F(VirtualTimeTest, PeriodicTimerDoesNotDriftAcrossUnevenSteps) {
  auto p = Make("p", 10);
  p->Start();
  for (uint64_t step : {3, 7, 1, 12, 0, 4, 13}) vt.Advance(step);  // 40 ms in all
  const std::vector<Firing> expected = {{"p", 10}, {"p", 20}, {"p", 30}, {"p", 40}};
  EXPECT_EQ(log, expected);
}

TEST_F(VirtualTimeTest, CallbacksChangeTheScheduleWithinTheSameAdvance) {
  auto late = Make("late", 50, true);
  auto spawned = Make("spawned", 5, true);
  auto periodic = Make("periodic", 10);
  auto trigger = Make("trigger", 10, true);
  late->Start();
  periodic->Start();
  trigger->Start();
  periodic->OnTimeout = [&] {
    log.push_back({"periodic", vt.ElapsedMs()});
    if (vt.ElapsedMs() == 20) periodic->SetInterval(25);  // re-arms from 20: next at 45
    if (vt.ElapsedMs() == 70) periodic->Stop();
  };
  trigger->OnTimeout = [&] {
    log.push_back({"trigger", vt.ElapsedMs()});
    spawned->Start();  // due at 15, inside this Advance
    late->Stop();
  };
  vt.Advance(100);
  const std::vector<Firing> expected = {{"periodic", 10}, {"trigger", 10}, {"spawned", 15},
                                        {"periodic", 20}, {"periodic", 45}, {"periodic", 70}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);
}

TEST_F(VirtualTimeTest, SingleShotIsInactiveInItsCallbackAndMayRestartItself) {
  auto s = Make("s", 10, true);
  std::vector<bool> activeInCallback;
  int runs = 0;
  s->OnTimeout = [&] {
    activeInCallback.push_back(s->IsActive());
    log.push_back({"s", vt.ElapsedMs()});
    if (++runs < 3) s->Start();
  };
  s->Start();
  vt.Advance(100);
  const std::vector<Firing> expected = {{"s", 10}, {"s", 20}, {"s", 30}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(activeInCallback, (std::vector<bool>{false, false, false}));
}

TEST_F(VirtualTimeTest, PeriodicIsActiveInItsCallbackAndCanStopItself) {
  auto p = Make("p", 10);
  p->OnTimeout = [&] {
    log.push_back({"p", vt.ElapsedMs()});
    EXPECT_TRUE(p->IsActive());
    p->Stop();
  };
  p->Start();
  vt.Advance(100);
  EXPECT_EQ(log, (std::vector<Firing>{{"p", 10}}));
}

TEST_F(VirtualTimeTest, DestroyingTimersInsideCallbacksIsSafe) {
  auto self = Make("self", 10);
  auto other = Make("other", 10);  // due at the same instant, after self
  auto survivor = Make("survivor", 10, true);
  self->OnTimeout = [&] {
    log.push_back({"self", vt.ElapsedMs()});
    self.reset();
    other.reset();
  };
  self->Start();
  other->Start();
  survivor->Start();
  vt.Advance(30);
  EXPECT_EQ(log, (std::vector<Firing>{{"self", 10}, {"survivor", 10}}));
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);
}

TEST_F(VirtualTimeTest, TimerOutlivingTheLoopStaysUsable) {
  std::unique_ptr<Timer> t;
  {
    VirtualTime local;
    t = local.CreateTimer();
    t->SetInterval(5);
    t->Start();
  }
  EXPECT_TRUE(t->IsActive());
  t->Stop();
  EXPECT_FALSE(t->IsActive());
}

TEST_F(VirtualTimeTest, ZeroIntervalTimersFireOncePerInstantAndNeverSpin) {
  auto once = Make("once", 0, true);
  auto spin = Make("spin", 0);
  once->Start();
  spin->Start();
  EXPECT_TRUE(log.empty());
  vt.Advance(0);
  EXPECT_EQ(log, (std::vector<Firing>{{"once", 0}, {"spin", 0}}));
  log.clear();
  vt.Advance(0);  // the next pass fires the periodic one again
  EXPECT_EQ(log, (std::vector<Firing>{{"spin", 0}}));
  log.clear();
  vt.Advance(3);
  EXPECT_EQ(log, (std::vector<Firing>{{"spin", 0}, {"spin", 1}, {"spin", 2}, {"spin", 3}}));
  EXPECT_TRUE(spin->IsActive());
}

TEST_F(VirtualTimeTest, RunUntilStopsAtTheFiringThatSatisfiesTheCondition) {
  auto p = Make("p", 7);
  p->Start();
  EXPECT_TRUE(vt.RunUntil([&] { return log.size() == 3; }, 1000));
  EXPECT_EQ(vt.ElapsedMs(), 21u);
  EXPECT_FALSE(vt.RunUntil([] { return false; }, 10));
  EXPECT_EQ(vt.ElapsedMs(), 31u);
  EXPECT_TRUE(vt.RunUntil([] { return true; }, 10));  // already true: time stands still
  EXPECT_EQ(vt.ElapsedMs(), 31u);
}

TEST(VirtualTimeClock, TickCounterWrapsAt32Bits) {
  VirtualTime vt(WallTime{}, 0xFFFFFFF0u);
  auto t = vt.CreateTimer();
  uint32_t tickAtExpiry = 0;
  t->SetInterval(0x18);
  t->SetSingleShot(true);
  t->OnTimeout = [&] { tickAtExpiry = vt.TickMs(); };
  t->Start();
  vt.Advance(0x20);
  EXPECT_EQ(tickAtExpiry, 0x8u);
  EXPECT_EQ(vt.TickMs(), 0x10u);
  EXPECT_EQ(static_cast<uint32_t>(vt.TickMs() - 0xFFFFFFF0u), 0x20u);
}

TEST(VirtualTimeClock, NowCarriesThroughTheCalendar) {
  struct Case {
    const char* name;
    WallTime start;
    uint64_t advanceMs;
    WallTime expected;
  };
  constexpr uint64_t kDay = 86'400'000;
  const Case cases[] = {
      {"milliseconds", {2026, 1, 1, 12, 0, 0, 0}, 1234, {2026, 1, 1, 12, 0, 1, 234}},
      {"into a leap day", {2024, 2, 28, 23, 59, 59, 999}, 1, {2024, 2, 29, 0, 0, 0, 0}},
      {"over a leap day", {2024, 2, 28, 10, 0, 0, 0}, 2 * kDay, {2024, 3, 1, 10, 0, 0, 0}},
      {"no leap day in 2100", {2100, 2, 28, 10, 0, 0, 0}, kDay, {2100, 3, 1, 10, 0, 0, 0}},
      {"month of 30 days", {2026, 4, 30, 23, 59, 0, 500}, 60'000, {2026, 5, 1, 0, 0, 0, 500}},
      {"new year", {2025, 12, 31, 23, 59, 59, 500}, 500, {2026, 1, 1, 0, 0, 0, 0}},
      {"a whole year", {2026, 3, 15, 8, 30, 0, 0}, 365 * kDay, {2027, 3, 15, 8, 30, 0, 0}},
  };
  for (const Case& c : cases) {
    VirtualTime vt(c.start);
    vt.Advance(c.advanceMs);
    const WallTime n = vt.Now();
    const WallTime& e = c.expected;
    EXPECT_EQ(std::vector<int>({n.year, n.month, n.day, n.hour, n.minute, n.second, n.msec}),
              std::vector<int>({e.year, e.month, e.day, e.hour, e.minute, e.second, e.msec}))
        << c.name;
  }
}

}  // namespace
