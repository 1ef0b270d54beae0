// `paramdeck-cli request`: one raw request to a device through the communication engine,
// set up as the application sets it up, with the communication log on standard error.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCommand.h"
#include "comms/ZEBComms.h"
#include "log/LogTextView.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtPortFactory.h"
#include "platform/qt/QtTimer.h"

namespace {

constexpr const char* kHelp =
    "paramdeck-cli request - send one request to a device and print its answer\n"
    "\n"
    "Usage:\n"
    "  paramdeck-cli request --host H --port P --address A [--expect NAME] [--wait MS]\n"
    "                        [--tries N] [--line-timeout MS] [--zebmode zeb|zebw|both-zeb|both-zebw]\n"
    "                        [--command] [--log FILE] PACKET_HEX\n"
    "\n"
    "Opens a TCP link to the device at H:P, waits for it to come up (at most 10 s), sends the\n"
    "packet (hex: the five command letters and their data) to device address A through the\n"
    "communication engine, and ends when the request has ended. The engine acknowledges,\n"
    "retransmits and times out exactly as in the desktop program.\n"
    "\n"
    "  --expect NAME       the answer's name, e.g. ASYRE (default: no answer expected);\n"
    "                      \"*\" takes any answer, \"#\" any answer after waiting the whole time\n"
    "  --wait MS           the request's waiting time; above 0 the request asks for an\n"
    "                      acknowledgement and waits again after it (default 0: the engine's\n"
    "                      own timeouts of 110, 160 and 230 ms)\n"
    "  --tries N           transmissions before giving up, 1..100 (default 3)\n"
    "  --line-timeout MS   added to every wait, for slow lines (default 0)\n"
    "  --zebmode M         frame variants: zeb, zebw, both-zeb (default), both-zebw\n"
    "  --command           send as a device command that asks for an acknowledgement; its end\n"
    "                      is reported the way the desktop program hears it\n"
    "  --log FILE          also write the log lines to FILE, as the program's log file\n"
    "\n"
    "Standard error carries the communication log, one line per event, as the log window shows\n"
    "it. Standard output: a line onread code=<c> data=<hex> for every packet the engine reports\n"
    "on its own (events, and the end of a --command), then the last line\n"
    "  result=<code> answer=<hex>\n"
    "with the request's result code (0 success, 2 not active, 3 no connection, 4 write error,\n"
    "5 no answer, 7 wrong answer, 9 packet too long, 55 address rejected) and the answer's\n"
    "bytes. With --command the result is what was last reported, or result=none when the\n"
    "command ended without a report (no acknowledgement came).\n"
    "\n"
    "Exit codes: 0 result 0, 1 any other result, 2 bad arguments.\n";

constexpr int kLinkWaitMs = 10000;

int Fail(const std::string& message) {
  std::fprintf(stderr, "paramdeck-cli request: %s\n", message.c_str());
  return 2;
}

// The log window, on standard error.
class StderrLogView : public LogTextView {
 public:
  void AppendLine(const std::string& line) override {
    std::fprintf(stderr, "%s\n", Cp1250ToUtf8(line).c_str());
    ++lines_;
  }
  void ScrollToEnd() override { std::fflush(stderr); }
  int LineCount() const override { return lines_; }
  void DeleteFirstLines(int) override {}
  void Clear() override {}

 private:
  int lines_ = 0;
};

// Runs the event loop until done() holds or boundMs have passed.
bool RunUntil(const std::function<bool()>& done, int boundMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    const qint64 left = boundMs - clock.elapsed();
    if (left <= 0) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, static_cast<int>(std::min<qint64>(left, 50)));
  }
  return true;
}

bool ParseZebMode(const CliArgs& args, TZEBMode& mode, std::string& error) {
  static const std::pair<const char*, TZEBMode> modes[] = {{"zeb", TZEBMode::PMZEBOnly},
                                                           {"zebw", TZEBMode::PMZEBWOnly},
                                                           {"both-zeb", TZEBMode::PMDecodeBothEncodeZEB},
                                                           {"both-zebw", TZEBMode::PMDecodeBothEncodeZEBW}};
  const auto value = args.Value("zebmode");
  if (!value) return true;
  for (const auto& [name, m] : modes) {
    if (*value == name) {
      mode = m;
      return true;
    }
  }
  error = "unknown --zebmode '" + *value + "' (zeb, zebw, both-zeb, both-zebw)";
  return false;
}

// Everything about where the engine's link goes. New kinds of link (a serial port, the
// device server) are added here and nowhere else.
bool ConfigureLink(TZEBComms& comms, CliArgs& args, std::string& error) {
  const auto host = args.Value("host");
  if (!host || host->empty()) {
    error = "--host is required";
    return false;
  }
  long long port = 0;
  if (!args.Value("port")) {
    error = "--port is required";
    return false;
  }
  if (!args.IntValue("port", 1, 65535, port)) {
    error = args.Error();
    return false;
  }
  comms.WsServerMode = false;
  comms.ZEBTCPServer = nullptr;
  comms.Host = *host;
  comms.Port = static_cast<int>(port);
  return true;
}

// The engine as the desktop program configures it for a connection.
void ConfigureLikeTheApplication(TZEBComms& comms) {
  comms.Enable_ASYER = true;
  comms.LoosePckIDCheck = true;
  comms.Nyugtazas = true;
  comms.Log_Raw_Data = true;
  comms.Log_All_Packages = true;
  comms.Log_Printable_Raw = true;
  comms.Nyugtat_is_jelezze = true;
  comms.Pollingolo = false;
  comms.SetZEBMode(TZEBMode::PMDecodeBothEncodeZEB);
}

struct RequestOptions {
  uint32_t address = 0;
  std::string expect;
  int wait = 0;
  int tries = 3;
  uint32_t lineTimeout = 0;
  TZEBMode mode = TZEBMode::PMDecodeBothEncodeZEB;
  bool command = false;
  std::optional<std::string> logFile;
  std::string packet;
};

bool ParseRequest(CliArgs& args, RequestOptions& o, std::string& error) {
  long long v = 0;
  if (!args.Value("address")) {
    error = "--address is required";
    return false;
  }
  if (!args.IntValue("address", 0, 4294967295LL, v)) return error = args.Error(), false;
  o.address = static_cast<uint32_t>(v);
  if (args.Value("wait")) {
    if (!args.IntValue("wait", -2147483647LL, 2147483647LL, v)) return error = args.Error(), false;
    o.wait = static_cast<int>(v);
  }
  if (args.Value("tries")) {
    if (!args.IntValue("tries", 1, 100, v)) return error = args.Error(), false;
    o.tries = static_cast<int>(v);
  }
  if (args.Value("line-timeout")) {
    if (!args.IntValue("line-timeout", 0, 3600000, v)) return error = args.Error(), false;
    o.lineTimeout = static_cast<uint32_t>(v);
  }
  if (!ParseZebMode(args, o.mode, error)) return false;
  if (const auto e = args.Value("expect")) o.expect = Utf8ToCp1250(*e);
  o.command = args.Has("command");
  if (o.command && (args.Value("expect") || args.Value("wait"))) {
    error = "--command takes neither --expect nor --wait";
    return false;
  }
  o.logFile = args.Value("log");
  if (args.Positional().size() != 1) {
    error = "expects exactly one packet argument (hex)";
    return false;
  }
  if (!ParseHex(args.Positional()[0], o.packet) || o.packet.empty()) {
    error = "malformed or empty packet hex: '" + args.Positional()[0] + "'";
    return false;
  }
  return true;
}

QCoreApplication& EnsureApplication() {
  static int argc = 1;
  static char name[] = "paramdeck-cli";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  return *QCoreApplication::instance();
}

int Run(const std::vector<std::string>& argv) {
  CliArgs args({"host", "port", "address", "expect", "wait", "tries", "line-timeout", "zebmode", "log"},
               {"command"});
  if (!args.Parse(argv)) return Fail(args.Error());
  RequestOptions o;
  std::string error;
  if (!ParseRequest(args, o, error)) return Fail(error);

  EnsureApplication();
  QtClock clock;
  QtTimerFactory timers;
  QtPortFactory ports;
  StderrLogView view;
  std::unique_ptr<TNaplo> logFile;
  auto comms = std::make_unique<TZEBComms>(clock, timers, &ports);
  if (!ConfigureLink(*comms, args, error)) return Fail(error);
  ConfigureLikeTheApplication(*comms);
  comms->SetZEBMode(o.mode);
  comms->ZEBAddress = o.address;
  comms->LineTimeout = o.lineTimeout;
  comms->Max_tries_cmd = o.tries;
  comms->LogMemo = &view;
  if (o.logFile) {
    logFile = std::make_unique<TNaplo>(clock);
    logFile->SetLogFile(*o.logFile);
    logFile->Logging = true;
    comms->LogWriter = logFile.get();
  }

  bool linkNews = false;
  comms->OnConnect = [&](void*) { linkNews = true; };
  comms->OnTCPError = [&](void*) { linkNews = true; };
  comms->OnDisConnect = [&](void*) { linkNews = true; };
  std::optional<std::pair<int, std::string>> reported;
  comms->OnRead = [&](const std::string& s, uint16_t code, int) {
    std::printf("onread code=%d data=%s\n", code, FormatHex(s).c_str());
    std::fflush(stdout);
    reported = std::make_pair(static_cast<int>(code), s);
  };

  comms->SetActive(true);
  // Until the link is up or has failed; a request sent to a link that never comes up then
  // ends through the engine's own queue timeout.
  RunUntil([&] { return linkNews || comms->Connected() || !comms->Connecting(); }, kLinkWaitMs);

  std::optional<std::pair<int, std::string>> result;
  if (o.command) {
    reported.reset();
    comms->SendCommand(o.packet, true, o.address);
    RunUntil([&] { return comms->QueueCount() == 0; }, INT32_MAX);
    result = reported;
  } else {
    auto finish = [&](const std::string& s, uint16_t code, int) { result = std::make_pair(static_cast<int>(code), s); };
    comms->SendRequest(o.packet, o.address, o.expect, finish, finish, 0, o.wait, false);
    RunUntil([&] { return result.has_value(); }, INT32_MAX);
  }
  comms->SetActive(false);
  // Lets the socket report its closing, so the log ends as the log window's would.
  QCoreApplication::processEvents();
  comms.reset();

  if (!result) {
    std::printf("result=none\n");
    return 1;
  }
  std::printf("result=%d answer=%s\n", result->first, FormatHex(result->second).c_str());
  return result->first == 0 ? 0 : 1;
}

const CliCommandRegistrar kRegistrar({"request", "send one request to a device through the engine", kHelp, Run});

}  // namespace
