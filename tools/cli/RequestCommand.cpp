// `paramdeck-cli request`: one raw request to a device through the communication engine,
// set up as the application sets it up, with the communication log on standard error.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCommand.h"
#include "comms/CommLogFormat.h"
#include "comms/ZEBComms.h"
#include "log/LogTextView.h"
#include "log/logUnit.h"
#include "platform/Cp1250.h"
#include "platform/qt/QtClock.h"
#include "platform/qt/QtPortFactory.h"
#include "platform/qt/QtTcpListener.h"
#include "platform/qt/QtTimer.h"
#include "server/ZEBTCPServer.h"

namespace {

constexpr const char* kHelp =
    "paramdeck-cli request - send one request to a device and print its answer\n"
    "\n"
    "Usage:\n"
    "  paramdeck-cli request LINK --address A [--expect NAME] [--wait MS] [--tries N]\n"
    "                        [--line-timeout MS] [--zebmode zeb|zebw|both-zeb|both-zebw]\n"
    "                        [--link-wait MS] [--command] [--log FILE] PACKET_HEX\n"
    "\n"
    "LINK is exactly one of:\n"
    "  --host H --port P   TCP link to the device listening at H:P\n"
    "  --serial DEV        serial link: DEV is a device path (/dev/ttyUSB0, a pseudo-\n"
    "                      terminal) opened as it stands, or a number N for COM N\n"
    "                      (/dev/ttyS<N-1>)\n"
    "  [--baud B]          serial speed (default 115200)\n"
    "  --server-port P     server mode: listen on TCP port P (0: any free port) for devices\n"
    "                      that connect to the tool, as the desktop program's device server\n"
    "                      does, and talk to the one whose address is A; the port is\n"
    "                      printed on standard error. A device that stays silent is asked\n"
    "                      with a zebw \"CSYSI\"; a short-address device (1..250) that\n"
    "                      answers it in zebw is refused as a bad frame, so such a device\n"
    "                      is found only when it speaks first\n"
    "\n"
    "The tool brings the link up and waits for it (TCP: until the connection is made; serial:\n"
    "the port opens at once; server mode: until the device with address A has connected and\n"
    "been identified, from its first frame or, when it stays silent, from its answer to the\n"
    "\"CSYSI\" sent after 6 s), then sends the packet (hex: the five command letters and their\n"
    "data) to device address A through the communication engine, and ends when the request\n"
    "has ended. A link that did not come up in time fails the request through the engine's\n"
    "own queue timeout (result 3, or 10/11 for a serial port in use / missing). The engine\n"
    "acknowledges, retransmits and times out exactly as in the desktop program.\n"
    "\n"
    "  --expect NAME       the answer's name, e.g. ASYRE (default: no answer expected);\n"
    "                      \"*\" takes any answer, \"#\" any answer after waiting the whole time\n"
    "  --wait MS           the request's waiting time; above 0 the request asks for an\n"
    "                      acknowledgement and waits again after it (default 0: the engine's\n"
    "                      own timeouts of 110, 160 and 230 ms)\n"
    "  --tries N           transmissions before giving up, 1..100 (default 3)\n"
    "  --line-timeout MS   added to every wait, for slow lines (default 0)\n"
    "  --zebmode M         frame variants of the engine: zeb, zebw, both-zeb (default),\n"
    "                      both-zebw (the device server always decodes both and asks in zebw)\n"
    "  --link-wait MS      how long to wait for the link or the device before sending\n"
    "                      (default 10000, in server mode 15000)\n"
    "  --command           send as a device command that asks for an acknowledgement; its end\n"
    "                      is reported the way the desktop program hears it\n"
    "  --log FILE          also write the log lines to FILE, as the program's log file\n"
    "\n"
    "Standard error carries the communication log (and in server mode the device server's\n"
    "lines), one line per event, as the log window shows it. Standard output: a line\n"
    "onread code=<c> data=<hex> for every packet the engine reports on its own (events, and\n"
    "the end of a --command), then the last line\n"
    "  result=<code> answer=<hex>\n"
    "with the request's result code (0 success, 2 not active, 3 no connection, 4 write error,\n"
    "5 no answer, 7 wrong answer, 9 packet too long, 10 serial port in use, 11 no such serial\n"
    "port, 55 address rejected) and the answer's bytes. With --command the result is what\n"
    "was last reported, or result=none when the command ended without a report (no\n"
    "acknowledgement came).\n"
    "\n"
    "Exit codes: 0 result 0, 1 any other result, 2 bad arguments.\n";

constexpr int kLinkWaitMs = 10000;
// A silent device is asked who it is only after 6 s; its answer needs a moment more.
constexpr int kServerWaitMs = 15000;

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

enum class LinkKind { Tcp, Serial, Server };

struct LinkOptions {
  LinkKind kind = LinkKind::Tcp;
  std::string host;          // TCP
  int port = 0;              // TCP port, COM number (0 with a device path) or server port
  std::string serialDevice;  // serial, when given as a path
  int baud = 115200;
  int waitMs = kLinkWaitMs;
};

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Where the engine's link goes. New kinds of link are added here and in ConfigureLink.
bool ParseLink(CliArgs& args, LinkOptions& link, std::string& error) {
  const bool tcp = args.Value("host") || args.Value("port");
  const bool serial = args.Value("serial").has_value();
  const bool server = args.Value("server-port").has_value();
  if (int(tcp) + int(serial) + int(server) != 1) {
    error = "choose exactly one link: --host H --port P, --serial DEV or --server-port P";
    return false;
  }
  if (args.Value("baud") && !serial) {
    error = "--baud goes with --serial only";
    return false;
  }
  long long v = 0;
  if (tcp) {
    link.kind = LinkKind::Tcp;
    const auto host = args.Value("host");
    if (!host || host->empty()) return error = "--host is required", false;
    if (!args.Value("port")) return error = "--port is required", false;
    if (!args.IntValue("port", 1, 65535, v)) return error = args.Error(), false;
    link.host = *host;
    link.port = static_cast<int>(v);
  } else if (serial) {
    link.kind = LinkKind::Serial;
    const std::string dev = *args.Value("serial");
    if (AllDigits(dev)) {
      if (!args.IntValue("serial", 1, 256, v)) {
        return error = "--serial takes a device path or a COM number from 1 to 256, not '" + dev + "'", false;
      }
      link.port = static_cast<int>(v);
    } else if (dev.empty()) {
      return error = "--serial needs a device path or a COM number", false;
    } else {
      link.serialDevice = dev;
    }
    if (!args.IntValue("baud", 1, 4000000, v)) return error = args.Error(), false;
    if (args.Value("baud")) link.baud = static_cast<int>(v);
  } else {
    link.kind = LinkKind::Server;
    link.waitMs = kServerWaitMs;
    if (!args.IntValue("server-port", 0, 65535, v)) return error = args.Error(), false;
    link.port = static_cast<int>(v);
  }
  if (args.Value("link-wait")) {
    if (!args.IntValue("link-wait", 0, 3600000, v)) return error = args.Error(), false;
    link.waitMs = static_cast<int>(v);
  }
  return true;
}

void ConfigureLink(TZEBComms& comms, const LinkOptions& link, TZEBTCPServer* server) {
  comms.WsServerMode = link.kind == LinkKind::Server;
  comms.ZEBTCPServer = server;
  comms.Host = link.kind == LinkKind::Tcp ? link.host : std::string();
  comms.SerialDevice = link.serialDevice;
  comms.Baud = link.baud;
  // In server mode the device's own address and port replace these once it is bound.
  comms.Port = link.kind == LinkKind::Server ? 0 : link.port;
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
  LinkOptions link;
};

bool ParseRequest(CliArgs& args, RequestOptions& o, std::string& error) {
  if (!ParseLink(args, o.link, error)) return false;
  long long v = 0;
  if (!args.Value("address")) {
    error = "--address is required";
    return false;
  }
  if (!args.IntValue("address", 0, 4294967295LL, v)) return error = args.Error(), false;
  o.address = static_cast<uint32_t>(v);
  // The server binds a device to the engine whose address it has; 0 is nobody's.
  if (o.link.kind == LinkKind::Server && o.address == 0) {
    error = "--server-port needs the device's --address (not 0)";
    return false;
  }
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
  // A short frame has one byte for the destination: the request would reach another device.
  const bool encodesZeb = o.mode == TZEBMode::PMZEBOnly || o.mode == TZEBMode::PMDecodeBothEncodeZEB;
  if (encodesZeb && o.address > 255) {
    error = "device address " + std::to_string(o.address) + " needs --zebmode zebw or both-zebw";
    return false;
  }
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

// The device server's own log writer. The server writes through a log writer only; its
// lines go to standard error beside the engine's, with the same stamp, and into the log
// file through the engine's file writer. A writer calls its handler only while it has a
// file open, hence /dev/null.
class ServerLog {
 public:
  ServerLog(const Clock& clock, LogTextView& view, TNaplo* file) : writer_(clock) {
    writer_.SetLogFile("/dev/null");
    writer_.Logging = true;
    writer_.OnWriteLog = [&clock, &view, file](TNaplo&, std::string& message) {
      view.AppendLine(CommLogStamp(clock.Now()) + PrintableText(message, true));
      view.ScrollToEnd();
      if (file) file->WriteLog(message, false);
    };
  }
  TNaplo& Writer() { return writer_; }

 private:
  TNaplo writer_;
};

// Starts the device server as the desktop program's main window sets it up; null when it
// cannot listen (the server has logged why).
std::unique_ptr<TZEBTCPServer> StartServer(int port, TimerFactory& timers, TNaplo& log) {
  auto listener = std::make_unique<QtTcpListener>();
  QtTcpListener& raw = *listener;
  auto server = std::make_unique<TZEBTCPServer>(std::move(listener), timers);
  server->SetPort(port);
  server->SetZEBMode(TZEBMode::PMDecodeBothEncodeZEBW);
  server->Log_Raw_Data = false;
  server->LogWriter = &log;
  server->SetActive(true);
  if (!server->Active()) return nullptr;
  std::fprintf(stderr, "paramdeck-cli request: device server listening on port %u\n", raw.ServerPort());
  std::fflush(stderr);
  return server;
}

int Run(const std::vector<std::string>& argv) {
  CliArgs args({"host", "port", "serial", "baud", "server-port", "link-wait", "address", "expect", "wait", "tries",
                "line-timeout", "zebmode", "log"},
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
  if (o.logFile) {
    logFile = std::make_unique<TNaplo>(clock);
    logFile->SetLogFile(*o.logFile);
    logFile->Logging = true;
  }
  std::unique_ptr<ServerLog> serverLog;
  std::unique_ptr<TZEBTCPServer> server;
  if (o.link.kind == LinkKind::Server) {
    serverLog = std::make_unique<ServerLog>(clock, view, logFile.get());
    server = StartServer(o.link.port, timers, serverLog->Writer());
  }
  auto comms = std::make_unique<TZEBComms>(clock, timers, &ports);
  ConfigureLink(*comms, o.link, server.get());
  ConfigureLikeTheApplication(*comms);
  comms->SetZEBMode(o.mode);
  comms->ZEBAddress = o.address;
  comms->LineTimeout = o.lineTimeout;
  comms->Max_tries_cmd = o.tries;
  comms->LogMemo = &view;
  comms->LogWriter = logFile.get();

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
  // ends through the engine's own queue timeout. In server mode only the device's binding
  // counts: without a listening server none can come.
  if (o.link.kind == LinkKind::Server) {
    if (server) RunUntil([&] { return comms->Connected(); }, o.link.waitMs);
  } else {
    RunUntil([&] { return linkNews || comms->Connected() || !comms->Connecting(); }, o.link.waitMs);
  }

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
  // The engine goes first: it unregisters from the server and closes the device's socket.
  if (server) {
    server->SetActive(false);
    server.reset();
  }

  if (!result) {
    std::printf("result=none\n");
    return 1;
  }
  std::printf("result=%d answer=%s\n", result->first, FormatHex(result->second).c_str());
  return result->first == 0 ? 0 : 1;
}

const CliCommandRegistrar kRegistrar({"request", "send one request to a device through the engine", kHelp, Run});

}  // namespace
