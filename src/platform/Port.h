#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// The engine's byte link when it opens the link itself: a serial port or a TCP client
// socket. Notifications arrive on the user-interface thread, never from inside a call the
// engine is making (implementations defer them to the event loop / virtual-time loop).
// Closing a connected socket reports OnDisconnected the same way; a notification still
// pending from an earlier connection is dropped once Open() starts a new one, so that it
// cannot take the new link down.

enum class PortLayer { Serial, Socket };

struct PortSettings {
  PortLayer layer = PortLayer::Serial;
  int comNumber = 1;          // serial: COM n is /dev/ttyS<n-1> ...
  std::string serialDevice;   // ... unless a device path is given here, opened as it stands
  int baud = 115200;
  bool dtr = false;
  bool rts = false;
  std::string host;           // socket: host name or address
  int tcpPort = 0;
};

// Raised by Open() and Write(). Open() failures carry the texts the engine maps to its
// open-failure reasons: "ie_Open - device already open", "ie_BadId - Specified comport
// doesn't exist"; anything else is a general failure.
class PortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kPortErrorAlreadyOpen = "ie_Open - device already open";
inline constexpr const char* kPortErrorNoSuchPort = "ie_BadId - Specified comport doesn't exist";

class Port {
 public:
  virtual ~Port() = default;

  virtual void Configure(const PortSettings& settings) = 0;
  // Serial: opened (and usable) when it returns. Socket: the connection attempt starts and
  // OnConnected / OnError / OnDisconnected report its outcome later.
  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual void Write(std::string_view bytes) = 0;
  // Takes up to maxBytes of the bytes received so far.
  virtual std::string Read(size_t maxBytes) = 0;

  virtual void SetDtr(bool on) = 0;
  virtual void SetRts(bool on) = 0;
  virtual void SetBreak(bool on) = 0;
  // Output buffer size; 0 when the link has none.
  virtual int OutSize() const = 0;
  virtual void SetOutSize(int size) = 0;

  std::function<void(size_t count)> OnDataAvailable;
  std::function<void()> OnConnected;     // socket connected
  std::function<void()> OnDisconnected;  // socket closed by the peer or lost
  std::function<void(int errorCode)> OnError;
};

class PortFactory {
 public:
  virtual ~PortFactory() = default;
  virtual std::unique_ptr<Port> CreatePort() = 0;
};
