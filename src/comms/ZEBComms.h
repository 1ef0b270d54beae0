#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "comms/Kuldendo.h"
#include "comms/ZEBServerLink.h"
#include "platform/Clock.h"
#include "platform/Port.h"
#include "platform/Timer.h"
#include "protocol/ZEBProtocol.h"

class TNaplo;
class TNaploComponent;
class LogTextView;
class ListenerConnection;

// Whether a retransmitted request gets a new serial number.
enum class TIDOfRepeatedPackets : uint8_t { irpUseParameter, irpAlwaysIncrement, irpNeverIncrement };

// An unsolicited packet as handed to OnReadMax.
struct TOnReadPacketData {
  uint32_t Source = 0;
  int SourceShort = 0;
  uint32_t Destination = 0;
  std::string Data;
  std::string RawFrame;
  TInfo Info = TInfo::nem_kerek_nyugtat;
};

using TOnIncomingMax = std::function<void(TZEBComms& Sender, const TOnReadPacketData& PacketDataRec)>;
using TOnIncomingEx = std::function<void(TZEBComms& Sender, const std::string& S, uint16_t ErrorCode)>;
// Sender: the port (TCP client), the server link (server mode) or null (serial, deactivation).
using TNotifyEvent = std::function<void(void* Sender)>;
using TOnRawData = std::function<void(TZEBComms& Sender, const std::string& data)>;
using TOnBeforeSendRawData = std::function<void(TZEBComms& Sender, std::string& data)>;

// Kinds of communication-log lines; repeated kinds 6 and 7 are written once.
namespace zeb_log {
inline constexpr int Status = 0;        // active, inactive, overflow
inline constexpr int Raw = 1;           // bytes written and received
inline constexpr int Verdict = 2;       // received frames
inline constexpr int Disconnected = 3;
inline constexpr int Connected = 4;
inline constexpr int ClientConnected = 5;
inline constexpr int CommError = 6;
inline constexpr int OpenFailed = 7;
inline constexpr int Request = 8;       // refusals, retries, timeouts
inline constexpr int Transmission = 9;
inline constexpr int Damaged = 10;
}  // namespace zeb_log

// Date-times of the engine are wall-clock milliseconds since 1970 (0 = never).
int64_t WallTimeToMs(const WallTime& w);

// The communication engine: one link to devices, a queue of requests with exactly one in
// flight, acknowledgements, retransmissions, timeouts, reconnection and the communication
// log. Single-threaded; everything runs from the event loop (timers and port
// notifications). Callbacks run synchronously from inside its handlers and may queue new
// requests or deactivate the engine.
class TZEBComms {
 public:
  // portFactory makes the serial or TCP-client port at the first Open; it may be null for
  // an engine that only ever works in server mode.
  TZEBComms(Clock& clock, TimerFactory& timers, PortFactory* portFactory);
  ~TZEBComms();
  TZEBComms(const TZEBComms&) = delete;
  TZEBComms& operator=(const TZEBComms&) = delete;

  // ---- Requests -------------------------------------------------------------------------
  void SendRequest(const std::string& Packet, uint32_t Address, const std::string& ExpectedAnswer,
                   TOnIncoming_tagged OnAnswer, TOnIncoming_tagged OnError, int Tag, int Wait,
                   bool IncSerialOnRepeat = false);
  // Success is reported through OnRead ("CSYAC" when it ended on an acknowledgement).
  void SendCommand(const std::string& Packet, bool Ack, uint32_t Address);
  // Refusals go to the request's callback; programming errors raise EZEBCommsError.
  void Enqueue(std::shared_ptr<TKuldendo> request, TZEBComms* origin);
  // Variant 0 = ZEB, 1 = ZEBW (with OverrideVariant); ASYERMode 0 = engine setting,
  // 1 = cleared; a negative Serial allocates one. Returns a result code.
  uint16_t SendFrame(const std::string& Payload, TInfo Info, int Variant, bool OverrideVariant, int ASYERMode,
                     bool DisableBitmatrix, int Serial, uint32_t Destination);
  uint16_t QuickSend(const std::string& Payload, TInfo Info, int ASYERMode, bool DisableBitmatrix, int Serial,
                     uint32_t Destination);
  void CompleteRequest(size_t index, uint16_t code, bool ackFlag, const std::string& answer);

  // ---- Life cycle and link ----------------------------------------------------------------
  bool Active() const { return FActive; }
  void SetActive(bool active);
  // Reconnect timer tick: reopens a lost link, sends the keep-alive byte.
  void Open();
  bool Connected() const { return FConnected; }
  bool Connecting() const { return FConnecting; }
  // 0 other failure, 1 port already open, 2 no such serial port, 3 closed or reset.
  int OpenFailReason() const { return FOpenFailReason; }
  // Returns 0, or 4 when the frame could not be written or buffered.
  int PutFrame(const std::string& frame);

  // Server mode, called by the device TCP server.
  void BindClient(TZEBServerLink& server, ListenerConnection& connection);
  void UnbindClient(TZEBServerLink& server);
  void ServerReceive(TZEBServerLink& server, const std::string& data);
  ListenerConnection* BoundSocket() const { return FBoundSocket; }

  // Reads the receiving codec's mode; setting it sets both codecs.
  TZEBMode ZEBMode() const { return FRxProtocol.ZEBMode; }
  void SetZEBMode(TZEBMode mode);
  // Output buffer of the port; 0 when there is none.
  int ApdOutSize() const;
  void SetApdOutSize(int size);
  // The reconnect timer's current interval.
  uint32_t TryToConnectInterval() const;
  void SetTryToConnectInterval(uint32_t ms);
  // Setting a log component also makes its writer the engine's LogWriter.
  TNaploComponent* NaploKomponens() const { return FNaploKomponens; }
  void SetNaploKomponens(TNaploComponent* component);
  // The port the engine opened itself; null before the first Open and in server mode.
  ::Port* LinkPort() const { return FPort.get(); }

  // ---- Communication log --------------------------------------------------------------------
  void LogLine(const std::string& text, int kind);
  // SendTick 0, RefTime -1, Dest/Source/Serial -1 mean "none".
  void LogPacket(const std::string& Msg, int Kind, uint32_t SendTick, bool LogFlag, const std::string& Packet,
                 int64_t RefTime, int64_t Dest, int64_t Source, int Serial);
  // The 25 most recent lines, oldest first, each with its "hh:nn:ss.zzz " stamp.
  const std::deque<std::string>& RecentLines() const { return FRecentLines; }

  // ---- State ---------------------------------------------------------------------------------
  int WaitState() const { return FWaitState; }
  int TryCount() const { return FTryCount; }
  int LastSerial() const { return FLastSerial; }
  int LastAckSerial() const { return FLastAckSerial; }
  int LastRxSerial() const { return FLastRxSerial; }
  int QuickSerial() const { return FQuickSerial; }
  // Serial counters start at random values; tests and tools may fix them.
  void SetSerialCounters(int lastSerial, int lastRxSerial, int lastAckSerial = 0, int quickSerial = 0);
  void Randomize(uint32_t seed);
  uint32_t WaitFromAddress() const { return FWaitFromAddress; }
  size_t QueueCount() const { return FQueue.size(); }
  // Null beyond the end; index 0 is the request in flight.
  const TKuldendo* QueueItem(size_t index) const;
  const std::string& RxBuffer() const { return FRxBuffer; }
  const std::string& ReceivedChunk() const { return FReceivedChunk; }
  const std::string& SlowWriteBuffer() const { return FSlowWriteBuffer; }
  const std::string& LastFrameSent() const { return FLastFrameSent; }
  const std::string& LastQuickFrameSent() const { return FQuickFrameSent; }
  int64_t LastSendTime() const { return FLastSendTime; }
  int64_t LastReceiveTime() const { return FLastReceiveTime; }
  int64_t LastTrafficTime() const { return FLastTrafficTime; }
  uint32_t LastRxTick() const { return FLastRxTick; }
  bool Destroying() const { return FDestroying; }

  // ---- Properties --------------------------------------------------------------------------
  // Link
  std::string Host;
  int Port = 1;
  // A serial device path used instead of the COM number when not empty.
  std::string SerialDevice;
  int Baud = 115200;
  uint32_t ZEBAddress = 0;
  bool WsServerMode = false;
  TZEBServerLink* ZEBTCPServer = nullptr;
  uint32_t IncomingDataCount = 0;
  uint32_t OutgoingDataCount = 0;
  bool SlowWriteMode = false;
  int SlowWrPufferSize = 4096;
  int SlowWrRate = 25;
  bool ReleVezerlesSorosPorton = false;
  int64_t LastPckTime = 0;
  std::string Description;
  bool DebugMode = false;
  // Requests and incoming frames
  int PufferSize = 500;
  bool Enable_ASYER = false;
  bool BroadcastVetele = true;
  bool MindenVetele = false;
  bool Nyugtazas = true;
  bool Nyugtat_is_jelezze = true;
  bool Can_address_everyone = false;
  bool NoPckIDCheck = false;
  bool LoosePckIDCheck = false;
  bool KRM_to_ZEB = false;
  bool AutoAnswer = false;
  std::string AutoAnswerCmd = "CGSWD";
  std::string AutoAnswerAns = "AGSWD";
  TIDOfRepeatedPackets IDOfRepeatedPackets = TIDOfRepeatedPackets::irpUseParameter;
  // Timing
  uint32_t LineTimeout = 0;
  uint32_t Timeout_1 = 110;
  uint32_t Timeout_2 = 160;
  uint32_t Timeout_3 = 230;
  uint32_t Timeout_Poll = 100;
  int Max_tries_cmd = 3;
  bool BatchMode = false;
  int EnnyiIsmetlesUtanKapcsolatUjrafelepitese = 0;
  bool QuickReconnect = false;
  bool SlowConnect = false;
  int ConnectionCheckRate = 60;  // seconds
  bool Half_Duplex_Mode = false;
  int Switch_Direction_Time = 5;
  // Polling: kept as settings; this engine never carries other engines, so nothing is polled.
  bool Pollingolo = false;
  uint32_t PollTimerInterval = 2000;
  int Max_tries_poll = 1;
  std::string PollCmd = "c";
  std::string PollAns = "a";
  // Stored without effect.
  int Max_tries_send = 2;
  int Send_tries_timeout = 2500;
  bool Safe_send = false;
  // Communication log
  TNaplo* LogWriter = nullptr;
  LogTextView* LogMemo = nullptr;
  bool LogHexNumbers = false;
  bool Log_Printable_Raw = false;
  bool Log_Raw_Data = false;
  bool Log_All_Packages = false;
  bool DontLogPcksFromPc = false;
  bool Poll_Log = false;
  bool MindenNaplozasa = false;

  // ---- Events ---------------------------------------------------------------------------
  TOnIncoming_tagged OnRead;
  TOnIncomingEx OnReadEx;
  TOnIncomingMax OnReadMax;
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisConnect;
  TNotifyEvent OnTCPError;
  TOnRawData OnRawData;
  TOnBeforeSendRawData OnBeforeSendRawData;
  TOnZEBCmdResult OnKapcsolatUjrafelepitendo;
  TOnZEBCmdResult OnPollError;  // never raised: nothing is polled

 private:
  // Outgoing (ZEBComms.cpp)
  void Refuse(TKuldendo& request, uint16_t code, const char* text);
  void QuickCommand(const std::shared_ptr<TKuldendo>& request);
  static uint16_t Encode(TZEBProtocol& codec, const std::string& payload, std::string& frame);
  uint16_t EncodeTx(const std::string& Payload, TInfo Info, int ASYERMode, bool DisableBitmatrix, int serial,
                    uint32_t Destination, std::string& frame);
  int PutFrameDirect(const std::string& frame);
  int NextSerial(int serial) const;
  void ApplyRepeatSerialRule(TKuldendo& request);
  uint16_t TransmitHead(TKuldendo& head, bool ack);
  void GoIdle();

  // Incoming (ZEBCommsIncoming.cpp)
  void ProcessRxBuffer();
  void HandleFrame(const std::string& frame);
  void Deliver(const TOnReadPacketData& record);
  void RunTextSensorConversion();

  // Timers (ZEBCommsTimers.cpp)
  void StartAnswerTimer(const TKuldendo& request);
  void RestartAnswerTimer();
  void OnTimerSendPackages();
  void Waiting_over();
  void OnQueueTimedOut();
  void StartQueueTimerForHead();
  void Trace(const char* utf8Text);
  void AddRecentLine(std::string line);

  // Link (ZEBCommsLink.cpp)
  void Activate();
  void Deactivate();
  void EnsurePort();
  void WireTimers();
  void HandleConnected(void* sender);
  void HandleDisconnected(void* sender);
  void HandleError(int errorCode);
  void HandleDataAvailable(size_t count);
  void AfterReceive();
  void WriteLink(const std::string& bytes);
  void SlowWriteTick();
  void ClearSlowWrite();
  bool IsTcpLink() const;
  void KeepAlive();
  void TouchTraffic();
  uint32_t RandomBelow(uint32_t bound);

  int64_t NowMs() const { return WallTimeToMs(FClock.Now()); }

  Clock& FClock;
  TimerFactory& FTimers;
  PortFactory* FPortFactory;
  std::unique_ptr<::Port> FPort;
  TZEBProtocol FRxProtocol;
  TZEBProtocol FTxProtocol;

  std::unique_ptr<Timer> FSendTimer;
  std::unique_ptr<Timer> FAnswerTimer;
  std::unique_ptr<Timer> FQueueTimer;
  std::unique_ptr<Timer> FReconnectTimer;
  std::unique_ptr<Timer> FPollTimer;
  std::unique_ptr<Timer> FProcessTimer;
  std::unique_ptr<Timer> FSlowWriteTimer;

  std::deque<std::shared_ptr<TKuldendo>> FQueue;
  std::deque<std::string> FRecentLines;

  bool FActive = false;
  bool FDeactivating = false;
  bool FConnected = false;
  bool FConnecting = false;
  bool FDestroying = false;
  bool FInProcessing = false;
  int FWaitState = 0;
  int FTryCount = 0;
  int FLastSerial = 1;
  int FLastAckSerial = 0;
  int FLastRxSerial = 1;
  int FQuickSerial = 0;
  uint32_t FWaitFromAddress = 0;
  int FOpenFailReason = 0;
  int FLastLogKind = 0;

  int64_t FLastSendTime = 0;
  int64_t FLastReceiveTime = 0;
  int64_t FLastTrafficTime = 0;
  uint32_t FLastTrafficTick = 0;
  uint32_t FLastRxTick = 0;
  std::string FLastFrameSent;
  std::string FQuickFrameSent;
  uint32_t FQuickDestination = 0;
  int64_t FQuickSendTime = 0;

  std::string FRxBuffer;
  std::string FReceivedChunk;
  std::string FSlowWriteBuffer;

  ListenerConnection* FBoundSocket = nullptr;
  // Relay state for the serial control lines; nothing changes it yet.
  bool FRelayBreak = false;
  bool FRelayDtr = false;
  bool FRelayRts = false;
  TNaploComponent* FNaploKomponens = nullptr;
  std::mt19937 FRandom;
};
