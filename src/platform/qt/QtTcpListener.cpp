#include "platform/qt/QtTcpListener.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/Cp1250.h"

namespace {

// Dual-stack sockets report IPv4 peers as "::ffff:a.b.c.d"; the log wants the plain form.
std::string PeerText(const QHostAddress& address) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  return (isV4 ? QHostAddress(v4) : address).toString().toStdString();
}

}  // namespace

class QtTcpListener::Connection final : public ListenerConnection {
 public:
  Connection(QTcpSocket* socket, uint64_t id, QtTcpListener& owner)
      : socket_(socket),
        id_(id),
        owner_(owner),
        address_(PeerText(socket->peerAddress())),
        port_(socket->peerPort()) {}
  ~Connection() override { Drop(false); }

  void Write(std::string_view bytes) override {
    if (!IsConnected()) throw std::runtime_error("Socket is not connected");
    const qint64 written = socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    if (written != static_cast<qint64>(bytes.size())) throw std::runtime_error(socket_->errorString().toStdString());
  }

  std::string ReadAll() override {
    if (socket_ == nullptr) return {};
    const QByteArray bytes = socket_->readAll();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
  }

  void Close() override {
    if (closed_ || socket_ == nullptr) return;
    closed_ = true;
    // Hand what was written to the system before the reset; Close must not wait.
    socket_->flush();
    socket_->abort();
    owner_.PostDisconnect(*this);
  }

  bool IsConnected() const override {
    return socket_ != nullptr && !closed_ && socket_->state() == QAbstractSocket::ConnectedState;
  }
  std::string RemoteAddress() const override { return address_; }
  uint16_t RemotePort() const override { return port_; }

  // Detaches and disposes of the socket. A socket may be inside one of its own signals
  // when this runs, so it is deleted later unless the caller knows it is not.
  void Drop(bool deleteNow) {
    if (socket_ == nullptr) return;
    QTcpSocket* socket = std::exchange(socket_, nullptr);
    QObject::disconnect(socket, nullptr, nullptr, nullptr);
    socket->abort();
    if (deleteNow) {
      delete socket;
    } else {
      socket->deleteLater();
    }
  }

  QTcpSocket* socket_;
  const uint64_t id_;
  QtTcpListener& owner_;
  const std::string address_;
  const uint16_t port_;
  bool closed_ = false;
  bool disconnectPosted_ = false;
  bool retired_ = false;
  int busy_ = 0;
};

QtTcpListener::QtTcpListener() : server_(std::make_unique<QTcpServer>()) {
  // Connections are taken in slices: QTcpServer stops accepting once this many wait, and
  // the queued drain below lets other events in between, so a storm of connections cannot
  // hold the event loop for long.
  server_->setMaxPendingConnections(kAcceptSlice);
  QObject::connect(server_.get(), &QTcpServer::newConnection, server_.get(), [this] {
    if (acceptPosted_) return;
    acceptPosted_ = true;
    QMetaObject::invokeMethod(
        server_.get(),
        [this] {
          acceptPosted_ = false;
          Accept();
        },
        Qt::QueuedConnection);
  });
}

QtTcpListener::~QtTcpListener() {
  server_->close();
  for (auto& [id, c] : connections_) c->Drop(true);
  for (auto& c : retired_) c->Drop(true);
  connections_.clear();
  retired_.clear();
  // Queued deliveries die with the server object they were posted to.
  server_.reset();
}

bool QtTcpListener::Listen(uint16_t port) {
  if (server_->isListening()) Close();
  server_->setListenBacklogSize(kBacklog);
  const QHostAddress address =
      listenAddress_.empty() ? QHostAddress(QHostAddress::Any) : QHostAddress(QString::fromStdString(listenAddress_));
  return server_->listen(address, port);
}

void QtTcpListener::Close() {
  server_->close();
  std::vector<uint64_t> ids;
  ids.reserve(connections_.size());
  for (const auto& entry : connections_) ids.push_back(entry.first);
  for (const uint64_t id : ids) Release(id, false);
}

bool QtTcpListener::IsListening() const { return server_->isListening(); }

std::string QtTcpListener::ErrorText() const { return Utf8ToCp1250(server_->errorString().toStdString()); }

uint16_t QtTcpListener::ServerPort() const { return server_->serverPort(); }

template <typename F>
void QtTcpListener::Invoke(Connection& c, F&& callback) {
  // Keeps the connection alive through the callback even if it is released meanwhile
  // (closed by a handler, listener closed, a nested event loop delivering its end).
  struct Guard {
    QtTcpListener& self;
    Connection& c;
    ~Guard() {
      if (--c.busy_ == 0 && c.retired_) {
        std::erase_if(self.retired_, [this](const std::unique_ptr<Connection>& p) { return p.get() == &c; });
      }
    }
  } guard{*this, c};
  ++c.busy_;
  callback();
}

void QtTcpListener::Accept() {
  while (server_->hasPendingConnections()) {
    QTcpSocket* socket = server_->nextPendingConnection();
    if (socket == nullptr) break;
    socket->setParent(nullptr);
    const uint64_t id = nextId_++;
    auto owned = std::make_unique<Connection>(socket, id, *this);
    Connection* c = owned.get();
    connections_.emplace(id, std::move(owned));

    QObject::connect(socket, &QTcpSocket::readyRead, server_.get(), [this, c] {
      if (c->closed_) return;
      if (const auto cb = OnRead) Invoke(*c, [&] { cb(*c); });
    });
    QObject::connect(socket, &QTcpSocket::disconnected, server_.get(), [this, c] { PostDisconnect(*c); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, server_.get(),
                     [this, c](QAbstractSocket::SocketError error) {
                       if (c->closed_ || c->disconnectPosted_) return;
                       if (error == QAbstractSocket::RemoteHostClosedError) {
                         PostDisconnect(*c);
                         return;
                       }
                       const uint64_t cid = c->id_;
                       const int code = static_cast<int>(error);
                       QMetaObject::invokeMethod(
                           server_.get(), [this, cid, code] { DeliverError(cid, code); }, Qt::QueuedConnection);
                     });

    if (const auto cb = OnAccept) Invoke(*c, [&] { cb(*c); });
    // A socket reads on its own while it waits to be taken, and the readyRead for what it
    // read then reached nobody; no new one comes until the peer sends again.
    if (Connection* live = Find(id); live != nullptr && !live->closed_ && live->socket_->bytesAvailable() > 0) {
      if (const auto cb = OnRead) Invoke(*live, [&] { cb(*live); });
    }
    // A peer gone before it was accepted raises no signal of its own.
    if (Connection* live = Find(id); live != nullptr && live->socket_->state() != QAbstractSocket::ConnectedState) {
      PostDisconnect(*live);
    }
  }
}

QtTcpListener::Connection* QtTcpListener::Find(uint64_t id) const {
  const auto it = connections_.find(id);
  return it == connections_.end() ? nullptr : it->second.get();
}

void QtTcpListener::PostDisconnect(Connection& c) {
  if (c.disconnectPosted_) return;
  c.disconnectPosted_ = true;
  const uint64_t id = c.id_;
  QMetaObject::invokeMethod(server_.get(), [this, id] { DeliverDisconnect(id); }, Qt::QueuedConnection);
}

void QtTcpListener::DeliverDisconnect(uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  c.closed_ = true;
  if (const auto cb = OnDisconnect) Invoke(c, [&] { cb(c); });
  Release(id, false);
}

void QtTcpListener::DeliverError(uint64_t id, int code) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  if (c.closed_) return;
  if (const auto cb = OnError) Invoke(c, [&] { cb(c, code); });
  // An error that left the socket unconnected without its own signal still ends it.
  const auto again = connections_.find(id);
  if (again != connections_.end() && again->second->socket_ != nullptr &&
      again->second->socket_->state() == QAbstractSocket::UnconnectedState) {
    PostDisconnect(*again->second);
  }
}

void QtTcpListener::Release(uint64_t id, bool now) {
  auto node = connections_.extract(id);
  if (node.empty()) return;
  std::unique_ptr<Connection> c = std::move(node.mapped());
  c->closed_ = true;
  if (c->busy_ > 0) {
    c->retired_ = true;
    c->Drop(false);
    retired_.push_back(std::move(c));
    return;
  }
  c->Drop(now);
}
