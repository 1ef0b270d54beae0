#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Listener.h"

class QTcpServer;
class QTcpSocket;

// The device server's listener over QTcpServer. Accepted sockets are owned here and
// reported through the Listener callbacks on the thread of the event loop.
//
// Disconnections and socket errors are delivered through the event loop (queued), never
// from inside Close() or Write(); a connection is released only after OnDisconnect has
// returned and no other callback for it is running, and its socket is deleted later.
// A peer that resets the connection is reported as a plain disconnection, like an orderly
// close; other socket errors reach OnError with the QAbstractSocket error number.
//
// The listener itself must not be destroyed from inside one of its own callbacks.
class QtTcpListener final : public Listener {
 public:
  QtTcpListener();
  ~QtTcpListener() override;
  QtTcpListener(const QtTcpListener&) = delete;
  QtTcpListener& operator=(const QtTcpListener&) = delete;

  bool Listen(uint16_t port) override;
  // Stops listening and drops every accepted connection without OnDisconnect.
  void Close() override;
  bool IsListening() const override;
  std::string ErrorText() const override;

  // Address to listen on, "0.0.0.0"-style text; empty (the default) listens on every
  // interface. Takes effect at the next Listen.
  void SetListenAddress(std::string address) { listenAddress_ = std::move(address); }
  uint16_t ServerPort() const override;
  // Connections accepted and not yet released.
  size_t ConnectionCount() const { return connections_.size(); }

  class Connection;

 private:
  void Accept();
  // The connection with the given id while it is not yet released.
  Connection* Find(uint64_t id) const;
  void PostDisconnect(Connection& c);
  void DeliverDisconnect(uint64_t id);
  void DeliverError(uint64_t id, int code);
  void Release(uint64_t id, bool now);
  template <typename F>
  void Invoke(Connection& c, F&& callback);

  std::unique_ptr<QTcpServer> server_;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  // Connections released while a callback for them was still running.
  std::vector<std::unique_ptr<Connection>> retired_;
  uint64_t nextId_ = 1;
  static constexpr int kAcceptSlice = 64;
  bool acceptPosted_ = false;
  std::string listenAddress_;
  // Pending connections the system may queue before they are accepted: room for a whole
  // installation of devices dialling in at once.
  static constexpr int kBacklog = 1024;
};

class QtTcpListenerFactory final : public ListenerFactory {
 public:
  std::unique_ptr<Listener> CreateListener() override { return std::make_unique<QtTcpListener>(); }
};
