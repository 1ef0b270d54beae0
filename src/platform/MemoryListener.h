#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Listener.h"
#include "platform/Timer.h"

// An in-memory TCP listener for tests in virtual time. Connections are opened from the
// test (or a simulated device) through MemoryPeer handles. Every notification on either
// side is queued and delivered from a zero-interval timer of the given factory, like a
// socket layer that delivers its events from the event loop: no callback ever runs inside
// the call that caused it. Each delivery pass takes only the events queued before it
// started, so a peer that answers at once is heard on the next pass.
//
// Chunk boundaries are kept: every MemoryPeer::Send arrives as one OnRead whose ReadAll
// returns exactly those bytes (plus anything left unread before).

struct MemoryListenerHub;

// The device's end of one in-memory connection; also owns the server's end.
class MemoryPeer : public std::enable_shared_from_this<MemoryPeer> {
 public:
  MemoryPeer(std::weak_ptr<MemoryListenerHub> hub, std::string remoteAddress, uint16_t remotePort);
  MemoryPeer(const MemoryPeer&) = delete;
  MemoryPeer& operator=(const MemoryPeer&) = delete;

  // Bytes for the server; they arrive as one OnRead. Ignored once the connection is closed.
  void Send(std::string_view bytes);
  // The device closes its end: the server sees OnDisconnect.
  void Disconnect();
  // The socket layer reports an error on this connection: the server sees OnError.
  void RaiseError(int errorCode);

  // False once either end closed the connection or the listener was closed.
  bool IsOpen() const { return open_; }
  // Everything the server wrote so far, and a way to take it.
  const std::string& Received() const { return received_; }
  std::string TakeReceived();
  // The server side of this connection, valid while the listener holds it.
  ListenerConnection& ServerSide() { return server_; }
  // True once the listener dropped the server side (after OnDisconnect, or Close).
  bool Released() const { return released_; }

  // Raised from the loop for each chunk the server wrote, and once when the server side
  // closed the connection.
  std::function<void(const std::string& bytes)> OnReceive;
  std::function<void()> OnClosed;

 private:
  friend class MemoryListener;
  friend struct MemoryListenerHub;

  class ServerEnd final : public ListenerConnection {
   public:
    explicit ServerEnd(MemoryPeer& peer) : peer_(peer) {}
    void Write(std::string_view bytes) override;
    std::string ReadAll() override;
    void Close() override;
    bool IsConnected() const override;
    std::string RemoteAddress() const override;
    uint16_t RemotePort() const override;

   private:
    MemoryPeer& peer_;
  };

  std::weak_ptr<MemoryListenerHub> hub_;
  ServerEnd server_{*this};
  std::string remoteAddress_;
  uint16_t remotePort_;
  bool open_ = true;
  bool disconnectQueued_ = false;
  bool released_ = false;
  std::string unread_;
  std::string received_;
};

class MemoryListener final : public Listener {
 public:
  explicit MemoryListener(TimerFactory& timers);
  ~MemoryListener() override;
  MemoryListener(const MemoryListener&) = delete;
  MemoryListener& operator=(const MemoryListener&) = delete;

  bool Listen(uint16_t port) override;
  // Drops every connection without OnDisconnect; their peers see OnClosed.
  void Close() override;
  bool IsListening() const override { return listening_; }
  std::string ErrorText() const override { return errorText_; }
  // Connections accepted and not yet released.
  size_t ConnectionCount() const;

  // Opens a connection from the given remote address and port; OnAccept follows from the
  // loop. Null when not listening.
  std::shared_ptr<MemoryPeer> Connect(const std::string& remoteAddress, uint16_t remotePort);

  // Makes Listen fail on a port with the given text, as a port in use would.
  void RefusePort(uint16_t port, std::string errorText);

  // Listen(0) is given a port of the dynamic range, as a real system would.
  uint16_t ServerPort() const override { return listening_ ? port_ : 0; }
  // Events waiting for the next delivery pass.
  size_t PendingEvents() const;

 private:
  std::shared_ptr<MemoryListenerHub> hub_;
  uint16_t port_ = 0;
  uint16_t nextDynamicPort_ = 49152;
  bool listening_ = false;
  std::string errorText_;
  std::map<uint16_t, std::string> refused_;
};
