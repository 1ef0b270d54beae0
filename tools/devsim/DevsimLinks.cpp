#include "DevsimLinks.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstring>

namespace {

std::string PeerText(const QTcpSocket& s) {
  return s.peerAddress().toString().toStdString() + ":" + std::to_string(s.peerPort());
}

class ListenLink final : public DevsimLink {
 public:
  ListenLink(std::string bindAddress, uint16_t port) : bind_(std::move(bindAddress)), port_(port) {}
  ~ListenLink() override {
    if (client_) client_->disconnect();
  }

  bool Start(std::string& error) override {
    QHostAddress addr;
    if (!addr.setAddress(QString::fromStdString(bind_))) {
      error = "not an address to listen on: " + bind_;
      return false;
    }
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] { Accept(); });
    if (!server_.listen(addr, port_)) {
      error = "cannot listen on " + bind_ + ":" + std::to_string(port_) + ": " +
              server_.errorString().toStdString();
      return false;
    }
    Note("listening on " + bind_ + ":" + std::to_string(server_.serverPort()));
    return true;
  }

  void Write(std::string_view bytes) override {
    if (client_ && client_->state() == QAbstractSocket::ConnectedState) {
      client_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
  }
  bool IsTcp() const override { return true; }

 private:
  void Accept() {
    while (QTcpSocket* s = server_.nextPendingConnection()) {
      if (client_) {
        Note("dropping " + PeerText(*client_) + " for a newer connection");
        Drop();
      }
      client_ = s;
      Note("connected " + PeerText(*s));
      QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
        const QByteArray data = s->readAll();
        if (OnBytes && s == client_) OnBytes(std::string_view(data.constData(), static_cast<size_t>(data.size())));
      });
      QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
        if (s != client_) return;
        Note("disconnected");
        Drop();
      });
      if (OnUp) OnUp();
    }
  }

  void Drop() {
    QTcpSocket* s = client_;
    client_ = nullptr;
    s->disconnect();
    s->abort();
    s->deleteLater();
    if (OnDown) OnDown();
  }

  void Note(const std::string& line) {
    if (OnNote) OnNote(line);
  }

  std::string bind_;
  uint16_t port_;
  QTcpServer server_;
  QTcpSocket* client_ = nullptr;
};

class ConnectLink final : public DevsimLink {
 public:
  ConnectLink(std::string host, uint16_t port, uint32_t reconnectMs) : host_(std::move(host)), port_(port) {
    retry_.setSingleShot(true);
    retry_.setInterval(static_cast<int>(reconnectMs));
    QObject::connect(&retry_, &QTimer::timeout, &retry_, [this] { Dial(); });
    QObject::connect(&socket_, &QTcpSocket::connected, &socket_, [this] {
      up_ = true;
      Note("connected to " + host_ + ":" + std::to_string(port_));
      if (OnUp) OnUp();
    });
    QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_, [this] {
      const QByteArray data = socket_.readAll();
      if (OnBytes) OnBytes(std::string_view(data.constData(), static_cast<size_t>(data.size())));
    });
    // Refusals, drops and timeouts all end in one place: the socket is closed and the next
    // attempt is scheduled. Errors are noted once until a connection succeeds.
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &socket_, [this](QAbstractSocket::SocketError) {
      if (!quietErrors_) Note("connection failed: " + socket_.errorString().toStdString() + "; retrying");
      quietErrors_ = true;
      Lost();
    });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] { Lost(); });
  }
  ~ConnectLink() override { socket_.disconnect(); }

  bool Start(std::string&) override {
    Dial();
    return true;
  }
  void Write(std::string_view bytes) override {
    if (up_) socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
  }
  bool IsTcp() const override { return true; }

 private:
  void Dial() {
    socket_.abort();
    socket_.connectToHost(QString::fromStdString(host_), port_);
  }

  void Lost() {
    if (up_) {
      up_ = false;
      quietErrors_ = false;
      Note("disconnected");
      if (OnDown) OnDown();
    }
    if (!retry_.isActive()) retry_.start();
  }

  void Note(const std::string& line) {
    if (OnNote) OnNote(line);
  }

  std::string host_;
  uint16_t port_;
  QTcpSocket socket_;
  QTimer retry_;
  bool up_ = false;
  bool quietErrors_ = false;
};

class PtyLink final : public DevsimLink {
 public:
  ~PtyLink() override {
    notifier_.reset();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  bool Start(std::string& error) override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char* name = nullptr;
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || !(name = ::ptsname(master_))) {
      error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    path_ = name;
    // Our own handle on the slave keeps the master readable while the PC has the line
    // closed; it is never read, so every byte the PC writes comes to the master.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(master_, TCSANOW, &t);
    }
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { ReadSome(); });
    return true;
  }

  void Write(std::string_view bytes) override {
    // A full line (nobody reading) drops bytes rather than stalling the device.
    while (!bytes.empty()) {
      const ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  bool IsTcp() const override { return false; }
  std::string PtyPath() const override { return path_; }

 private:
  void ReadSome() {
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0 && OnBytes) OnBytes(std::string_view(buf, static_cast<size_t>(n)));
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::unique_ptr<DevsimLink> MakeListenLink(const std::string& bindAddress, uint16_t port) {
  return std::make_unique<ListenLink>(bindAddress, port);
}

std::unique_ptr<DevsimLink> MakeConnectLink(const std::string& host, uint16_t port, uint32_t reconnectMs) {
  return std::make_unique<ConnectLink>(host, port, reconnectMs);
}

std::unique_ptr<DevsimLink> MakePtyLink() { return std::make_unique<PtyLink>(); }
