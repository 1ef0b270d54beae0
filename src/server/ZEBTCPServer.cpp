#include "server/ZEBTCPServer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <random>
#include <utility>

#include "comms/ZEBComms.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"

namespace {

int RandomIdentSerialStart() {
  std::random_device seed;
  return std::uniform_int_distribution<int>(1, 248)(seed);
}

const std::string& UnknownAddressText() {
  static const std::string text = Hu("cím ismeretlen");
  return text;
}

// Remote address right-aligned in 15 characters, the port left-aligned in 4, as every
// per-connection line begins.
std::string Prefix(const ListenerConnection& connection) {
  const std::string address = connection.RemoteAddress();
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer, "%15s:%-4.d ", address.c_str(), connection.RemotePort());
  return std::string(buffer, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buffer) - 1)));
}

// Prefix, the address text in brackets, then the message.
std::string Line(const ListenerConnection& connection, const std::string& addressText, const std::string& message) {
  return Prefix(connection) + "(" + addressText + "): " + message;
}

std::string Bracketed(std::string_view bytes) { return "<" + DecText(bytes) + ">"; }

}  // namespace

int TZEBTCPServer::IdentSerialCounter = RandomIdentSerialStart();

int TZEBTCPServer::NextIdentSerial() {
  if (++IdentSerialCounter > 249) IdentSerialCounter = 1;
  return IdentSerialCounter;
}

TZEBTCPServer::TZEBTCPServer(std::unique_ptr<Listener> listener, TimerFactory& timers)
    : listener_(std::move(listener)), timers_(timers) {
  codec_.ZEBMode = TZEBMode::PMZEBWOnly;
  listener_->OnAccept = [this](ListenerConnection& c) { ClientConnect(c); };
  listener_->OnRead = [this](ListenerConnection& c) { ClientRead(c); };
  listener_->OnDisconnect = [this](ListenerConnection& c) { ClientDisconnect(c); };
  listener_->OnError = [this](ListenerConnection& c, int code) { ClientError(c, code); };
}

TZEBTCPServer::TZEBTCPServer(ListenerFactory& listeners, TimerFactory& timers)
    : TZEBTCPServer(listeners.CreateListener(), timers) {}

TZEBTCPServer::~TZEBTCPServer() {
  // Nothing is logged while the server goes away.
  LogWriter = nullptr;
  listener_->OnAccept = nullptr;
  listener_->OnDisconnect = nullptr;
  ReleaseAllClients();
  listener_->OnRead = nullptr;
  listener_->OnError = nullptr;
  listener_.reset();
  // Engines still registered would otherwise unregister from a server that is gone.
  for (TZEBComms* comms : engines_) {
    if (comms->ZEBTCPServer == this) comms->ZEBTCPServer = nullptr;
  }
}

bool TZEBTCPServer::Active() const { return listener_->IsListening(); }

void TZEBTCPServer::SetActive(bool active) {
  if (active == listener_->IsListening()) return;
  if (!active) {
    ReleaseAllClients();
    listener_->Close();
    Log(Hu("ZEBTCPServer lezárva"));
    return;
  }
  const bool opened = FPort >= 0 && FPort <= 0xFFFF && listener_->Listen(static_cast<uint16_t>(FPort));
  if (opened) {
    // With port 0 the system chose one; devices must be told the one they can reach.
    Log(Hu("ZEBTCPServer elindítva a következő porton: ") + std::to_string(listener_->ServerPort()));
  } else {
    const std::string reason = FPort >= 0 && FPort <= 0xFFFF ? listener_->ErrorText() : "Invalid port";
    Log(Hu("Nem sikerült a(z) ") + std::to_string(FPort) + Hu(" porton ZEBTCPServert indítani: ") + reason);
  }
}

void TZEBTCPServer::RegisterComms(TZEBComms& comms) {
  if (!IsRegistered(&comms)) engines_.push_back(&comms);
}

void TZEBTCPServer::UnregisterComms(TZEBComms& comms) {
  for (TClientData& record : clients_) {
    if (record.BoundComms == &comms) record.BoundComms = nullptr;
  }
  std::erase(engines_, &comms);
}

TZEBComms* TZEBTCPServer::FindCommsBySocket(const ListenerConnection* connection) const {
  if (connection == nullptr) return nullptr;
  for (TZEBComms* comms : engines_) {
    if (comms->BoundSocket() == connection) return comms;
  }
  return nullptr;
}

TZEBComms* TZEBTCPServer::FindCommsByAddress(uint32_t address) const {
  for (TZEBComms* comms : engines_) {
    if (comms->ZEBAddress == address || comms->ZEBAddress == ZEB_BROADCAST_ADDRESS) return comms;
  }
  return nullptr;
}

std::string TZEBTCPServer::ClientAddressText(const ListenerConnection& connection) const {
  const TClientData* record = ClientData(connection);
  if (record == nullptr || record->BoundComms == nullptr) return UnknownAddressText();
  return std::to_string(record->BoundComms->ZEBAddress);
}

const TClientData* TZEBTCPServer::ClientData(const ListenerConnection& connection) const {
  const auto it = index_.find(&connection);
  return it == index_.end() ? nullptr : &*it->second;
}

TClientData* TZEBTCPServer::Record(const ListenerConnection& connection) {
  const auto it = index_.find(&connection);
  return it == index_.end() ? nullptr : &*it->second;
}

bool TZEBTCPServer::IsRegistered(const TZEBComms* comms) const {
  return std::find(engines_.begin(), engines_.end(), comms) != engines_.end();
}

void TZEBTCPServer::Log(const std::string& line) const {
  if (LogWriter != nullptr) LogWriter->WriteLog(line, false);
}

void TZEBTCPServer::ClientConnect(ListenerConnection& connection) {
  Log(Line(connection, UnknownAddressText(), Hu("Új kapcsolat.")));
  DestroyRecord(connection);
  clients_.push_back(TClientData{});
  TClientData& record = clients_.back();
  index_[&connection] = std::prev(clients_.end());
  record.Server = this;
  record.Socket = &connection;
  record.IdentifyTimer = timers_.CreateTimer();
  record.IdentifyTimer->SetSingleShot(true);
  record.IdentifyTimer->SetInterval(ZEB_IDENTIFY_DELAY_MS);
  record.IdentifyTimer->OnTimeout = [this, &connection] { IdentifyTimerFired(connection); };
  record.IdentifyTimer->Start();
}

void TZEBTCPServer::IdentifyTimerFired(ListenerConnection& connection) {
  TClientData* record = Record(connection);
  if (record == nullptr) return;
  record->IdentifyTimer->Stop();
  // Every request goes out exactly alike: the codec still holds the header of whatever
  // frame it decoded last, on any connection.
  codec_.Cimzett = ZEB_BROADCAST_ADDRESS;
  codec_.Felado = ZEB_PC_ADDRESS;
  codec_.Felado_rovid_cim = ZEB_PC_ADDRESS;
  codec_.Header_extension.clear();
  codec_.Disable_bitmatrix = false;
  codec_.Enable_ASYER = true;
  codec_.Info = TInfo::nem_kerek_nyugtat;
  codec_.CsomagSorszam = static_cast<uint8_t>(NextIdentSerial());
  const std::string frame = codec_.Encode("CSYSI");
  try {
    connection.Write(frame);
  } catch (const std::exception&) {
    // The connection is going; its disconnection follows from the loop.
    return;
  }
  record->IdentSerial = codec_.CsomagSorszam;
  Log(Line(connection, UnknownAddressText(), Hu("CSYSI elküldve: ") + Bracketed(frame)));
}

void TZEBTCPServer::ClientRead(ListenerConnection& connection) {
  const std::string chunk = connection.ReadAll();
  TClientData* record = Record(connection);
  if (record == nullptr || chunk.empty()) return;

  if (Log_Raw_Data) {
    Log(Prefix(connection) + "BE: " + PrintableText(chunk, true).substr(0, 20) + " " + DecText(chunk));
  }
  record->Buffer += chunk;
  record->BytesReceived += chunk.size();

  if (TZEBComms* engine = FindCommsBySocket(&connection)) {
    engine->IncomingDataCount += static_cast<uint32_t>(chunk.size());
    const uint32_t address = engine->ZEBAddress;
    engine->ServerReceive(*this, std::exchange(record->Buffer, {}));
    if (OnClientDataRead) OnClientDataRead(*this, address, chunk);
    return;
  }

  const std::string buffered = record->Buffer;
  const std::string frame = codec_.ExtractFrame(record->Buffer);
  if (frame.empty()) {
    if (buffered.size() > ZEB_NOISE_REPORT_BYTES) {
      Log(Line(connection, UnknownAddressText(), "Ismeretlen adat: " + Bracketed(buffered)));
    }
  } else {
    codec_.Decode(frame);
    if (codec_.DecodeResult != 0) {
      Log(Line(connection, UnknownAddressText(), Hu("Hibás csomag: ") + Bracketed(frame)));
    } else {
      const uint32_t address = codec_.Felado;
      const std::string addressText = std::to_string(address);
      Log(Line(connection, addressText, Hu("Csomag érkezett: ") + Bracketed(frame) + "."));
      if (OnClientDataRead) {
        OnClientDataRead(*this, address, chunk);
        if ((record = Record(connection)) == nullptr) return;
      }
      if (TZEBComms* engine = FindCommsByAddress(address)) {
        if (!BindToEngine(connection, *record, *engine, address, buffered)) return;
      } else {
        Log(Line(connection, addressText, Hu("Ismeretlen című készülék.")));
        if (OnUnregdConnect) {
          OnUnregdConnect(*this, static_cast<int32_t>(address), *record);
          if ((record = Record(connection)) == nullptr) return;
        }
      }
    }
  }

  if (record->Buffer.size() > ZEB_CLIENT_BUFFER_LIMIT) {
    record->Buffer.erase(0, record->Buffer.size() - ZEB_CLIENT_BUFFER_LIMIT);
  }
}

bool TZEBTCPServer::BindToEngine(ListenerConnection& connection, TClientData& record, TZEBComms& engine,
                                 uint32_t address, const std::string& buffered) {
  const std::string addressText = std::to_string(address);
  Log(Line(connection, addressText, Hu("Cím azonosítva.")));
  if (record.IdentifyTimer->IsActive()) {
    Log(Line(connection, addressText, Hu("A készülék magától küldött csomagot, ezért nem szólítom meg.")));
    record.IdentifyTimer->Stop();
  }
  // Each step below calls into the engine, whose handlers may unregister it or close
  // this connection; go on only while both are still ours.
  const auto stillOurs = [&] { return IsRegistered(&engine) && Record(connection) == &record; };
  ListenerConnection* previous = engine.BoundSocket();
  if (previous != nullptr && previous != &connection) {
    Log(Line(connection, addressText,
             Hu("A készülék több socketen kapcsolódik egyszerre, az előző kapcsolatot (") + previous->RemoteAddress() +
                 ":" + std::to_string(previous->RemotePort()) + Hu(") figyelmen kívül hagyom.")));
    engine.UnbindClient(*this);
    if (!stillOurs()) return Record(connection) != nullptr;
  }
  record.BoundComms = &engine;
  record.Buffer.clear();
  engine.BindClient(*this, connection);
  if (!stillOurs()) return Record(connection) != nullptr;
  // Binding starts the engine's counters afresh, so the connection's bytes so far are
  // counted after it, not before.
  engine.IncomingDataCount += static_cast<uint32_t>(record.BytesReceived);
  engine.ServerReceive(*this, buffered);
  return Record(connection) != nullptr;
}

void TZEBTCPServer::ClientDisconnect(ListenerConnection& connection) {
  Log(Line(connection, ClientAddressText(connection), "A kapcsolat megszakadt."));
  if (TZEBComms* engine = FindCommsBySocket(&connection)) engine->UnbindClient(*this);
  DestroyRecord(connection);
}

void TZEBTCPServer::ClientError(ListenerConnection& connection, int errorCode) {
  try {
    Log(Line(connection, ClientAddressText(connection), "Sockethiba: " + std::to_string(errorCode)));
    connection.Close();
  } catch (...) {
    // A failing socket must not take the event loop down with it.
  }
}

void TZEBTCPServer::ReleaseAllClients() {
  // One record at a time, unlinked before the engine hears of it, so that handlers run
  // by UnbindClient see a consistent list.
  while (!clients_.empty()) {
    std::list<TClientData> released;
    released.splice(released.begin(), clients_, clients_.begin());
    TClientData& record = released.front();
    index_.erase(record.Socket);
    record.IdentifyTimer.reset();
    // A connection superseded by a newer one of the same device still names the engine,
    // which by now belongs to the newer connection; only the connection the engine is
    // bound to unbinds it, so the engine goes down once.
    TZEBComms* engine = record.BoundComms;
    if (engine != nullptr && IsRegistered(engine) && engine->BoundSocket() == record.Socket) {
      engine->UnbindClient(*this);
    }
  }
}

void TZEBTCPServer::DestroyRecord(const ListenerConnection& connection) {
  const auto it = index_.find(&connection);
  if (it == index_.end()) return;
  const auto record = it->second;
  index_.erase(it);
  clients_.erase(record);
}
