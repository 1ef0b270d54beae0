#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

class TZEBComms;
struct TKuldendo;

// Send options of one request; the number is the option's bit in the 32-bit set.
enum TPSOption : uint8_t {
  psoKeepSerial = 0,
  psoForceAck = 1,
  psoDontAck = 2,
  psoForceWait = 3,
  psoWaitAfterAck = 4,
  psoDontWait = 5,
  psoNoRepeat = 6,
  psoFirstInQueue = 7,
  psoExplicitAck = 8,
  psoDontQueue = 9,
  psoDontLog = 10,
  psoIncSerialOnRepeat = 11,
  psoUsePollTimeout = 12,
  psoLogAsPoll = 13,
  psoTaggedCallbacks = 14,
  psoKeepObject = 15,
  psoNoLineTimeout = 18,
  psoDisableBitmatrix = 19,
  psoNoPckIDCheck = 20,
  psoStrictPckIDCheck = 21,
  psoNoASYER = 22,
  psoErrorCodeRetry = 23,
  psoForceZEB = 24,
  psoForceZEBW = 25,
};

class TPSOptions {
 public:
  constexpr TPSOptions() = default;
  constexpr TPSOptions(std::initializer_list<TPSOption> options) {
    for (TPSOption o : options) Add(o);
  }

  constexpr bool Has(TPSOption o) const { return (bits_ >> o) & 1u; }
  constexpr void Add(TPSOption o) { bits_ |= 1u << o; }
  constexpr void Remove(TPSOption o) { bits_ &= ~(1u << o); }
  constexpr bool operator==(const TPSOptions&) const = default;

 private:
  uint32_t bits_ = 0;
};

// Completion callback, tagged style: (answer, result code, Tag).
using TOnIncoming_tagged = std::function<void(const std::string& S, uint16_t ErrorCode, int Tag)>;
// Completion callback with the full set of tags handed back.
using TOnZEBCmdResult = std::function<void(TZEBComms& Sender, const std::string& S, uint16_t ErrorCode, int Tag,
                                           void* TagObj, const std::string& TagStr)>;
using TOnBeforeSend = std::function<void(TKuldendo& Request, TZEBComms& Sender)>;

// Result codes handed to the completion callbacks.
namespace zeb_result {
inline constexpr uint16_t Ok = 0;
inline constexpr uint16_t NotActive = 2;
inline constexpr uint16_t NoConnection = 3;
inline constexpr uint16_t QueueFullOrWriteError = 4;
inline constexpr uint16_t NoAnswer = 5;
inline constexpr uint16_t Cancelled = 6;
inline constexpr uint16_t WrongAnswer = 7;
inline constexpr uint16_t Refused = 8;
inline constexpr uint16_t TooLong = 9;
inline constexpr uint16_t PortInUse = 10;
inline constexpr uint16_t NoSuchPort = 11;
inline constexpr uint16_t AddressRejected = 55;
}  // namespace zeb_result

// Programming errors when a request is queued (conflicting options, an object tag without
// its callback, no engine). Device failures never raise; they are result codes.
class EZEBCommsError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// One outgoing request. Shared ownership: the queue drops its reference when the request is
// finished, and a caller that wants to look at the request afterwards (the intent of
// psoKeepObject) simply keeps its own reference.
struct TKuldendo {
  std::string StoredAnswer;
  TZEBComms* Origin = nullptr;
  std::string Packet;
  // Empty: no answer expected; "*": any answer; otherwise the first five bytes name the
  // answer and the rest, where present, is compared to spot an error-code answer.
  std::string ExpectedAnswer;
  uint32_t Address = 0;
  int Serial = 0;
  int FirstSerial = 0;
  int Wait = 0;  // ms; its absolute value once queued; 0 = the engine's timeouts
  TOnZEBCmdResult OnResult;
  TOnBeforeSend OnBeforeSend;
  int Tag = 0;
  std::string TagStr;
  void* ObjTag = nullptr;
  TOnIncoming_tagged OnAnswer;
  TOnIncoming_tagged OnError;
  bool AckValue = false;
  TPSOptions Options;
  bool Discard = false;
  uint32_t SendTick = 0;
  int MaxTries = 0;
};

// Queues the request on the engine; raises EZEBCommsError when there is no engine.
void SendWith(std::shared_ptr<TKuldendo> request, TZEBComms* engine);

// The first conflicting pair of options, in the order they are checked, as the text the
// "Invalid options" message carries; empty when the options agree.
std::string ConflictingOptions(TPSOptions options);

// Whether a transmission of the request asks for an acknowledgement.
bool AckRequested(const TKuldendo& request);
