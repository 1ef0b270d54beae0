#include "platform/MemoryPort.h"

#include <algorithm>
#include <utility>

MemoryPort::MemoryPort(Clock& clock, TimerFactory& timers) : clock_(clock), timer_(timers.CreateTimer()) {
  timer_->SetSingleShot(true);
  timer_->OnTimeout = [this] { Pump(); };
  lastTick_ = clock_.TickMs();
}

MemoryPort::~MemoryPort() {
  timer_->OnTimeout = nullptr;
  timer_->Stop();
}

uint64_t MemoryPort::Now() const {
  const uint32_t tick = clock_.TickMs();
  auto* self = const_cast<MemoryPort*>(this);
  if (tick < lastTick_) self->tickBase_ += uint64_t{1} << 32;
  self->lastTick_ = tick;
  return tickBase_ + tick;
}

void MemoryPort::Post(uint32_t delayMs, std::function<void()> run) {
  const uint64_t due = Now() + delayMs;
  // Kept in due order; equal due times keep the order they were posted in.
  auto at = std::find_if(events_.rbegin(), events_.rend(), [due](const Event& e) { return e.due <= due; });
  events_.insert(at.base(), Event{due, std::move(run)});
  Arm();
}

void MemoryPort::Arm() {
  if (inPump_) return;
  if (events_.empty()) {
    timer_->Stop();
    return;
  }
  const uint64_t now = Now();
  const uint64_t due = events_.front().due;
  timer_->SetInterval(static_cast<uint32_t>(due > now ? due - now : 0));
  timer_->Start();
}

void MemoryPort::Pump() {
  struct InPump {
    MemoryPort& p;
    explicit InPump(MemoryPort& port) : p(port) { p.inPump_ = true; }
    ~InPump() {
      p.inPump_ = false;
      p.Arm();
    }
  } guard{*this};
  // Everything due now, including what the handlers post for this same instant: a link
  // without latency hands bytes over at once, without a detour through later instants.
  while (!events_.empty() && events_.front().due <= Now()) {
    std::function<void()> run = std::move(events_.front().run);
    events_.pop_front();
    run();
  }
}

void MemoryPort::Configure(const PortSettings& settings) { settings_ = settings; }

void MemoryPort::Open() {
  if (open_) throw PortError(kPortErrorAlreadyOpen);
  if (!OpenFailure.empty()) throw PortError(OpenFailure);
  open_ = true;
  ++openCount_;
  const uint64_t gen = ++generation_;
  rx_.clear();
  if (!IsSocket()) {
    up_ = true;
    Post(LatencyMs, [this, gen] {
      if (gen == generation_ && OnPeerConnected) OnPeerConnected();
    });
    return;
  }
  Post(LatencyMs, [this, gen] {
    if (gen != generation_ || !open_) return;
    if (RefuseConnect) {
      open_ = false;
      if (OnError) OnError(ConnectErrorCode);
      return;
    }
    up_ = true;
    if (OnPeerConnected) OnPeerConnected();
    if (OnConnected) OnConnected();
  });
}

void MemoryPort::GoDown(bool notifyEngine, std::function<void()> engineEvent) {
  const bool wasUp = up_;
  up_ = false;
  open_ = false;
  rx_.clear();
  ++generation_;
  if (!wasUp) return;
  Post(LatencyMs, [this] {
    if (OnPeerClosed) OnPeerClosed();
  });
  // Reopening the port starts a new connection; the news about the old one is dropped.
  const uint64_t gen = generation_;
  if (notifyEngine)
    Post(0, [this, gen, run = std::move(engineEvent)] {
      if (gen == generation_) run();
    });
}

void MemoryPort::Close() {
  // Closing a connected socket is reported like any other disconnection; a serial port
  // just closes.
  GoDown(IsSocket(), [this] {
    if (OnDisconnected) OnDisconnected();
  });
  open_ = false;
}

void MemoryPort::PeerClose() {
  if (!IsSocket() || !up_) return;
  GoDown(true, [this] {
    if (OnDisconnected) OnDisconnected();
  });
}

void MemoryPort::PeerError(int errorCode) {
  if (!up_) return;
  GoDown(true, [this, errorCode] {
    if (OnError) OnError(errorCode);
  });
}

void MemoryPort::Write(std::string_view bytes) {
  if (!WriteFailure.empty()) throw PortError(WriteFailure);
  if (!up_) throw PortError("port not open");
  ++writeCalls_;
  written_.append(bytes);
  const uint64_t gen = generation_;
  Post(LatencyMs, [this, gen, data = std::string(bytes)] {
    if (gen == generation_ && up_ && OnPeerReceive) OnPeerReceive(data);
  });
}

void MemoryPort::PeerSend(std::string_view bytes) {
  if (!up_) return;
  const uint64_t gen = generation_;
  Post(LatencyMs, [this, gen, data = std::string(bytes)] {
    if (gen != generation_ || !up_) return;
    rx_ += data;
    // One notification for everything that arrived in the same pass.
    if (dataNotifyQueued_) return;
    dataNotifyQueued_ = true;
    Post(0, [this, gen] {
      dataNotifyQueued_ = false;
      if (gen == generation_ && up_ && !rx_.empty() && OnDataAvailable) OnDataAvailable(rx_.size());
    });
  });
}

std::string MemoryPort::Read(size_t maxBytes) {
  const size_t n = std::min(maxBytes, rx_.size());
  std::string out = rx_.substr(0, n);
  rx_.erase(0, n);
  return out;
}

std::unique_ptr<Port> MemoryPortFactory::CreatePort() {
  auto port = std::make_unique<MemoryPort>(clock_, timers_);
  last_ = port.get();
  if (OnCreate) OnCreate(*port);
  return port;
}
