#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "comms/ZEBServerLink.h"
#include "platform/Listener.h"
#include "platform/Timer.h"
#include "protocol/ZEBProtocol.h"

class TNaplo;
class TNaploComponent;
class TZEBComms;
class TZEBTCPServer;

inline constexpr int ZEB_SERVER_DEFAULT_PORT = 1001;
// Silence after which an unidentified connection is asked who it is.
inline constexpr uint32_t ZEB_IDENTIFY_DELAY_MS = 6000;
// Unframed bytes above this many are reported as noise on every read.
inline constexpr size_t ZEB_NOISE_REPORT_BYTES = 300;
// An unbound connection never keeps more than this many unconsumed bytes.
inline constexpr size_t ZEB_CLIENT_BUFFER_LIMIT = 4096;

// One record per accepted connection, from acceptance until the connection closes (or the
// server stops).
struct TClientData {
  // Received and not yet consumed while the connection is not bound.
  std::string Buffer;
  // Serial number of the identification request sent on this connection; 0 until sent.
  int IdentSerial = 0;
  // The engine the connection was bound to by identification.
  TZEBComms* BoundComms = nullptr;
  std::unique_ptr<Timer> IdentifyTimer;
  TZEBTCPServer* Server = nullptr;
  ListenerConnection* Socket = nullptr;
  uint64_t BytesReceived = 0;
};

using TOnUnregdConnect = std::function<void(TZEBTCPServer& Sender, int32_t AZEBAddr, TClientData& ACltData)>;
using TOnClientDataRead =
    std::function<void(TZEBTCPServer& Sender, uint32_t CltZEBAddress, const std::string& data)>;

// The device TCP server of server mode: devices connect to it, it tells them apart by the
// source address of their first valid frame (asking with "CSYSI" after 6 s of silence)
// and binds each connection to the registered engine of that address. From then on the
// connection's bytes go to that engine, and the engine writes straight to the connection.
//
// Single-threaded: listener notifications, identification timers and engine calls all run
// on the event loop. Handlers may do anything, including stopping the server or
// deactivating an engine; the server re-checks its state after every call out.
class TZEBTCPServer final : public TZEBServerLink {
 public:
  TZEBTCPServer(std::unique_ptr<Listener> listener, TimerFactory& timers);
  TZEBTCPServer(ListenerFactory& listeners, TimerFactory& timers);
  ~TZEBTCPServer() override;
  TZEBTCPServer(const TZEBTCPServer&) = delete;
  TZEBTCPServer& operator=(const TZEBTCPServer&) = delete;

  // Listening port, 0 to let the system choose; a change takes effect at the next start.
  int Port() const { return FPort; }
  void SetPort(int port) { FPort = port; }
  // Mode of the server's own codec: the variants it cuts out, decodes and encodes.
  TZEBMode ZEBMode() const { return codec_.ZEBMode; }
  void SetZEBMode(TZEBMode mode) { codec_.ZEBMode = mode; }

  // Stored only: the server writes through LogWriter alone.
  TNaploComponent* NaploKomponens = nullptr;
  std::string Description;
  // Log every received chunk.
  bool Log_Raw_Data = false;
  // Receives the server's log lines; none drops them.
  TNaplo* LogWriter = nullptr;

  // A device sent a valid frame but no registered engine has its address.
  TOnUnregdConnect OnUnregdConnect;
  // A chunk arrived on a bound connection, or a valid frame on an unbound one.
  TOnClientDataRead OnClientDataRead;

  bool Active() const;
  // Starts or stops listening. A port that cannot be listened on is only logged.
  void SetActive(bool active);

  void RegisterComms(TZEBComms& comms) override;
  void UnregisterComms(TZEBComms& comms) override;

  // Registered engines in registration order; not owned.
  const std::vector<TZEBComms*>& Engines() const { return engines_; }
  // The first engine bound to the connection; none for no connection.
  TZEBComms* FindCommsBySocket(const ListenerConnection* connection) const;
  // The first engine whose address is the given one or 255 (registration order decides).
  TZEBComms* FindCommsByAddress(uint32_t address) const;
  // Decimal address of the connection's bound engine, or "cím ismeretlen".
  std::string ClientAddressText(const ListenerConnection& connection) const;

  // Shared by every server of the process; starts at a random 1..248.
  static int IdentSerialCounter;
  // Serial numbers of identification requests run 1..249 and wrap.
  static int NextIdentSerial();

  // Accepted connections that have a record, and the record of one of them.
  size_t ClientCount() const { return clients_.size(); }
  const std::list<TClientData>& Clients() const { return clients_; }
  const TClientData* ClientData(const ListenerConnection& connection) const;

 private:
  void ClientConnect(ListenerConnection& connection);
  void ClientRead(ListenerConnection& connection);
  void ClientDisconnect(ListenerConnection& connection);
  void ClientError(ListenerConnection& connection, int errorCode);
  void IdentifyTimerFired(ListenerConnection& connection);
  // Binds the connection to the engine found for the device; false when a handler
  // removed the connection's record meanwhile.
  bool BindToEngine(ListenerConnection& connection, TClientData& record, TZEBComms& engine, uint32_t address,
                    const std::string& buffered);
  void ReleaseAllClients();
  void DestroyRecord(const ListenerConnection& connection);

  TClientData* Record(const ListenerConnection& connection);
  bool IsRegistered(const TZEBComms* comms) const;
  void Log(const std::string& line) const;

  std::unique_ptr<Listener> listener_;
  TimerFactory& timers_;
  TZEBProtocol codec_;
  int FPort = ZEB_SERVER_DEFAULT_PORT;
  std::vector<TZEBComms*> engines_;
  // Records in acceptance order, with an index by connection.
  std::list<TClientData> clients_;
  std::unordered_map<const ListenerConnection*, std::list<TClientData>::iterator> index_;
};
