#include "platform/Cp1250.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace {

// Code points of bytes 0x80..0xFF. The five bytes the code page leaves undefined (0x81,
// 0x83, 0x88, 0x90, 0x98) stand for the C1 control of the same number, so that arbitrary
// device bytes survive a trip through Unicode.
constexpr std::array<char16_t, 128> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

struct ReverseEntry {
  char16_t codePoint;
  unsigned char byte;
};

constexpr std::array<ReverseEntry, 128> MakeReverse() {
  std::array<ReverseEntry, 128> r{};
  for (size_t i = 0; i < kHigh.size(); ++i) r[i] = {kHigh[i], static_cast<unsigned char>(0x80 + i)};
  std::sort(r.begin(), r.end(), [](const ReverseEntry& a, const ReverseEntry& b) { return a.codePoint < b.codePoint; });
  return r;
}

constexpr std::array<ReverseEntry, 128> kReverse = MakeReverse();

// Each byte's UTF-8 form, precomputed so that the common direction is a table copy.
struct Utf8Form {
  char bytes[3];
  unsigned char length;
};

constexpr std::array<Utf8Form, 256> MakeUtf8Forms() {
  std::array<Utf8Form, 256> forms{};
  for (unsigned b = 0; b < 256; ++b) {
    const char32_t cp = b < 0x80 ? b : kHigh[b - 0x80];
    Utf8Form& f = forms[b];
    if (cp < 0x80) {
      f.bytes[0] = static_cast<char>(cp);
      f.length = 1;
    } else if (cp < 0x800) {
      f.bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      f.bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      f.length = 2;
    } else {
      f.bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      f.bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      f.bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      f.length = 3;
    }
  }
  return forms;
}

constexpr std::array<Utf8Form, 256> kUtf8Forms = MakeUtf8Forms();

// Decodes one well-formed UTF-8 sequence at s[i]; returns its length, or 0 when the bytes
// there are not a well-formed sequence (overlong forms, surrogates and values beyond
// U+10FFFF count as malformed).
size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
  const auto lead = static_cast<unsigned char>(s[i]);
  size_t length;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Upper-case bytes with their lower-case partners.
constexpr std::pair<unsigned char, unsigned char> kCasePairs[] = {
    {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F},
    {0xA3, 0xB3}, {0xA5, 0xB9}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xBC, 0xBE},
};

struct CaseTables {
  std::array<char, 256> lower{};
  std::array<char, 256> upper{};
};

constexpr CaseTables MakeCaseTables() {
  CaseTables t;
  for (unsigned b = 0; b < 256; ++b) t.lower[b] = t.upper[b] = static_cast<char>(b);
  auto pair = [&t](unsigned up, unsigned low) {
    t.lower[up] = static_cast<char>(low);
    t.upper[low] = static_cast<char>(up);
  };
  for (unsigned b = 'A'; b <= 'Z'; ++b) pair(b, b + 0x20);
  for (unsigned b = 0xC0; b <= 0xDE; ++b)
    if (b != 0xD7) pair(b, b + 0x20);  // 0xD7/0xF7 are the multiplication and division signs
  for (const auto& [up, low] : kCasePairs) pair(up, low);
  return t;
}

constexpr CaseTables kCase = MakeCaseTables();

}  // namespace

char Cp1250ToLower(char c) { return kCase.lower[static_cast<unsigned char>(c)]; }
char Cp1250ToUpper(char c) { return kCase.upper[static_cast<unsigned char>(c)]; }

std::string Cp1250Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Cp1250ToLower(c);
  return out;
}

std::string Cp1250Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Cp1250ToUpper(c);
  return out;
}

bool Cp1250EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Cp1250ToLower(x) == Cp1250ToLower(y); });
}

char32_t Cp1250ToCodePoint(unsigned char byte) { return byte < 0x80 ? byte : kHigh[byte - 0x80]; }

bool CodePointToCp1250(char32_t codePoint, unsigned char& byte) {
  if (codePoint < 0x80) {
    byte = static_cast<unsigned char>(codePoint);
    return true;
  }
  if (codePoint > 0xFFFF) return false;
  const auto it = std::lower_bound(kReverse.begin(), kReverse.end(), codePoint,
                                   [](const ReverseEntry& e, char32_t cp) { return e.codePoint < cp; });
  if (it == kReverse.end() || it->codePoint != codePoint) return false;
  byte = it->byte;
  return true;
}

std::string Cp1250ToUtf8(std::string_view cp1250) {
  std::string out;
  out.reserve(cp1250.size() + cp1250.size() / 4);
  for (const char c : cp1250) {
    const Utf8Form& f = kUtf8Forms[static_cast<unsigned char>(c)];
    out.append(f.bytes, f.length);
  }
  return out;
}

std::string Utf8ToCp1250(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    size_t length = DecodeUtf8(utf8, i, cp);
    if (length == 0) {
      cp = static_cast<unsigned char>(utf8[i]);  // malformed: the byte as Latin-1
      length = 1;
    }
    unsigned char byte;
    out.push_back(CodePointToCp1250(cp, byte) ? static_cast<char>(byte) : '?');
    i += length;
  }
  return out;
}
