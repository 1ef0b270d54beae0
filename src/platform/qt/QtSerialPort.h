#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Port.h"

class QSerialPort;

// A serial link over QSerialPort: 8 data bits, no parity, one stop bit, no flow control.
//
// COM n is /dev/ttyS<n-1>; a device path in PortSettings::serialDevice (/dev/ttyUSB0, a
// pseudo-terminal) is opened as it stands. Open() throws PortError with
// kPortErrorNoSuchPort when the device does not exist and kPortErrorAlreadyOpen when
// another port object or program holds it. Besides the lock files and the exclusive mode
// of QSerialPort, the open device carries an exclusive flock(), which also keeps out a
// second opener in this process and openers running as root, whom the exclusive tty mode
// lets through.
//
// OnDataAvailable fires from the event loop with the bytes waiting. Failures of the open
// line (the device vanished, a read or write fault) close the port and reach OnError,
// deferred to the event loop, with the QSerialPort::SerialPortError number. Control lines
// that the device cannot drive (a pseudo-terminal has none) are ignored. The socket layer
// is not served here: Open() refuses it.
class QtSerialPort final : public Port {
 public:
  QtSerialPort();
  ~QtSerialPort() override;
  QtSerialPort(const QtSerialPort&) = delete;
  QtSerialPort& operator=(const QtSerialPort&) = delete;

  void Configure(const PortSettings& settings) override;
  void Open() override;
  void Close() override;
  bool IsOpen() const override;

  void Write(std::string_view bytes) override;
  std::string Read(size_t maxBytes) override;

  void SetDtr(bool on) override;
  void SetRts(bool on) override;
  void SetBreak(bool on) override;
  // QSerialPort buffers its output without a limit; the size is only remembered.
  int OutSize() const override { return outSize_; }
  void SetOutSize(int size) override { outSize_ = size; }

  // The device path that Open() uses for the current settings; empty for a COM number
  // below 1.
  std::string DevicePath() const;

 private:
  void ReportError(int code);

  std::unique_ptr<QSerialPort> port_;
  PortSettings settings_;
  int outSize_ = 0;
  // Bumped by every Open and Close so that an error deferred from an earlier opening is
  // not reported against a later one.
  uint64_t generation_ = 0;
};

class QtSerialPortFactory : public PortFactory {
 public:
  std::unique_ptr<Port> CreatePort() override { return std::make_unique<QtSerialPort>(); }
};
