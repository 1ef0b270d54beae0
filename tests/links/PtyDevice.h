#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devsim/lib/SimulatedDevice.h"

namespace links_test {

// A simulated device on the master side of a pseudo-terminal; the tool opens the slave.
class PtyDevice {
 public:
  PtyDevice(Clock& clock, TimerFactory& timers) : device(clock, timers) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    if (const char* name = ::ptsname(master_)) slave_ = name;
    // Held open and never read, so that the master does not report a hang-up whenever the
    // tool has the line closed; the bytes the tool writes still all reach the master.
    keepSlave_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(master_, TCSANOW, &t);
    }
    notifier_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return;
      if (OnArrival) OnArrival();
      device.Receive(std::string_view(buf, static_cast<size_t>(n)));
    });
    device.OnSend = [this](const std::string& bytes) { Write(bytes); };
  }
  ~PtyDevice() {
    device.OnSend = nullptr;
    notifier_.reset();
    if (keepSlave_ >= 0) ::close(keepSlave_);
    if (master_ >= 0) ::close(master_);
  }
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  bool Ok() const { return master_ >= 0 && keepSlave_ >= 0; }
  const std::string& SlavePath() const { return slave_; }

  SimulatedDevice device;
  // Bytes from the tool are about to reach the device.
  std::function<void()> OnArrival;

 private:
  void Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  int master_ = -1;
  int keepSlave_ = -1;
  std::string slave_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace links_test
