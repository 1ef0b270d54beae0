#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A reading of the text-line temperature and humidity sensors, turned into the packet a
// device of the family would send: "AITGD" and 16-bit little-endian values.
struct TTextSensorRecord {
  uint32_t Channel = 0;  // 0-based; the packet's source address is Channel + 1
  std::string Data;
};

// Marks a value that could not be read.
inline constexpr int kTextSensorMissing = 20000;

// Converts one line (line feed removed, everything before its last "*" already dropped).
// "T=..C H=..%" gives one record with temperature (hundredths) and humidity (tenths);
// otherwise "T0=..C T1=..C ..." gives one record per channel, temperature in hundredths.
std::vector<TTextSensorRecord> ConvertTextSensorLine(const std::string& line);

// The value of one reading scaled and rounded (scale 100 or 10), or kTextSensorMissing.
int TextSensorValue(const std::string& text, int scale);
