#include "SimulatedDevice.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

// A receive buffer fed with noise that never completes a frame must not grow without end.
constexpr size_t kRxLimit = 16384;
constexpr size_t kRxKeep = 4096;

const char* InfoName(TInfo info) {
  switch (info) {
    case TInfo::nem_kerek_nyugtat: return "nem_kerek_nyugtat";
    case TInfo::kerek_nyugtat: return "kerek_nyugtat";
    case TInfo::pozitiv_nyugta: return "pozitiv_nyugta";
    case TInfo::negativ_nyugta: return "negativ_nyugta";
    case TInfo::ismetelt_csomag: return "ismetelt_csomag";
  }
  return "?";
}

std::string Hex(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// The five command letters read as text, the raw bytes behind them in hex.
std::string PayloadText(std::string_view payload) {
  size_t letters = 0;
  while (letters < payload.size() && letters < 5 && payload[letters] >= 0x21 && payload[letters] <= 0x7E) {
    ++letters;
  }
  std::string out(payload.substr(0, letters));
  if (payload.size() > letters) {
    if (!out.empty()) out += ' ';
    out += Hex(payload.substr(letters));
  }
  return out;
}

uint8_t NextSerial(uint8_t serial) { return static_cast<uint8_t>(serial % 250 + 1); }

}  // namespace

struct SimulatedDevice::Incoming {
  std::string payload;
  TInfo info;
  uint8_t serial;
  uint32_t source;
  uint32_t dest;
  bool longVariant;
  bool asyer;
};

struct SimulatedDevice::Pending {
  std::unique_ptr<Timer> timer;
  std::string bytes;
  std::string trace;
  uint64_t* counter = nullptr;
};

SimulatedDevice::SimulatedDevice(Clock& clock, TimerFactory& timers)
    : clock_(clock), timers_(timers), image_(kImageSize, '\0') {
  rx_.ZEBMode = TZEBMode::PMDecodeBothEncodeZEB;
}

SimulatedDevice::~SimulatedDevice() {
  for (auto& p : pending_) {
    p->timer->OnTimeout = nullptr;
    p->timer->Stop();
  }
}

void SimulatedDevice::SetAddress(uint32_t address) {
  if (address == 0 || (address > 250 && address <= 255)) {
    throw std::invalid_argument("device address must be 1..250 or above 255");
  }
  address_ = address;
}

size_t SimulatedDevice::PendingAnswers() const {
  size_t n = 0;
  for (const auto& p : pending_) n += p->timer->IsActive() ? 1 : 0;
  return n;
}

void SimulatedDevice::Receive(std::string_view bytes) {
  rxBuffer_.append(bytes);
  if (rxBuffer_.size() > kRxLimit) {
    Trace("RX buffer overflow, " + std::to_string(rxBuffer_.size() - kRxKeep) + " bytes dropped");
    rxBuffer_.erase(0, rxBuffer_.size() - kRxKeep);
  }
  // A transport may loop our own output straight back in; the running pass picks it up.
  if (receiving_) return;
  receiving_ = true;
  try {
    for (;;) {
      std::string frame = rx_.ExtractFrame(rxBuffer_);
      if (frame.empty()) break;
      HandleFrame(frame, rx_.SkippedBytes);
    }
  } catch (...) {
    receiving_ = false;
    throw;
  }
  receiving_ = false;
}

void SimulatedDevice::HandleFrame(const std::string& frame, const std::string& skipped) {
  ++counters_.framesReceived;
  if (!skipped.empty()) Trace("RX junk " + Hex(skipped));

  std::string payload = rx_.Decode(frame);
  if (rx_.DecodeResult != 0) {
    ++counters_.framesBad;
    Trace("RX bad frame (" + DecodeResultText(rx_.DecodeResult) + ") " + Hex(frame));
    return;
  }
  Incoming in{std::move(payload), rx_.Info, rx_.CsomagSorszam, rx_.Felado, rx_.Cimzett,
              rx_.LastFrameWasW, rx_.LastFrameWasW && rx_.Enable_ASYER};
  Trace(std::string("RX ") + (in.longVariant ? "ZEBW " : "ZEB ") + std::to_string(in.source) + "->" +
        std::to_string(in.dest) + " #" + std::to_string(in.serial) + " " + InfoName(in.info) +
        (in.payload.empty() ? "" : " " + PayloadText(in.payload)));

  if (in.dest != address_ && in.dest != ZEB_BROADCAST_ADDRESS) {
    Trace("   not for this device");
    return;
  }
  ++counters_.framesForMe;
  if (in.info == TInfo::pozitiv_nyugta || in.info == TInfo::negativ_nyugta ||
      in.info == TInfo::ismetelt_csomag) {
    return;  // the PC acknowledging one of our events; nothing to do
  }
  Serve(in);
}

void SimulatedDevice::Serve(const Incoming& in) {
  const bool longVariant = IsLongAddress() || in.longVariant;
  const bool askAck = in.info == TInfo::kerek_nyugtat;
  const uint32_t answerDelay = answerDelayMs_ + faults.lateAnswerMs;
  const uint8_t answerSerial = faults.wrongSerial ? NextSerial(in.serial) : in.serial;

  // The PC repeats a request whose answer it missed: answer again, do not execute twice.
  if (served_ && in.source == servedFrom_ && in.serial == servedSerial_ && in.payload == servedPayload_) {
    ++counters_.repeatsServed;
    Trace("   repeat of the request served last");
    // Only the long variant has room for the repeated-packet kind; a short frame would
    // carry it as a plain packet.
    if (askAck && !faults.noAck) {
      SendFrame("", longVariant ? TInfo::ismetelt_csomag : TInfo::pozitiv_nyugta, in.serial, in.source,
                longVariant, 0, &counters_.acksSent);
    }
    if (servedHasAnswer_ && !faults.ackWithoutAnswer) {
      SendFrame(servedAnswer_, TInfo::nem_kerek_nyugtat, answerSerial, in.source, longVariant, answerDelay,
                &counters_.answersSent);
    }
    return;
  }

  if (in.source != tryFrom_ || in.payload != tryPayload_) {
    tryFrom_ = in.source;
    tryPayload_ = in.payload;
    tries_ = 0;
  }
  const int tryNo = ++tries_;
  if (tryNo < faults.answerFromTry) {
    Trace("   try " + std::to_string(tryNo) + " left unanswered");
    return;
  }
  int stage = tryNo - std::max(faults.answerFromTry, 1);
  if (stage < faults.nackTries) {
    SendFrame("", TInfo::negativ_nyugta, in.serial, in.source, longVariant, 0, &counters_.nacksSent);
    return;
  }
  stage -= faults.nackTries;
  const bool errorAnswer = stage < faults.errorCodeTries;

  if (askAck && !faults.noAck) {
    SendFrame("", TInfo::pozitiv_nyugta, in.serial, in.source, longVariant, 0, &counters_.acksSent);
  }

  if (errorAnswer) {
    // Refused with an error code: nothing is executed and the request stays open.
    std::string answer = "A" + in.payload.substr(1, 4) + faults.errorCode;
    if (!faults.ackWithoutAnswer) {
      SendFrame(answer, TInfo::nem_kerek_nyugtat, answerSerial, in.source, longVariant, answerDelay,
                &counters_.answersSent);
    }
    return;
  }

  bool hasAnswer = false;
  bool restart = false;
  std::string answer = Execute(in, hasAnswer, restart);
  tries_ = 0;
  tryPayload_.clear();

  if (restart) {
    ++counters_.restarts;
    Trace("   restarting");
    ResetLink();
    return;
  }
  served_ = true;
  servedFrom_ = in.source;
  servedSerial_ = in.serial;
  servedPayload_ = in.payload;
  servedAnswer_ = answer;
  servedHasAnswer_ = hasAnswer;
  if (hasAnswer && !faults.ackWithoutAnswer) {
    SendFrame(answer, TInfo::nem_kerek_nyugtat, answerSerial, in.source, longVariant, answerDelay,
              &counters_.answersSent);
  }
}

std::string SimulatedDevice::Execute(const Incoming& in, bool& hasAnswer, bool& restart) {
  const std::string& p = in.payload;
  const std::string cmd = p.substr(0, 5);
  hasAnswer = true;
  restart = false;

  auto rangeOk = [&](size_t& addr, size_t& size) {
    addr = static_cast<unsigned char>(p[5]) | (static_cast<unsigned char>(p[6]) << 8);
    size = static_cast<unsigned char>(p[7]);
    return addr + size <= kImageSize;
  };
  size_t addr = 0;
  size_t size = 0;
  if (cmd == "CSYRE" && p.size() == 8 && rangeOk(addr, size)) {
    return "ASYRE" + image_.substr(addr, size);
  }
  if (cmd == "CSYWE" && p.size() >= 8 && rangeOk(addr, size) && p.size() == 8 + size) {
    image_.replace(addr, size, p, 8, size);
    return "ASYWE" + p.substr(5, 3);
  }
  if (p == "CSYSI") return "ASYSI" + identity_;
  if (p == "CSYRP") {
    ++counters_.parameterReloads;
    return "ASYRP";
  }
  if (p == "CSYRS") {
    hasAnswer = false;
    restart = true;
    return {};
  }
  Trace("   cannot serve " + PayloadText(p));
  hasAnswer = in.asyer;
  return "ASYER" + cmd;
}

void SimulatedDevice::SendFrame(std::string_view payload, TInfo info, uint8_t serial, uint32_t dest,
                                bool longVariant, uint32_t delayMs, uint64_t* counter) {
  tx_.ZEBMode = longVariant ? TZEBMode::PMZEBWOnly : TZEBMode::PMZEBOnly;
  tx_.Cimzett = dest;
  tx_.Felado = address_;
  tx_.Felado_rovid_cim = static_cast<uint8_t>(address_ & 0xFF);
  tx_.CsomagSorszam = serial;
  tx_.Info = info;
  tx_.Enable_ASYER = false;
  tx_.Disable_bitmatrix = false;
  tx_.Header_extension.clear();
  std::string frame = tx_.Encode(payload);
  std::string trace = std::string("TX ") + (longVariant ? "ZEBW " : "ZEB ") + std::to_string(address_) + "->" +
                      std::to_string(dest) + " #" + std::to_string(tx_.CsomagSorszam) + " " + InfoName(info) +
                      (payload.empty() ? "" : " " + PayloadText(payload));
  std::string bytes = faults.junkBeforeFrame + frame;
  if (delayMs == 0) {
    if (counter) ++*counter;
    Trace(trace);
    Emit(bytes);
    return;
  }
  SendLater(std::move(bytes), std::move(trace), delayMs, counter);
}

void SimulatedDevice::SendLater(std::string bytes, std::string traceLine, uint32_t delayMs, uint64_t* counter) {
  // Timers are reused rather than destroyed, since a timer may not be destroyed from
  // inside its own expiry.
  Pending* slot = nullptr;
  for (auto& p : pending_) {
    if (!p->timer->IsActive()) {
      slot = p.get();
      break;
    }
  }
  if (!slot) {
    pending_.push_back(std::make_unique<Pending>());
    slot = pending_.back().get();
    slot->timer = timers_.CreateTimer();
    slot->timer->SetSingleShot(true);
    slot->timer->OnTimeout = [this, slot] {
      std::string out = std::move(slot->bytes);
      if (slot->counter) ++*slot->counter;
      Trace(slot->trace);
      Emit(out);
    };
  }
  slot->bytes = std::move(bytes);
  slot->trace = std::move(traceLine);
  slot->counter = counter;
  slot->timer->SetInterval(delayMs);
  slot->timer->Start();
}

void SimulatedDevice::SendEvent(std::string_view payload, bool askAck) {
  eventSerial_ = NextSerial(eventSerial_);
  SendFrame(payload, askAck ? TInfo::kerek_nyugtat : TInfo::nem_kerek_nyugtat, eventSerial_, ZEB_PC_ADDRESS,
            IsLongAddress(), 0, &counters_.eventsSent);
}

void SimulatedDevice::SendIdentification() { SendEvent("ESYSI" + identity_); }

void SimulatedDevice::SendRaw(std::string_view bytes) {
  Trace("TX raw " + Hex(bytes));
  Emit(std::string(bytes));
}

void SimulatedDevice::ResetLink() {
  rxBuffer_.clear();
  for (auto& p : pending_) p->timer->Stop();
  tries_ = 0;
  tryPayload_.clear();
  served_ = false;
  servedPayload_.clear();
  servedAnswer_.clear();
}

void SimulatedDevice::Emit(const std::string& bytes) {
  if (OnSend) OnSend(bytes);
}

void SimulatedDevice::Trace(const std::string& line) {
  if (!OnTrace) return;
  WallTime t = clock_.Now();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.msec);
  OnTrace(stamp + line);
}
