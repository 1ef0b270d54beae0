#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// One accepted TCP connection of the device server. The listener owns it; it stays valid
// until OnDisconnect for it has returned, or until the listener is closed (which reports no
// disconnections), after which nobody may keep a reference.
class ListenerConnection {
 public:
  virtual ~ListenerConnection() = default;
  // Throws std::runtime_error when the bytes cannot be written.
  virtual void Write(std::string_view bytes) = 0;
  // All bytes received and not yet read.
  virtual std::string ReadAll() = 0;
  // Closes the connection; OnDisconnect follows from the event loop, not from inside Close.
  virtual void Close() = 0;
  virtual bool IsConnected() const = 0;
  virtual std::string RemoteAddress() const = 0;
  virtual uint16_t RemotePort() const = 0;
};

// A listening TCP socket with per-connection notifications on the user-interface thread.
class Listener {
 public:
  virtual ~Listener() = default;
  // Returns false and sets ErrorText() when the port cannot be listened on.
  virtual bool Listen(uint16_t port) = 0;
  virtual void Close() = 0;
  virtual bool IsListening() const = 0;
  virtual std::string ErrorText() const = 0;
  // The port actually listened on, which the system chooses when Listen was given 0;
  // 0 while not listening.
  virtual uint16_t ServerPort() const = 0;

  std::function<void(ListenerConnection&)> OnAccept;
  std::function<void(ListenerConnection&)> OnRead;
  std::function<void(ListenerConnection&)> OnDisconnect;
  // A socket error on an open connection (not the peer closing or resetting it, which is
  // OnDisconnect); the code is the implementation's error number. The connection stays
  // open until someone closes it.
  std::function<void(ListenerConnection&, int errorCode)> OnError;
};

class ListenerFactory {
 public:
  virtual ~ListenerFactory() = default;
  virtual std::unique_ptr<Listener> CreateListener() = 0;
};
