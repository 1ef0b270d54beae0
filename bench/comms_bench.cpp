// The engine's latency on a real loopback TCP link (Qt event loop, precise timers): from a
// request handed to an idle engine to its frame on the wire, and from the device's answer
// leaving the device to the answer callback. Also how often an idle engine wakes up.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "platform/MemoryPort.h"
#include "platform/VirtualTime.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtPortFactory.h"
#include "platform/qt/QtTimer.h"
#include "support/QtEventLoop.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

bool RunUntil(const std::function<bool()>& done, int boundMs) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < boundMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  return done();
}

// An engine connected over loopback to a simulated device in the same event loop. The
// device side notes when a whole frame has arrived and when its answer has left.
class LoopbackRig {
 public:
  LoopbackRig() : device_(clock_, timers_), comms_(clock_, timers_, &ports_) {
    TestApp();
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      socket_ = server_.nextPendingConnection();
      socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
        const QByteArray b = socket_->readAll();
        frameArrived = SteadyClock::now();
        arrivals++;
        device_.Receive(std::string_view(b.constData(), static_cast<size_t>(b.size())));
      });
    });
    device_.OnSend = [this](const std::string& b) {
      socket_->write(b.data(), static_cast<qint64>(b.size()));
      socket_->flush();
      answerLeft = SteadyClock::now();
    };
    comms_.Host = "127.0.0.1";
    comms_.Port = server_.serverPort();
    comms_.ZEBAddress = 1;
    comms_.Enable_ASYER = true;
    comms_.LoosePckIDCheck = true;
    comms_.SetZEBMode(TZEBMode::PMDecodeBothEncodeZEB);
    comms_.SetActive(true);
    if (!RunUntil([this] { return comms_.Connected() && socket_; }, 5000)) throw std::runtime_error("no link");
    // The device's identification event and the first send-timer tick.
    RunUntil([] { return false; }, 50);
  }
  ~LoopbackRig() {
    comms_.SetActive(false);
    device_.OnSend = nullptr;
  }

  // Waits until the engine is idle again: its send timer stops a tick after the queue empties.
  void Settle() { RunUntil([] { return false; }, 6); }

  TZEBComms& Comms() { return comms_; }

  SteadyClock::time_point frameArrived;
  SteadyClock::time_point answerLeft;
  int arrivals = 0;

 private:
  QtClock clock_;
  QtTimerFactory timers_;
  QtPortFactory ports_;
  QTcpServer server_;
  QTcpSocket* socket_ = nullptr;
  SimulatedDevice device_;
  TZEBComms comms_;
};

const std::string kRead = std::string("CSYRE\x00\x00\x08", 8);

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void BM_RequestToWire(benchmark::State& state) {
  LoopbackRig rig;
  double worst = 0;
  for (auto _ : state) {
    rig.Settle();
    const int before = rig.arrivals;
    bool done = false;
    const auto t0 = SteadyClock::now();
    rig.Comms().SendRequest(kRead, 1, "ASYRE", [&](const std::string&, uint16_t, int) { done = true; },
                            [&](const std::string&, uint16_t, int) { done = true; }, 0, 0);
    RunUntil([&] { return rig.arrivals > before; }, 1000);
    const double ms = Ms(rig.frameArrived - t0);
    state.SetIterationTime(ms / 1000.0);
    worst = std::max(worst, ms);
    RunUntil([&] { return done; }, 1000);
  }
  state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_RequestToWire)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_AnswerToCallback(benchmark::State& state) {
  LoopbackRig rig;
  double worst = 0;
  for (auto _ : state) {
    rig.Settle();
    SteadyClock::time_point called;
    bool done = false;
    rig.Comms().SendRequest(
        kRead, 1, "ASYRE",
        [&](const std::string&, uint16_t, int) {
          called = SteadyClock::now();
          done = true;
        },
        [&](const std::string&, uint16_t, int) { done = true; }, 0, 0);
    RunUntil([&] { return done; }, 1000);
    const double ms = Ms(called - rig.answerLeft);
    state.SetIterationTime(ms / 1000.0);
    worst = std::max(worst, ms);
  }
  state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_AnswerToCallback)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

// Counts the expiries of every timer an engine makes.
class CountingTimerFactory : public TimerFactory {
 public:
  explicit CountingTimerFactory(TimerFactory& inner) : inner_(inner) {}
  std::unique_ptr<Timer> CreateTimer() override { return std::make_unique<Counting>(inner_.CreateTimer(), fires); }
  uint64_t fires = 0;

 private:
  class Counting : public Timer {
   public:
    Counting(std::unique_ptr<Timer> t, uint64_t& fires) : t_(std::move(t)) {
      t_->OnTimeout = [this, &fires] {
        ++fires;
        if (OnTimeout) OnTimeout();
      };
    }
    void SetInterval(uint32_t ms) override { t_->SetInterval(ms); }
    uint32_t Interval() const override { return t_->Interval(); }
    void SetSingleShot(bool s) override { t_->SetSingleShot(s); }
    bool IsSingleShot() const override { return t_->IsSingleShot(); }
    void Start() override { t_->Start(); }
    void Stop() override { t_->Stop(); }
    bool IsActive() const override { return t_->IsActive(); }

   private:
    std::unique_ptr<Timer> t_;
  };
  TimerFactory& inner_;
};

// An active, connected engine left alone for an hour of virtual time: its only wake-ups
// should be the reconnect timer's, every 30 to 90 s, which also carries the keep-alive.
void BM_IdleWakeupsPerHour(benchmark::State& state) {
  uint64_t fires = 0;
  uint64_t keepAlives = 0;
  for (auto _ : state) {
    VirtualTime vt;
    CountingTimerFactory counting(vt);
    MemoryPortFactory ports(vt, vt);
    MemoryPort* port = nullptr;
    ports.OnCreate = [&](MemoryPort& p) { port = &p; };
    TZEBComms comms(vt, counting, &ports);
    comms.Host = "device";
    comms.Port = 1001;
    comms.SetActive(true);
    vt.Advance(1000);
    counting.fires = 0;
    const size_t written = port->Written().size();
    vt.Advance(3600 * 1000);
    fires = counting.fires;
    keepAlives = port->Written().size() - written;
    comms.SetActive(false);
  }
  state.counters["engine_timer_fires"] = static_cast<double>(fires);
  state.counters["reconnect_ticks_allowed"] = 3600.0 / 30.0;
  state.counters["keepalive_bytes"] = static_cast<double>(keepAlives);
}
BENCHMARK(BM_IdleWakeupsPerHour)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
