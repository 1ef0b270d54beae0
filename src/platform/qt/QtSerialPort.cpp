#include "platform/qt/QtSerialPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSerialPort>
#include <QTimer>
#include <cerrno>

QtSerialPort::QtSerialPort() : port_(std::make_unique<QSerialPort>()) {
  QObject::connect(port_.get(), &QSerialPort::readyRead, port_.get(), [this] {
    if (OnDataAvailable && port_->isOpen()) {
      const qint64 n = port_->bytesAvailable();
      if (n > 0) OnDataAvailable(static_cast<size_t>(n));
    }
  });
  QObject::connect(port_.get(), &QSerialPort::errorOccurred, port_.get(), [this](QSerialPort::SerialPortError e) {
    switch (e) {
      case QSerialPort::ResourceError:
      case QSerialPort::ReadError:
      case QSerialPort::WriteError:
      case QSerialPort::UnknownError:
        ReportError(static_cast<int>(e));
        break;
      default:
        // Open failures are thrown by Open(); unsupported control lines and timeouts do
        // not break the link.
        break;
    }
  });
}

QtSerialPort::~QtSerialPort() {
  // No notification may reach a half-destroyed owner.
  QObject::disconnect(port_.get(), nullptr, nullptr, nullptr);
  port_->close();
}

void QtSerialPort::Configure(const PortSettings& settings) { settings_ = settings; }

std::string QtSerialPort::DevicePath() const {
  if (!settings_.serialDevice.empty()) return settings_.serialDevice;
  if (settings_.comNumber < 1) return {};
  return "/dev/ttyS" + std::to_string(settings_.comNumber - 1);
}

void QtSerialPort::Open() {
  if (settings_.layer != PortLayer::Serial) throw PortError("the serial port does not serve socket links");
  Close();
  const std::string path = DevicePath();
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) throw PortError(kPortErrorNoSuchPort);

  port_->setPortName(QString::fromStdString(path));
  port_->setBaudRate(settings_.baud);
  port_->setDataBits(QSerialPort::Data8);
  port_->setParity(QSerialPort::NoParity);
  port_->setStopBits(QSerialPort::OneStop);
  port_->setFlowControl(QSerialPort::NoFlowControl);
  if (!port_->open(QIODevice::ReadWrite)) {
    const QSerialPort::SerialPortError e = port_->error();
    const std::string why = port_->errorString().toStdString();
    port_->clearError();
    if (e == QSerialPort::DeviceNotFoundError) throw PortError(kPortErrorNoSuchPort);
    // QSerialPort says "permission" both for a device held by someone else (lock file,
    // exclusive mode) and for one we may not open at all; only the first is "already open".
    if (e == QSerialPort::PermissionError && ::access(path.c_str(), R_OK | W_OK) == 0) {
      throw PortError(kPortErrorAlreadyOpen);
    }
    throw PortError("cannot open " + path + ": " + why);
  }
  if (::flock(static_cast<int>(port_->handle()), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    port_->close();
    if (err == EWOULDBLOCK) throw PortError(kPortErrorAlreadyOpen);
    throw PortError("cannot lock " + path);
  }
  ++generation_;
  SetDtr(settings_.dtr);
  SetRts(settings_.rts);
}

void QtSerialPort::Close() {
  ++generation_;
  if (port_->isOpen()) port_->close();
  port_->clearError();
}

bool QtSerialPort::IsOpen() const { return port_->isOpen(); }

void QtSerialPort::Write(std::string_view bytes) {
  if (!port_->isOpen()) throw PortError("serial port is not open");
  const qint64 n = port_->write(bytes.data(), static_cast<qint64>(bytes.size()));
  if (n != static_cast<qint64>(bytes.size())) throw PortError("write failed: " + port_->errorString().toStdString());
}

std::string QtSerialPort::Read(size_t maxBytes) {
  if (!port_->isOpen() || maxBytes == 0) return {};
  std::string out(maxBytes, '\0');
  const qint64 n = port_->read(out.data(), static_cast<qint64>(maxBytes));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

void QtSerialPort::SetDtr(bool on) {
  settings_.dtr = on;
  if (port_->isOpen() && !port_->setDataTerminalReady(on)) port_->clearError();
}

void QtSerialPort::SetRts(bool on) {
  settings_.rts = on;
  if (port_->isOpen() && !port_->setRequestToSend(on)) port_->clearError();
}

void QtSerialPort::SetBreak(bool on) {
  if (port_->isOpen() && !port_->setBreakEnabled(on)) port_->clearError();
}

void QtSerialPort::ReportError(int code) {
  // QSerialPort raises these from inside write() too; the owner hears of them only from
  // the event loop, after the port is closed, since a failed line stays failed.
  const uint64_t gen = generation_;
  QTimer::singleShot(0, port_.get(), [this, code, gen] {
    if (gen != generation_) return;
    Close();
    if (OnError) OnError(code);
  });
}
