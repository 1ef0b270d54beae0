// The built paramdeck-devsim program over its real links, each wait bounded in time.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devsim/lib/DevsimOptions.h"
#include "platform/qt/QtSerialPort.h"
#include "protocol/ZEBProtocol.h"
#include "support/QtEventLoop.h"
#include "support/TempDir.h"

namespace {

using namespace std::string_literals;

const std::string kBinary = PD_BINARY_DIR "/paramdeck-devsim";

std::string Frame(std::string_view payload, uint32_t dest, uint8_t serial, bool longVariant = false) {
  TZEBProtocol c;
  c.ZEBMode = longVariant ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  c.Cimzett = dest;
  c.Felado = ZEB_PC_ADDRESS;
  c.CsomagSorszam = serial;
  c.Info = TInfo::kerek_nyugtat;
  return c.Encode(payload);
}

struct Got {
  TInfo info;
  uint8_t serial;
  uint32_t source;
  std::string payload;
};

// Cuts and decodes the frames that have arrived in buffer.
class FrameReader {
 public:
  void Feed(std::string_view bytes) {
    buffer_.append(bytes);
    for (;;) {
      std::string f = codec_.ExtractFrame(buffer_);
      if (f.empty()) break;
      std::string p = codec_.Decode(f);
      EXPECT_EQ(codec_.DecodeResult, 0);
      frames.push_back({codec_.Info, codec_.CsomagSorszam, codec_.Felado, p});
    }
  }
  std::vector<Got> frames;

 private:
  TZEBProtocol codec_ = [] {
    TZEBProtocol c;
    c.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
    return c;
  }();
  std::string buffer_;
};

class DevsimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    struct stat st {};
    if (::stat(kBinary.c_str(), &st) != 0) GTEST_SKIP() << kBinary << " is not built";
  }
  void TearDown() override {
    if (proc && proc->state() != QProcess::NotRunning) {
      proc->kill();
      proc->waitForFinished(5000);
    }
  }

  void Start(const QStringList& args) {
    proc = std::make_unique<QProcess>();
    QObject::connect(proc.get(), &QProcess::readyReadStandardOutput, proc.get(),
                     [this] { out += proc->readAllStandardOutput().toStdString(); });
    proc->start(QString::fromStdString(kBinary), args);
    ASSERT_TRUE(proc->waitForStarted(5000));
  }

  // Waits for a line of output that contains text and returns it.
  std::string Line(const std::string& text) {
    std::string found;
    RunEventsUntil([&] {
      size_t at = out.find(text);
      if (at == std::string::npos) return false;
      const size_t begin = out.rfind('\n', at);
      const size_t end = out.find('\n', at);
      if (end == std::string::npos) return false;
      found = out.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1));
      return true;
    });
    return found;
  }

  uint16_t ListeningPort() {
    const std::string l = Line("LINK listening on ");
    if (l.empty()) return 0;
    return static_cast<uint16_t>(std::stoi(l.substr(l.rfind(':') + 1)));
  }

  // A client of the simulator's listening port, collecting the frames it is sent.
  struct Client {
    QTcpSocket sock;
    FrameReader reader;
  };
  // False when the connection has not come up in time.
  static bool ConnectTo(uint16_t port, Client& c) {
    QObject::connect(&c.sock, &QTcpSocket::readyRead, [&c] { c.reader.Feed(c.sock.readAll().toStdString()); });
    c.sock.connectToHost("127.0.0.1", port);
    return RunEventsUntil([&] { return c.sock.state() == QAbstractSocket::ConnectedState; });
  }

  std::unique_ptr<QProcess> proc;
  std::string out;
};

TEST_F(DevsimProgramTest, ListenServesReadsAndWritesAndSavesTheImageOnTermination) {
  TempDir dir;
  const std::string image = dir.File("image.bin");
  std::string bytes(SimulatedDevice::kImageSize, '\0');
  bytes.replace(0x10, 4, "\x11\x22\x33\x44");
  SaveImageFile(image, bytes);

  Start({"--listen", "0", "--bind", "127.0.0.1", "--address", "7", "--image", QString::fromStdString(image),
         "--save"});
  const uint16_t port = ListeningPort();
  ASSERT_NE(port, 0) << out;

  Client client;
  ASSERT_TRUE(ConnectTo(port, client));

  // Unprompted, the device names itself first.
  ASSERT_TRUE(RunEventsUntil([&] { return client.reader.frames.size() >= 1; })) << out;
  EXPECT_EQ(client.reader.frames[0].payload.substr(0, 5), "ESYSI");
  EXPECT_EQ(client.reader.frames[0].source, 7u);

  client.sock.write(QByteArray::fromStdString(Frame("CSYRE\x10\x00\x04"s, 7, 21)));
  ASSERT_TRUE(RunEventsUntil([&] { return client.reader.frames.size() >= 3; })) << out;
  EXPECT_EQ(client.reader.frames[1].info, TInfo::pozitiv_nyugta);
  EXPECT_EQ(client.reader.frames[1].serial, 21);
  EXPECT_EQ(client.reader.frames[2].payload, "ASYRE\x11\x22\x33\x44"s);
  EXPECT_EQ(client.reader.frames[2].serial, 21);

  client.sock.write(QByteArray::fromStdString(Frame("CSYWE\x00\x10\x01\x5A"s, 7, 22)));
  ASSERT_TRUE(RunEventsUntil([&] { return client.reader.frames.size() >= 5; })) << out;
  EXPECT_EQ(client.reader.frames[4].payload.substr(0, 5), "ASYWE");

  EXPECT_FALSE(Line("RX ZEB 250->7 #21 kerek_nyugtat CSYRE 10 00 04").empty()) << out;
  EXPECT_FALSE(Line("TX ZEB 7->250 #21 nem_kerek_nyugtat ASYRE 11 22 33 44").empty()) << out;

  proc->terminate();
  ASSERT_TRUE(proc->waitForFinished(5000));
  EXPECT_EQ(proc->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(proc->exitCode(), 0);
  const std::string saved = LoadImageFile(image);
  EXPECT_EQ(saved[0x1000], '\x5A');
  EXPECT_EQ(saved.substr(0x10, 4), "\x11\x22\x33\x44");
}

TEST_F(DevsimProgramTest, SilentDeviceIsIdentifiedByABroadcastQuestion) {
  Start({"--listen", "0", "--bind", "127.0.0.1", "--zebw", "--address", "70000", "--silent-first-seconds", "60"});
  const uint16_t port = ListeningPort();
  ASSERT_NE(port, 0) << out;
  Client client;
  ASSERT_TRUE(ConnectTo(port, client));

  EXPECT_FALSE(RunEventsUntil([&] { return !client.reader.frames.empty(); }, 700));
  client.sock.write(QByteArray::fromStdString(Frame("CSYSI", ZEB_BROADCAST_ADDRESS, 9)));
  ASSERT_TRUE(RunEventsUntil([&] { return client.reader.frames.size() >= 2; })) << out;
  EXPECT_EQ(client.reader.frames[1].payload.substr(0, 5), "ASYSI");
  EXPECT_EQ(client.reader.frames[1].source, 70000u);
}

TEST_F(DevsimProgramTest, ConnectReachesTheServerAndComesBackAfterADrop) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  Start({"--connect", QString("127.0.0.1:%1").arg(server.serverPort()), "--reconnect-ms", "100", "--address", "12"});

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(RunEventsUntil([&] { return server.hasPendingConnections(); })) << out;
    std::unique_ptr<QTcpSocket> s(server.nextPendingConnection());
    FrameReader reader;
    ASSERT_TRUE(RunEventsUntil([&] {
      if (s->bytesAvailable()) reader.Feed(s->readAll().toStdString());
      return !reader.frames.empty();
    })) << out;
    EXPECT_EQ(reader.frames[0].payload.substr(0, 5), "ESYSI");
    EXPECT_EQ(reader.frames[0].source, 12u);
    s->abort();  // the device must dial again
  }
}

TEST_F(DevsimProgramTest, PseudoTerminalCarriesRequestsFromASerialPort) {
  Start({"--pty", "--address", "3"});
  ASSERT_FALSE(Line("/dev/").empty()) << out;
  const std::string path = out.substr(0, out.find('\n'));
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << out;

  QtSerialPort port;
  PortSettings s;
  s.serialDevice = path;
  port.Configure(s);
  port.Open();
  FrameReader reader;
  port.OnDataAvailable = [&](size_t n) { reader.Feed(port.Read(n)); };
  port.Write(Frame("CSYRE\x00\x00\x02"s, 3, 40));
  ASSERT_TRUE(RunEventsUntil([&] { return reader.frames.size() >= 2; })) << out;
  EXPECT_EQ(reader.frames[0].info, TInfo::pozitiv_nyugta);
  EXPECT_EQ(reader.frames[1].payload, "ASYRE\0\0"s);
}

}  // namespace
