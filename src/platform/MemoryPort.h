#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Port.h"
#include "platform/Timer.h"

// An in-memory serial port or TCP client socket for tests in virtual time. The far end (a
// test or a simulated device) is driven through the Peer* members. Everything that crosses
// the link, in either direction, and every notification is queued and delivered from a
// timer of the given factory after LatencyMs (0 by default: from the loop at the same
// instant), so nothing ever runs inside the call that caused it and order is kept.
class MemoryPort final : public Port {
 public:
  MemoryPort(Clock& clock, TimerFactory& timers);
  ~MemoryPort() override;
  MemoryPort(const MemoryPort&) = delete;
  MemoryPort& operator=(const MemoryPort&) = delete;

  // ---- Port
  void Configure(const PortSettings& settings) override;
  void Open() override;
  void Close() override;
  bool IsOpen() const override { return open_; }
  void Write(std::string_view bytes) override;
  std::string Read(size_t maxBytes) override;
  void SetDtr(bool on) override { dtr_ = on; }
  void SetRts(bool on) override { rts_ = on; }
  void SetBreak(bool on) override { break_ = on; }
  int OutSize() const override { return outSize_; }
  void SetOutSize(int size) override { outSize_ = size; }

  // ---- Behaviour, set by the test
  uint32_t LatencyMs = 0;
  // Open() throws PortError with this text when not empty (e.g. kPortErrorNoSuchPort).
  std::string OpenFailure;
  // Socket: the connection attempt ends in OnError(ConnectErrorCode) instead of OnConnected.
  bool RefuseConnect = false;
  int ConnectErrorCode = 10061;
  // Write() throws PortError with this text when not empty.
  std::string WriteFailure;

  // ---- The far end
  // Bytes the engine wrote, delivered after LatencyMs while the link is up.
  std::function<void(const std::string& bytes)> OnPeerReceive;
  // The link came up (socket connected, serial opened) or went down (closed either way).
  std::function<void()> OnPeerConnected;
  std::function<void()> OnPeerClosed;
  // Bytes for the engine; dropped while the link is down.
  void PeerSend(std::string_view bytes);
  // Socket: the remote end closes the connection.
  void PeerClose();
  // The link reports an error (the connection is then down).
  void PeerError(int errorCode);

  // ---- Observation
  bool LinkUp() const { return up_; }
  const PortSettings& Settings() const { return settings_; }
  int OpenCount() const { return openCount_; }
  // Every byte written so far.
  const std::string& Written() const { return written_; }
  size_t WriteCalls() const { return writeCalls_; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  bool Break() const { return break_; }

 private:
  struct Event {
    uint64_t due;
    std::function<void()> run;
  };
  void Post(uint32_t delayMs, std::function<void()> run);
  void Pump();
  void Arm();
  void GoDown(bool notifyEngine, std::function<void()> engineEvent);
  bool IsSocket() const { return settings_.layer == PortLayer::Socket; }
  uint64_t Now() const;

  Clock& clock_;
  std::unique_ptr<Timer> timer_;
  std::deque<Event> events_;
  bool inPump_ = false;
  uint64_t tickBase_ = 0;  // extends the 32-bit tick so that due times never wrap
  uint32_t lastTick_ = 0;
  PortSettings settings_;
  bool open_ = false;
  bool up_ = false;
  // Counts connections, so that a delivery queued for an earlier one is dropped.
  uint64_t generation_ = 0;
  std::string rx_;
  bool dataNotifyQueued_ = false;
  std::string written_;
  size_t writeCalls_ = 0;
  int openCount_ = 0;
  bool dtr_ = false;
  bool rts_ = false;
  bool break_ = false;
  int outSize_ = 4096;
};

// Makes MemoryPorts and lets the test wire each one to its far end as it is created.
class MemoryPortFactory final : public PortFactory {
 public:
  MemoryPortFactory(Clock& clock, TimerFactory& timers) : clock_(clock), timers_(timers) {}
  std::unique_ptr<Port> CreatePort() override;

  std::function<void(MemoryPort&)> OnCreate;
  // The last port made (owned by whoever asked for it).
  MemoryPort* Last() const { return last_; }

 private:
  Clock& clock_;
  TimerFactory& timers_;
  MemoryPort* last_ = nullptr;
};
