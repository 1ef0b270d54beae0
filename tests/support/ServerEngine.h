#pragma once

// Server-mode engines shared by the server tests and benchmarks.

#include <cstdint>

#include "comms/ZEBComms.h"

// Sets an engine up to be reached through the server by its device's address, with no
// connection checks of its own. It is left inactive so that the caller can add its events
// before the server may bind it.
inline void ServeThrough(TZEBServerLink& server, TZEBComms& engine, uint32_t address, TZEBMode mode) {
  engine.ZEBAddress = address;
  engine.WsServerMode = true;
  engine.ZEBTCPServer = &server;
  engine.ConnectionCheckRate = 0;
  engine.SetZEBMode(mode);
}
