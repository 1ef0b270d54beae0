#pragma once

class TZEBComms;

// What an engine in server mode needs from the device TCP server. The engine registers at
// activation and unregisters at deactivation; the server then finds the engine of a
// device by its address and drives it through the engine's server-mode entry points:
//
//   void TZEBComms::BindClient(TZEBServerLink& server, ListenerConnection& connection);
//   void TZEBComms::UnbindClient(TZEBServerLink& server);
//   void TZEBComms::ServerReceive(TZEBServerLink& server, const std::string& data);
//
// and reads or writes `ZEBAddress` (public field, uint32_t), `BoundSocket()` (the bound
// ListenerConnection*, nullptr when none) and `IncomingDataCount` (public field, uint32_t).
//
// Kept apart from the server's own header so that the engine does not depend on the
// server library (the server depends on the engine).
class TZEBServerLink {
 public:
  virtual ~TZEBServerLink() = default;
  virtual void RegisterComms(TZEBComms& comms) = 0;
  virtual void UnregisterComms(TZEBComms& comms) = 0;
};
