#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comms/ZEBComms.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtTcpListener.h"
#include "platform/qt/QtTimer.h"
#include "server/ZEBTCPServer.h"
#include "support/QtEventLoop.h"
#include "support/ServerEngine.h"

namespace {

// What each simulated device does once connected.
enum class Behaviour {
  SpeaksFirst,     // sends a valid frame at once
  Silent,          // waits to be asked, then answers
  Junk,            // 5000 bytes that never form a frame, then stays
  AbruptPartial,   // half a frame, then resets the connection
  AbruptAfterFrame // a valid frame, then resets the connection a little later
};

Behaviour BehaviourOf(size_t i) {
  switch (i % 10) {
    case 6: return Behaviour::Silent;
    case 7: return Behaviour::Junk;
    case 8: return Behaviour::AbruptPartial;
    case 9: return Behaviour::AbruptAfterFrame;
    default: return Behaviour::SpeaksFirst;
  }
}

bool HasEngine(Behaviour b) { return b == Behaviour::SpeaksFirst || b == Behaviour::Silent || b == Behaviour::AbruptAfterFrame; }

std::string DeviceFrame(uint32_t from, std::string_view payload, uint8_t serial) {
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  codec.Cimzett = ZEB_PC_ADDRESS;
  codec.Felado = from;
  codec.Felado_rovid_cim = static_cast<uint8_t>(from & 0xFF);
  codec.CsomagSorszam = serial;
  return codec.Encode(payload);
}

void ResetHard(QTcpSocket& s) {
  const linger hard{1, 0};
  setsockopt(static_cast<int>(s.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  s.abort();
}

// A thousand device connections at once over loopback, from clients in this process: the
// server identifies every device that can be identified, drops the ones that vanish, keeps
// every buffer within its bound and keeps the event loop turning.
TEST(ServerLoad, ThousandDevicesConnectingAtOnce) {
  constexpr size_t kDevices = 1000;
  constexpr uint32_t kFirstAddress = 1000;
  constexpr qint64 kDeadlineMs = 30000;

  // Two sockets per device in one process.
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 8192) {
    files.rlim_cur = std::min<rlim_t>(8192, files.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  if (files.rlim_cur < 2 * kDevices + 100) GTEST_SKIP() << "the system allows too few open files for the load";

  TestApp();
  QtClock clock;
  QtTimerFactory timers;

  auto owned = std::make_unique<QtTcpListener>();
  owned->SetListenAddress("127.0.0.1");
  QtTcpListener* listener = owned.get();
  auto server = std::make_unique<TZEBTCPServer>(std::move(owned), timers);
  server->SetZEBMode(TZEBMode::PMDecodeBothEncodeZEBW);
  server->SetPort(0);
  server->SetActive(true);
  ASSERT_TRUE(server->Active());
  const uint16_t port = listener->ServerPort();

  struct Device {
    Behaviour behaviour;
    uint32_t address;
    std::unique_ptr<QTcpSocket> socket;
    std::unique_ptr<TZEBComms> engine;
    int connects = 0;
    bool asked = false;
  };
  std::vector<Device> devices(kDevices);
  for (size_t i = 0; i < kDevices; ++i) {
    Device& d = devices[i];
    d.behaviour = BehaviourOf(i);
    d.address = kFirstAddress + static_cast<uint32_t>(i);
    if (!HasEngine(d.behaviour)) continue;
    d.engine = std::make_unique<TZEBComms>(clock, timers, nullptr);
    ServeThrough(*server, *d.engine, d.address, TZEBMode::PMDecodeBothEncodeZEBW);
    d.engine->OnConnect = [&d](void*) { ++d.connects; };
    d.engine->SetActive(true);
  }
  ASSERT_EQ(server->Engines().size(), 800u);

  // Responsiveness: the longest gap between ticks of a 10 ms timer while the load runs.
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  QTimer heartbeat;
  heartbeat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, sinceTick.restart());
  });
  // Buffers are sampled as the load runs.
  size_t largestBuffer = 0;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    for (const TClientData& c : server->Clients()) largestBuffer = std::max(largestBuffer, c.Buffer.size());
  });

  QElapsedTimer clockRun;
  clockRun.start();
  sinceTick.start();
  heartbeat.start(10);
  sampler.start(50);

  for (Device& d : devices) {
    d.socket = std::make_unique<QTcpSocket>();
    QTcpSocket* s = d.socket.get();
    Device* dp = &d;
    QObject::connect(s, &QTcpSocket::connected, s, [dp, s] {
      switch (dp->behaviour) {
        case Behaviour::SpeaksFirst:
          s->write(QByteArray::fromStdString(DeviceFrame(dp->address, "ESYSIload device", 1)));
          break;
        case Behaviour::Silent:
          break;
        case Behaviour::Junk: {
          std::string noise(5000, '\0');
          for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<char>(k % 250);
          s->write(QByteArray::fromStdString(noise));
          break;
        }
        case Behaviour::AbruptPartial: {
          const std::string frame = DeviceFrame(dp->address, "ESYSIcut short", 1);
          s->write(QByteArray::fromStdString(frame.substr(0, frame.size() / 2)));
          s->flush();
          ResetHard(*s);
          break;
        }
        case Behaviour::AbruptAfterFrame:
          s->write(QByteArray::fromStdString(DeviceFrame(dp->address, "ESYSIshort lived", 1)));
          QTimer::singleShot(300, s, [s] { ResetHard(*s); });
          break;
      }
    });
    QObject::connect(s, &QTcpSocket::readyRead, s, [dp, s] {
      const QByteArray bytes = s->readAll();
      if (dp->behaviour != Behaviour::Silent || dp->asked) return;
      TZEBProtocol codec;
      codec.ZEBMode = TZEBMode::PMZEBWOnly;
      if (codec.Decode(bytes.toStdString()) != "CSYSI" || codec.DecodeResult != 0) return;
      dp->asked = true;
      s->write(QByteArray::fromStdString(DeviceFrame(dp->address, "ASYSIload device", codec.CsomagSorszam)));
    });
    s->connectToHost(QHostAddress::LocalHost, port);
  }
  // The gaps that count are those of the event loop, not of setting up the clients above.
  const qint64 setupMs = clockRun.elapsed();
  longestGap = 0;
  sinceTick.restart();

  const auto count = [&](Behaviour b, auto pred) {
    return static_cast<size_t>(std::count_if(devices.begin(), devices.end(),
                                             [&](const Device& d) { return d.behaviour == b && pred(d); }));
  };
  const auto identified = [](const Device& d) { return d.connects > 0; };
  qint64 speakersMs = -1;
  qint64 silentMs = -1;
  const auto settled = [&] {
    if (speakersMs < 0 && count(Behaviour::SpeaksFirst, identified) == 600) speakersMs = clockRun.elapsed();
    if (silentMs < 0 && count(Behaviour::Silent, identified) == 100) silentMs = clockRun.elapsed();
    const bool vanishedGone =
        count(Behaviour::AbruptAfterFrame, [](const Device& d) { return d.engine->Connected(); }) == 0;
    return speakersMs >= 0 && silentMs >= 0 && vanishedGone && server->ClientCount() == 800;
  };
  while (!settled() && clockRun.elapsed() < kDeadlineMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  const qint64 loadMs = clockRun.elapsed();
  const size_t clientsAfterLoad = server->ClientCount();

  // A newcomer after the storm is still served promptly.
  Device probe{Behaviour::SpeaksFirst, 99999, std::make_unique<QTcpSocket>(), nullptr};
  probe.engine = std::make_unique<TZEBComms>(clock, timers, nullptr);
  ServeThrough(*server, *probe.engine, probe.address, TZEBMode::PMDecodeBothEncodeZEBW);
  probe.engine->SetActive(true);
  QElapsedTimer probeClock;
  probeClock.start();
  QObject::connect(probe.socket.get(), &QTcpSocket::connected, probe.socket.get(), [&] {
    probe.socket->write(QByteArray::fromStdString(DeviceFrame(probe.address, "ESYSIprobe", 1)));
  });
  probe.socket->connectToHost(QHostAddress::LocalHost, port);
  while (!probe.engine->Connected() && probeClock.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  const qint64 probeMs = probeClock.elapsed();
  heartbeat.stop();
  sampler.stop();
  for (const TClientData& c : server->Clients()) largestBuffer = std::max(largestBuffer, c.Buffer.size());

  std::printf("[ load     ] %zu connections (clients set up in %lld ms): speaking devices identified in %lld ms, silent ones in %lld ms, "
              "settled in %lld ms; newcomer identified in %lld ms; longest event-loop gap %lld ms; "
              "largest buffer %zu bytes\n",
              kDevices, static_cast<long long>(setupMs), static_cast<long long>(speakersMs), static_cast<long long>(silentMs),
              static_cast<long long>(loadMs), static_cast<long long>(probeMs), static_cast<long long>(longestGap),
              largestBuffer);

  EXPECT_GE(speakersMs, 0) << "every device that spoke first is identified";
  EXPECT_GE(silentMs, 6000) << "silent devices are asked after 6 s, not before";
  EXPECT_GE(silentMs, 0) << "every silent device answered the request and is identified";
  EXPECT_EQ(clientsAfterLoad, 800u) << "reset connections are gone, the others stay";
  EXPECT_EQ(count(Behaviour::AbruptAfterFrame, [](const Device& d) { return d.engine->Connected(); }), 0u);
  EXPECT_EQ(largestBuffer, ZEB_CLIENT_BUFFER_LIMIT) << "junk fills buffers up to the bound and no further";
  for (const TClientData& c : server->Clients()) {
    if (c.BoundComms == nullptr) {
      EXPECT_EQ(c.Buffer.size(), ZEB_CLIENT_BUFFER_LIMIT);
    }
  }
  EXPECT_TRUE(probe.engine->Connected());
  EXPECT_LT(probeMs, 2000);
  EXPECT_LT(longestGap, 1000) << "accepting a storm of connections leaves room for other events";
  EXPECT_EQ(listener->ConnectionCount(), 800u + 1u);

  // Everything goes down in order; the sanitizer checks that nothing is left behind.
  for (Device& d : devices) d.socket->abort();
  probe.socket->abort();
  QElapsedTimer drain;
  drain.start();
  while (server->ClientCount() > 0 && drain.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(server->ClientCount(), 0u);
  for (Device& d : devices) {
    if (d.engine) {
      EXPECT_FALSE(d.engine->Connected());
    }
  }
  probe.engine.reset();
  devices.clear();
  server.reset();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
