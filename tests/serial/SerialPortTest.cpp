#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "platform/qt/QtSerialPort.h"
#include "support/QtEventLoop.h"

namespace {

using namespace std::string_literals;

// A pseudo-terminal pair made by the test: the port under test opens the slave, the test
// plays the device on the master.
class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* name = ::ptsname(master_);
    if (name) slave_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& Slave() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  void Write(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }

  // Reads until n bytes have come or the deadline passed.
  std::string Read(size_t n, int ms = 3000) {
    std::string out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < ms) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        const ssize_t r = ::read(master_, buf, sizeof buf);
        if (r > 0) out.append(buf, static_cast<size_t>(r));
      }
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal available";
  }
  PortSettings Settings(const std::string& device) {
    PortSettings s;
    s.serialDevice = device;
    s.baud = 115200;
    return s;
  }
  PtyPair pty;
};

std::string OpenError(QtSerialPort& port) {
  try {
    port.Open();
  } catch (const PortError& e) {
    return e.what();
  }
  return "opened";
}

TEST_F(SerialPortTest, BytesTravelBothWaysAndArrivalIsAnnounced) {
  QtSerialPort port;
  port.Configure(Settings(pty.Slave()));
  std::string got;
  size_t announced = 0;
  port.OnDataAvailable = [&](size_t n) {
    announced += n;
    got += port.Read(n);
  };
  port.Open();
  ASSERT_TRUE(port.IsOpen());

  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
  }();
  port.Write(all);
  EXPECT_EQ(pty.Read(all.size()), all);  // raw line: no byte is translated or swallowed

  pty.Write("\xFD\x01\x00\xFE"s);
  ASSERT_TRUE(RunEventsUntil([&] { return got.size() >= 4; }));
  EXPECT_EQ(got, "\xFD\x01\x00\xFE"s);
  EXPECT_EQ(announced, 4u);

  // Control lines a pseudo-terminal lacks neither throw nor break the link.
  port.SetDtr(true);
  port.SetRts(true);
  port.SetBreak(false);
  port.Write("ok");
  EXPECT_EQ(pty.Read(2), "ok");
}

TEST_F(SerialPortTest, MissingDevicesAreReportedAsNoSuchPort) {
  QtSerialPort port;
  port.Configure(Settings("/dev/paramdeck-no-such-tty"));
  EXPECT_EQ(OpenError(port), kPortErrorNoSuchPort);

  PortSettings s;
  s.comNumber = 250;  // /dev/ttyS249
  port.Configure(s);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS249");
  EXPECT_EQ(OpenError(port), kPortErrorNoSuchPort);
  s.comNumber = 0;
  port.Configure(s);
  EXPECT_EQ(OpenError(port), kPortErrorNoSuchPort);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, ComNumberMapsToTtyS) {
  QtSerialPort port;
  PortSettings s;
  s.comNumber = 1;
  port.Configure(s);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS0");
  s.comNumber = 7;
  port.Configure(s);
  EXPECT_EQ(port.DevicePath(), "/dev/ttyS6");
}

TEST_F(SerialPortTest, ADeviceHeldByAnotherPortIsAlreadyOpen) {
  QtSerialPort first;
  first.Configure(Settings(pty.Slave()));
  first.Open();
  QtSerialPort second;
  second.Configure(Settings(pty.Slave()));
  EXPECT_EQ(OpenError(second), kPortErrorAlreadyOpen);
  EXPECT_FALSE(second.IsOpen());

  // The holder is unharmed, and the device is free again once it lets go.
  first.Write("a");
  EXPECT_EQ(pty.Read(1), "a");
  first.Close();
  EXPECT_EQ(OpenError(second), "opened");
}

TEST_F(SerialPortTest, ADeviceHeldByAnotherProgramIsAlreadyOpen) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A bare program that opens the line and takes the lock that serial tools take.
    const int fd = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
    (void)!::write(fd, "R", 1);
    ::sleep(10);
    ::_exit(0);
  }
  EXPECT_EQ(pty.Read(1), "R");
  QtSerialPort port;
  port.Configure(Settings(pty.Slave()));
  EXPECT_EQ(OpenError(port), kPortErrorAlreadyOpen);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
}

TEST_F(SerialPortTest, ALostLineClosesThePortAndIsReportedFromTheEventLoop) {
  QtSerialPort port;
  port.Configure(Settings(pty.Slave()));
  port.Open();
  int errors = 0;
  port.OnError = [&](int) { ++errors; };
  pty.CloseMaster();
  EXPECT_EQ(errors, 0);
  ASSERT_TRUE(RunEventsUntil([&] { return errors > 0; }));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_THROW(port.Write("x"), PortError);
}

TEST_F(SerialPortTest, SocketLayerIsRefused) {
  QtSerialPort port;
  PortSettings s = Settings(pty.Slave());
  s.layer = PortLayer::Socket;
  port.Configure(s);
  const std::string why = OpenError(port);
  EXPECT_NE(why, "opened");
  EXPECT_NE(why, kPortErrorNoSuchPort);
}

}  // namespace
