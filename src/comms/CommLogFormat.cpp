#include "comms/CommLogFormat.h"

#include <cinttypes>
#include <cstdio>

#include "log/logUnit.h"

namespace {

constexpr int kRawKind = 1;

// Right-aligned "%8u", or eight blanks when the column is suppressed or has no value.
std::string AddressColumn(int64_t value, bool blank) {
  if (blank || value < 0) return std::string(8, ' ');
  char buf[32];
  std::snprintf(buf, sizeof buf, "%8" PRIu32, static_cast<uint32_t>(value));
  return buf;
}

std::string PadOrCut(const std::string& s, size_t width) {
  std::string r = s.substr(0, width);
  r.resize(width, ' ');
  return r;
}

std::string RightAlign(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

}  // namespace

std::string FormatPacketLine(const std::string& Msg, int Kind, const std::string& Packet,
                             std::optional<int64_t> elapsedMs, int64_t Dest, int64_t Source, int Serial,
                             const TPacketLineStyle& style) {
  const std::string preview = PrintableText(Packet, true);
  std::string dump;
  if (Kind == kRawKind && !style.Log_Printable_Raw) {
    // Raw traffic on its own line, byte for byte.
    dump = "\r\n" + Packet;
  } else {
    dump = style.LogHexNumbers ? HexText(Packet) : DecText(Packet);
  }

  std::string middle;
  if (Kind == kRawKind) {
    middle = std::string(32, ' ');
  } else {
    const bool blankSource = Kind == 8 || Kind == 9 || Kind == 10 || Source == 250;
    const bool blankDest = Kind == 10 || Dest == 250;
    std::string timeText(7, ' ');
    if (elapsedMs) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "T:%.5" PRId64, *elapsedMs);
      timeText = buf;
    }
    std::string serialText(3, ' ');
    if (Serial != -1) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%.3d", Serial);
      serialText = buf;
    }
    middle = serialText + ". " + AddressColumn(Source, blankSource) + " > " + AddressColumn(Dest, blankDest) + " " +
             timeText;
  }

  std::string desc;
  if (!style.Description.empty()) desc = RightAlign(style.Description.substr(0, 3), 3) + " ";

  return desc + RightAlign(Msg.substr(0, 20), 20) + " " + middle + " " + PadOrCut(preview, 10) + " " + dump;
}

std::string CommLogStamp(const WallTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d ", t.hour, t.minute, t.second, t.msec);
  return buf;
}
