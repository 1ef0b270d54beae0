#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "log/LogTextView.h"
#include "platform/MemoryPort.h"
#include "platform/VirtualTime.h"
#include "protocol/ZEBProtocol.h"

// One frame the engine wrote, as the far end of the link saw it.
struct SentFrame {
  uint64_t at = 0;  // virtual ms since the test started
  std::string raw;
  bool ok = false;
  std::string payload;
  TInfo info = TInfo::nem_kerek_nyugtat;
  int serial = 0;
  uint32_t dest = 0;
  bool w = false;
};

// What a completion callback received.
struct Outcome {
  int calls = 0;
  std::string answer;
  int code = -1;
  uint64_t at = 0;
};

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// An engine on a TCP-client link to a simulated device (address 1), all in virtual time.
// Tests that play the device themselves take it off the link and inject frames.
class CommsTest : public ::testing::Test {
 protected:
  CommsTest() {
    ports.OnCreate = [this](MemoryPort& p) {
      port = &p;
      p.OnPeerReceive = [this](const std::string& b) {
        Record(b);
        if (deviceOnLink) device.Receive(b);
      };
      p.OnPeerClosed = [this] { device.ResetLink(); };
    };
    device.OnSend = [this](const std::string& b) {
      if (port && deviceOnLink) port->PeerSend(b);
    };
    comms = std::make_unique<TZEBComms>(vt, vt, &ports);
    comms->Host = "device";
    comms->Port = 1001;
    comms->ZEBAddress = 1;
    comms->Nyugtazas = true;
    comms->LogMemo = &memo;
    comms->Randomize(7);
  }
  ~CommsTest() override { comms.reset(); }

  void Connect() {
    comms->SetActive(true);
    vt.Advance(0);
    ASSERT_TRUE(comms->Connected());
  }

  uint64_t Now() const { return vt.ElapsedMs(); }

  TOnIncoming_tagged Capture(Outcome& o) {
    return [this, &o](const std::string& s, uint16_t code, int) {
      ++o.calls;
      o.answer = s;
      o.code = code;
      o.at = Now();
    };
  }

  void Record(const std::string& bytes) {
    SentFrame f;
    f.at = Now();
    f.raw = bytes;
    TZEBProtocol codec;
    codec.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
    f.payload = codec.Decode(bytes);
    f.ok = codec.DecodeResult == 0;
    f.info = codec.Info;
    f.serial = codec.CsomagSorszam;
    f.dest = codec.Cimzett;
    f.w = codec.LastFrameWasW;
    sent.push_back(f);
  }

  // Frames other than acknowledgements, i.e. the transmissions of requests.
  std::vector<SentFrame> Transmissions() const {
    std::vector<SentFrame> out;
    for (const auto& f : sent)
      if (f.ok && f.info != TInfo::pozitiv_nyugta) out.push_back(f);
    return out;
  }

  // A frame as a device would send it.
  static std::string DeviceFrame(const std::string& payload, TInfo info, int serial, uint32_t source = 1,
                                 uint32_t dest = 250, bool w = false) {
    TZEBProtocol codec;
    codec.ZEBMode = w ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
    codec.Cimzett = dest;
    codec.Felado = source;
    codec.Felado_rovid_cim = static_cast<uint8_t>(source);
    codec.Info = info;
    codec.CsomagSorszam = static_cast<uint8_t>(serial);
    return codec.Encode(payload);
  }

  void Inject(const std::string& bytes) { port->PeerSend(bytes); }

  // Memo lines without their "hh:nn:ss.zzz " stamp.
  std::vector<std::string> MemoTexts() const {
    std::vector<std::string> out;
    for (const auto& l : memo.Lines()) out.push_back(l.size() >= 13 ? l.substr(13) : l);
    return out;
  }
  bool MemoHas(const std::string& part) const {
    for (const auto& l : memo.Lines())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  int MemoCount(const std::string& part) const {
    int n = 0;
    for (const auto& l : memo.Lines())
      if (l.find(part) != std::string::npos) ++n;
    return n;
  }

  static std::string ReadPacket(int address, int size) {
    return "CSYRE" + Bytes({address & 0xFF, address >> 8, size});
  }

  VirtualTime vt;
  MemoryPortFactory ports{vt, vt};
  SimulatedDevice device{vt, vt};
  MemoryLogTextView memo;
  MemoryPort* port = nullptr;
  std::vector<SentFrame> sent;
  bool deviceOnLink = true;
  std::unique_ptr<TZEBComms> comms;
};
