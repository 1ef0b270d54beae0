#include "server/ZEBTCPServer.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "log/LogTextView.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"
#include "platform/MemoryListener.h"
#include "platform/VirtualTime.h"
#include "support/ServerEngine.h"
#include "support/TempDir.h"

namespace {

// A frame a device sends to the PC: the short variant from 1..250, the long one above 255.
std::string DeviceFrame(uint32_t from, std::string_view payload, uint8_t serial = 9) {
  TZEBProtocol codec;
  codec.ZEBMode = from > 255 ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  codec.Cimzett = ZEB_PC_ADDRESS;
  codec.Felado = from;
  codec.Felado_rovid_cim = static_cast<uint8_t>(from & 0xFF);
  codec.CsomagSorszam = serial;
  return codec.Encode(payload);
}

// Bytes that never hold a frame marker, each position distinct within a 250-byte cycle.
std::string Noise(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 250);
  return s;
}

std::string Dec(std::string_view bytes) { return DecText(bytes); }

// An engine in server mode with its link events recorded.
struct Engine {
  std::unique_ptr<TZEBComms> comms;
  std::vector<std::string> events;
  std::string received;
};

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() {
    auto owned = std::make_unique<MemoryListener>(vt);
    listener = owned.get();
    server = std::make_unique<TZEBTCPServer>(std::move(owned), vt);
    // The main window's setting: both variants understood, long-address requests.
    server->SetZEBMode(TZEBMode::PMDecodeBothEncodeZEBW);
    log.SetLogFile(logDir.File("server.log"));
    log.Logging = true;
    log.LogTime = false;
    log.Memo = &memo;
    server->LogWriter = &log;
    server->SetActive(true);
  }

  ~ServerTest() override {
    // Engines unregister from the server when they go, so they go first.
    engines.clear();
    server.reset();
  }

  Engine& AddEngine(uint32_t address, TZEBMode mode = TZEBMode::PMDecodeBothEncodeZEB) {
    auto e = std::make_unique<Engine>();
    Engine* raw = e.get();
    e->comms = std::make_unique<TZEBComms>(vt, vt, nullptr);
    TZEBComms& c = *e->comms;
    ServeThrough(*server, c, address, mode);
    c.OnConnect = [raw](void*) { raw->events.push_back("connect"); };
    c.OnDisConnect = [raw](void*) { raw->events.push_back("disconnect"); };
    c.OnRawData = [raw](TZEBComms&, const std::string& data) { raw->received += data; };
    c.SetActive(true);
    engines.push_back(std::move(e));
    return *raw;
  }

  std::shared_ptr<MemoryPeer> Connect(uint16_t port, const std::string& address = "127.0.0.1") {
    auto peer = listener->Connect(address, port);
    vt.Advance(0);
    return peer;
  }

  void Send(MemoryPeer& peer, std::string_view bytes) {
    peer.Send(bytes);
    vt.Advance(0);
  }

  // Log lines from the given index on, as UTF-8.
  std::vector<std::string> LinesFrom(size_t first) const {
    std::vector<std::string> out;
    for (size_t i = first; i < memo.Lines().size(); ++i) out.push_back(Cp1250ToUtf8(memo.Lines()[i]));
    return out;
  }
  size_t Mark() const { return memo.Lines().size(); }

  const TClientData& Record(MemoryPeer& peer) {
    const TClientData* record = server->ClientData(peer.ServerSide());
    EXPECT_NE(record, nullptr);
    static const TClientData none;
    return record ? *record : none;
  }

  VirtualTime vt;
  TempDir logDir;
  MemoryLogTextView memo;
  TNaplo log{vt};
  MemoryListener* listener = nullptr;
  std::unique_ptr<TZEBTCPServer> server;
  std::deque<std::unique_ptr<Engine>> engines;
};

// ---- Server lines ---------------------------------------------------------------------------

TEST_F(ServerTest, StartStopAndRefusedPortLines) {
  EXPECT_TRUE(server->Active());
  server->SetActive(true);  // already listening: nothing happens
  server->SetActive(false);
  server->SetActive(false);
  listener->RefusePort(1001, "Address already in use");
  server->SetActive(true);
  EXPECT_FALSE(server->Active());
  server->SetPort(1002);
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(listener->ServerPort(), 1002);

  EXPECT_EQ(LinesFrom(0), (std::vector<std::string>{
                              "ZEBTCPServer elindítva a következő porton: 1001",
                              "ZEBTCPServer lezárva",
                              "Nem sikerült a(z) 1001 porton ZEBTCPServert indítani: Address already in use",
                              "ZEBTCPServer elindítva a következő porton: 1002",
                          }));
}

// Port 0 lets the system choose; the line must name the port devices can reach, while the
// setting stays 0 so that a restart chooses afresh.
TEST_F(ServerTest, StartLineNamesThePortActuallyListenedOn) {
  server->SetActive(false);
  server->SetPort(0);
  const size_t mark = Mark();
  server->SetActive(true);
  const uint16_t bound = listener->ServerPort();
  ASSERT_NE(bound, 0);
  EXPECT_EQ(LinesFrom(mark),
            std::vector<std::string>{"ZEBTCPServer elindítva a következő porton: " + std::to_string(bound)});
  EXPECT_EQ(server->Port(), 0);
}

TEST_F(ServerTest, ConnectionLinePrefixAlignsAddressAndPort) {
  struct Case {
    const char* address;
    uint16_t port;
    const char* line;
  };
  const Case cases[] = {
      {"127.0.0.1", 5001, "      127.0.0.1:5001 (cím ismeretlen): Új kapcsolat."},
      {"10.1.2.3", 80, "       10.1.2.3:80   (cím ismeretlen): Új kapcsolat."},
      {"192.168.100.200", 65535, "192.168.100.200:65535 (cím ismeretlen): Új kapcsolat."},
      {"::1", 7, "            ::1:7    (cím ismeretlen): Új kapcsolat."},
  };
  for (const Case& c : cases) {
    const size_t mark = Mark();
    Connect(c.port, c.address);
    EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{c.line}) << c.address;
  }
}

TEST_F(ServerTest, RawChunkLineShowsTwentyPrintableCharactersAndEveryByte) {
  server->Log_Raw_Data = true;
  auto peer = Connect(5001);
  const std::string chunk = std::string("\r\nAB") + std::string(30, 'x');
  const size_t mark = Mark();
  Send(*peer, chunk);
  ASSERT_FALSE(LinesFrom(mark).empty());
  EXPECT_EQ(LinesFrom(mark)[0], "      127.0.0.1:5001 BE: #13#10ABxxxxxxxxxxxx " + Dec(chunk));
}

// ---- Identification -------------------------------------------------------------------------

TEST_F(ServerTest, DeviceThatSpeaksFirstIsBoundAndNeverAsked) {
  Engine& e7 = AddEngine(7);
  std::vector<std::pair<uint32_t, std::string>> reads;
  server->OnClientDataRead = [&](TZEBTCPServer&, uint32_t address, const std::string& data) {
    reads.emplace_back(address, data);
  };
  auto peer = Connect(5001);
  vt.Advance(1000);
  const std::string frame = DeviceFrame(7, "ESYSIdevice seven");
  Send(*peer, frame);

  EXPECT_EQ(LinesFrom(1), (std::vector<std::string>{
                              "      127.0.0.1:5001 (cím ismeretlen): Új kapcsolat.",
                              "      127.0.0.1:5001 (7): Csomag érkezett: <" + Dec(frame) + ">.",
                              "      127.0.0.1:5001 (7): Cím azonosítva.",
                              "      127.0.0.1:5001 (7): A készülék magától küldött csomagot, ezért nem szólítom meg.",
                          }));
  TZEBComms& c = *e7.comms;
  EXPECT_EQ(c.BoundSocket(), &peer->ServerSide());
  EXPECT_TRUE(c.Connected());
  EXPECT_EQ(c.Host, "127.0.0.1");
  EXPECT_EQ(c.Port, 5001);
  EXPECT_EQ(e7.events, std::vector<std::string>{"connect"});
  EXPECT_EQ(e7.received, frame);
  EXPECT_EQ(c.IncomingDataCount, frame.size());
  EXPECT_EQ(Record(*peer).BoundComms, &c);
  EXPECT_TRUE(Record(*peer).Buffer.empty());
  EXPECT_EQ(Record(*peer).IdentSerial, 0);
  EXPECT_EQ(server->ClientAddressText(peer->ServerSide()), "7");

  vt.Advance(60000);
  EXPECT_EQ(peer->Received(), "") << "no identification request after the device spoke";

  // From now on every chunk goes straight to the engine.
  const size_t mark = Mark();
  Send(*peer, "abc");
  EXPECT_EQ(e7.received, frame + "abc");
  EXPECT_EQ(c.IncomingDataCount, frame.size() + 3);
  EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{});
  EXPECT_EQ(reads, (std::vector<std::pair<uint32_t, std::string>>{{7, frame}, {7, "abc"}}));
}

TEST_F(ServerTest, SilentDeviceIsAskedOnceExactlySixSecondsAfterConnecting) {
  Engine& e = AddEngine(70000, TZEBMode::PMDecodeBothEncodeZEBW);
  TZEBTCPServer::IdentSerialCounter = 17;
  vt.Advance(250);
  auto peer = Connect(5001);
  vt.Advance(5999);
  EXPECT_EQ(peer->Received(), "");
  vt.Advance(1);
  const std::string request = peer->TakeReceived();
  ASSERT_FALSE(request.empty());

  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  std::string buffer = request;
  EXPECT_EQ(codec.ExtractFrame(buffer), request) << "exactly one frame";
  EXPECT_EQ(codec.Decode(request), "CSYSI");
  EXPECT_EQ(codec.DecodeResult, 0);
  EXPECT_EQ(codec.Cimzett, 255u);
  EXPECT_EQ(codec.Felado, 250u);
  EXPECT_EQ(codec.Felado_rovid_cim, 250);
  EXPECT_EQ(codec.Info, TInfo::nem_kerek_nyugtat);
  EXPECT_TRUE(codec.Enable_ASYER);
  EXPECT_EQ(codec.CsomagSorszam, 18);
  EXPECT_EQ(Record(*peer).IdentSerial, 18);
  EXPECT_EQ(LinesFrom(Mark() - 1),
            std::vector<std::string>{"      127.0.0.1:5001 (cím ismeretlen): CSYSI elküldve: <" + Dec(request) + ">"});

  vt.Advance(60000);
  EXPECT_EQ(peer->Received(), "") << "asked once only";

  const std::string answer = DeviceFrame(70000, "ASYSIlong device", 18);
  const size_t mark = Mark();
  Send(*peer, answer);
  EXPECT_EQ(LinesFrom(mark), (std::vector<std::string>{
                                 "      127.0.0.1:5001 (70000): Csomag érkezett: <" + Dec(answer) + ">.",
                                 "      127.0.0.1:5001 (70000): Cím azonosítva.",
                             }));
  EXPECT_EQ(e.comms->BoundSocket(), &peer->ServerSide());
}

TEST(IdentSerial, RunsToTwoHundredFortyNineAndWrapsToOne) {
  TZEBTCPServer::IdentSerialCounter = 247;
  EXPECT_EQ(TZEBTCPServer::NextIdentSerial(), 248);
  EXPECT_EQ(TZEBTCPServer::NextIdentSerial(), 249);
  EXPECT_EQ(TZEBTCPServer::NextIdentSerial(), 1);
  EXPECT_EQ(TZEBTCPServer::NextIdentSerial(), 2);
}

TEST_F(ServerTest, OnlyTheFirstOfTwoFramesInOneChunkIsHandled) {
  Engine& e7 = AddEngine(7);
  const std::string first = DeviceFrame(7, "ESYSI", 1);
  const std::string second = DeviceFrame(7, "EXTRA", 2);
  auto peer = Connect(5001);
  Send(*peer, first + second);
  const auto lines = LinesFrom(0);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Csomag érkezett") != std::string::npos; }),
            1);
  EXPECT_EQ(e7.received, first + second) << "the engine gets everything buffered, the second frame included";

  // Without an engine the second frame waits for the next read.
  const std::string other1 = DeviceFrame(8, "ESYSI", 1);
  const std::string other2 = DeviceFrame(8, "EXTRA", 2);
  auto stranger = Connect(5002);
  Send(*stranger, other1 + other2);
  EXPECT_EQ(Record(*stranger).Buffer, other2);
  const size_t mark = Mark();
  Send(*stranger, "z");
  EXPECT_EQ(LinesFrom(mark), (std::vector<std::string>{
                                 "      127.0.0.1:5002 (8): Csomag érkezett: <" + Dec(other2) + ">.",
                                 "      127.0.0.1:5002 (8): Ismeretlen című készülék.",
                             }));
  EXPECT_EQ(Record(*stranger).Buffer, "z");
}

TEST_F(ServerTest, RegistrationOrderDecidesBetweenBroadcastAndExactAddress) {
  struct Case {
    std::vector<uint32_t> order;
    size_t expectedEngine;
    const char* closedLine;
  };
  const Case cases[] = {
      {{255, 7}, 0, "      127.0.0.1:5001 (255): A kapcsolat megszakadt."},
      {{7, 255}, 0, "      127.0.0.1:5001 (7): A kapcsolat megszakadt."},
      {{9, 255}, 1, "      127.0.0.1:5001 (255): A kapcsolat megszakadt."},
  };
  for (const Case& c : cases) {
    engines.clear();
    for (uint32_t address : c.order) AddEngine(address);
    auto peer = Connect(5001);
    Send(*peer, DeviceFrame(7, "ESYSI"));
    for (size_t i = 0; i < engines.size(); ++i) {
      EXPECT_EQ(engines[i]->comms->Connected(), i == c.expectedEngine) << "engine " << c.order[i];
    }
    const size_t mark = Mark();
    peer->Disconnect();
    vt.Advance(0);
    EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{c.closedLine});
    EXPECT_FALSE(engines[c.expectedEngine]->comms->Connected());
  }
}

TEST_F(ServerTest, SecondConnectionOfTheSameDeviceTakesTheEngineAndLeavesTheFirstOpen) {
  Engine& e7 = AddEngine(7);
  auto first = Connect(5001);
  Send(*first, DeviceFrame(7, "ESYSI", 1));
  auto second = Connect(5002);
  const size_t mark = Mark();
  const std::string frame = DeviceFrame(7, "ESYSI", 2);
  Send(*second, frame);

  EXPECT_EQ(LinesFrom(mark), (std::vector<std::string>{
                                 "      127.0.0.1:5002 (7): Csomag érkezett: <" + Dec(frame) + ">.",
                                 "      127.0.0.1:5002 (7): Cím azonosítva.",
                                 "      127.0.0.1:5002 (7): A készülék magától küldött csomagot, ezért nem szólítom meg.",
                                 "      127.0.0.1:5002 (7): A készülék több socketen kapcsolódik egyszerre, az előző "
                                 "kapcsolatot (127.0.0.1:5001) figyelmen kívül hagyom.",
                             }));
  // The old binding goes down before the new one comes up.
  EXPECT_EQ(e7.events, (std::vector<std::string>{"connect", "disconnect", "connect"}));
  EXPECT_EQ(e7.comms->BoundSocket(), &second->ServerSide());
  EXPECT_EQ(e7.comms->Port, 5002);
  EXPECT_TRUE(first->IsOpen());

  // The first connection is unbound again: its bytes no longer reach the engine...
  const std::string before = e7.received;
  Send(*first, "abc");
  EXPECT_EQ(e7.received, before);
  EXPECT_EQ(Record(*first).Buffer, "abc");
  // ...until its next valid frame takes the engine back.
  Send(*first, DeviceFrame(7, "EBACK", 3));
  EXPECT_EQ(e7.comms->BoundSocket(), &first->ServerSide());
  EXPECT_EQ(LinesFrom(Mark() - 1).back(),
            "      127.0.0.1:5001 (7): A készülék több socketen kapcsolódik egyszerre, az előző kapcsolatot "
            "(127.0.0.1:5002) figyelmen kívül hagyom.");

  // The superseded connection closing leaves the engine where it is.
  const auto eventsBefore = e7.events;
  second->Disconnect();
  vt.Advance(0);
  EXPECT_EQ(LinesFrom(Mark() - 1).back(), "      127.0.0.1:5002 (7): A kapcsolat megszakadt.");
  EXPECT_EQ(e7.events, eventsBefore);
  EXPECT_EQ(e7.comms->BoundSocket(), &first->ServerSide());
}

TEST_F(ServerTest, UnknownDeviceStaysUnboundAndIsStillAsked) {
  std::vector<int32_t> unregistered;
  const TClientData* handed = nullptr;
  server->OnUnregdConnect = [&](TZEBTCPServer&, int32_t address, TClientData& data) {
    unregistered.push_back(address);
    handed = &data;
  };
  auto peer = Connect(5001);
  const std::string frame = DeviceFrame(9, "ESYSI");
  Send(*peer, frame);
  EXPECT_EQ(LinesFrom(Mark() - 1).back(), "      127.0.0.1:5001 (9): Ismeretlen című készülék.");
  EXPECT_EQ(unregistered, std::vector<int32_t>{9});
  EXPECT_EQ(handed, &Record(*peer));
  EXPECT_EQ(handed->Socket, &peer->ServerSide());
  EXPECT_EQ(handed->Server, server.get());
  EXPECT_EQ(handed->BytesReceived, frame.size());

  vt.Advance(6000);
  EXPECT_FALSE(peer->Received().empty()) << "an unknown device is still asked after 6 s";

  // An engine for it arrives; its next frame binds it, without the "spoke first" line.
  Engine& e9 = AddEngine(9);
  const size_t mark = Mark();
  const std::string again = DeviceFrame(9, "ESYSI", 10);
  Send(*peer, again);
  EXPECT_EQ(LinesFrom(mark).back(), "      127.0.0.1:5001 (9): Cím azonosítva.");
  EXPECT_EQ(e9.comms->IncomingDataCount, frame.size() + again.size()) << "every byte of the connection counts";
}

// ---- Bytes that are not frames ------------------------------------------------------------------

TEST_F(ServerTest, NoiseIsReportedAboveThreeHundredBytes) {
  struct Case {
    size_t bytes;
    bool reported;
  };
  for (const Case c : {Case{300, false}, Case{301, true}}) {
    auto peer = Connect(6000 + static_cast<uint16_t>(c.bytes));
    const std::string noise = Noise(c.bytes);
    const size_t mark = Mark();
    Send(*peer, noise);
    const std::vector<std::string> expected =
        c.reported ? std::vector<std::string>{"      127.0.0.1:" + std::to_string(6000 + c.bytes) +
                                              " (cím ismeretlen): Ismeretlen adat: <" + Dec(noise) + ">"}
                   : std::vector<std::string>{};
    EXPECT_EQ(LinesFrom(mark), expected) << c.bytes;
    EXPECT_EQ(Record(*peer).Buffer, noise);
  }
}

TEST_F(ServerTest, NoiseKeepsOnlyTheLast4096Bytes) {
  auto peer = Connect(5001);
  const std::string noise = Noise(5000);
  Send(*peer, noise);
  EXPECT_EQ(Record(*peer).Buffer, noise.substr(5000 - 4096));

  // Every later read while the buffer is large is reported again, with all it held.
  const size_t mark = Mark();
  Send(*peer, "!");
  const std::string held = noise.substr(5000 - 4096) + "!";
  EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{"      127.0.0.1:5001 (cím ismeretlen): Ismeretlen adat: <" +
                                                      Dec(held) + ">"});
  EXPECT_EQ(Record(*peer).Buffer, held.substr(1));

  // A frame after the noise still identifies the device; the noise goes to the engine too.
  Engine& e7 = AddEngine(7);
  const std::string frame = DeviceFrame(7, "ESYSI");
  Send(*peer, frame);
  EXPECT_EQ(e7.received, held.substr(1) + frame);
  EXPECT_EQ(e7.comms->IncomingDataCount, 5001 + frame.size());
}

TEST_F(ServerTest, DamagedFrameIsLoggedAndDropped) {
  Engine& e7 = AddEngine(7);
  auto peer = Connect(5001);
  std::string damaged = DeviceFrame(7, "ESYSI");
  damaged[damaged.size() - 2] = static_cast<char>(damaged[damaged.size() - 2] ^ 0x01);
  const size_t mark = Mark();
  Send(*peer, damaged);
  EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{"      127.0.0.1:5001 (cím ismeretlen): Hibás csomag: <" +
                                                      Dec(damaged) + ">"});
  EXPECT_TRUE(Record(*peer).Buffer.empty());
  EXPECT_FALSE(e7.comms->Connected());

  Send(*peer, DeviceFrame(7, "ESYSI"));
  EXPECT_TRUE(e7.comms->Connected());
}

// ---- Closing --------------------------------------------------------------------------------

TEST_F(ServerTest, ClosedAndFailedConnectionsUnbindTheirEngine) {
  struct Case {
    bool error;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {false, {"      127.0.0.1:5001 (7): A kapcsolat megszakadt."}},
      {true, {"      127.0.0.1:5001 (7): Sockethiba: 10054", "      127.0.0.1:5001 (7): A kapcsolat megszakadt."}},
  };
  for (const Case& c : cases) {
    engines.clear();
    Engine& e7 = AddEngine(7);
    auto peer = Connect(5001);
    Send(*peer, DeviceFrame(7, "ESYSI"));
    const size_t mark = Mark();
    if (c.error) {
      peer->RaiseError(10054);
    } else {
      peer->Disconnect();
    }
    vt.Advance(0);
    vt.Advance(0);
    EXPECT_EQ(LinesFrom(mark), c.lines);
    EXPECT_EQ(e7.events, (std::vector<std::string>{"connect", "disconnect"}));
    EXPECT_EQ(e7.comms->BoundSocket(), nullptr);
    EXPECT_FALSE(peer->IsOpen());
    EXPECT_EQ(server->ClientCount(), 0u);
    EXPECT_EQ(listener->ConnectionCount(), 0u);
  }
}

TEST_F(ServerTest, StoppingTheServerUnbindsEachEngineOnceWithoutClosedLines) {
  Engine& e7 = AddEngine(7);
  auto first = Connect(5001);
  Send(*first, DeviceFrame(7, "ESYSI", 1));
  auto second = Connect(5002);
  Send(*second, DeviceFrame(7, "ESYSI", 2));  // the first connection still names the engine
  auto stranger = Connect(5003);
  Send(*stranger, Noise(10));
  ASSERT_EQ(e7.events, (std::vector<std::string>{"connect", "disconnect", "connect"}));

  const size_t mark = Mark();
  server->SetActive(false);
  vt.Advance(0);
  EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{"ZEBTCPServer lezárva"});
  EXPECT_EQ(e7.events, (std::vector<std::string>{"connect", "disconnect", "connect", "disconnect"}));
  EXPECT_FALSE(e7.comms->Connected());
  EXPECT_EQ(e7.comms->BoundSocket(), nullptr);
  EXPECT_FALSE(first->IsOpen());
  EXPECT_FALSE(second->IsOpen());
  EXPECT_FALSE(stranger->IsOpen());
  EXPECT_EQ(server->ClientCount(), 0u);
  EXPECT_EQ(listener->ConnectionCount(), 0u);
}

TEST_F(ServerTest, DeactivatedEngineIsForgottenByItsConnection) {
  Engine& e7 = AddEngine(7);
  auto peer = Connect(5001);
  Send(*peer, DeviceFrame(7, "ESYSI"));
  e7.comms->SetActive(false);
  EXPECT_TRUE(server->Engines().empty());
  EXPECT_EQ(Cp1250ToUtf8(server->ClientAddressText(peer->ServerSide())), "cím ismeretlen");
  vt.Advance(0);
  EXPECT_FALSE(peer->IsOpen()) << "the engine closes the socket it was bound to";
  EXPECT_EQ(LinesFrom(Mark() - 1).back(), "      127.0.0.1:5001 (cím ismeretlen): A kapcsolat megszakadt.");
}

TEST_F(ServerTest, ServerDestroyedBeforeItsEnginesLetsThemGoSafely) {
  Engine& e7 = AddEngine(7);
  auto peer = Connect(5001);
  Send(*peer, DeviceFrame(7, "ESYSI"));
  server.reset();
  EXPECT_EQ(e7.events, (std::vector<std::string>{"connect", "disconnect"}));
  EXPECT_EQ(e7.comms->ZEBTCPServer, nullptr);
  EXPECT_FALSE(peer->IsOpen());
  e7.comms->SetActive(false);  // would reach the destroyed server otherwise
  vt.Advance(1000);
}

TEST_F(ServerTest, RegistrationIgnoresDuplicates) {
  Engine& e = AddEngine(7);
  server->RegisterComms(*e.comms);
  EXPECT_EQ(server->Engines().size(), 1u);
  server->UnregisterComms(*e.comms);
  EXPECT_TRUE(server->Engines().empty());
}

// ---- Timers ---------------------------------------------------------------------------------

TEST_F(ServerTest, IdleServerRunsNoTimers) {
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);
  auto peer = Connect(5001);
  EXPECT_EQ(vt.ActiveTimerCount(), 1u) << "the identification timer";
  vt.Advance(6000);
  EXPECT_EQ(vt.ActiveTimerCount(), 0u) << "stopped once the request went out";
  auto other = Connect(5002);
  other->Disconnect();
  vt.Advance(0);
  EXPECT_EQ(vt.ActiveTimerCount(), 0u);
}

// ---- Robustness -------------------------------------------------------------------------------

// The server's one codec keeps the header of the last frame it decoded; an identification
// request must not carry another device's header extension or short address.
TEST_F(ServerTest, IdentificationRequestsAreAlikeWhateverWasDecodedBefore) {
  auto talker = Connect(5001);
  TZEBProtocol codec;
  codec.ZEBMode = TZEBMode::PMZEBWOnly;
  codec.Cimzett = 250;
  codec.Felado = 70000;
  codec.Felado_rovid_cim = 0x70;
  codec.Header_extension = "EXT";
  codec.Disable_bitmatrix = true;
  Send(*talker, codec.Encode("ESYSI"));
  auto silent = Connect(5002);
  vt.Advance(6000);

  for (MemoryPeer* peer : {talker.get(), silent.get()}) {
    TZEBProtocol check;
    check.ZEBMode = TZEBMode::PMZEBWOnly;
    EXPECT_EQ(check.Decode(peer->Received()), "CSYSI");
    EXPECT_EQ(check.Header_extension, "");
    EXPECT_FALSE(check.Disable_bitmatrix);
    EXPECT_EQ(check.Felado_rovid_cim, 250);
  }
}

// A device that drops its connection just as the identification falls due: the write fails
// and must neither escape into the event loop nor be logged as sent.
TEST_F(ServerTest, DeviceGoneWhenIdentificationFallsDue) {
  std::shared_ptr<MemoryPeer> peer;
  auto dropper = vt.CreateTimer();
  dropper->SetSingleShot(true);
  dropper->SetInterval(6000);
  dropper->OnTimeout = [&] { peer->Disconnect(); };
  dropper->Start();  // armed before the identification timer: fires first at 6000
  peer = Connect(5001);
  const size_t mark = Mark();
  EXPECT_NO_THROW(vt.Advance(6000));
  vt.Advance(0);
  EXPECT_EQ(LinesFrom(mark), std::vector<std::string>{"      127.0.0.1:5001 (cím ismeretlen): A kapcsolat megszakadt."});
  EXPECT_EQ(server->ClientCount(), 0u);
}

TEST_F(ServerTest, HandlersMayStopTheServerWhileAFrameIsHandled) {
  Engine& e7 = AddEngine(7);
  server->OnClientDataRead = [&](TZEBTCPServer& s, uint32_t, const std::string&) { s.SetActive(false); };
  auto peer = Connect(5001);
  Send(*peer, DeviceFrame(7, "ESYSI") + Noise(5000));
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(server->ClientCount(), 0u);
  EXPECT_FALSE(e7.comms->Connected());

  // An engine handler that deactivates the engine as it comes up stops the hand-over.
  server->OnClientDataRead = nullptr;
  server->SetActive(true);
  e7.comms->OnConnect = [&](void*) { e7.comms->SetActive(false); };
  auto again = Connect(5002);
  Send(*again, DeviceFrame(7, "ESYSI"));
  EXPECT_FALSE(e7.comms->Active());
  EXPECT_TRUE(server->Engines().empty());
  EXPECT_EQ(Cp1250ToUtf8(server->ClientAddressText(again->ServerSide())), "cím ismeretlen");
}

// ---- With the simulated device -----------------------------------------------------------------

TEST_F(ServerTest, SilentSimulatedDeviceIsIdentifiedAndAnswersThroughItsEngine) {
  Engine& e = AddEngine(70000, TZEBMode::PMDecodeBothEncodeZEBW);
  e.comms->SetSerialCounters(40, 40);
  SimulatedDevice device(vt, vt);
  device.SetAddress(70000);
  for (size_t i = 0; i < 4; ++i) device.Image()[0x120 + i] = static_cast<char>(0xA0 + i);
  auto peer = listener->Connect("127.0.0.1", 40000);
  device.OnSend = [&](const std::string& bytes) { peer->Send(bytes); };
  peer->OnReceive = [&](const std::string& bytes) { device.Receive(bytes); };

  ASSERT_TRUE(vt.RunUntil([&] { return e.comms->Connected(); }, 30000));
  EXPECT_GE(vt.ElapsedMs(), 6000u) << "the device says nothing until it is asked";
  EXPECT_LT(vt.ElapsedMs(), 6010u) << "and answers at once";

  std::string answer;
  int code = -1;
  const auto done = [&](const std::string& s, uint16_t c, int) { answer = s, code = c; };
  e.comms->SendRequest(std::string("CSYRE\x20\x01\x04", 8), 0, "ASYRE", done, done, 0, 2000);
  ASSERT_TRUE(vt.RunUntil([&] { return code >= 0; }, 30000));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(answer, std::string("ASYRE\xA0\xA1\xA2\xA3", 9));
  const auto lines = LinesFrom(0);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "      127.0.0.1:40000 (70000): Cím azonosítva."), lines.end());
}

}  // namespace
