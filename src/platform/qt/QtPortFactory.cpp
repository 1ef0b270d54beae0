#include "platform/qt/QtPortFactory.h"

#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtTcpClientPort.h"

namespace {

// Forwards to the serial or the TCP port according to the last Configure; the other one
// is closed when the layer changes.
class QtLinkPort final : public Port {
 public:
  void Configure(const PortSettings& settings) override {
    Port& next = settings.layer == PortLayer::Serial ? Serial() : Tcp();
    if (active_ && active_ != &next) active_->Close();
    active_ = &next;
    active_->Configure(settings);
  }
  void Open() override { Active().Open(); }
  void Close() override {
    if (active_) active_->Close();
  }
  bool IsOpen() const override { return active_ && active_->IsOpen(); }
  void Write(std::string_view bytes) override { Active().Write(bytes); }
  std::string Read(size_t maxBytes) override { return active_ ? active_->Read(maxBytes) : std::string(); }
  void SetDtr(bool on) override { Active().SetDtr(on); }
  void SetRts(bool on) override { Active().SetRts(on); }
  void SetBreak(bool on) override { Active().SetBreak(on); }
  int OutSize() const override { return active_ ? active_->OutSize() : 0; }
  void SetOutSize(int size) override { Active().SetOutSize(size); }

 private:
  Port& Active() {
    if (!active_) Configure(PortSettings{});
    return *active_;
  }
  Port& Serial() { return Make(serial_, [] { return std::make_unique<QtSerialPort>(); }); }
  Port& Tcp() { return Make(tcp_, [] { return std::make_unique<QtTcpClientPort>(); }); }

  template <typename MakeFn>
  Port& Make(std::unique_ptr<Port>& slot, MakeFn make) {
    if (!slot) {
      slot = make();
      Port* inner = slot.get();
      // Only the port in use speaks for the link.
      inner->OnDataAvailable = [this, inner](size_t n) {
        if (active_ == inner && OnDataAvailable) OnDataAvailable(n);
      };
      inner->OnConnected = [this, inner] {
        if (active_ == inner && OnConnected) OnConnected();
      };
      inner->OnDisconnected = [this, inner] {
        if (active_ == inner && OnDisconnected) OnDisconnected();
      };
      inner->OnError = [this, inner](int code) {
        if (active_ == inner && OnError) OnError(code);
      };
    }
    return *slot;
  }

  std::unique_ptr<Port> serial_;
  std::unique_ptr<Port> tcp_;
  Port* active_ = nullptr;
};

}  // namespace

std::unique_ptr<Port> QtPortFactory::CreatePort() { return std::make_unique<QtLinkPort>(); }
