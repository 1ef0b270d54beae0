#include "log/logUnit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/Cp1250.h"

namespace {

// Every writer of the process shares it, so lines of different writers on one file never
// interleave; re-entrant because handlers, views and sinks may log from inside a write.
std::recursive_mutex& LogLock() {
  static std::recursive_mutex lock;
  return lock;
}

TNaplo* g_logWindowWriter = nullptr;
TShowMessageFn g_showMessage;

struct IoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError("write failed");
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

ssize_t ReadSome(int fd, char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Milliseconds since the epoch, so that the time-stamp estimate can cross midnight, month
// and year ends.
int64_t ToMs(const WallTime& t) {
  using namespace std::chrono;
  const sys_days date{year{t.year} / month{static_cast<unsigned>(t.month)} / day{static_cast<unsigned>(t.day)}};
  const auto tp = date + hours{t.hour} + minutes{t.minute} + seconds{t.second} + milliseconds{t.msec};
  return duration_cast<milliseconds>(tp.time_since_epoch()).count();
}

WallTime FromMs(int64_t ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> tp{milliseconds{ms}};
  const sys_days day = floor<days>(tp);
  const year_month_day ymd{day};
  const hh_mm_ss<milliseconds> tod{tp - day};
  WallTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.hour = static_cast<int>(tod.hours().count());
  t.minute = static_cast<int>(tod.minutes().count());
  t.second = static_cast<int>(tod.seconds().count());
  t.msec = static_cast<int>(tod.subseconds().count());
  return t;
}

constexpr uint32_t kRebaseAfterMs = 2000;
constexpr int64_t kMaxDriftMs = 120;
constexpr size_t kCopyBlock = 65536;

}  // namespace

// ---------------------------------------------------------------------------------------
// TDBNaplo

TDBNaplo::TDBNaplo(const Clock& clock) : clock_(clock) {}

void TDBNaplo::WriteRow(const std::string& text, const std::string& source, int level) {
  try {
    if (DataSet == nullptr || !DBEnabled || !DataSet->Active()) return;
    if (level != -1 && level > MaxLevel) return;
    LogRow row;
    // One reading for both columns, so a row written at midnight cannot pair one day's
    // date with the next day's time.
    const WallTime now = clock_.Now();
    row.Datum = LogDate{now.year, now.month, now.day};
    row.Ido = LogTimeOfDay{now.hour, now.minute, now.second, now.msec};
    row.Tul = source.empty() ? DefaultSource : source;
    row.Szint = level == -1 ? DefaultLevel : level;
    row.Szoveg = text;
    DataSet->Append(row);
    if (DataSet->RecordCount() > MaxRows) DataSet->DeleteFirst();
  } catch (...) {
    // A log sink never fails its caller; the row is lost.
  }
}

// ---------------------------------------------------------------------------------------
// TNaplo

TNaplo::TNaplo(const Clock& clock, const void* owner) : Owner(owner), DBLogWriter(clock), clock_(clock) {}

TNaplo::~TNaplo() {
  std::lock_guard<std::recursive_mutex> lock(LogLock());
  CloseFile();
  if (g_logWindowWriter == this) g_logWindowWriter = nullptr;
}

void TNaplo::SetLogLimit(int limit) {
  if (limit < 0) return;
  std::lock_guard<std::recursive_mutex> lock(LogLock());
  FLogLimit = limit;
}

void TNaplo::SetLogFile(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(LogLock());
  if (path == FLogFile) return;
  CloseFile();
  FLogFile = path;
}

bool TNaplo::OpenFile() {
  // O_APPEND keeps several writers on one file from overwriting each other's lines.
  fd_ = ::open(FLogFile.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

void TNaplo::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string TNaplo::TimePrefix() {
  if (!LogTime) return std::string();
  const WallTime now = clock_.Now();
  const uint32_t tick = clock_.TickMs();
  // The wall clock may step in coarse increments; between re-bases the tick counter gives
  // the milliseconds, and the wall clock only corrects drift.
  const uint32_t sinceBase = tick - BaseTick;
  const int64_t nowMs = ToMs(now);
  const int64_t estimate = ToMs(BaseTime) + sinceBase;
  WallTime stamp;
  if (sinceBase > kRebaseAfterMs || std::llabs(estimate - nowMs) > kMaxDriftMs) {
    BaseTick = tick;
    BaseTime = now;
    stamp = now;
  } else {
    stamp = FromMs(estimate);
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d:%02d.%03d  ", ((stamp.year % 100) + 100) % 100,
                stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second, stamp.msec);
  return buf;
}

void TNaplo::WriteToFile(std::string& message, std::string& dataSetText) {
  // A copy: the handler may replace or clear itself while it runs.
  if (const TOnWriteLogEvent handler = OnWriteLog) handler(*this, message);
  std::string line = TimePrefix();
  if (ConvertToPrintable) message = PrintableText(message, true);
  line += message;
  line += "\r\n";
  // A handler may have closed or switched the file from inside OnWriteLog.
  if (fd_ < 0) return;
  WriteAll(fd_, line.data(), line.size());
  dataSetText = line;
  if (Memo != nullptr) {
    Memo->AppendLine(line.substr(0, line.size() - 2));
    if (AutoScrollMemo) Memo->ScrollToEnd();
  }
  struct stat st {};
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && st.st_size > FLogLimit) Rotate();
}

void TNaplo::Rotate() {
  // Off until the rotation completes: a failure on the way leaves the writer silent rather
  // than writing into a half-rotated file.
  Logging = false;
  CloseFile();
  Fd in(::open(FLogFile.c_str(), O_RDWR | O_CLOEXEC));
  if (in.get() < 0) throw IoError("reopen failed");
  const off_t size = ::lseek(in.get(), 0, SEEK_END);
  if (size < 0) throw IoError("seek failed");
  const off_t keep = FLogLimit / 2;
  if (::lseek(in.get(), size > keep ? size - keep : 0, SEEK_SET) < 0) throw IoError("seek failed");

  const std::string tmp = FLogFile + ".tmp";
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) throw IoError("cannot delete tmp");
  Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) throw IoError("cannot create tmp");
  std::string block(kCopyBlock, '\0');
  for (;;) {
    const ssize_t n = ReadSome(in.get(), block.data(), block.size());
    if (n < 0) throw IoError("read failed");
    if (n == 0) break;
    WriteAll(out.get(), block.data(), static_cast<size_t>(n));
  }
  in.Close();
  // A failed close may mean the copy never reached the disk.
  if (::close(out.Release()) != 0) throw IoError("close failed");
  // rename replaces the old file in one step, so a crash here never leaves no log at all.
  if (::rename(tmp.c_str(), FLogFile.c_str()) != 0) throw IoError("rename failed");
  if (!OpenFile()) throw IoError("reopen failed");
  Logging = true;
}

void TNaplo::WriteLog(const std::string& message, bool alsoToDataSet) {
  try {
    std::lock_guard<std::recursive_mutex> lock(LogLock());
    if (!Logging || FLogLimit == 0) return;
    std::string msg = message;
    std::string dataSetText;
    try {
      if (fd_ < 0 && !FLogFile.empty()) OpenFile();
      if (fd_ >= 0) WriteToFile(msg, dataSetText);
    } catch (...) {
      // Whatever failed (file, handler, memo, rotation), the caller never hears of it.
    }
    if (!alsoToDataSet && !LogEvertythingToDB) return;
    std::string row;
    try {
      row = dataSetText.empty() ? msg : dataSetText;
      for (char& c : row)
        if (c == '\n' || c == '\r') c = ' ';
    } catch (const std::exception& e) {
      WriteLog(std::string("DBLog Hiba:") + e.what(), false);
      return;
    }
    DBLogWriter.WriteRow(row, std::string(), -1);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Renderings

std::string HexText(std::string_view s) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size() * 3);
  for (unsigned char b : s) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
    out += ' ';
  }
  return out;
}

std::string DecText(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 4);
  for (unsigned char b : s) {
    out += static_cast<char>('0' + b / 100);
    out += static_cast<char>('0' + b / 10 % 10);
    out += static_cast<char>('0' + b % 10);
    out += ' ';
  }
  return out;
}

std::string PrintableText(std::string_view s, bool withCodes) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 32) {
      out += c;
    } else if (!withCodes) {
      out += '.';
    } else {
      out += '#';
      if (b >= 10) out += static_cast<char>('0' + b / 10);
      out += static_cast<char>('0' + b % 10);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The log window's writer

void SetLogWindowWriter(TNaplo* writer) { g_logWindowWriter = writer; }

TNaplo* LogWindowWriter() { return g_logWindowWriter; }

void SetShowMessageHandler(TShowMessageFn handler) { g_showMessage = std::move(handler); }

void LogToWindow(const std::string& text) {
  if (g_logWindowWriter != nullptr) g_logWindowWriter->WriteLog(text, false);
}

void LogAndShowMessage(const std::string& text) {
  LogToWindow(Hu("[üzenet:] ") + text);
  // A copy: the box's handler may be replaced while the box is open.
  if (const TShowMessageFn show = g_showMessage) show(text);
}
