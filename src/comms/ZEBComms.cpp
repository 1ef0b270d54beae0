// The engine's outgoing side: building and accepting requests, the frames that leave the
// engine, and finishing requests.

#include "comms/ZEBComms.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "comms/CommsText.h"
#include "log/logUnit.h"
#include "log/uNaploComponent.h"
#include "platform/Listener.h"

int64_t WallTimeToMs(const WallTime& w) {
  using namespace std::chrono;
  const sys_days day{year{w.year} / month{static_cast<unsigned>(w.month)} / 1};
  const auto t = day + days{w.day - 1} + hours{w.hour} + minutes{w.minute} + seconds{w.second} + milliseconds{w.msec};
  return duration_cast<milliseconds>(t.time_since_epoch()).count();
}

namespace {

struct OptionConflict {
  TPSOption a;
  TPSOption b;
  const char* text;
};

// Checked in this order; the first pair found names the error.
constexpr OptionConflict kConflicts[] = {
    {psoForceAck, psoDontAck, "psoForceAck, psoDontAck"},
    {psoDontAck, psoWaitAfterAck, "psoDontAck, psoWaitAfterAck"},
    {psoForceWait, psoDontWait, "psoForceWait, psoDontWait"},
    {psoForceWait, psoDontQueue, "psoForceWait, psoDontQueue"},
    {psoWaitAfterAck, psoDontWait, "psoWaitAfterAck, psoDontWait"},
    {psoDontAck, psoWaitAfterAck, "psoWaitAfterAck, psoDontAck"},
    {psoWaitAfterAck, psoDontQueue, "psoWaitAfterAck, psoDontQueue"},
    {psoDontWait, psoUsePollTimeout, "psoDontWait, psoUsePollTimeout"},
    {psoWaitAfterAck, psoDontWait, "psoDontWait, psoWaitAfterAck"},
    {psoFirstInQueue, psoDontQueue, "psoFirstInQueue, psoDontQueue"},
    {psoDontQueue, psoUsePollTimeout, "psoDontQueue, psoUsePollTimeout"},
    {psoDontLog, psoLogAsPoll, "psoDontLog, psoLogAsPoll"},
};

int WrapSerial(int serial) { return serial > 250 ? 1 : serial; }

int AbsWait(int64_t wait) { return static_cast<int>(std::min<int64_t>(std::llabs(wait), INT32_MAX)); }

}  // namespace

std::string ConflictingOptions(TPSOptions options) {
  for (const auto& c : kConflicts)
    if (options.Has(c.a) && options.Has(c.b)) return c.text;
  return {};
}

bool AckRequested(const TKuldendo& r) {
  const TPSOptions& o = r.Options;
  if (o.Has(psoExplicitAck)) return r.AckValue;
  if (o.Has(psoDontQueue)) return o.Has(psoForceAck);
  if (o.Has(psoForceAck)) return true;
  if (!r.ExpectedAnswer.empty()) return false;  // the answer itself confirms the request
  if (o.Has(psoDontWait) || o.Has(psoDontAck)) return false;
  return true;
}

void SendWith(std::shared_ptr<TKuldendo> request, TZEBComms* engine) {
  if (!request) return;
  if (!engine)
    throw EZEBCommsError(FormatText("Unassigned ZEBPort in SendWith. Pck: %s", DecText(request->Packet).c_str()));
  engine->Enqueue(std::move(request), engine);
}

TZEBComms::TZEBComms(Clock& clock, TimerFactory& timers, PortFactory* portFactory)
    : FClock(clock), FTimers(timers), FPortFactory(portFactory), FRandom(std::random_device{}()) {
  FLastSerial = static_cast<int>(RandomBelow(249)) + 1;
  FLastRxSerial = static_cast<int>(RandomBelow(249)) + 1;
  WireTimers();
}

TZEBComms::~TZEBComms() {
  FDestroying = true;
  LogWriter = nullptr;
  LogMemo = nullptr;
  FNaploKomponens = nullptr;
  for (Timer* t : {FSendTimer.get(), FAnswerTimer.get(), FQueueTimer.get(), FReconnectTimer.get(), FPollTimer.get(),
                   FProcessTimer.get(), FSlowWriteTimer.get()}) {
    t->Stop();
    t->OnTimeout = nullptr;
  }
  if (FPort) {
    FPort->OnDataAvailable = nullptr;
    FPort->OnConnected = nullptr;
    FPort->OnDisconnected = nullptr;
    FPort->OnError = nullptr;
  }
  if (FActive) SetActive(false);
  if (FPort) {
    try {
      FPort->Close();
    } catch (...) {
    }
    FPort.reset();
  }
  if (FBoundSocket && FBoundSocket->IsConnected()) FBoundSocket->Close();
  FBoundSocket = nullptr;
}

void TZEBComms::Randomize(uint32_t seed) {
  FRandom.seed(seed);
  FLastSerial = static_cast<int>(RandomBelow(249)) + 1;
  FLastRxSerial = static_cast<int>(RandomBelow(249)) + 1;
}

void TZEBComms::SetSerialCounters(int lastSerial, int lastRxSerial, int lastAckSerial, int quickSerial) {
  FLastSerial = lastSerial;
  FLastRxSerial = lastRxSerial;
  FLastAckSerial = lastAckSerial;
  FQuickSerial = quickSerial;
}

uint32_t TZEBComms::RandomBelow(uint32_t bound) {
  return bound == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, bound - 1)(FRandom);
}

const TKuldendo* TZEBComms::QueueItem(size_t index) const {
  return index < FQueue.size() ? FQueue[index].get() : nullptr;
}

void TZEBComms::SetZEBMode(TZEBMode mode) {
  FRxProtocol.ZEBMode = mode;
  FTxProtocol.ZEBMode = mode;
}

void TZEBComms::SetNaploKomponens(TNaploComponent* component) {
  if (!component && FNaploKomponens && LogWriter == &FNaploKomponens->Naplo()) LogWriter = nullptr;
  FNaploKomponens = component;
  if (component) LogWriter = &component->Naplo();
}

// ---- Building requests ------------------------------------------------------------------

void TZEBComms::SendRequest(const std::string& Packet, uint32_t Address, const std::string& ExpectedAnswer,
                            TOnIncoming_tagged OnAnswer, TOnIncoming_tagged OnError, int Tag, int Wait,
                            bool IncSerialOnRepeat) {
  auto r = std::make_shared<TKuldendo>();
  r->Packet = Packet;
  r->Address = Address;
  r->ExpectedAnswer = ExpectedAnswer;
  r->OnAnswer = std::move(OnAnswer);
  r->OnError = std::move(OnError);
  r->Tag = Tag;
  r->Wait = AbsWait(Wait);
  r->Options.Add(psoTaggedCallbacks);
  if (IncSerialOnRepeat) r->Options.Add(psoIncSerialOnRepeat);
  if (r->ExpectedAnswer == "#") {
    r->ExpectedAnswer = "*";
    r->Options.Add(psoForceWait);
  }
  if (r->Wait > 0) {
    r->Options.Add(psoForceAck);
    r->Options.Add(psoWaitAfterAck);
    if (r->ExpectedAnswer.empty()) r->Options.Add(psoForceWait);
  }
  Enqueue(std::move(r), this);
}

void TZEBComms::SendCommand(const std::string& Packet, bool Ack, uint32_t Address) {
  auto r = std::make_shared<TKuldendo>();
  r->Packet = Packet;
  r->Address = Address;
  r->Options = {psoForceWait, psoNoRepeat, psoExplicitAck};
  r->AckValue = Ack;
  Enqueue(std::move(r), this);
}

// ---- Accepting requests -------------------------------------------------------------------

void TZEBComms::Enqueue(std::shared_ptr<TKuldendo> request, TZEBComms* origin) {
  if (!request) return;
  TKuldendo& r = *request;
  if (r.Address == 0) r.Address = ZEBAddress != 0 ? ZEBAddress : 1;
  // Callers that fill the request themselves may hand a negative wait; every wait computed
  // from it assumes a length, and a negative one would otherwise read as weeks.
  r.Wait = AbsWait(r.Wait);

  const bool dontQueue = r.Options.Has(psoDontQueue);
  // A deactivation in progress counts as inactive, so that callbacks fired while the queue
  // is being emptied cannot refill it.
  if (!FActive || FDeactivating) return Refuse(r, zeb_result::NotActive, "NEM AKTIV");
  if (dontQueue && !FConnected) return Refuse(r, zeb_result::NoConnection, "NINCS KAPCS");
  if (!dontQueue && FQueue.size() >= static_cast<size_t>(std::max(PufferSize, 0)))
    return Refuse(r, zeb_result::QueueFullOrWriteError, "PUFFER TELE");
  if (r.Options.Has(psoFirstInQueue) && FSendTimer->IsActive() && (FWaitState == 1 || FWaitState == 2))
    return Refuse(r, zeb_result::Refused, "NEM PAUSED");

  if (r.ObjTag && !r.OnResult)
    throw EZEBCommsError("Use of ObjTag without specifing OnResult: " + DecText(r.Packet));
  const std::string conflict = ConflictingOptions(r.Options);
  if (!conflict.empty())
    throw EZEBCommsError(FormatText("Invalid options: %s (%s)", conflict.c_str(), DecText(r.Packet).c_str()));

  r.Origin = origin;
  if (dontQueue) return QuickCommand(request);
  if (r.Options.Has(psoFirstInQueue))
    FQueue.push_front(std::move(request));
  else
    FQueue.push_back(std::move(request));
  if (!FSendTimer->IsActive()) FSendTimer->Start();
}

void TZEBComms::Refuse(TKuldendo& r, uint16_t code, const char* text) {
  LogPacket(text, zeb_log::Request, 0, !r.Options.Has(psoDontLog), r.Packet, -1, r.Address, -1, -1);
  if (FDestroying) return;
  if (r.Options.Has(psoTaggedCallbacks)) {
    if (r.OnError) r.OnError(std::string(), code, r.Tag);
  } else if (r.OnResult) {
    r.OnResult(*this, std::string(), code, r.Tag, r.ObjTag, r.TagStr);
  }
}

void TZEBComms::QuickCommand(const std::shared_ptr<TKuldendo>& request) {
  TKuldendo& r = *request;
  if (!r.Options.Has(psoKeepSerial)) {
    // Well away from the serials in use, so that a late answer is not taken for this one.
    int s = FQuickSerial;
    do {
      s = WrapSerial(s + 1);
    } while (std::abs(s - FLastSerial) <= 10 || std::abs(s - FLastRxSerial) <= 10);
    r.Serial = s;
  }
  LogPacket("GYORSPARANCS", zeb_log::Transmission, 0, !r.Options.Has(psoDontLog), r.Packet, -1, r.Address, -1,
            r.Serial);
  if (r.OnBeforeSend && !FDestroying) r.OnBeforeSend(r, *this);
  const uint16_t code =
      QuickSend(r.Packet, AckRequested(r) ? TInfo::kerek_nyugtat : TInfo::nem_kerek_nyugtat,
                r.Options.Has(psoNoASYER) ? 1 : 0, r.Options.Has(psoDisableBitmatrix), r.Serial, r.Address);
  if (FDestroying) return;
  if (r.Options.Has(psoTaggedCallbacks)) {
    const TOnIncoming_tagged& cb = code == 0 ? r.OnAnswer : r.OnError;
    if (cb) cb(std::string(), code, r.Tag);
  } else if (r.OnResult) {
    r.OnResult(*this, std::string(), code, r.Tag, r.ObjTag, r.TagStr);
  }
}

// ---- Frames leaving the engine ----------------------------------------------------------------

uint16_t TZEBComms::Encode(TZEBProtocol& codec, const std::string& payload, std::string& frame) {
  try {
    frame = codec.Encode(payload);
  } catch (const std::exception&) {
    return zeb_result::TooLong;
  }
  return zeb_result::Ok;
}

// Both send paths go through the one sending codec; its header fields are set right before
// every encode, so nothing of an earlier frame leaks into this one.
uint16_t TZEBComms::EncodeTx(const std::string& Payload, TInfo Info, int ASYERMode, bool DisableBitmatrix,
                             int serial, uint32_t Destination, std::string& frame) {
  FTxProtocol.Cimzett = Destination;
  FTxProtocol.Felado = ZEB_PC_ADDRESS;
  FTxProtocol.Enable_ASYER = ASYERMode == 0 ? Enable_ASYER : false;
  FTxProtocol.Disable_bitmatrix = DisableBitmatrix;
  FTxProtocol.Info = Info;
  FTxProtocol.CsomagSorszam = static_cast<uint8_t>(serial);
  return Encode(FTxProtocol, Payload, frame);
}

uint16_t TZEBComms::SendFrame(const std::string& Payload, TInfo Info, int Variant, bool OverrideVariant,
                              int ASYERMode, bool DisableBitmatrix, int Serial, uint32_t Destination) {
  if (!FConnected) return zeb_result::NoConnection;
  if (!FActive) return zeb_result::NotActive;

  int serial;
  if (Serial >= 0) {
    serial = Serial & 0xFF;
  } else {
    serial = WrapSerial(FLastSerial + 1);
    // Never reuse the serial of the acknowledgement just sent: the device would take the
    // new frame for a repeat.
    if (serial == FLastAckSerial) serial = WrapSerial(serial + 1);
  }
  if (Info == TInfo::pozitiv_nyugta)
    FLastAckSerial = serial;
  else
    FLastSerial = serial;

  const TZEBMode mode = FTxProtocol.ZEBMode;
  if (OverrideVariant)
    FTxProtocol.ZEBMode = Variant == 0 ? TZEBMode::PMDecodeBothEncodeZEB : TZEBMode::PMDecodeBothEncodeZEBW;
  std::string frame;
  const uint16_t encoded = EncodeTx(Payload, Info, ASYERMode, DisableBitmatrix, serial, Destination, frame);
  FTxProtocol.ZEBMode = mode;
  if (encoded != 0) return encoded;

  FLastFrameSent = frame;
  if (Info != TInfo::pozitiv_nyugta) FWaitFromAddress = Destination;
  FLastSendTime = NowMs();
  return PutFrame(frame) == 0 ? zeb_result::Ok : zeb_result::QueueFullOrWriteError;
}

uint16_t TZEBComms::QuickSend(const std::string& Payload, TInfo Info, int ASYERMode, bool DisableBitmatrix,
                              int Serial, uint32_t Destination) {
  if (!FConnected) return zeb_result::NoConnection;
  if (!FActive) return zeb_result::NotActive;

  const int serial = Serial >= 0 ? (Serial & 0xFF) : FQuickSerial;
  FQuickSerial = serial;
  std::string frame;
  const uint16_t encoded = EncodeTx(Payload, Info, ASYERMode, DisableBitmatrix, serial, Destination, frame);
  if (encoded != 0) return encoded;

  FQuickFrameSent = frame;
  FQuickDestination = Destination;
  FQuickSendTime = NowMs();
  return PutFrameDirect(frame) == 0 ? zeb_result::Ok : zeb_result::QueueFullOrWriteError;
}

int TZEBComms::NextSerial(int serial) const { return WrapSerial(serial + 1); }

void TZEBComms::ApplyRepeatSerialRule(TKuldendo& r) {
  const bool increment =
      IDOfRepeatedPackets == TIDOfRepeatedPackets::irpAlwaysIncrement ||
      (IDOfRepeatedPackets == TIDOfRepeatedPackets::irpUseParameter && r.Options.Has(psoIncSerialOnRepeat));
  if (increment) r.Serial = NextSerial(r.Serial);
}

uint16_t TZEBComms::TransmitHead(TKuldendo& head, bool ack) {
  const bool forceW = head.Options.Has(psoForceZEBW);
  const bool overrideVariant = forceW || head.Options.Has(psoForceZEB);
  const uint16_t r =
      SendFrame(head.Packet, ack ? TInfo::kerek_nyugtat : TInfo::nem_kerek_nyugtat, forceW ? 1 : 0, overrideVariant,
                head.Options.Has(psoNoASYER) ? 1 : 0, head.Options.Has(psoDisableBitmatrix), head.Serial, head.Address);
  head.SendTick = FClock.TickMs();
  return r;
}

// ---- Finishing requests -------------------------------------------------------------------------

void TZEBComms::CompleteRequest(size_t index, uint16_t code, bool ackFlag, const std::string& answer) {
  if (index >= FQueue.size()) return;
  std::shared_ptr<TKuldendo> r = FQueue[index];
  const int tag = r->Tag;
  const std::string tagStr = r->TagStr;
  void* const objTag = r->ObjTag;
  const TOnZEBCmdResult onResult = r->OnResult;
  bool tagged = r->Options.Has(psoTaggedCallbacks);
  const bool discard = r->Discard;
  TOnIncoming_tagged callback;
  if (!discard) callback = code == 0 ? r->OnAnswer : r->OnError;

  // Removed before calling back, so the callback sees the queue without it.
  FQueue.erase(FQueue.begin() + static_cast<std::ptrdiff_t>(index));
  r.reset();

  if (discard) return;
  if (code == 0 && !callback && !onResult) {
    tagged = true;
    if (!(ackFlag && !Nyugtat_is_jelezze)) callback = OnRead;
  }
  const std::string text = ackFlag && Nyugtat_is_jelezze ? std::string("CSYAC") : answer;
  if (FDestroying) return;
  if (tagged) {
    if (callback) callback(text, code, tag);
  } else if (onResult) {
    onResult(*this, text, code, tag, objTag, tagStr);
  }
}

void TZEBComms::GoIdle() {
  FWaitState = 0;
  if (!FSendTimer->IsActive()) FSendTimer->Start();
}
