// The engine's communication log: packet lines, plain lines and the recent-lines list.

#include <cstdlib>

#include "comms/CommLogFormat.h"
#include "comms/ZEBComms.h"
#include "log/logUnit.h"

namespace {

constexpr size_t kRecentLines = 25;

}  // namespace

void TZEBComms::LogPacket(const std::string& Msg, int Kind, uint32_t SendTick, bool LogFlag,
                          const std::string& Packet, int64_t RefTime, int64_t Dest, int64_t Source, int Serial) {
  std::optional<int64_t> elapsed;
  if (SendTick != 0)
    elapsed = static_cast<int32_t>(FClock.TickMs() - SendTick);
  else if (RefTime != -1)
    elapsed = std::llabs(NowMs() - RefTime);  // a wall clock set back must not shift the columns
  TPacketLineStyle style;
  style.LogHexNumbers = LogHexNumbers;
  style.Log_Printable_Raw = Log_Printable_Raw;
  style.Description = Description;
  const std::string line = FormatPacketLine(Msg, Kind, Packet, elapsed, Dest, Source, Serial, style);

  if (!LogFlag && !MindenNaplozasa) {
    AddRecentLine(CommLogStamp(FClock.Now()) + line);
    return;
  }
  if (Kind == zeb_log::Raw && !Log_Printable_Raw && LogWriter) {
    // The raw bytes must reach the file as they are.
    const bool printable = LogWriter->ConvertToPrintable;
    LogWriter->ConvertToPrintable = false;
    LogLine(line, Kind);
    if (LogWriter) LogWriter->ConvertToPrintable = printable;
  } else {
    LogLine(line, Kind);
  }
}

void TZEBComms::LogLine(const std::string& text, int kind) {
  // An unreachable device must not flood the log with the same error.
  if ((kind == zeb_log::CommError || kind == zeb_log::OpenFailed) && kind == FLastLogKind) return;
  FLastLogKind = kind;
  const std::string stamp = CommLogStamp(FClock.Now());
  if (LogWriter) LogWriter->WriteLog(text, false);
  if (LogMemo) {
    LogMemo->AppendLine(stamp + text);
    LogMemo->ScrollToEnd();
  }
  AddRecentLine(stamp + text);
}

void TZEBComms::AddRecentLine(std::string line) {
  FRecentLines.push_back(std::move(line));
  while (FRecentLines.size() > kRecentLines) FRecentLines.pop_front();
}
