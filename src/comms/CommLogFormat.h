#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Clock.h"

// Settings of the engine that shape a packet line.
struct TPacketLineStyle {
  bool LogHexNumbers = false;
  bool Log_Printable_Raw = false;
  std::string Description;
};

// One packet line of the communication log, without its time stamp: message right-aligned
// in 20 columns, a 32-column middle (serial, source, destination, elapsed time), a
// 10-column printable preview and a byte dump. Dest, Source and Serial of -1 are blank;
// elapsedMs empty leaves the time column blank.
std::string FormatPacketLine(const std::string& Msg, int Kind, const std::string& Packet,
                             std::optional<int64_t> elapsedMs, int64_t Dest, int64_t Source, int Serial,
                             const TPacketLineStyle& style);

// "hh:nn:ss.zzz " with its trailing blank, as the log window and the recent lines show it.
std::string CommLogStamp(const WallTime& t);
