#include "platform/MemoryListener.h"

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

struct MemoryListenerHub : std::enable_shared_from_this<MemoryListenerHub> {
  enum class Kind { Accept, Read, Disconnect, Error, PeerReceive, PeerClosed };
  struct Event {
    Kind kind;
    std::shared_ptr<MemoryPeer> peer;
    std::string data;
    int code = 0;
  };

  Listener* listener = nullptr;  // cleared when the listener goes
  std::unique_ptr<Timer> timer;
  std::deque<Event> queue;
  std::vector<std::shared_ptr<MemoryPeer>> live;

  void Post(Kind kind, std::shared_ptr<MemoryPeer> peer, std::string data = {}, int code = 0) {
    queue.push_back(Event{kind, std::move(peer), std::move(data), code});
    if (!timer->IsActive()) timer->Start();
  }

  void Release(MemoryPeer& peer) {
    peer.released_ = true;
    std::erase_if(live, [&](const std::shared_ptr<MemoryPeer>& p) { return p.get() == &peer; });
  }

  void Deliver() {
    // A handler may destroy the listener; the hub and its timer outlive this pass.
    const auto keep = shared_from_this();
    for (size_t n = queue.size(); n > 0 && !queue.empty(); --n) {
      Event e = std::move(queue.front());
      queue.pop_front();
      Dispatch(e);
    }
  }

  void Dispatch(Event& e) {
    MemoryPeer& peer = *e.peer;
    const bool serverSide = e.kind != Kind::PeerReceive && e.kind != Kind::PeerClosed;
    if (serverSide && (peer.released_ || listener == nullptr)) return;
    switch (e.kind) {
      case Kind::Accept:
        if (const auto cb = listener->OnAccept) cb(peer.server_);
        break;
      case Kind::Read:
        peer.unread_ += e.data;
        if (const auto cb = listener->OnRead) cb(peer.server_);
        break;
      case Kind::Error:
        if (const auto cb = listener->OnError) cb(peer.server_, e.code);
        break;
      case Kind::Disconnect:
        peer.open_ = false;
        if (const auto cb = listener->OnDisconnect) cb(peer.server_);
        Release(peer);
        break;
      case Kind::PeerReceive:
        peer.received_ += e.data;
        if (const auto cb = peer.OnReceive) cb(e.data);
        break;
      case Kind::PeerClosed:
        if (const auto cb = peer.OnClosed) cb();
        break;
    }
  }
};

MemoryPeer::MemoryPeer(std::weak_ptr<MemoryListenerHub> hub, std::string remoteAddress, uint16_t remotePort)
    : hub_(std::move(hub)), remoteAddress_(std::move(remoteAddress)), remotePort_(remotePort) {}

void MemoryPeer::Send(std::string_view bytes) {
  const auto hub = hub_.lock();
  if (!open_ || !hub) return;
  hub->Post(MemoryListenerHub::Kind::Read, shared_from_this(), std::string(bytes));
}

void MemoryPeer::Disconnect() {
  const auto hub = hub_.lock();
  if (!open_ || !hub) return;
  open_ = false;
  if (disconnectQueued_) return;
  disconnectQueued_ = true;
  hub->Post(MemoryListenerHub::Kind::Disconnect, shared_from_this());
}

void MemoryPeer::RaiseError(int errorCode) {
  const auto hub = hub_.lock();
  if (!open_ || !hub) return;
  hub->Post(MemoryListenerHub::Kind::Error, shared_from_this(), {}, errorCode);
}

std::string MemoryPeer::TakeReceived() { return std::exchange(received_, {}); }

void MemoryPeer::ServerEnd::Write(std::string_view bytes) {
  const auto hub = peer_.hub_.lock();
  if (!IsConnected() || !hub) throw std::runtime_error("Socket is not connected");
  hub->Post(MemoryListenerHub::Kind::PeerReceive, peer_.shared_from_this(), std::string(bytes));
}

std::string MemoryPeer::ServerEnd::ReadAll() { return std::exchange(peer_.unread_, {}); }

void MemoryPeer::ServerEnd::Close() {
  const auto hub = peer_.hub_.lock();
  if (peer_.released_ || !hub) return;
  if (peer_.open_) {
    peer_.open_ = false;
    hub->Post(MemoryListenerHub::Kind::PeerClosed, peer_.shared_from_this());
  }
  if (!peer_.disconnectQueued_) {
    peer_.disconnectQueued_ = true;
    hub->Post(MemoryListenerHub::Kind::Disconnect, peer_.shared_from_this());
  }
}

bool MemoryPeer::ServerEnd::IsConnected() const { return peer_.open_ && !peer_.released_; }

std::string MemoryPeer::ServerEnd::RemoteAddress() const { return peer_.remoteAddress_; }

uint16_t MemoryPeer::ServerEnd::RemotePort() const { return peer_.remotePort_; }

MemoryListener::MemoryListener(TimerFactory& timers) : hub_(std::make_shared<MemoryListenerHub>()) {
  hub_->listener = this;
  hub_->timer = timers.CreateTimer();
  hub_->timer->SetInterval(0);
  hub_->timer->SetSingleShot(true);
  hub_->timer->OnTimeout = [hub = hub_.get()] { hub->Deliver(); };
}

MemoryListener::~MemoryListener() {
  Close();
  hub_->listener = nullptr;
}

bool MemoryListener::Listen(uint16_t port) {
  if (listening_) Close();
  if (const auto it = refused_.find(port); it != refused_.end()) {
    errorText_ = it->second;
    return false;
  }
  errorText_.clear();
  port_ = port != 0 ? port : nextDynamicPort_++;
  if (nextDynamicPort_ == 0) nextDynamicPort_ = 49152;
  listening_ = true;
  return true;
}

void MemoryListener::Close() {
  listening_ = false;
  for (const auto& peer : std::exchange(hub_->live, {})) {
    peer->released_ = true;
    if (peer->open_) {
      peer->open_ = false;
      hub_->Post(MemoryListenerHub::Kind::PeerClosed, peer);
    }
  }
}

size_t MemoryListener::ConnectionCount() const { return hub_->live.size(); }

size_t MemoryListener::PendingEvents() const { return hub_->queue.size(); }

std::shared_ptr<MemoryPeer> MemoryListener::Connect(const std::string& remoteAddress, uint16_t remotePort) {
  if (!listening_) return nullptr;
  auto peer = std::make_shared<MemoryPeer>(hub_, remoteAddress, remotePort);
  hub_->live.push_back(peer);
  hub_->Post(MemoryListenerHub::Kind::Accept, peer);
  return peer;
}

void MemoryListener::RefusePort(uint16_t port, std::string errorText) { refused_[port] = std::move(errorText); }
