#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Port.h"

class QTcpSocket;

// A TCP client link over QTcpSocket. Open() starts the connection attempt; its outcome,
// received data, the peer's close and errors reach the Port notifications from the event
// loop, never from inside a call. Closing a connected socket reports OnDisconnected the
// same way. Errors carry the Windows socket error numbers that device documentation and
// users quote (10061 refused, 10060 timed out, 10054 reset, 10065 unreachable, 11001 host
// not found); other failures carry QAbstractSocket's own error number. The peer closing
// the connection is a disconnection, not an error.
class QtTcpClientPort final : public Port {
 public:
  QtTcpClientPort();
  ~QtTcpClientPort() override;
  QtTcpClientPort(const QtTcpClientPort&) = delete;
  QtTcpClientPort& operator=(const QtTcpClientPort&) = delete;

  void Configure(const PortSettings& settings) override { settings_ = settings; }
  // Throws PortError for a serial configuration or a port number out of range.
  void Open() override;
  void Close() override;
  bool IsOpen() const override { return open_; }

  // Throws PortError unless connected.
  void Write(std::string_view bytes) override;
  std::string Read(size_t maxBytes) override;

  // A socket has no control lines.
  void SetDtr(bool) override {}
  void SetRts(bool) override {}
  void SetBreak(bool) override {}
  // The system buffers socket output; the size is only remembered.
  int OutSize() const override { return outSize_; }
  void SetOutSize(int size) override { outSize_ = size; }

 private:
  // Runs fn from the event loop unless a new connection was started meanwhile.
  void Post(std::function<void()> fn);

  std::unique_ptr<QTcpSocket> socket_;
  PortSettings settings_;
  bool open_ = false;
  bool closing_ = false;
  int outSize_ = 0;
  uint64_t generation_ = 0;
};
