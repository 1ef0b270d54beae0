// Seeded random scenarios: random settings, device faults, timings, link losses,
// deactivations and callbacks that queue more work. Whatever happens, every request the
// engine accepted is finished exactly once with a known code, and the queue stays bounded.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "comms/ZEBComms.h"
#include "devsim/lib/SimulatedDevice.h"
#include "platform/MemoryPort.h"
#include "platform/VirtualTime.h"

namespace {

const std::set<int> kKnownCodes = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 55};

// Codes seen over all scenarios, to make sure the scenarios reach every kind of ending.
std::map<int, int>& CodesSeen() {
  static std::map<int, int> seen;
  return seen;
}

struct Tracked {
  int calls = 0;
  int code = -1;
  bool discard = false;
  bool answeredDuringEnqueue = false;
};

class Scenario {
 public:
  explicit Scenario(uint32_t seed) : rng_(seed) {}

  void Run() {
    VirtualTime vt;
    MemoryPortFactory ports(vt, vt);
    SimulatedDevice device(vt, vt);
    MemoryPort* port = nullptr;
    const uint32_t latency = Pick(4) == 0 ? Uniform(1, 30) : 0;
    const bool refuse = Pick(10) == 0;
    ports.OnCreate = [&](MemoryPort& p) {
      port = &p;
      p.LatencyMs = latency;
      p.RefuseConnect = refuse;
      p.OnPeerReceive = [&](const std::string& b) { device.Receive(b); };
      p.OnPeerClosed = [&] { device.ResetLink(); };
    };
    device.OnSend = [&](const std::string& b) {
      if (port) port->PeerSend(b);
    };

    comms_ = std::make_unique<TZEBComms>(vt, vt, &ports);
    TZEBComms& c = *comms_;
    c.Randomize(static_cast<uint32_t>(rng_()));
    c.Host = Pick(3) == 0 ? "" : "device";
    c.ZEBAddress = 1;
    c.Enable_ASYER = Pick(2) == 0;
    c.LoosePckIDCheck = Pick(2) == 0;
    c.NoPckIDCheck = Pick(4) == 0;
    c.Nyugtazas = Pick(4) != 0;
    c.Nyugtat_is_jelezze = Pick(2) == 0;
    c.LineTimeout = Pick(4) == 0 ? 40 : 0;
    c.Max_tries_cmd = static_cast<int>(Uniform(1, 4));
    c.BatchMode = Pick(5) == 0;
    c.Half_Duplex_Mode = Pick(5) == 0;
    c.QuickReconnect = Pick(2) == 0;
    c.SlowWriteMode = Pick(8) == 0;
    c.EnnyiIsmetlesUtanKapcsolatUjrafelepitese = Pick(6) == 0 ? 2 : 0;
    c.IDOfRepeatedPackets = static_cast<TIDOfRepeatedPackets>(Pick(3));
    c.Log_Raw_Data = Pick(2) == 0;
    c.SetZEBMode(Pick(2) == 0 ? TZEBMode::PMZEBOnly : TZEBMode::PMDecodeBothEncodeZEB);
    puffer_ = static_cast<int>(Uniform(1, 6));
    c.PufferSize = puffer_;
    c.OnRead = [this](const std::string&, uint16_t code, int) { EXPECT_TRUE(kKnownCodes.count(code)); };

    RandomFaults(device);
    c.SetActive(true);

    const int steps = static_cast<int>(Uniform(10, 40));
    for (int i = 0; i < steps; ++i) {
      switch (Pick(12)) {
        case 0:
        case 1:
        case 2:
        case 3:
          Submit();
          break;
        case 4:
        case 5:
        case 6:
          vt.Advance(Uniform(0, 400));
          break;
        case 7:
          c.SetActive(Pick(2) == 0);
          break;
        case 8:
          if (port) Pick(2) == 0 ? port->PeerClose() : port->PeerError(10054);
          break;
        case 9:
          Pick(2) == 0 ? device.SendEvent("EALARM", Pick(2) == 0) : device.SendRaw(std::string(Uniform(1, 20), '\xFD'));
          break;
        case 10:
          RandomFaults(device);
          break;
        default:
          vt.Advance(Uniform(0, 3));
          break;
      }
      CheckBounds();
    }
    vt.Advance(Uniform(0, 3000));

    if (Pick(5) == 0) {
      // Destroyed while possibly busy: nothing may be called from the destructor.
      destroying_ = true;
      comms_.reset();
      for (const auto& t : tracked_) EXPECT_LE(t->calls, 1);
      return;
    }
    c.SetActive(false);
    EXPECT_EQ(c.QueueCount(), 0u);
    for (size_t i = 0; i < tracked_.size(); ++i) {
      const Tracked& t = *tracked_[i];
      SCOPED_TRACE(::testing::Message() << "request " << i);
      if (t.discard && !t.answeredDuringEnqueue) {
        EXPECT_EQ(t.calls, 0);
      } else {
        EXPECT_EQ(t.calls, 1);
      }
      if (t.calls > 0) {
        EXPECT_TRUE(kKnownCodes.count(t.code)) << t.code;
      }
    }
    comms_.reset();
  }

 private:
  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  uint32_t Uniform(uint32_t lo, uint32_t hi) { return lo + Pick(hi - lo + 1); }

  void RandomFaults(SimulatedDevice& d) {
    SimulatedDeviceFaults f;
    f.noAck = Pick(4) == 0;
    f.ackWithoutAnswer = Pick(6) == 0;
    f.answerFromTry = static_cast<int>(Uniform(1, 4));
    f.nackTries = static_cast<int>(Pick(3));
    f.errorCodeTries = Pick(4) == 0 ? static_cast<int>(Uniform(1, 12)) : 0;
    f.wrongSerial = Pick(8) == 0;
    f.lateAnswerMs = Pick(4) == 0 ? Uniform(0, 500) : 0;
    f.junkBeforeFrame = Pick(6) == 0 ? std::string("\x01\x02", 2) : std::string();
    d.faults = f;
    d.SetAnswerDelayMs(Pick(3) == 0 ? Uniform(0, 200) : 0);
  }

  void CheckBounds() {
    if (comms_) {
      EXPECT_LE(comms_->QueueCount(), static_cast<size_t>(puffer_));
    }
  }

  TOnIncoming_tagged Callback(const std::shared_ptr<Tracked>& t) {
    return [this, t](const std::string&, uint16_t code, int) {
      EXPECT_FALSE(destroying_);
      ++t->calls;
      t->code = code;
      ++CodesSeen()[code];
      if (inEnqueue_) t->answeredDuringEnqueue = true;
      CheckBounds();
      // Callbacks do what the application does: send the next request, or give up.
      const uint32_t r = Pick(20);
      if (r < 3)
        Submit();
      else if (r == 3 && comms_)
        comms_->SetActive(false);
    };
  }

  void Submit() {
    if (!comms_ || depth_ > 3) return;
    ++depth_;
    auto t = std::make_shared<Tracked>();
    auto r = std::make_shared<TKuldendo>();
    const std::string echo("\x10\x00\x01", 3);
    switch (Pick(6)) {
      case 0:
        r->Packet = "CSYRE" + std::string("\x00\x00\x02", 3);
        r->ExpectedAnswer = "ASYRE";
        break;
      case 1:
        r->Packet = "CSYWE" + echo + "Z";
        r->ExpectedAnswer = "ASYWE" + echo;
        break;
      case 2:
        r->Packet = "CSYSI";
        r->ExpectedAnswer = Pick(2) == 0 ? "*" : "ASYXX";
        break;
      case 3:
        r->Packet = "CSYRP";
        break;
      case 4:
        r->Packet = "CSYWE" + std::string(Pick(8) == 0 ? 3000 : 10, 'q');
        r->ExpectedAnswer = "ASYWE";
        break;
      default:
        r->Packet = "CSYRS";
        break;
    }
    const int waits[] = {0, 0, 50, 150, 300};
    r->Wait = waits[Pick(5)];
    TPSOptions o{psoTaggedCallbacks};
    const uint32_t kind = Pick(10);
    if (kind == 0) o.Add(psoDontQueue);
    if (kind == 1) o.Add(psoFirstInQueue);
    if (kind == 2) {
      o.Add(psoForceWait);
      o.Add(psoNoRepeat);
      o.Add(psoExplicitAck);
      r->AckValue = Pick(2) == 0;
    }
    if (kind == 3) o.Add(psoDontWait);
    if (kind == 4 && r->Wait > 0) {
      o.Add(psoForceAck);
      o.Add(psoWaitAfterAck);
    }
    if (Pick(10) == 0) o.Add(psoForceWait);
    if (Pick(12) == 0) o.Add(psoIncSerialOnRepeat);
    if (Pick(15) == 0) o.Add(psoForceZEBW);
    r->Options = o;
    r->Discard = Pick(15) == 0;
    t->discard = r->Discard;
    r->OnAnswer = Callback(t);
    r->OnError = Callback(t);
    const size_t before = comms_->QueueCount();
    const bool wasOuter = !inEnqueue_;
    inEnqueue_ = true;
    bool raised = false;
    try {
      SendWith(r, comms_.get());
    } catch (const EZEBCommsError&) {
      raised = true;
    }
    if (wasOuter) inEnqueue_ = false;
    if (raised) {
      EXPECT_EQ(t->calls, 0);
      EXPECT_LE(comms_->QueueCount(), before);
    } else {
      tracked_.push_back(t);
    }
    --depth_;
  }

  std::mt19937 rng_;
  std::unique_ptr<TZEBComms> comms_;
  std::vector<std::shared_ptr<Tracked>> tracked_;
  int puffer_ = 1;
  int depth_ = 0;
  bool inEnqueue_ = false;
  bool destroying_ = false;
};

TEST(CommsRandomizedTest, EveryAcceptedRequestEndsExactlyOnce) {
  constexpr uint32_t kScenarios = 2000;
  for (uint32_t seed = 1; seed <= kScenarios; ++seed) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    Scenario(seed).Run();
    if (::testing::Test::HasFailure()) break;
  }
  std::string seen;
  for (const auto& [code, count] : CodesSeen()) seen += std::to_string(code) + ":" + std::to_string(count) + " ";
  for (int code : {0, 2, 3, 4, 5, 6, 7, 8, 9}) EXPECT_GT(CodesSeen()[code], 0) << "never ended with " << code << "; " << seen;
  std::printf("result codes seen: %s\n", seen.c_str());
}

}  // namespace
