#include "comms/TextSensor.h"

#include <cmath>
#include <cstdlib>

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
}

// The text between `start` and the next `stop` after it; false when either is missing.
bool Between(const std::string& line, const std::string& start, char stop, std::string& out) {
  const size_t a = line.find(start);
  if (a == std::string::npos) return false;
  const size_t from = a + start.size();
  const size_t b = line.find(stop, from);
  if (b == std::string::npos) return false;
  out = line.substr(from, b - from);
  return true;
}

void AppendWord(std::string& data, int value) {
  const auto v = static_cast<uint16_t>(static_cast<int16_t>(value));
  data.push_back(static_cast<char>(v & 0xFF));
  data.push_back(static_cast<char>(v >> 8));
}

}  // namespace

int TextSensorValue(const std::string& text, int scale) {
  std::string t = text;
  ReplaceAll(t, "-00", "-0");
  ReplaceAll(t, "+00", "+0");
  // The sensors write a decimal point; a decimal comma is taken as well.
  for (char& c : t)
    if (c == ',') c = '.';
  size_t b = t.find_first_not_of(' ');
  size_t e = t.find_last_not_of(' ');
  if (b == std::string::npos) return kTextSensorMissing;
  t = t.substr(b, e - b + 1);
  if (!t.empty() && t[0] == '+') t.erase(0, 1);
  if (t.empty() || t[0] == '+') return kTextSensorMissing;
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || !std::isfinite(v)) return kTextSensorMissing;
  if (v == kTextSensorMissing) return kTextSensorMissing;
  // A reading that does not fit the 16-bit word it travels in is no reading at all; casting
  // it would be undefined and would send a false value.
  const double scaled = std::nearbyint(v * scale);
  if (scaled < -32768.0 || scaled > 32767.0) return kTextSensorMissing;
  return static_cast<int>(scaled);
}

std::vector<TTextSensorRecord> ConvertTextSensorLine(const std::string& line) {
  std::vector<TTextSensorRecord> out;
  std::string text;
  if (line.find("H=") != std::string::npos) {
    TTextSensorRecord r;
    r.Data = "AITGD";
    AppendWord(r.Data, Between(line, "T=", 'C', text) ? TextSensorValue(text, 100) : kTextSensorMissing);
    AppendWord(r.Data, Between(line, "H=", '%', text) ? TextSensorValue(text, 10) : kTextSensorMissing);
    out.push_back(std::move(r));
    return out;
  }
  for (uint32_t n = 0; line.find("T" + std::to_string(n)) != std::string::npos; ++n) {
    TTextSensorRecord r;
    r.Channel = n;
    r.Data = "AITGD";
    const std::string start = "T" + std::to_string(n) + "=";
    AppendWord(r.Data, Between(line, start, 'C', text) ? TextSensorValue(text, 100) : kTextSensorMissing);
    out.push_back(std::move(r));
  }
  return out;
}
