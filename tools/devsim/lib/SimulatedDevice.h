#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Timer.h"
#include "protocol/ZEBProtocol.h"

// Misbehaviour that can be switched on at any time, so that every way an engine has to
// cope with a device can be produced on demand.
//
// Each request is counted by its tries: consecutive frames from the same source with the
// same payload are tries of one request; the count starts again after the device has served
// the request or when a different payload arrives (so a request the PC gave up on and sends
// again unchanged goes on counting). A try passes through these stages in order:
//   tries 1 .. answerFromTry-1          silence (no acknowledgement, no answer)
//   the next nackTries tries            a negative acknowledgement with the frame's serial
//   the next errorCodeTries tries       served normally, but the answer carries errorCode
//                                       after the five answer letters instead of its data
//   every later try                     served normally
struct SimulatedDeviceFaults {
  bool noAck = false;              // never acknowledges (answers still go out)
  bool ackWithoutAnswer = false;   // acknowledges, never answers
  int answerFromTry = 1;           // 1: every try is served
  int nackTries = 0;
  int errorCodeTries = 0;
  std::string errorCode = std::string(1, '\xFF');
  bool wrongSerial = false;        // answers carry the request's serial + 1 (250 -> 1)
  uint32_t lateAnswerMs = 0;       // added to the answer delay; the acknowledgement stays prompt
  std::string junkBeforeFrame;     // bytes written in front of every frame the device sends
};

// A field device of the family without any transport: bytes from the link go into
// Receive(), bytes for the link come out of OnSend (possibly from inside Receive() when
// nothing is delayed, so a transport must not feed them back synchronously).
//
// What the device does with a frame:
// - Frames that do not decode are dropped silently (counted in framesBad).
// - A frame is for the device when its destination is the device's address or the
//   broadcast 255; anything else is ignored after counting.
// - A frame that asks for an acknowledgement is acknowledged (pozitiv_nyugta, empty
//   payload, the frame's serial). When the same frame (source, serial and payload) arrives
//   again right after it was served, the device does not execute it again: it acknowledges
//   it (with ismetelt_csomag in the long variant, pozitiv_nyugta in the short one, whose
//   two kind bits cannot carry it) and sends the kept answer again.
// - Answers go to the frame's source with the frame's serial and without asking for an
//   acknowledgement, after the answer delay (0 by default: at once).
// - Variant: a short-address device (1..250) understands both variants and answers in the
//   variant of the request (a long-address answer from a short address is what the engine
//   sees as "ROSSZ CIM"); a long-address device (above 255) always sends long-address
//   frames, with Felado_rovid_cim = the low byte of its address.
//
// Commands and answers (payload = five letters + raw bytes):
//   CSYRE lo hi n         -> ASYRE + the n image bytes from address hi*256+lo
//   CSYWE lo hi n data    -> the n bytes stored, ASYWE lo hi n
//   CSYSI                 -> ASYSI + Identity()
//   CSYRP                 -> parameters re-read (counted), ASYRP
//   CSYRS                 -> restart (counted): acknowledged, no answer; kept receive bytes,
//                            pending answers and the repeat memory are dropped
//   a request it cannot serve (unknown command, wrong length, beyond the 4097-byte image):
//                         -> acknowledged; answered "ASYER" + the five command letters only
//                            when the request had Enable_ASYER set, otherwise no answer
// On its own the device sends events (payloads beginning with "E"), e.g. SendIdentification
// sends "ESYSI" + Identity() to the PC, the frame a device sends after connecting so that a
// server can tell who it is.
class SimulatedDevice {
 public:
  static constexpr size_t kImageSize = 4097;

  struct Counters {
    uint64_t framesReceived = 0;  // frames cut out of the byte stream, good or bad
    uint64_t framesBad = 0;       // frames that did not decode
    uint64_t framesForMe = 0;     // decoded and addressed to the device or broadcast
    uint64_t acksSent = 0;        // positive acknowledgements and repeated-packet notices
    uint64_t nacksSent = 0;
    uint64_t answersSent = 0;
    uint64_t eventsSent = 0;
    uint64_t restarts = 0;
    uint64_t parameterReloads = 0;
    uint64_t repeatsServed = 0;   // requests answered from the repeat memory
  };

  SimulatedDevice(Clock& clock, TimerFactory& timers);
  ~SimulatedDevice();
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // 1..250 (short address) or above 255 (long address); throws std::invalid_argument for
  // 0 and 251..255.
  void SetAddress(uint32_t address);
  uint32_t Address() const { return address_; }
  bool IsLongAddress() const { return address_ > 255; }

  // Time between a request and its answer; the acknowledgement is never delayed.
  void SetAnswerDelayMs(uint32_t ms) { answerDelayMs_ = ms; }
  uint32_t AnswerDelayMs() const { return answerDelayMs_; }

  void SetIdentity(std::string identity) { identity_ = std::move(identity); }
  const std::string& Identity() const { return identity_; }

  // The EEPROM image, kImageSize bytes.
  std::string& Image() { return image_; }
  const std::string& Image() const { return image_; }

  SimulatedDeviceFaults faults;

  // Bytes from the link, in any chunking.
  void Receive(std::string_view bytes);
  // Sends an unsolicited frame to the PC (250) now, with the device's own serial numbers.
  void SendEvent(std::string_view payload, bool askAck = false);
  void SendIdentification();
  // Writes bytes as they are, no framing.
  void SendRaw(std::string_view bytes);
  // The link went away: receive bytes, pending answers and the repeat memory are dropped.
  void ResetLink();

  const Counters& Stats() const { return counters_; }
  void ResetStats() { counters_ = Counters{}; }
  // Answers scheduled and not yet sent.
  size_t PendingAnswers() const;

  std::function<void(const std::string&)> OnSend;
  // One readable line per frame received or sent (and per dropped byte run).
  std::function<void(const std::string&)> OnTrace;

 private:
  struct Incoming;
  struct Pending;

  void HandleFrame(const std::string& frame, const std::string& skipped);
  void Serve(const Incoming& in);
  std::string Execute(const Incoming& in, bool& hasAnswer, bool& restart);
  void SendFrame(std::string_view payload, TInfo info, uint8_t serial, uint32_t dest, bool longVariant,
                 uint32_t delayMs, uint64_t* counter);
  void SendLater(std::string bytes, std::string traceLine, uint32_t delayMs, uint64_t* counter);
  void Emit(const std::string& bytes);
  void Trace(const std::string& line);

  Clock& clock_;
  TimerFactory& timers_;
  uint32_t address_ = 1;
  uint32_t answerDelayMs_ = 0;
  std::string identity_ = "PARAMDECK DEVSIM";
  std::string image_;
  std::string rxBuffer_;
  bool receiving_ = false;
  TZEBProtocol rx_;
  TZEBProtocol tx_;
  uint8_t eventSerial_ = 0;
  Counters counters_;

  // Try counting and the repeat memory.
  uint32_t tryFrom_ = 0;
  std::string tryPayload_;
  int tries_ = 0;
  bool served_ = false;
  uint32_t servedFrom_ = 0;
  uint8_t servedSerial_ = 0;
  std::string servedPayload_;
  std::string servedAnswer_;
  bool servedHasAnswer_ = false;

  std::vector<std::unique_ptr<Pending>> pending_;
};
