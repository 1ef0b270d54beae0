// Round trip of one 128-byte parameter read over real links, as the desktop program makes
// it: SendRequest on an idle engine, the frame through a loopback TCP connection or a
// pseudo-terminal to a simulated device answering at once in the same event loop, and the
// answer back to the callback. The device's own time (from its input to its last output)
// is taken out; what is left is the engine and the link.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "links/PtyDevice.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtPortFactory.h"
#include "platform/qt/QtTimer.h"
#include "support/QtEventLoop.h"

namespace {

using links_test::PtyDevice;
using SteadyClock = std::chrono::steady_clock;

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Sleeps in the event loop between events as the program's own loop does, so that waking
// up is part of what is measured; the guard timer ends the wait at the bound.
bool RunUntil(const std::function<bool()>& done, int boundMs) {
  QTimer guard;
  guard.setSingleShot(true);
  guard.start(boundMs);
  while (!done() && guard.isActive()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// What both links share: the engine configured as the desktop program configures it, the
// device's timestamps and one timed request.
class Rig {
 public:
  virtual ~Rig() = default;

  struct Timing {
    double toDevice;    // SendRequest to the first byte at the device
    double device;      // the device's own time
    double fromDevice;  // the device's last byte out to the answer callback
    double RoundTrip() const { return toDevice + fromDevice; }
  };

  Timing RoundTrip(int wait) {
    // An idle engine: its send timer stops a tick after the queue empties.
    RunUntil([] { return false; }, 10);
    SteadyClock::time_point called;
    int code = -1;
    std::string answer;
    arrived_ = {};
    left_ = {};
    const auto t0 = SteadyClock::now();
    Comms().SendRequest(
        kRead, 1, "ASYRE",
        [&](const std::string& s, uint16_t c, int) {
          called = SteadyClock::now();
          code = c;
          answer = s;
        },
        [&](const std::string&, uint16_t c, int) { code = c; }, 0, wait);
    if (!RunUntil([&] { return code != -1; }, 2000) || code != 0 || answer.size() != 5 + 128) {
      throw std::runtime_error("request failed with code " + std::to_string(code));
    }
    return {Ms(arrived_ - t0), Ms(left_ - arrived_), Ms(called - left_)};
  }

 protected:
  static inline const std::string kRead = std::string("CSYRE\x00\x01\x80", 8);

  void Configure(TZEBComms& comms) {
    comms.ZEBAddress = 1;
    comms.Enable_ASYER = true;
    comms.LoosePckIDCheck = true;
    comms.Nyugtazas = true;
    comms.Nyugtat_is_jelezze = true;
    comms.SetZEBMode(TZEBMode::PMDecodeBothEncodeZEB);
  }
  // The first input of a request and the device's last output for it.
  void NoteArrival() {
    if (arrived_ == SteadyClock::time_point{}) arrived_ = SteadyClock::now();
  }
  void NoteLeft() { left_ = SteadyClock::now(); }
  virtual TZEBComms& Comms() = 0;

  QtClock clock_;
  QtTimerFactory timers_;
  QtPortFactory ports_;

 private:
  SteadyClock::time_point arrived_;
  SteadyClock::time_point left_;
};

class TcpRig final : public Rig {
 public:
  TcpRig() : device_(clock_, timers_), comms_(clock_, timers_, &ports_) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
      socket_ = server_.nextPendingConnection();
      socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
        const QByteArray b = socket_->readAll();
        NoteArrival();
        device_.Receive(std::string_view(b.constData(), static_cast<size_t>(b.size())));
      });
    });
    device_.OnSend = [this](const std::string& b) {
      socket_->write(b.data(), static_cast<qint64>(b.size()));
      socket_->flush();
      NoteLeft();
    };
    Configure(comms_);
    comms_.Host = "127.0.0.1";
    comms_.Port = server_.serverPort();
    comms_.SetActive(true);
    if (!RunUntil([this] { return comms_.Connected() && socket_; }, 5000)) throw std::runtime_error("no TCP link");
  }
  ~TcpRig() override {
    comms_.SetActive(false);
    device_.OnSend = nullptr;
  }

 private:
  TZEBComms& Comms() override { return comms_; }

  QTcpServer server_;
  QTcpSocket* socket_ = nullptr;
  SimulatedDevice device_;
  TZEBComms comms_;
};

class PtyRig final : public Rig {
 public:
  PtyRig() : pty_(clock_, timers_), comms_(clock_, timers_, &ports_) {
    if (!pty_.Ok()) throw std::runtime_error("no pseudo-terminal");
    pty_.OnArrival = [this] { NoteArrival(); };
    auto write = pty_.device.OnSend;
    pty_.device.OnSend = [this, write](const std::string& b) {
      write(b);
      NoteLeft();
    };
    Configure(comms_);
    comms_.Host.clear();
    comms_.SerialDevice = pty_.SlavePath();
    comms_.SetActive(true);
    if (!comms_.Connected()) throw std::runtime_error("pseudo-terminal did not open");
  }
  ~PtyRig() override { comms_.SetActive(false); }

 private:
  TZEBComms& Comms() override { return comms_; }

  PtyDevice pty_;
  TZEBComms comms_;
};

// Arg: the request's wait; above 0 it asks for an acknowledgement, as a parameter read of
// the desktop program does.
template <typename R>
void BM_ReadRoundTrip(benchmark::State& state) {
  TestApp();
  R rig;
  const int wait = static_cast<int>(state.range(0));
  double worst = 0;
  Rig::Timing sum{0, 0, 0};
  for (auto _ : state) {
    const Rig::Timing t = rig.RoundTrip(wait);
    state.SetIterationTime(t.RoundTrip() / 1000.0);
    worst = std::max(worst, t.RoundTrip());
    sum.toDevice += t.toDevice;
    sum.device += t.device;
    sum.fromDevice += t.fromDevice;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["mean_ms"] = sum.RoundTrip() / n;
  state.counters["worst_ms"] = worst;
  // Where the time goes: the way out waits for the send timer, the way back for the
  // processing timer.
  state.counters["out_ms"] = sum.toDevice / n;
  state.counters["back_ms"] = sum.fromDevice / n;
  state.counters["device_ms"] = sum.device / n;
}

// The floor under the round trip: the engine's 2 ms send timer and 1 ms processing timer
// run back to back on the same loop, with nothing on the wire.
void BM_SendAndProcessTimersAlone(benchmark::State& state) {
  TestApp();
  QtTimerFactory timers;
  const std::unique_ptr<Timer> send = timers.CreateTimer();
  const std::unique_ptr<Timer> process = timers.CreateTimer();
  send->SetSingleShot(true);
  send->SetInterval(2);
  process->SetSingleShot(true);
  process->SetInterval(1);
  bool done = false;
  send->OnTimeout = [&] { process->Start(); };
  process->OnTimeout = [&] { done = true; };
  double worst = 0;
  double total = 0;
  for (auto _ : state) {
    RunUntil([] { return false; }, 10);
    done = false;
    const auto t0 = SteadyClock::now();
    send->Start();
    RunUntil([&] { return done; }, 1000);
    const double ms = Ms(SteadyClock::now() - t0);
    state.SetIterationTime(ms / 1000.0);
    worst = std::max(worst, ms);
    total += ms;
  }
  state.counters["mean_ms"] = total / static_cast<double>(state.iterations());
  state.counters["worst_ms"] = worst;
}
BENCHMARK(BM_SendAndProcessTimersAlone)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(300);

BENCHMARK(BM_ReadRoundTrip<TcpRig>)
    ->Name("BM_ReadRoundTrip/tcp")
    ->Arg(0)
    ->Arg(500)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(300);
BENCHMARK(BM_ReadRoundTrip<PtyRig>)
    ->Name("BM_ReadRoundTrip/pty")
    ->Arg(0)
    ->Arg(500)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(300);

}  // namespace
