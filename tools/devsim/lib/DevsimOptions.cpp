#include "DevsimOptions.h"


#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

[[noreturn]] void Bad(const std::string& text) { throw std::invalid_argument(text); }

uint64_t Number(const std::string& option, const std::string& text, uint64_t min, uint64_t max) {
  uint64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v < min || v > max) {
    Bad(option + ": '" + text + "' is not a number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "FD 01", "fd01", "FD:01" all read as two bytes.
std::string HexBytes(const std::string& option, const std::string& text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == ',') continue;
    const int d = HexDigit(c);
    if (d < 0) Bad(option + ": '" + text + "' is not hexadecimal bytes");
    if (high < 0) {
      high = d;
    } else {
      out += static_cast<char>(high * 16 + d);
      high = -1;
    }
  }
  if (high >= 0) Bad(option + ": '" + text + "' has an odd number of hex digits");
  return out;
}

}  // namespace

DevsimOptions ParseDevsimOptions(const std::vector<std::string>& args) {
  DevsimOptions o;
  int links = 0;
  bool addressGiven = false;
  bool zebw = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) Bad(a + " needs a value");
      return args[++i];
    };
    auto num = [&](uint64_t min, uint64_t max) { return Number(a, value(), min, max); };

    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--listen") {
      o.link = DevsimOptions::Link::Listen;
      o.listenPort = static_cast<uint16_t>(num(0, 65535));
      ++links;
    } else if (a == "--bind") {
      o.bindAddress = value();
    } else if (a == "--connect") {
      const std::string& v = value();
      const size_t colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0) Bad("--connect: '" + v + "' is not HOST:PORT");
      o.host = v.substr(0, colon);
      o.port = static_cast<uint16_t>(Number(a, v.substr(colon + 1), 1, 65535));
      o.link = DevsimOptions::Link::Connect;
      ++links;
    } else if (a == "--pty") {
      o.link = DevsimOptions::Link::Pty;
      ++links;
    } else if (a == "--reconnect-ms") {
      o.reconnectMs = static_cast<uint32_t>(num(1, 3600000));
    } else if (a == "--address") {
      o.address = static_cast<uint32_t>(num(1, 0xFFFFFFFFu));
      if (o.address > 250 && o.address <= 255) Bad("--address: 251..255 are not device addresses");
      addressGiven = true;
    } else if (a == "--zebw") {
      zebw = true;
    } else if (a == "--identity") {
      o.identity = value();
    } else if (a == "--image") {
      o.imagePath = value();
    } else if (a == "--save") {
      o.save = true;
    } else if (a == "--silent-first-seconds") {
      o.silentFirstSeconds = static_cast<uint32_t>(num(0, 86400));
    } else if (a == "--answer-delay-ms") {
      o.answerDelayMs = static_cast<uint32_t>(num(0, 600000));
    } else if (a == "--event-every-ms") {
      o.eventEveryMs = static_cast<uint32_t>(num(1, 86400000));
    } else if (a == "--event-payload") {
      o.eventPayload = value();
      if (o.eventPayload.empty() || o.eventPayload[0] != 'E') Bad("--event-payload: an event begins with 'E'");
    } else if (a == "--no-ack") {
      o.faults.noAck = true;
    } else if (a == "--ack-without-answer") {
      o.faults.ackWithoutAnswer = true;
    } else if (a == "--answer-from-try") {
      o.faults.answerFromTry = static_cast<int>(num(1, 1000));
    } else if (a == "--nack-first") {
      o.faults.nackTries = 1;
    } else if (a == "--nack-tries") {
      o.faults.nackTries = static_cast<int>(num(0, 1000));
    } else if (a == "--error-code-tries") {
      o.faults.errorCodeTries = static_cast<int>(num(0, 1000));
    } else if (a == "--error-code") {
      o.faults.errorCode = HexBytes(a, value());
    } else if (a == "--wrong-serial") {
      o.faults.wrongSerial = true;
    } else if (a == "--late-answer-ms") {
      o.faults.lateAnswerMs = static_cast<uint32_t>(num(0, 600000));
    } else if (a == "--junk") {
      o.faults.junkBeforeFrame = HexBytes(a, value());
    } else {
      Bad("unknown option '" + a + "' (see --help)");
    }
  }
  if (o.help) return o;
  if (links != 1) Bad("choose exactly one of --listen PORT, --connect HOST:PORT, --pty");
  if (zebw) {
    if (!addressGiven) o.address = 1000;
    if (o.address <= 255) Bad("--zebw needs an --address above 255");
  }
  if (o.save && o.imagePath.empty()) Bad("--save needs --image FILE");
  return o;
}

std::string DevsimUsage() {
  return R"(paramdeck-devsim - a simulated field device with an EEPROM parameter image

Usage: paramdeck-devsim (--listen PORT | --connect HOST:PORT | --pty) [options]

Link (exactly one):
  --listen PORT            wait for the PC as a TCP server (ParamDeck's TCP client link);
                           PORT 0 takes a free port; the port is printed
  --bind ADDRESS           address to listen on (default 0.0.0.0)
  --connect HOST:PORT      connect to ParamDeck's device server, as real devices do;
                           reconnects when the connection fails or drops
  --reconnect-ms MS        time between connection attempts (default 1000)
  --pty                    create a pseudo-terminal and print its path on a line of its
                           own; ParamDeck opens it as a serial device

Device:
  --address N              device address: 1..250, or above 255 (default 1)
  --zebw                   long-address device; without --address the address is 1000
  --identity TEXT          identification text sent after ASYSI / ESYSI
                           (default "PARAMDECK DEVSIM")
  --image FILE             EEPROM image (4097 bytes; a shorter file fills the start)
  --save                   write the image back to FILE on exit (SIGINT, SIGTERM);
                           with --save a missing FILE starts as all zero bytes
  --silent-first-seconds N on a TCP link, say nothing of its own for the first N seconds
                           (so the PC has to identify it with CSYSI); without it the
                           device sends its identification event ESYSI at once
  --answer-delay-ms MS     time from a request to its answer (default 0)
  --event-every-ms MS      send an unsolicited event every MS milliseconds
  --event-payload TEXT     the event's payload (default ESYEV; must begin with E)

Faults:
  --no-ack                 never acknowledge
  --ack-without-answer     acknowledge, never answer
  --answer-from-try N      ignore the first N-1 tries of every request
  --nack-first             answer the first served try with a negative acknowledgement
  --nack-tries N           ... the first N served tries
  --error-code-tries N     answer the next N tries with an error code instead of data
                           (nothing is executed)
  --error-code HEX         the error code bytes (default FF)
  --wrong-serial           answers carry the request's serial number + 1
  --late-answer-ms MS      answers come MS milliseconds late (acknowledgements do not)
  --junk HEX               bytes written in front of every frame

Commands served: CSYRE (read), CSYWE (write), CSYSI (identify), CSYRP (re-read
parameters), CSYRS (restart: acknowledged, no answer). A request it cannot serve is
acknowledged and, when the request allows error answers, answered with ASYER.
Every frame received and sent is printed as one line on standard output.
)";
}

std::string LoadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(path + ": read error");
  if (bytes.size() > SimulatedDevice::kImageSize) {
    throw std::runtime_error(path + ": " + std::to_string(bytes.size()) + " bytes, an image holds at most " +
                             std::to_string(SimulatedDevice::kImageSize));
  }
  bytes.resize(SimulatedDevice::kImageSize, '\0');
  return bytes;
}

void SaveImageFile(const std::string& path, const std::string& image) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error(tmp + ": " + std::strerror(errno));
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      throw std::runtime_error(tmp + ": write error");
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    std::remove(tmp.c_str());
    throw std::runtime_error(path + ": " + std::strerror(err));
  }
}
