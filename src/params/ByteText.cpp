#include "params/ByteText.h"

#include <cmath>
#include <limits>

#include "platform/Cp1250.h"

namespace {

std::string_view Head(std::string_view text) { return text.substr(0, kMaxByteText); }

unsigned ByteAt(std::string_view text, int k) {
  return k < static_cast<int>(text.size()) ? static_cast<unsigned char>(text[k]) : 0u;
}

// Sizes above what a byte text can hold would only repeat zero bytes; negative sizes come
// from hand-typed cells.
int ShownBytes(int meret) { return meret < 0 ? 0 : (meret > kMaxByteText ? kMaxByteText : meret); }

// Separators outside quotes. NUL is among them so that a stray NUL cannot stall the
// reader; written lists quote any item that holds one, so they still round-trip.
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::string PadRight(std::string text, int length, char fill) {
  if (length > static_cast<int>(text.size())) text.append(length - text.size(), fill);
  return text;
}

std::string PadLeft(std::string text, int length, char fill) {
  if (length > static_cast<int>(text.size())) text.insert(0, length - text.size(), fill);
  return text;
}

const std::array<std::string, 6>& ParamTypeNames() {
  static const std::array<std::string, 6> names = {"byte", "word", "longword", "string", Hu("tömb"), Hu("bitmező")};
  return names;
}

TParamType ParamTypeOf(std::string_view tipus) {
  const auto& n = ParamTypeNames();
  if (tipus == n[5]) return TParamType::Bitmezo;
  if (tipus == n[0]) return TParamType::Byte;
  if (tipus == n[1]) return TParamType::Word;
  if (tipus == n[2]) return TParamType::Longword;
  if (tipus == n[3]) return TParamType::String;
  return TParamType::Tomb;
}

int SizeForTypeText(std::string_view tipus) {
  if (tipus == "byte") return 1;
  if (!tipus.empty() && tipus[0] == 'w') return 2;
  if (!tipus.empty() && tipus[0] == 'l') return 4;
  return 0;
}

uint32_t ReadNumber(std::string_view byteText, int size) {
  const std::string_view v = Head(byteText);
  uint32_t n = 0;
  for (int k = size - 1; k >= 0; --k) n = (n << 8) | ByteAt(v, k);
  return n;
}

std::string WriteNumber(std::string_view byteText, int64_t value, int size) {
  std::string s = PadRight(std::string(Head(byteText)), size, '\0');
  auto bits = static_cast<uint64_t>(value);
  for (int k = 0; k < size; ++k, bits >>= 8) s[k] = static_cast<char>(bits & 0xFF);
  return s;
}

int64_t TruncToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or above it would overflow the cast.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::string FormatBytesColumn(std::string_view aktualisErtek, int meret) {
  const std::string_view v = Head(aktualisErtek);
  const int n = ShownBytes(meret);
  std::string out;
  out.reserve(4 * n);
  for (int k = 0; k < n; ++k) {
    const unsigned b = ByteAt(v, k);
    out.push_back(static_cast<char>('0' + b / 100));
    out.push_back(static_cast<char>('0' + b / 10 % 10));
    out.push_back(static_cast<char>('0' + b % 10));
    out.push_back(' ');
  }
  return out;
}

std::string FormatValueColumn(std::string_view aktualisErtek, int meret, std::string_view tipus) {
  const std::string_view v = Head(aktualisErtek);
  const int n = ShownBytes(meret);
  std::string out;
  switch (ParamTypeOf(tipus)) {
    case TParamType::Bitmezo:
      for (int k = 0; k < n && static_cast<int>(out.size()) < kMaxByteText; ++k) {
        const unsigned b = ByteAt(v, k);
        for (int j = 0; j < 8; ++j) out.push_back((b >> j) & 1 ? '1' : '0');
      }
      break;
    case TParamType::Byte:
      out = std::to_string(ReadNumber(v, 1));
      break;
    case TParamType::Word:
      out = std::to_string(ReadNumber(v, 2));
      break;
    case TParamType::Longword:
      out = std::to_string(ReadNumber(v, 4));
      break;
    case TParamType::String:
      out = std::string(v);
      break;
    case TParamType::Tomb: {
      // Decimal items never need quoting, so the list text is the plain comma join.
      for (int k = 0; k < n && static_cast<int>(out.size()) < kMaxByteText; ++k) {
        if (k > 0) out.push_back(',');
        out += std::to_string(ByteAt(v, k));
      }
      break;
    }
  }
  if (out.size() > static_cast<size_t>(kMaxByteText)) out.resize(kMaxByteText);
  return out;
}

std::string WriteListText(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.push_back(',');
    const std::string& item = items[i];
    bool quote = false;
    for (char c : item) quote = quote || IsBlank(c) || c == '"' || c == ',';
    if (!quote) {
      out += item;
      continue;
    }
    out.push_back('"');
    for (char c : item) {
      if (c == '"') out.push_back('"');
      out.push_back(c);
    }
    out.push_back('"');
  }
  return out;
}

std::vector<std::string> ReadListText(std::string_view text) {
  std::vector<std::string> items;
  size_t p = 0;
  const size_t end = text.size();
  auto skipBlanks = [&] {
    while (p < end && IsBlank(text[p])) ++p;
  };
  skipBlanks();
  while (p < end) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < end) {
        if (text[p] == '"') {
          if (p + 1 < end && text[p + 1] == '"') {
            item.push_back('"');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item.push_back(text[p++]);
      }
    } else {
      const size_t start = p;
      while (p < end && !IsBlank(text[p]) && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (p < end && text[p] == ',') {
      if (p + 1 == end) items.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return items;
}
