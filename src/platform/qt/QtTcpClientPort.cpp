#include "platform/qt/QtTcpClientPort.h"

#include <QAbstractSocket>
#include <QMetaObject>
#include <QString>
#include <QTcpSocket>

namespace {

int SocketErrorNumber(QAbstractSocket::SocketError e) {
  switch (e) {
    case QAbstractSocket::ConnectionRefusedError: return 10061;
    case QAbstractSocket::SocketTimeoutError: return 10060;
    case QAbstractSocket::RemoteHostClosedError: return 10054;
    case QAbstractSocket::NetworkError: return 10065;
    case QAbstractSocket::HostNotFoundError: return 11001;
    default: return static_cast<int>(e);
  }
}

}  // namespace

QtTcpClientPort::QtTcpClientPort() : socket_(std::make_unique<QTcpSocket>()) {
  QTcpSocket* s = socket_.get();
  // Handlers run at once and only queue the notification, tagged with the connection it
  // belongs to.
  QObject::connect(s, &QTcpSocket::connected, s, [this] {
    Post([this] {
      if (socket_->state() != QAbstractSocket::ConnectedState) return;
      socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      if (OnConnected) OnConnected();
    });
  });
  QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
    if (closing_) return;
    Post([this] {
      open_ = false;
      if (OnDisconnected) OnDisconnected();
    });
  });
  QObject::connect(s, &QTcpSocket::errorOccurred, s, [this](QAbstractSocket::SocketError e) {
    if (closing_ || e == QAbstractSocket::RemoteHostClosedError) return;
    const bool lost = socket_->state() != QAbstractSocket::ConnectedState;
    Post([this, e, lost] {
      if (lost) open_ = false;
      if (OnError) OnError(SocketErrorNumber(e));
    });
  });
  QObject::connect(s, &QTcpSocket::readyRead, s, [this] {
    Post([this] {
      const qint64 n = socket_->bytesAvailable();
      if (n > 0 && OnDataAvailable) OnDataAvailable(static_cast<size_t>(n));
    });
  });
}

QtTcpClientPort::~QtTcpClientPort() {
  closing_ = true;
  socket_->disconnect();
  socket_->abort();
}

void QtTcpClientPort::Post(std::function<void()> fn) {
  const uint64_t generation = generation_;
  // The socket is the context: once it is gone, nothing queued for it runs.
  QMetaObject::invokeMethod(
      socket_.get(),
      [this, generation, fn = std::move(fn)] {
        if (generation == generation_) fn();
      },
      Qt::QueuedConnection);
}

void QtTcpClientPort::Open() {
  if (settings_.layer != PortLayer::Socket) throw PortError("not a TCP link");
  if (settings_.tcpPort < 1 || settings_.tcpPort > 65535)
    throw PortError("TCP port out of range: " + std::to_string(settings_.tcpPort));
  Close();
  ++generation_;
  open_ = true;
  socket_->connectToHost(QString::fromStdString(settings_.host), static_cast<quint16>(settings_.tcpPort));
}

void QtTcpClientPort::Close() {
  const bool wasConnected = socket_->state() == QAbstractSocket::ConnectedState;
  closing_ = true;
  if (wasConnected) socket_->flush();
  socket_->abort();
  closing_ = false;
  if (open_ && wasConnected) Post([this] {
      if (OnDisconnected) OnDisconnected();
    });
  open_ = false;
}

void QtTcpClientPort::Write(std::string_view bytes) {
  if (socket_->state() != QAbstractSocket::ConnectedState) throw PortError("Socket is not connected");
  const qint64 written = socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
  if (written != static_cast<qint64>(bytes.size())) throw PortError(socket_->errorString().toStdString());
  // Hand the bytes to the system now rather than on the next pass of the loop.
  socket_->flush();
}

std::string QtTcpClientPort::Read(size_t maxBytes) {
  const QByteArray bytes = socket_->read(static_cast<qint64>(maxBytes));
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
