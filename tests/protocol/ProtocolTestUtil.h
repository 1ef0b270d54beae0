#pragma once

#include <stdexcept>
#include <string>

// Frames in the tests are written as hex, the way they appear on a line monitor.
inline std::string Bytes(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ') continue;
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) throw std::invalid_argument("bad hex in test: " + hex);
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd hex in test: " + hex);
  return out;
}

inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}
