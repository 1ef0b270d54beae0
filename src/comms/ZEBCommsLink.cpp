// The engine's link: activation, opening and reopening the port, connection events,
// receiving, writing (directly or paced), keep-alive and the server-mode entry points.

#include <algorithm>

#include "comms/CommsText.h"
#include "comms/ZEBComms.h"
#include "platform/Listener.h"

namespace {

constexpr size_t kRxBufferLimit = 16384;
constexpr size_t kRxBufferKeep = 4096;
constexpr size_t kSlowWriteChunk = 64;

}  // namespace

void TZEBComms::SetActive(bool active) {
  // Every call, even a redundant one, lets the next repeated error line through.
  FLastLogKind = 0;
  if (active)
    Activate();
  else
    Deactivate();
}

void TZEBComms::Activate() {
  if (FActive) return;
  // The timers live as long as the engine; activation gives them their starting intervals.
  FSendTimer->SetInterval(5);
  FAnswerTimer->SetInterval(LineTimeout + Timeout_1);
  FQueueTimer->SetInterval(LineTimeout + Timeout_3);
  FReconnectTimer->SetInterval(QuickReconnect ? 1 : 1000 + RandomBelow(29000));
  FPollTimer->SetInterval(PollTimerInterval);
  FProcessTimer->SetInterval(1);
  FSlowWriteTimer->SetInterval(static_cast<uint32_t>(std::max(SlowWrRate, 1)));
  FRxBuffer.clear();

  if (ZEBAddress != 0) Pollingolo = false;
  if (Pollingolo) FPollTimer->Start();
  if (!FConnected && FOpenFailReason == 3) FOpenFailReason = 0;
  FActive = true;
  LogLine("ZEBPort active.", zeb_log::Status);

  if (WsServerMode) {
    if (ZEBTCPServer) ZEBTCPServer->RegisterComms(*this);
  } else if (!SlowConnect) {
    Open();
  }
  if (FActive) FReconnectTimer->Start();
}

void TZEBComms::Deactivate() {
  if (!FActive || FDeactivating) return;
  FDeactivating = true;
  ClearSlowWrite();
  for (Timer* t : {FProcessTimer.get(), FReconnectTimer.get(), FPollTimer.get(), FSendTimer.get(),
                   FAnswerTimer.get(), FQueueTimer.get()})
    t->Stop();
  FConnected = false;
  FConnecting = false;
  LogLine("ZEBPort inactive.", zeb_log::Status);
  if (FPort && FPort->IsOpen()) {
    try {
      FPort->Close();
    } catch (...) {
    }
  }
  FOpenFailReason = 3;

  while (!FQueue.empty()) CompleteRequest(0, zeb_result::Cancelled, false, std::string());
  FWaitState = 0;
  FTryCount = 0;

  // A TCP client port reports its own disconnection.
  if (WsServerMode || Host.empty()) HandleDisconnected(nullptr);
  if (ZEBTCPServer) ZEBTCPServer->UnregisterComms(*this);
  if (FBoundSocket) {
    if (FBoundSocket->IsConnected()) FBoundSocket->Close();
    FBoundSocket = nullptr;
  }
  FActive = false;
  FDeactivating = false;
}

void TZEBComms::EnsurePort() {
  if (FPort || !FPortFactory) return;
  FPort = FPortFactory->CreatePort();
  if (!FPort) return;
  // An active server-mode engine talks through the socket the server handed over; news of
  // the client socket it used before (closed at deactivation, reported later from the
  // loop) must not take that link down.
  auto portIsTheLink = [this] { return !(FActive && WsServerMode); };
  FPort->OnDataAvailable = [this, portIsTheLink](size_t count) {
    if (portIsTheLink()) HandleDataAvailable(count);
  };
  FPort->OnConnected = [this, portIsTheLink] {
    // A connection that completes after deactivation closed the port is not ours.
    if (FActive && portIsTheLink()) HandleConnected(FPort.get());
  };
  FPort->OnDisconnected = [this, portIsTheLink] {
    if (portIsTheLink()) HandleDisconnected(FPort.get());
  };
  FPort->OnError = [this, portIsTheLink](int code) {
    if (portIsTheLink()) HandleError(code);
  };
}

void TZEBComms::Open() {
  if (FInProcessing) return;
  if (!FConnected && FOpenFailReason == 3) FOpenFailReason = 0;

  if (FActive && !WsServerMode && !FConnected && !FConnecting) {
    EnsurePort();
    const bool serial = Host.empty();
    bool opened = false;
    try {
      if (!FPort) throw PortError("no port available");
      FPort->Close();
      PortSettings s;
      if (serial) {
        s.layer = PortLayer::Serial;
        s.comNumber = Port;
        s.serialDevice = SerialDevice;
        s.baud = Baud;
        s.dtr = ReleVezerlesSorosPorton && FRelayDtr;
        s.rts = ReleVezerlesSorosPorton && FRelayRts;
      } else {
        s.layer = PortLayer::Socket;
        s.host = Host;
        s.tcpPort = Port;
        FConnecting = true;
      }
      FPort->Configure(s);
      FPort->Open();
      if (ReleVezerlesSorosPorton) FPort->SetBreak(FRelayBreak);
      opened = true;
    } catch (const std::exception& e) {
      try {
        if (FPort) FPort->Close();
      } catch (...) {
      }
      FConnected = false;
      FConnecting = false;
      const std::string text = e.what();
      LogLine(FormatText("Opening port failed: %s (%s:%d)", text.c_str(), Host.c_str(), Port), zeb_log::OpenFailed);
      FOpenFailReason = text == kPortErrorAlreadyOpen ? 1 : text == kPortErrorNoSuchPort ? 2 : 0;
    }
    if (opened) {
      // A serial port is usable the moment it opens.
      if (serial) HandleConnected(nullptr);
      TouchTraffic();
    }
  }

  FReconnectTimer->SetInterval(QuickReconnect ? 1 : 30000 + RandomBelow(60000));
  KeepAlive();
}

void TZEBComms::TouchTraffic() {
  FLastTrafficTime = NowMs();
  FLastTrafficTick = FClock.TickMs();
}

bool TZEBComms::IsTcpLink() const {
  if (WsServerMode) return FBoundSocket && FBoundSocket->IsConnected();
  return FPort && FPort->IsOpen() && !Host.empty();
}

void TZEBComms::KeepAlive() {
  if (!FActive || !FConnected || FConnecting || ConnectionCheckRate <= 0 || !IsTcpLink()) return;
  // Measured on the tick counter: a wall clock set back must not silence the link.
  const uint32_t idleSeconds = (FClock.TickMs() - FLastTrafficTick) / 1000;
  if (idleSeconds <= static_cast<uint32_t>(ConnectionCheckRate)) return;
  const std::string x = "x";
  try {
    WriteLink(x);
  } catch (const std::exception& e) {
    LogPacket(std::string("KHIBA:") + e.what(), zeb_log::Raw, 0, true, x, -1, -1, -1, -1);
    return;
  }
  OutgoingDataCount += 1;
  TouchTraffic();
  if (Log_Raw_Data) LogPacket("KI:", zeb_log::Raw, 0, true, x, -1, -1, -1, -1);
}

// ---- Connection events ---------------------------------------------------------------------

void TZEBComms::HandleConnected(void* sender) {
  LogLine(FormatText("Connected (%s:%d)", Host.c_str(), Port), zeb_log::Connected);
  IncomingDataCount = 0;
  OutgoingDataCount = 0;
  FConnected = true;
  FConnecting = false;
  FRxBuffer.clear();
  TouchTraffic();
  FOpenFailReason = 3;
  if (OnConnect && !FDestroying) OnConnect(sender);
  if (!FSendTimer->IsActive()) {
    FSendTimer->SetInterval(5);
    FSendTimer->Start();
  }
}

void TZEBComms::HandleDisconnected(void* sender) {
  LogLine(FormatText("Disconnected (%s:%d)", Host.c_str(), Port), zeb_log::Disconnected);
  FConnected = false;
  FConnecting = false;
  FRxBuffer.clear();
  ClearSlowWrite();
  if (OnDisConnect && !FDestroying) OnDisConnect(sender);
}

void TZEBComms::HandleError(int errorCode) {
  LogLine(FormatText("Comm. error: %d (%s:%d)", errorCode, Host.c_str(), Port), zeb_log::CommError);
  FConnected = false;
  FConnecting = false;
  FRxBuffer.clear();
  if (OnTCPError && !FDestroying) OnTCPError(FPort.get());
  ClearSlowWrite();
}

// ---- Receiving -----------------------------------------------------------------------------

void TZEBComms::HandleDataAvailable(size_t count) {
  if (!FActive || !FPort) return;
  std::string chunk = FPort->Read(count);
  if (chunk.empty()) return;
  FLastReceiveTime = NowMs();
  TouchTraffic();
  FReceivedChunk = std::move(chunk);
  FRxBuffer += FReceivedChunk;
  AfterReceive();
}

void TZEBComms::AfterReceive() {
  FLastRxTick = FClock.TickMs();
  if (Log_Raw_Data) LogPacket("BE:", zeb_log::Raw, 0, true, FReceivedChunk, -1, -1, -1, -1);
  if (OnRawData && !FDestroying) OnRawData(*this, FReceivedChunk);
  if (FRxBuffer.size() > kRxBufferLimit) {
    FRxBuffer.erase(0, FRxBuffer.size() - kRxBufferKeep);
    LogLine("Overflow, puffer was truncated.", zeb_log::Status);
  }
  if (!FProcessTimer->IsActive()) FProcessTimer->Start();
}

// ---- Writing -------------------------------------------------------------------------------

void TZEBComms::WriteLink(const std::string& bytes) {
  if (WsServerMode) {
    if (!FBoundSocket) throw std::runtime_error("no device connected");
    FBoundSocket->Write(bytes);
  } else {
    if (!FPort) throw PortError("port not open");
    FPort->Write(bytes);
  }
}

int TZEBComms::PutFrame(const std::string& frame) {
  if (!SlowWriteMode) return PutFrameDirect(frame);
  if (FSlowWriteBuffer.size() > static_cast<size_t>(std::max(SlowWrPufferSize, 0))) return 4;
  FSlowWriteBuffer += frame;
  if (!FSlowWriteTimer->IsActive()) {
    FSlowWriteTimer->SetInterval(static_cast<uint32_t>(std::max(SlowWrRate, 1)));
    FSlowWriteTimer->Start();
  }
  return 0;
}

int TZEBComms::PutFrameDirect(const std::string& frame) {
  std::string bytes = frame;
  try {
    if (OnBeforeSendRawData && !FDestroying) OnBeforeSendRawData(*this, bytes);
    WriteLink(bytes);
  } catch (const std::exception& e) {
    LogPacket(std::string("KHIBA:") + e.what(), zeb_log::Raw, 0, true, frame, -1, -1, -1, -1);
    return 4;
  }
  OutgoingDataCount += static_cast<uint32_t>(bytes.size());
  TouchTraffic();
  if (Log_Raw_Data) LogPacket("KI:", zeb_log::Raw, 0, true, frame, -1, -1, -1, -1);
  return 0;
}

void TZEBComms::SlowWriteTick() {
  const std::string chunk = FSlowWriteBuffer.substr(0, kSlowWriteChunk);
  FSlowWriteBuffer.erase(0, chunk.size());
  const bool last = FSlowWriteBuffer.empty();
  if (last) FSlowWriteTimer->Stop();
  if (chunk.empty()) return;
  try {
    WriteLink(chunk);
  } catch (const std::exception& e) {
    LogPacket(std::string("KHIBA:") + e.what(), zeb_log::Raw, 0, true, chunk, -1, -1, -1, -1);
    return;
  }
  OutgoingDataCount += static_cast<uint32_t>(chunk.size());
  TouchTraffic();
  if (Log_Raw_Data) LogPacket(last ? "KI_EOB: " : "KI_SLOW:", zeb_log::Raw, 0, true, chunk, -1, -1, -1, -1);
}

void TZEBComms::ClearSlowWrite() {
  FSlowWriteTimer->Stop();
  FSlowWriteBuffer.clear();
}

// ---- Server mode ------------------------------------------------------------------------------

void TZEBComms::BindClient(TZEBServerLink& server, ListenerConnection& connection) {
  LastPckTime = NowMs();
  Host = connection.RemoteAddress();
  Port = connection.RemotePort();
  FBoundSocket = &connection;
  HandleConnected(&server);
}

void TZEBComms::UnbindClient(TZEBServerLink& server) {
  HandleDisconnected(&server);
  FBoundSocket = nullptr;
}

void TZEBComms::ServerReceive(TZEBServerLink& /*server*/, const std::string& data) {
  if (!FActive) return;
  LastPckTime = FLastReceiveTime = NowMs();
  TouchTraffic();
  FReceivedChunk = data;
  FRxBuffer += data;
  AfterReceive();
}

// ---- Port properties --------------------------------------------------------------------------

int TZEBComms::ApdOutSize() const { return FPort ? FPort->OutSize() : 0; }

void TZEBComms::SetApdOutSize(int size) {
  EnsurePort();
  if (FPort) FPort->SetOutSize(size);
}

uint32_t TZEBComms::TryToConnectInterval() const { return FReconnectTimer->Interval(); }

void TZEBComms::SetTryToConnectInterval(uint32_t ms) { FReconnectTimer->SetInterval(ms); }
